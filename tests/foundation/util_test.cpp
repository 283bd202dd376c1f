#include "core/foundation/util.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>
#include <boost/regex.hpp>

#include "common/config_dir.h"
#include "common/scoped_env.h"
#include "common/temp_dir.h"
#include "common/user_database.h"
#include "firebreath/Linux/util_linux.h"
#include "framework/logging.h"
#include "framework/module_path.h"
#include "framework/system.h"

namespace {

namespace fs = boost::filesystem;
using vocle::testkit::config_dir;
using vocle::testkit::scoped_env;
using vocle::testkit::temp_dir;
using vocle::testkit::user_database;
namespace util = vocle::util;
namespace platform = vocle::platform;

const char kUuid[] = "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}";

// Every folder the placeholders name, in a temporary home of its own.
class Paths : public ::testing::Test {
 protected:
  void SetUp() override {
    m_env.set("HOME", m_home.path())
        .set("XDG_DATA_HOME", m_home.file("data"))
        .set("XDG_DESKTOP_DIR", m_home.file("desk"))
        .unset("XDG_CONFIG_HOME");
  }

  temp_dir m_home;
  scoped_env m_env;
  config_dir m_cfg;
};

TEST_F(Paths, PlaceholdersAreReplacedAndNothingElse) {
  const std::string lib = m_cfg.path();
  const std::string data = m_home.file("data") + "/Tarvix";
  const std::string desk = m_home.file("desk");
  struct {
    std::string path;
    std::string expected;
  } cases[] = {
      {"@{dlldir}/vocle.conf", lib + "/vocle.conf"},
      {"@{appdata}/x.log", data + "/x.log"},
      {"@{desktop}/a b/c.wav", desk + "/a b/c.wav"},
      {"@{appdata}|@{appdata}", data + "|" + data},
      {"@{dlldir}@{desktop}", lib + desk},
      {"@{DLLDIR}/x", "@{DLLDIR}/x"},
      {"@{AppData}/x", "@{AppData}/x"},
      {"@{dlldir/x", "@{dlldir/x"},
      {"plain\\mixed/path", "plain\\mixed/path"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(util::expand_path(c.path), c.expected) << c.path;
  }
}

TEST_F(Paths, RandomUuidIsVersionFourAndOnePerPath) {
  std::string first = util::expand_path("@{appdata}/vocle-@{random-uuid}.log");
  boost::regex form(m_home.file("data") + "/Tarvix/vocle-" + kUuid + "\\.log");
  EXPECT_TRUE(boost::regex_match(first, form)) << first;
  EXPECT_NE(util::expand_path("@{appdata}/vocle-@{random-uuid}.log"), first);

  std::string twice = util::expand_path("@{random-uuid}/@{random-uuid}");
  ASSERT_EQ(twice.size(), 73u);
  EXPECT_EQ(twice.substr(0, 36), twice.substr(37));
}

TEST_F(Paths, LaterStepsSeeWhatEarlierOnesBroughtIn) {
  m_env.set("XDG_DATA_HOME", "/base/@{desktop}/@{random-uuid}");
  std::string path = util::expand_path("@{appdata}");
  EXPECT_TRUE(boost::regex_match(
      path, boost::regex("/base/" + m_home.file("desk") + "/" + kUuid + "/Tarvix")))
      << path;
  // The folders are replaced in their order: an earlier placeholder brought in later stays.
  m_env.set("XDG_DESKTOP_DIR", "/d/@{appdata}");
  EXPECT_EQ(util::expand_path("@{desktop}"), "/d/@{appdata}");
}

TEST_F(Paths, AFolderIsAskedForOnlyWhenItsPlaceholderOccurs) {
  m_env.unset("HOME").unset("XDG_DATA_HOME");
  user_database unknown_user("");
  EXPECT_EQ(util::expand_path("@{dlldir}/x"), m_cfg.path() + "/x");
  try {
    util::expand_path("@{dlldir}/@{appdata}");
    FAIL() << "no application-data folder, yet no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Could not find path");
  }
}

TEST_F(Paths, AppDataFollowsTheXdgDataHome) {
  EXPECT_EQ(util::appdata_path(), m_home.file("data") + "/Tarvix");
  m_env.unset("XDG_DATA_HOME");
  EXPECT_EQ(util::appdata_path(), m_home.path() + "/.local/share/Tarvix");
  m_env.set("XDG_DATA_HOME", "relative/data");  // not a valid data home
  EXPECT_EQ(util::appdata_path(), m_home.path() + "/.local/share/Tarvix");
}

// Without HOME (a service, a sandbox) the home folder comes from the user database; only a user
// it does not know, or one without a home folder, has no application-data folder at all.
TEST_F(Paths, AppDataWithoutHomeFallsBackToTheUserDatabase) {
  m_env.unset("XDG_DATA_HOME");
  struct {
    const char* home;  // nullptr: unset
    std::string database_home;
    std::string expected;  // "": "Could not find path"
  } cases[] = {
      {nullptr, "/srv/voice", "/srv/voice/.local/share/Tarvix"},
      {"", "/srv/voice", "/srv/voice/.local/share/Tarvix"},
      {"/home/given", "/srv/voice", "/home/given/.local/share/Tarvix"},
      // A relative HOME would put the log and the saves under the current folder.
      {"relhome", "/srv/voice", "/srv/voice/.local/share/Tarvix"},
      {"./home", "/srv/voice", "/srv/voice/.local/share/Tarvix"},
      {nullptr, "", ""},
      {"", "", ""},
      {"relhome", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.home ? c.home : "(unset)") + " / " + c.database_home);
    if (c.home) {
      m_env.set("HOME", c.home);
    } else {
      m_env.unset("HOME");
    }
    user_database database(c.database_home);
    if (c.expected.empty()) {
      try {
        util::appdata_path();
        ADD_FAILURE() << "no home folder, yet a path";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Could not find path");
      }
    } else {
      EXPECT_EQ(util::appdata_path(), c.expected);
    }
  }
  // Unless replaced, the lookup is the real database's entry for the user the tests run as.
  m_env.unset("HOME");
  const std::string home = FB::System::userDatabaseHome();
  if (home.empty()) {
    EXPECT_THROW(util::appdata_path(), std::runtime_error);
  } else {
    EXPECT_EQ(home[0], '/');
    EXPECT_EQ(util::appdata_path(), home + "/.local/share/Tarvix");
  }
}

TEST_F(Paths, DesktopComesFromTheEnvironmentThenUserDirsThenHome) {
  EXPECT_EQ(util::desktop_path(), m_home.file("desk"));

  m_env.unset("XDG_DESKTOP_DIR");
  EXPECT_EQ(util::desktop_path(), m_home.path() + "/Desktop");

  fs::create_directories(m_home.file(".config"));
  m_home.write(".config/user-dirs.dirs",
               "# written by xdg-user-dirs-update\n"
               "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
               "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
  EXPECT_EQ(util::desktop_path(), m_home.path() + "/Schreibtisch");

  // A configuration home of its own holds the file, with an absolute folder.
  fs::create_directories(m_home.file("conf"));
  m_home.write("conf/user-dirs.dirs", "XDG_DESKTOP_DIR=\"/srv/desk top\"\n");
  m_env.set("XDG_CONFIG_HOME", m_home.file("conf"));
  EXPECT_EQ(util::desktop_path(), "/srv/desk top");

  // A relative entry is not a folder.
  m_home.write("conf/user-dirs.dirs", "XDG_DESKTOP_DIR=\"desk\"\n");
  EXPECT_EQ(util::desktop_path(), m_home.path() + "/Desktop");

  // Nor is a relative folder from the environment: it counts as unset.
  m_env.set("XDG_DESKTOP_DIR", "desk");
  EXPECT_EQ(util::desktop_path(), m_home.path() + "/Desktop");
  m_home.write("conf/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
  m_env.set("HOME", "relhome");
  EXPECT_EQ(util::desktop_path(), "");
}

TEST_F(Paths, NoDesktopGivesEmptyTextAndADebugLine) {
  m_env.unset("XDG_DESKTOP_DIR").unset("HOME");
  temp_dir logs;
  FB::Log::initLogging({{FB::Log::LogMethod_File, logs.file("debug.log")}},
                       FB::Log::LogLevel_Debug);
  std::string desktop = util::desktop_path();
  std::string expanded = util::expand_path("@{desktop}/x.wav");
  FB::Log::stopLogging();
  EXPECT_EQ(desktop, "");
  EXPECT_EQ(expanded, "/x.wav");
  std::string log = vocle::testkit::read_file(logs.file("debug.log"));
  EXPECT_TRUE(
      boost::regex_search(log, boost::regex("vocle\\[thread:[0-9]+\\] failed to SHGetFolderPath")))
      << log;
}

TEST_F(Paths, LibraryFolderAndFilesBesideIt) {
  EXPECT_EQ(util::dll_dir(), m_cfg.path());
  EXPECT_EQ(util::dll_relative_path("vocle.conf"), m_cfg.path() + "/vocle.conf");
  EXPECT_EQ(util::dll_relative_path("sub/lang.conf"), m_cfg.path() + "/sub/lang.conf");
}

TEST(ModulePath, DefaultsToTheFileThatHoldsTheCode) {
  if (vocle::testkit::module_path_replaced()) {
    GTEST_SKIP() << "the library path was replaced earlier in this process";
  }
  char exe[PATH_MAX];
  ASSERT_NE(::realpath("/proc/self/exe", exe), nullptr);
  EXPECT_EQ(FB::getModulePath(), exe);
  EXPECT_EQ(util::dll_dir(), fs::path(exe).parent_path().string());
}

// Switches LC_CTYPE to a locale compiled into a folder of its own for the scope (glibc reads
// LOCPATH at every setlocale), so no locale has to be installed on the machine.
class scoped_locale {
 public:
  scoped_locale(const std::string& source, const std::string& charmap) {
    m_previous = std::setlocale(LC_CTYPE, nullptr);
    std::string name = source + "." + charmap;
    std::string command = "localedef -c -i " + source + " -f " + charmap + " " + m_dir.file(name) +
                          " >/dev/null 2>&1";
    int rc = std::system(command.c_str());
    (void)rc;  // warnings give a non-zero status too; the locale is what counts
    m_env.set("LOCPATH", m_dir.path());
    m_active = std::setlocale(LC_CTYPE, name.c_str()) != nullptr;
  }
  ~scoped_locale() { std::setlocale(LC_CTYPE, m_previous.c_str()); }
  bool active() const { return m_active; }

 private:
  temp_dir m_dir;
  scoped_env m_env;
  std::string m_previous;
  bool m_active = false;
};

TEST(CodePage, CLocaleCountsAsUtf8) {
  std::string previous = std::setlocale(LC_CTYPE, nullptr);
  std::setlocale(LC_CTYPE, "C");
  EXPECT_EQ(platform::narrow_charset(), "UTF-8");
  EXPECT_EQ(util::utf8_to_ansi("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(util::ansi_to_utf8("caf\xC3\xA9"), "caf\xC3\xA9");
  // The text ends at its first zero character, as a C string would.
  EXPECT_EQ(util::ansi_to_utf8(std::string("ab\0cd", 5)), "ab");
  EXPECT_EQ(util::utf8_to_ansi(std::string("ab\0cd", 5)), "ab");
  std::setlocale(LC_CTYPE, previous.c_str());
}

TEST(CodePage, WesternEuropeanLocale) {
  scoped_locale western("de_DE", "CP1252");
  if (!western.active()) {
    GTEST_SKIP() << "localedef cannot make de_DE.CP1252 here (package locales missing)";
  }
  EXPECT_EQ(platform::narrow_charset(), "CP1252");
  EXPECT_EQ(util::ansi_to_utf8("\xE9"), "\xC3\xA9");
  EXPECT_EQ(util::utf8_to_ansi("\xC3\xA9"), "\xE9");
  EXPECT_EQ(util::utf8_to_ansi("/home/Jos\xC3\xA9/\xE2\x82\xAC.wav"), "/home/Jos\xE9/\x80.wav");
  EXPECT_EQ(util::utf8_to_ansi("a\xE4\xB8\xAD\xE6\x96\x87z"), "a??z");  // no Chinese in CP1252
  EXPECT_EQ(util::ansi_to_utf8(std::string("\xE9\0\xE9", 3)), "\xC3\xA9");
}

TEST(CodePage, ChineseLocaleWithItsDoubleByteSet) {
  scoped_locale chinese("zh_CN", "GBK");
  if (!chinese.active()) {
    GTEST_SKIP() << "localedef cannot make zh_CN.GBK here (package locales missing)";
  }
  EXPECT_EQ(util::utf8_to_ansi("\xE4\xB8\xAD\xE6\x96\x87.wav"), "\xD6\xD0\xCE\xC4.wav");
  EXPECT_EQ(util::ansi_to_utf8("\xD6\xD0\xCE\xC4.wav"), "\xE4\xB8\xAD\xE6\x96\x87.wav");
}

TEST(CodePage, ConversionMarksWhatItCannotCarry) {
  struct {
    const char* text;
    const char* from;
    const char* to;
    const char* expected;
  } cases[] = {
      {"\xE9t\xE9", "CP1252", "UTF-8", "\xC3\xA9t\xC3\xA9"},
      {"\x80", "CP1252", "UTF-8", "\xE2\x82\xAC"},
      {"\x81", "CP1252", "UTF-8", "?"},  // a byte CP1252 leaves undefined
      {"\xC3\xA9t\xC3\xA9", "UTF-8", "CP1252", "\xE9t\xE9"},
      {"x\xE4\xB8\xADy", "UTF-8", "CP1252", "x?y"},
      {"x\xF0\x9F\x8E\xA4y", "UTF-8", "ISO-8859-1", "x?y"},
      {"x\xFFy", "UTF-8", "CP1252", "x?y"},  // not UTF-8 at all
      {"x\xC3", "UTF-8", "CP1252", "x?"},    // cut off inside a character
      {"plain", "UTF-8", "CP1252", "plain"},
      {"\xE9", "no-such-charset", "UTF-8", "\xE9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::convert(c.text, c.from, c.to), c.expected) << c.text << " " << c.from;
  }
  // Long text grows the output more than once.
  std::string long_text(100000, '\xE9');
  std::string converted = platform::convert(long_text, "CP1252", "UTF-8");
  ASSERT_EQ(converted.size(), 200000u);
  EXPECT_EQ(converted.substr(199998), "\xC3\xA9");
}

// A target that drops what it cannot carry reports the dropped characters only once it has read
// the whole text: the conversion must stop there, not step past the end of the text.
TEST(CodePage, DroppingTargetsNeverReadPastTheText) {
  struct {
    std::string text;
    const char* to;
    std::string expected;
  } cases[] = {
      {"\xFF", "ASCII//IGNORE", ""},
      {"a\xFF"
       "b",
       "ASCII//IGNORE", "ab"},
      {"x\xE4\xB8\xADy", "ASCII//IGNORE", "xy"},
      {"x\xE4\xB8\xAD", "ASCII//IGNORE", "x"},
      {"x\xC3", "ASCII//IGNORE", "x?"},  // cut off inside a character
      {"\xFF\xFF\xFF", "UTF-16//IGNORE", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::convert(c.text, "UTF-8", c.to), c.expected) << c.text << " " << c.to;
  }
}

}  // namespace
