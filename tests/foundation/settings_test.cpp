#include "core/foundation/settings.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/algorithm/string/case_conv.hpp>
#include <boost/format.hpp>
#include <boost/regex.hpp>

#include "common/box_recorder.h"
#include "common/config_dir.h"
#include "common/temp_dir.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using vocle::settings;
using vocle::testkit::box_recorder;
using vocle::testkit::config_dir;
using vocle::testkit::lines_of;
namespace keys = vocle::keys;

const char kLang[] =
    "[en_US]\n"
    "GREETING=hello\n"
    "WAIT=wait %1% s\n"
    "PAIR=%1% and %2%\n"
    "ONLY_EN=english only\n"
    "ERROR_I18N_FORMAT_PREFIX=bad pattern <%1%> for\n"
    "[zh_CN]\n"
    "GREETING=你好\n";

// Builds the settings afresh from the folder's files; returns what that wrote on standard output.
std::string reload() {
  CaptureStdout();
  settings::reset();
  settings::instance();
  return GetCapturedStdout();
}

TEST(SettingsLookup, IntTakesTheWholeTextAsAnUnsignedDecimal) {
  struct {
    const char* text;
    std::uint64_t expected;
  } cases[] = {
      {"512", 512},
      {"512x", 1024},
      {"abc", 1024},
      {"1.5", 1024},
      {"0x10", 1024},
      {"1e3", 1024},
      {"+7", 7},
      {"0", 0},
      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
      {"18446744073709551616", 1024},
      // A stream read wraps "-1" round to the largest value; a negative count is no count.
      {"-1", 1024},
      {"-0", 1024},
  };
  std::string conf = "[t]\n";
  for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    conf += "k" + std::to_string(i) + "=" + cases[i].text + "\n";
  }
  config_dir cfg(conf, kLang);
  const settings& s = settings::instance();
  for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    EXPECT_EQ(s.get_int("t.k" + std::to_string(i), 1024), cases[i].expected) << cases[i].text;
  }
  EXPECT_EQ(s.get_int("t.missing", 1024), 1024u);
  EXPECT_EQ(s.get_int("nosection.k0", 1024), 1024u);
}

TEST(SettingsLookup, KeyTableLookupsUseTheirDefaults) {
  config_dir cfg("[audio]\nframes_per_buffer=512x\nsample_rate=8000\nvad_clip=1\n", kLang);
  const settings& s = settings::instance();
  EXPECT_EQ(s.get(keys::audio_frames_per_buffer), 1024u);
  EXPECT_EQ(s.get(keys::audio_sample_rate), 8000.0);
  EXPECT_TRUE(s.get(keys::audio_vad_clip));
  EXPECT_EQ(s.get(keys::audio_max_buffer_count), 10u);
  EXPECT_EQ(s.get(keys::system_lang), "en_US");
  EXPECT_EQ(s.get(keys::js_call_function), "call_function");
}

TEST(SettingsLookup, BoolAcceptsOnlyTheFourSpellings) {
  config_dir cfg("[t]\na=true\nb=1\nc=false\nd=0\ne=yes\nf=TRUE\ng=2\nh=truex\n", kLang);
  const settings& s = settings::instance();
  for (bool fallback : {false, true}) {
    EXPECT_TRUE(s.get_bool("t.a", fallback));
    EXPECT_TRUE(s.get_bool("t.b", fallback));
    EXPECT_FALSE(s.get_bool("t.c", fallback));
    EXPECT_FALSE(s.get_bool("t.d", fallback));
    for (const char* key : {"t.e", "t.f", "t.g", "t.h", "t.missing"}) {
      EXPECT_EQ(s.get_bool(key, fallback), fallback) << key;
    }
  }
}

TEST(SettingsLookup, DoubleNeedsTheWholeText) {
  config_dir cfg("[t]\na=8000\nb=0.25\nc=1e3\nd=8k\ne=\nf=-2.5\n", kLang);
  const settings& s = settings::instance();
  EXPECT_EQ(s.get_double("t.a", 1.0), 8000.0);
  EXPECT_EQ(s.get_double("t.b", 1.0), 0.25);
  EXPECT_EQ(s.get_double("t.c", 1.0), 1000.0);
  EXPECT_EQ(s.get_double("t.d", 1.0), 1.0);
  EXPECT_EQ(s.get_double("t.e", 1.0), 1.0);
  EXPECT_EQ(s.get_double("t.f", 1.0), -2.5);
}

TEST(SettingsLookup, StringOfASectionIsEmptyNotTheDefault) {
  config_dir cfg("[audio]\nsample_rate=8000\nurl = http://h/x?a=b \n", kLang);
  const settings& s = settings::instance();
  EXPECT_EQ(s.get_string("audio", "fallback"), "");
  EXPECT_EQ(s.get_string("audio.url", "fallback"), "http://h/x?a=b");
  EXPECT_EQ(s.get_string("audio.missing", "fallback"), "fallback");
  EXPECT_EQ(s.get_string("video", "fallback"), "fallback");
  EXPECT_EQ(s.get_string("audio.sample_rate.deeper", "fallback"), "fallback");
  EXPECT_EQ(settings::get_from_tree(s.lang_tree(), "en_US.GREETING", "x"), "hello");
}

TEST(SettingsLookup, ListsKeepEmptyAndUntrimmedPieces) {
  config_dir cfg("[t]\nedges=;a;b;\nempty=\nspaced=a ; b\nmixed=a,b;c\nrm=x|y;;p|\n", kLang);
  const settings& s = settings::instance();
  typedef settings::list list;
  EXPECT_EQ(s.get_list("t.edges", ";"), (list{"", "a", "b", ""}));
  EXPECT_EQ(s.get_list("t.empty", ";"), (list{""}));
  EXPECT_EQ(s.get_list("t.missing", ";"), (list{""}));
  EXPECT_EQ(s.get_list("t.spaced", ";"), (list{"a ", " b"}));
  EXPECT_EQ(s.get_list("t.mixed", ",;"), (list{"a", "b", "c"}));
  EXPECT_EQ(s.get_list_list("t.rm", ";", "|"), (settings::list_list{{"x", "y"}, {""}, {"p", ""}}));
  EXPECT_EQ(s.get_list_list("t.missing", ";", "|"), (settings::list_list{{""}}));
}

TEST(SettingsDump, WritesSectionsThenKeysOfBothTrees) {
  config_dir cfg("[log]\ntype=file\n[audio]\nchannels=2\n", "[en_US]\nK=v\n");
  EXPECT_EQ(settings::instance().dump(), "[log]\ntype=file\n[audio]\nchannels=2\n[en_US]\nK=v\n");

  settings::tree deep;
  deep.put("a.b.c", "x");
  deep.put("a.d", "y");
  std::ostringstream out;
  settings::dump_tree(out, deep);
  EXPECT_EQ(out.str(), "[a]\nb=\nd=y\n");
}

TEST(SettingsReport, WritesTheTaggedLineAndShowsTheBoxWhenAsked) {
  box_recorder boxes;
  CaptureStdout();
  CaptureStderr();
  settings::report("error", "m", true);
  settings::report("info", "quiet", false);
  std::string out = GetCapturedStdout();
  std::string err = GetCapturedStderr();
  EXPECT_EQ(out, "[error] m\n[info] quiet\n");
  EXPECT_NE(err.find("[error] m"), std::string::npos);
  EXPECT_NE(err.find("[info] quiet"), std::string::npos);
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].text, "m");
  EXPECT_EQ(boxes.boxes()[0].caption, "error");
}

TEST(SettingsFiles, ConstructionAnnouncesItself) {
  config_dir cfg("[audio]\n", kLang);
  EXPECT_EQ(reload(), "initializing settings...\nsettings initialized!\n");
}

TEST(SettingsFiles, MissingConfigurationIsReportedAndEveryLookupGivesItsDefault) {
  box_recorder boxes;
  config_dir cfg("[audio]\nsample_rate=8000\n", kLang);
  cfg.remove("vocle.conf");
  std::string out = reload();
  EXPECT_NE(out.find("[error] "), std::string::npos) << out;
  EXPECT_NE(out.find("cannot open file"), std::string::npos) << out;
  EXPECT_NE(out.find("settings initialized!"), std::string::npos) << out;
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].caption, "error");
  EXPECT_NE(boxes.boxes()[0].text.find(cfg.file("vocle.conf")), std::string::npos);

  const settings& s = settings::instance();
  EXPECT_TRUE(s.config_tree().empty());
  EXPECT_EQ(s.get(keys::audio_sample_rate), 16000.0);
  EXPECT_EQ(s.translate("GREETING"), "hello");  // the language file is still read
}

TEST(SettingsFiles, MalformedFileLeavesAnEmptyTreeWithTheReadersMessage) {
  struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"[en_US]\nGREETING=hello\nGREETING=again\n", "duplicate key name"},
      {"[en_US]\nGREETING=hello\n[en_US]\n", "duplicate section name"},
      {"[en_US]\nGREETING=hello\njust words\n", "'=' character not found in line"},
      {"[en_US]\nGREETING=hello\n=value\n", "key expected"},
      {"[en_US]\nGREETING=hello\n[zh_CN\n", "unmatched '['"},
  };
  for (const auto& c : cases) {
    box_recorder boxes;
    config_dir cfg("[audio]\nchannels=2\n", c.text);
    std::string out = reload();
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    ASSERT_EQ(boxes.boxes().size(), 1u) << c.message;
    EXPECT_NE(boxes.boxes()[0].text.find(c.message), std::string::npos);
    EXPECT_EQ(boxes.boxes()[0].caption, "error");
    const settings& s = settings::instance();
    // Nothing of what was read before the fault stays.
    EXPECT_TRUE(s.lang_tree().empty()) << c.message;
    EXPECT_EQ(s.translate("GREETING"), "GREETING");
    EXPECT_EQ(s.get(keys::audio_channels), 2u);
  }
}

TEST(SettingsLanguage, MissingLangSettingMeansEnglish) {
  config_dir cfg("[audio]\n", kLang);
  EXPECT_EQ(settings::instance().lang(), "en_US");
  EXPECT_EQ(settings::instance().translate("GREETING"), "hello");
}

TEST(SettingsLanguage, UnknownLanguageIsReportedAndKeysStayUntranslated) {
  box_recorder boxes;
  config_dir cfg("[system]\nlang=fr_FR\n", config_dir::shipped_lang_conf());
  std::string out = reload();
  EXPECT_NE(out.find("\n[error] no such language: fr_FR, available: en_US, zh_CN\n"),
            std::string::npos)
      << out;
  EXPECT_TRUE(boxes.boxes().empty());
  EXPECT_EQ(settings::instance().lang(), "fr_FR");
  EXPECT_EQ(settings::instance().translate("ZRV_ERR_NET_TIMEOUT"), "ZRV_ERR_NET_TIMEOUT");
}

TEST(SettingsLanguage, WithoutALanguageFileTheReportListsNothing) {
  box_recorder boxes;
  config_dir cfg("[audio]\n", kLang);
  cfg.remove("lang.conf");
  std::string out = reload();
  EXPECT_NE(out.find("[error] no such language: en_US, available: \n"), std::string::npos) << out;
  EXPECT_EQ(settings::instance().translate("GREETING"), "GREETING");
}

TEST(SettingsLanguage, TranslationUsesOnlyTheCurrentLanguage) {
  config_dir cfg("[system]\nlang=zh_CN\n", kLang);
  const settings& s = settings::instance();
  EXPECT_EQ(s.translate("GREETING"), "你好");
  EXPECT_EQ(s.translate("ONLY_EN"), "ONLY_EN");
  EXPECT_EQ(s.translate("zh_CN"), "zh_CN");
}

TEST(SettingsLanguage, DottedKeyIsNotLookedUpDeeper) {
  config_dir cfg("[audio]\n", kLang);
  EXPECT_EQ(settings::instance().translate("GREETING.x"), "GREETING.x");
  EXPECT_EQ(settings::instance().translate(""), "");  // the section's own empty text
}

TEST(SettingsFormat, FillsThePatternOrFallsBackToThePrefixForm) {
  config_dir cfg("[audio]\n", kLang);
  const settings& s = settings::instance();
  EXPECT_EQ(s.translate_format("WAIT", 30), "wait 30 s");
  EXPECT_EQ(s.translate_format("PAIR", "a", 2), "a and 2");
  // Too few arguments for the pattern, and a missing key that has no place for its argument.
  EXPECT_EQ(s.translate_format("PAIR", 30), "bad pattern <%1% and %2%> for30");
  EXPECT_EQ(s.translate_format("MISSING", 30), "bad pattern <MISSING> for30");
  EXPECT_EQ(s.translate_format("WAIT", 30, "x"), "bad pattern <wait %1% s> for30, x");
}

TEST(SettingsFormat, WithoutAPrefixTextTheKeyIsThePrefix) {
  config_dir cfg("[audio]\n", "[en_US]\nPAIR=%1% and %2%\n");
  EXPECT_EQ(settings::instance().translate_format("PAIR", 30), "ERROR_I18N_FORMAT_PREFIX30");
}

TEST(SettingsFormat, PrefixThatDoesNotFormatIsTakenAsPlainText) {
  struct {
    const char* prefix;
    const char* one;
    const char* two;
  } cases[] = {
      {"100% broken:", "100% broken:30", "100% broken:30, 40"},
      {"needs %3%:", "needs %3%:30", "needs 40:30, 40"},  // %3% is there to fill
      {"ends in %", "ends in %30", "ends in %30, 40"},
      {"<%1%> %|x", "<%1%> %|x30", "<%1%> %|x30, 40"},
  };
  for (const auto& c : cases) {
    config_dir cfg("[audio]\n", std::string("[en_US]\nPAIR=%1% and %2%\nWAIT=%1%\n"
                                            "ERROR_I18N_FORMAT_PREFIX=") +
                                    c.prefix + "\n");
    const settings& s = settings::instance();
    std::string one;
    std::string two;
    EXPECT_NO_THROW(one = s.translate_format("PAIR", 30)) << c.prefix;
    EXPECT_NO_THROW(two = s.translate_format("WAIT", 30, 40)) << c.prefix;
    EXPECT_EQ(one, c.one);
    EXPECT_EQ(two, c.two);
  }
}

// A language text whose format fields are beyond any sensible size is never used as a pattern
// (a width of 2000000000 builds a string that long at every translation; a position past the int
// range overflows inside the format library): it is reported with its key when the file is
// read, and its translations take the prefix form.
TEST(SettingsFormat, HugeFieldsAreRefusedWhenTheFileIsRead) {
  config_dir cfg("[audio]\n",
                 "[en_US]\n"
                 "WIDE=%1$100000s\n"
                 "FAR=%99999999999999999999%\n"
                 "PRECISE=%1$.100000f\n"
                 "BARS=%|1$100000s|\n"
                 "SMALL=[%1$5s|%1$-9s|%|1$.1s|] 100%% %1% 100000\n"
                 "ERROR_I18N_FORMAT_PREFIX=bad pattern <%1%> for\n"
                 "[zh_CN]\n"
                 "WIDE=%1$100000s\n");
  const std::string out = reload();
  for (const char* key : {"en_US.WIDE", "en_US.FAR", "en_US.PRECISE", "en_US.BARS", "zh_CN.WIDE"}) {
    EXPECT_NE(out.find(std::string("[error] language text ") + key + " "), std::string::npos)
        << key << " in " << out;
  }
  EXPECT_EQ(out.find("SMALL"), std::string::npos) << out;

  const settings& s = settings::instance();
  EXPECT_EQ(s.translate_format("WIDE", "x"), "bad pattern <%1$100000s> forx");
  EXPECT_EQ(s.translate_format("FAR", "x", 2), "bad pattern <%99999999999999999999%> forx, 2");
  EXPECT_EQ(s.translate_format("PRECISE", 1.5), "bad pattern <%1$.100000f> for1.5");
  EXPECT_EQ(s.translate_format("BARS", "x"), "bad pattern <%|1$100000s|> forx");
  EXPECT_EQ(s.translate_format("SMALL", "ab"), "[   ab|ab       |a] 100% ab 100000");
  EXPECT_EQ(s.translate("WIDE"), "%1$100000s") << "the text itself stays as written";

  // A prefix with such a field is taken as plain text.
  cfg.rewrite("lang.conf", "[en_US]\nPAIR=%1% and %2%\nERROR_I18N_FORMAT_PREFIX=<%1$100000s>\n");
  EXPECT_EQ(settings::instance().translate_format("PAIR", 30), "<%1$100000s>30");
}

// The language file that ships beside the library: a text for every message in both languages,
// each with exactly the placeholders its callers fill.
TEST(SettingsShippedFiles, LanguageFileHasEveryMessageWithItsArguments) {
  struct {
    const char* key;
    int arguments;
  } messages[] = {
      {"AUDIO_NO_INPUT_DEVICE", 0},
      {"AUDIO_INVALID_INPUT_DEVICE", 0},
      {"AUDIO_OPEN_INPUT_DEVICE_FAILURE", 0},
      {"AUDIO_NO_OUTPUT_DEVICE", 0},
      {"AUDIO_INVALID_OUTPUT_DEVICE", 0},
      {"AUDIO_OPEN_OUTPUT_DEVICE_FAILURE", 0},
      {"AUDIO_BUFFER_ALREADY_STOPPED", 0},
      {"SAVE_RECORD_FAILED", 0},
      {"LOAD_RECORD_FAILED", 0},
      {"FILE_PERMISSION_SECURITY_ERROR", 1},
      {"ZRV_ERR_NET_BAD_URL", 1},
      {"ZRV_ERR_NET_CONNECTION", 1},
      {"ZRV_ERR_NET_TIMEOUT", 1},
      {"ZRV_ERR_NET_MAX_REDIRECTS_EXCEEDED", 1},
      {"ZRV_ERR_NET_HTTP", 1},
      {"ZRV_ERR_NET_MOVED_PERMANENTLY", 1},
      {"ZRV_ERR_NET_REDIRECTED", 1},
      {"ZRV_ERR_NET_MISSING_ARGS", 0},
      {"ZRV_ERR_NET_BAD_ARGS", 0},
      {"ZRV_ERR_NET_UNKNOWN_STATUS", 2},
      {"ZRV_ERR_NET_RESPONSE_TOO_LARGE", 1},
      {"ERROR_I18N_FORMAT_PREFIX", 1},
  };
  for (const char* language : {"en_US", "zh_CN"}) {
    box_recorder boxes;
    config_dir cfg(std::string("[system]\nlang=") + language + "\n",
                   config_dir::shipped_lang_conf());
    std::string out = reload();
    EXPECT_EQ(out.find("[error]"), std::string::npos) << out;
    const settings& s = settings::instance();
    std::set<std::string> listed;
    for (const auto& entry : s.lang_tree().get_child(language)) {
      listed.insert(entry.first);
    }
    EXPECT_EQ(listed.size(), sizeof messages / sizeof messages[0]) << language;
    for (const auto& m : messages) {
      std::string text = s.translate(m.key);
      EXPECT_NE(text, m.key) << language;
      boost::format f(text);
      EXPECT_EQ(f.expected_args(), m.arguments) << language << " " << m.key << ": " << text;
    }
  }
}

TEST(SettingsShippedFiles, ConfigurationReadsCleanlyAndTrustsOnlyThisMachine) {
  box_recorder boxes;
  config_dir cfg(config_dir::shipped_vocle_conf(), config_dir::shipped_lang_conf());
  std::string out = reload();
  EXPECT_EQ(out.find("[error]"), std::string::npos) << out;
  EXPECT_TRUE(boxes.boxes().empty());
  const settings& s = settings::instance();
  EXPECT_EQ(s.get(keys::system_file_permission), "sandbox");
  EXPECT_EQ(s.get(keys::log_type), "");
  EXPECT_EQ(s.get(keys::audio_sample_rate), 16000.0);
  settings::list trusted = s.get(keys::system_trusted);
  ASSERT_EQ(trusted.size(), 1u);
  boost::regex pattern(trusted[0]);
  for (const char* page :
       {"http://localhost/", "http://127.0.0.1:8080/demo/page.html", "https://localhost:8443/x"}) {
    EXPECT_TRUE(boost::regex_match(page, pattern)) << page;
  }
  for (const char* page : {"http://localhost.example.com/", "http://example.com/?localhost/",
                           "file:///tmp/page.html", "http://127.0.0.1.example.com/"}) {
    EXPECT_FALSE(boost::regex_match(page, pattern)) << page;
  }
}

// The shipped file is where a user learns what a key holds: the device priorities are host-API
// names, each compared with a device's host API as a whole, not patterns over device names.
TEST(SettingsShippedFiles, DevicePrioritiesAreDescribedAsHostApiNames) {
  const std::vector<std::string> lines = lines_of(config_dir::shipped_vocle_conf());
  auto at = std::find(lines.begin(), lines.end(), ";priorities=");
  ASSERT_NE(at, lines.end());
  // The comment lines right above the key ("; text", where a key left at its default reads
  // ";key=").
  std::string comment;
  while (at != lines.begin() && (at - 1)->compare(0, 2, "; ") == 0) {
    --at;
    comment = *at + "\n" + comment;
  }
  const std::string lower = boost::algorithm::to_lower_copy(comment);
  EXPECT_NE(lower.find("host-api names"), std::string::npos) << comment;
  EXPECT_EQ(lower.find("pattern"), std::string::npos) << comment;
  EXPECT_EQ(lower.find("device-name"), std::string::npos) << comment;
}

TEST(SettingsInstance, ResetReadsTheFilesAgain) {
  config_dir cfg("[audio]\nchannels=2\n", kLang);
  EXPECT_EQ(settings::instance().get(keys::audio_channels), 2u);
  cfg.rewrite("vocle.conf", "[audio]\nchannels=1\nbuffer_count=3\n");
  EXPECT_EQ(settings::instance().get(keys::audio_channels), 1u);
  EXPECT_EQ(settings::instance().get(keys::audio_buffer_count), 3u);
}

TEST(SettingsInstance, ConcurrentFirstUseBuildsOneObject) {
  config_dir cfg("[audio]\nchannels=2\n", kLang);
  CaptureStdout();
  std::vector<const settings*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] {
      const settings& s = settings::instance();
      seen[i] = s.get(keys::audio_channels) == 2u ? &s : nullptr;
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  std::string out = GetCapturedStdout();
  for (const settings* s : seen) {
    EXPECT_EQ(s, &settings::instance());
  }
  EXPECT_EQ(out, "initializing settings...\nsettings initialized!\n");
}

}  // namespace
