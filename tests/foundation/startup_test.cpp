#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>
#include <boost/regex.hpp>

#include "common/box_recorder.h"
#include "common/config_dir.h"
#include "common/scoped_env.h"
#include "common/temp_dir.h"
#include "common/user_database.h"
#include "core/foundation/settings.h"

namespace {

namespace fs = boost::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using vocle::settings;
using vocle::testkit::box_recorder;
using vocle::testkit::config_dir;
using vocle::testkit::lines_of;
using vocle::testkit::names_in;
using vocle::testkit::scoped_env;
using vocle::testkit::temp_dir;
using vocle::testkit::user_database;

bool has_line(const std::string& text, const std::string& line) {
  for (const std::string& l : lines_of(text)) {
    if (l == line) {
      return true;
    }
  }
  return false;
}

// The maker's folder lies in a temporary XDG_DATA_HOME.
class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(m_home.file("data"));
    m_env.set("XDG_DATA_HOME", m_home.file("data"));
    m_appdata = m_home.file("data") + "/Tarvix";
  }

  // Reads the configuration, then runs the jobs; returns what they wrote on standard output.
  std::string run(const std::string& vocle_conf) {
    m_cfg.reset(new config_dir(vocle_conf));
    settings::instance();
    CaptureStdout();
    settings::instance().startup();
    return GetCapturedStdout();
  }

  static void touch(const std::string& path) { std::ofstream(path) << "x"; }

  temp_dir m_home;
  scoped_env m_env;
  std::string m_appdata;
  std::unique_ptr<config_dir> m_cfg;
  box_recorder m_boxes;
};

TEST_F(Startup, MakesTheFoldersInOrder) {
  std::string out = run("[system]\nstartup_mkdir=@{appdata};;@{appdata}/logs\n");
  EXPECT_TRUE(fs::is_directory(m_appdata));
  EXPECT_TRUE(fs::is_directory(m_appdata + "/logs"));
  EXPECT_EQ(lines_of(out), (std::vector<std::string>{
                               "[info] on settings::startup()",
                               "[info] settings::startup() to mkdir " + m_appdata,
                               "[info] settings::startup() to mkdir " + m_appdata + "/logs",
                               "[info] settings::startup() remove files",
                           }));
  EXPECT_TRUE(m_boxes.boxes().empty());
}

TEST_F(Startup, AnExistingFolderIsLeftAlone) {
  fs::create_directory(m_appdata);
  touch(m_appdata + "/keep.txt");
  std::string out = run("[system]\nstartup_mkdir=@{appdata}\n");
  EXPECT_EQ(names_in(m_appdata), (std::set<std::string>{"keep.txt"}));
  EXPECT_EQ(out.find("[error]"), std::string::npos) << out;
}

TEST_F(Startup, AFileInTheWayIsReportedWithABox) {
  touch(m_appdata);
  std::string out = run("[system]\nstartup_mkdir=@{appdata}\n");
  std::string message = "attempt to mkdir " + m_appdata + " which is actually a file";
  EXPECT_TRUE(has_line(out, "[error] " + message)) << out;
  ASSERT_EQ(m_boxes.boxes().size(), 1u);
  EXPECT_EQ(m_boxes.boxes()[0].caption, "error");
  EXPECT_EQ(m_boxes.boxes()[0].text, message);
}

TEST_F(Startup, AFolderThatCannotBeMadeDoesNotStopTheOtherJobs) {
  fs::create_directory(m_appdata);
  touch(m_appdata + "/old.log");
  std::string out =
      run("[system]\nstartup_mkdir=@{appdata}/missing/child;@{appdata}/made\n"
          "startup_rm=@{appdata};old\\.log\n");
  EXPECT_FALSE(fs::exists(m_appdata + "/missing"));
  EXPECT_TRUE(fs::is_directory(m_appdata + "/made"));
  EXPECT_FALSE(fs::exists(m_appdata + "/old.log"));
  ASSERT_EQ(m_boxes.boxes().size(), 1u);
  EXPECT_EQ(m_boxes.boxes()[0].caption, "error");
  EXPECT_NE(m_boxes.boxes()[0].text.find(m_appdata + "/missing/child"), std::string::npos)
      << m_boxes.boxes()[0].text;
  EXPECT_TRUE(has_line(out, "[error] " + m_boxes.boxes()[0].text)) << out;
}

TEST_F(Startup, AFolderPlaceholderThatCannotBeResolvedIsReported) {
  m_env.unset("XDG_DATA_HOME").unset("HOME");
  user_database unknown_user("");
  std::string out = run("[system]\nstartup_mkdir=@{appdata};" + m_home.file("plain") + "\n");
  EXPECT_TRUE(has_line(out, "[error] Could not find path")) << out;
  EXPECT_TRUE(fs::is_directory(m_home.file("plain")));
}

TEST_F(Startup, RemovesEntriesWhoseWholeNameMatches) {
  fs::create_directories(m_appdata + "/vocle-old.log/inner");
  for (const char* name : {"vocle-1.log", "vocle-2.log", "vocle.log", "vocle-1.log.bak",
                           "notes.txt", "vocle-old.log/inner/file"}) {
    touch(m_appdata + "/" + name);
  }
  std::string out = run("[system]\nstartup_rm=@{appdata};vocle-.*\\.log\n");
  EXPECT_EQ(names_in(m_appdata),
            (std::set<std::string>{"vocle.log", "vocle-1.log.bak", "notes.txt"}));
  EXPECT_TRUE(has_line(out, "[info] to rm match files in " + m_appdata)) << out;
  EXPECT_TRUE(has_line(out, "[info] to match file notes.txt")) << out;
  EXPECT_TRUE(has_line(out, "[info] match succeeds with vocle-.*\\.log")) << out;
}

TEST_F(Startup, APatternMustMatchTheWholeName) {
  fs::create_directory(m_appdata);
  touch(m_appdata + "/vocle.log");
  touch(m_appdata + "/notes.txt");
  run("[system]\nstartup_rm=@{appdata};log|notes\\.txt\n");
  EXPECT_EQ(names_in(m_appdata), (std::set<std::string>{"vocle.log"}));
}

TEST_F(Startup, EveryPatternIsTriedAfterAMatch) {
  fs::create_directory(m_appdata);
  touch(m_appdata + "/notes.txt");
  std::string out = run("[system]\nstartup_rm=@{appdata};notes\\.txt|.*\\.txt\n");
  std::vector<std::string> lines = lines_of(out);
  std::vector<std::string> tail(lines.end() - 3, lines.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"[info] to match file notes.txt",
                                            "[info] match succeeds with notes\\.txt",
                                            "[info] match succeeds with .*\\.txt"}));
  EXPECT_TRUE(names_in(m_appdata).empty());
}

TEST_F(Startup, WithoutAPatternGroupNothingIsRemoved) {
  fs::create_directory(m_appdata);
  touch(m_appdata + "/vocle-1.log");
  for (const char* value : {"@{appdata}", "@{appdata};", "@{appdata};|"}) {
    std::string out = run(std::string("[system]\nstartup_rm=") + value + "\n");
    EXPECT_EQ(names_in(m_appdata), (std::set<std::string>{"vocle-1.log"})) << value;
    EXPECT_EQ(out.find("[error]"), std::string::npos) << out;
  }
}

TEST_F(Startup, AMissingFolderIsSkippedAndTheNextOneCleared) {
  fs::create_directory(m_appdata);
  touch(m_appdata + "/notes.txt");
  touch(m_home.file("stray.txt"));
  std::string out = run("[system]\nstartup_rm=@{appdata}/nope||" + m_home.file("stray.txt") +
                        "|@{appdata};notes\\.txt|stray\\.txt\n");
  EXPECT_TRUE(has_line(out, "[info] to rm match files in " + m_appdata + "/nope")) << out;
  EXPECT_TRUE(names_in(m_appdata).empty());
  EXPECT_TRUE(fs::exists(m_home.file("stray.txt")));  // a file is not a folder to clear
  EXPECT_EQ(out.find("[error]"), std::string::npos) << out;
}

TEST_F(Startup, AnInvalidPatternIsReportedAndTheOthersStillApply) {
  fs::create_directory(m_appdata);
  touch(m_appdata + "/notes.txt");
  touch(m_appdata + "/[x");
  std::string out = run("[system]\nstartup_rm=@{appdata};[x|notes\\.txt\n");
  EXPECT_EQ(names_in(m_appdata), (std::set<std::string>{"[x"}));
  ASSERT_EQ(m_boxes.boxes().size(), 1u);
  EXPECT_EQ(m_boxes.boxes()[0].caption, "error");
  EXPECT_TRUE(has_line(out, "[error] " + m_boxes.boxes()[0].text)) << out;
}

// The matcher gives up on some patterns for some names ("(a*)*b" on a long run of a's): that is
// reported, and the next pattern still decides about the same name.
TEST_F(Startup, APatternTheMatcherGivesUpOnDoesNotStopTheOthers) {
  fs::create_directory(m_appdata);
  const std::string long_a(40, 'a');
  touch(m_appdata + "/" + long_a);
  touch(m_appdata + "/" + long_a + "x");
  touch(m_appdata + "/notes.txt");
  std::string out = run("[system]\nstartup_rm=@{appdata};(a*)*b|a+x?\n");
  EXPECT_EQ(names_in(m_appdata), (std::set<std::string>{"notes.txt"}));
  EXPECT_TRUE(has_line(out, "[info] match succeeds with a+x?")) << out;
  ASSERT_EQ(m_boxes.boxes().size(), 1u) << "one box for the pattern, not one per name";
  EXPECT_EQ(m_boxes.boxes()[0].caption, "error");
  EXPECT_TRUE(has_line(out, "[error] " + m_boxes.boxes()[0].text)) << out;
}

class LogFile : public Startup {};

TEST_F(LogFile, DefaultPathIsDrawnOnceInTheMakersFolder) {
  run("[log]\ntype=file\n");
  settings& s = settings::instance();
  std::string first = s.log_file();
  EXPECT_EQ(s.log_file(), first);
  boost::regex form(
      m_appdata +
      "/vocle-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\\.log");
  EXPECT_TRUE(boost::regex_match(first, form)) << first;

  // A new settings object draws a new identifier.
  m_cfg->rewrite("vocle.conf", "[log]\ntype=file\n");
  EXPECT_NE(settings::instance().log_file(), first);
}

TEST_F(LogFile, ConfiguredPathIsExpanded) {
  run("[log]\nfile=@{dlldir}/x-@{random-uuid}-@{random-uuid}.log\n");
  std::string path = settings::instance().log_file();
  boost::regex form(m_cfg->path() + "/x-([0-9a-f-]{36})-\\1\\.log");
  EXPECT_TRUE(boost::regex_match(path, form)) << path;
}

TEST_F(LogFile, ConcurrentReadersSeeOnePath) {
  run("[audio]\n");
  settings& s = settings::instance();
  std::vector<std::string> seen(6);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&s, &seen, i] { seen[i] = s.log_file(); });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (const std::string& path : seen) {
    EXPECT_EQ(path, seen[0]);
  }
  EXPECT_FALSE(seen[0].empty());
}

}  // namespace
