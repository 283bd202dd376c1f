// Record encoding, default record file names, the file-permission rule and path normalisation.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>

#include "common/config_dir.h"
#include "common/scoped_env.h"
#include "common/temp_dir.h"
#include "core/audio/audio_buffer.h"
#include "core/foundation/binary.h"
#include "core/studio/studio.h"
#include "framework/script_error.h"
#include "log_capture.h"

namespace {

using vocle::audio::audio_buffer;
using vocle::audio::studio;
using vocle::testkit::config_dir;
using vocle::testkit::log_capture;
using vocle::testkit::scoped_env;
using vocle::testkit::temp_dir;

const char* const lang_conf = "[en_US]\nFILE_PERMISSION_SECURITY_ERROR=refused (%1%)\n";

std::string current_folder() {
  return boost::filesystem::current_path().string();
}

// The per-user folder is a temporary one, so "@{appdata}" names a known place.
class Paths : public ::testing::Test {
 protected:
  temp_dir m_home;
  scoped_env m_env;
  log_capture m_log;

  Paths() { m_env.set("XDG_DATA_HOME", m_home.path()).set("HOME", m_home.path()); }

  std::string appdata() const { return m_home.path() + "/Tarvix"; }
};

TEST_F(Paths, DefaultNamesWithAndWithoutIndex) {
  config_dir cfg("", lang_conf);
  EXPECT_EQ("@{appdata}/test.wav", studio::default_path("wav"));
  EXPECT_EQ("@{appdata}/test.", studio::default_path(""));
  EXPECT_EQ("@{appdata}/test.2wav", studio::default_path("wav", 2));
  EXPECT_EQ("@{appdata}/test.0wav", studio::default_path("wav", 0));
  EXPECT_EQ("@{appdata}/test.10wav", studio::default_path("wav", 10));
  EXPECT_EQ("@{appdata}/test.18446744073709551615mp3",
            studio::default_path("mp3", std::numeric_limits<std::uint64_t>::max()));
}

TEST_F(Paths, DefaultNamesFollowTheConfiguredPrefixAtEveryCall) {
  config_dir cfg("[audio]\nrecord_file_prefix=@{dlldir}/rec-\n", lang_conf);
  EXPECT_EQ("@{dlldir}/rec-raw", studio::default_path("raw"));
  EXPECT_EQ("@{dlldir}/rec-7raw", studio::default_path("raw", 7));
  cfg.rewrite("vocle.conf", "[audio]\nrecord_file_prefix=/x/y\n");
  EXPECT_EQ("/x/ywav", studio::default_path("wav"));
}

TEST_F(Paths, NormalisationExpandsAndMakesAbsoluteOnly) {
  config_dir cfg("", lang_conf);
  const std::string here = current_folder();
  struct {
    std::string raw;
    std::string resolved;
  } cases[] = {
      {"/rec/a.wav", "/rec/a.wav"},
      {"rec\\a.wav", here + "/rec\\a.wav"},
      {"rec/a.wav", here + "/rec/a.wav"},
      {"../up/a.wav", here + "/../up/a.wav"},
      {"/x/./y/../z.wav", "/x/./y/../z.wav"},
      {"@{appdata}/test.wav", appdata() + "/test.wav"},
      {"@{dlldir}/b.raw", cfg.path() + "/b.raw"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.resolved, studio::normalize_path(c.raw)) << c.raw;
  }
}

TEST_F(Paths, EachNormalisationDrawsAFreshIdentifier) {
  config_dir cfg("", lang_conf);
  const std::string a = studio::normalize_path("/r/@{random-uuid}.wav");
  const std::string b = studio::normalize_path("/r/@{random-uuid}.wav");
  EXPECT_EQ(3u + 36u + 4u, a.size());
  EXPECT_NE(a, b);
}

struct permission_case {
  const char* setting;  // nullptr: the key is absent
  bool allowed;
};

class FilePermission : public Paths, public ::testing::WithParamInterface<permission_case> {};

TEST_P(FilePermission, OnlyTheExactWordsAllow) {
  const permission_case& c = GetParam();
  const std::string conf =
      c.setting ? std::string("[system]\nfile_permission=") + c.setting + "\n" : std::string();
  config_dir cfg(conf, lang_conf);
  const studio::file_access access =
      studio::resolve_file_path("/page/a.wav", studio::default_path("wav"));
  EXPECT_EQ(c.allowed, access.allowed);
  if (!c.allowed) {
    const std::string value = c.setting ? c.setting : "";
    EXPECT_EQ("refused (" + value + ")", access.refusal);
    EXPECT_EQ("", access.path);
    EXPECT_EQ(std::vector<std::string>{access.refusal}, m_log.messages("ERROR"));
  } else {
    EXPECT_EQ("", access.refusal);
    EXPECT_TRUE(m_log.messages("ERROR").empty());
  }
}

// The configuration reader trims values, so blanks around a word cannot reach the rule from a
// file; quotes, other letter cases and extra characters can.
INSTANTIATE_TEST_SUITE_P(
    Table, FilePermission,
    ::testing::Values(permission_case{"all", true}, permission_case{"sandbox", true},
                      permission_case{nullptr, false}, permission_case{"", false},
                      permission_case{"ALL", false}, permission_case{"All", false},
                      permission_case{"Sandbox", false}, permission_case{"SANDBOX", false},
                      permission_case{"\"all\"", false}, permission_case{"all sandbox", false},
                      permission_case{"allx", false}, permission_case{"none", false}));

TEST_F(Paths, AllUsesThePagePathOrTheDefaultWhenEmpty) {
  config_dir cfg("[system]\nfile_permission=all\n", lang_conf);
  struct {
    std::string raw;
    std::string default_name;
    std::string resolved;
  } cases[] = {
      {"/rec/a.wav", studio::default_path("wav"), "/rec/a.wav"},
      {"rec/a.wav", studio::default_path("wav"), current_folder() + "/rec/a.wav"},
      {"", studio::default_path("mp3"), appdata() + "/test.mp3"},
      {"", studio::default_path("wav", 3), appdata() + "/test.3wav"},
      // An empty format: the bare prefix, a file named "test." in the per-user folder.
      {"", studio::default_path(""), appdata() + "/test."},
  };
  for (const auto& c : cases) {
    const studio::file_access access = studio::resolve_file_path(c.raw, c.default_name);
    EXPECT_TRUE(access.allowed);
    EXPECT_EQ(c.resolved, access.path) << '"' << c.raw << '"';
  }
  EXPECT_TRUE(m_log.messages("WARN").empty());
}

TEST_F(Paths, SandboxAlwaysUsesTheDefaultAndWarns) {
  config_dir cfg("[system]\nfile_permission=sandbox\n", lang_conf);
  studio::file_access access =
      studio::resolve_file_path("/page/chosen.wav", studio::default_path("wav"));
  EXPECT_TRUE(access.allowed);
  EXPECT_EQ(appdata() + "/test.wav", access.path);

  access = studio::resolve_file_path("", studio::default_path("wav", 10));
  EXPECT_EQ(appdata() + "/test.10wav", access.path);

  EXPECT_EQ(
      (std::vector<std::string>{
          "switch system/file_permission is sandbox, save to default file @{appdata}/test.wav",
          "switch system/file_permission is sandbox, save to default file "
          "@{appdata}/test.10wav"}),
      m_log.messages("WARN"));
}

TEST_F(Paths, ARefusalExpandsNothing) {
  config_dir cfg("", lang_conf);
  scoped_env no_home;
  no_home.unset("HOME").unset("XDG_DATA_HOME");
  // With no per-user folder "@{appdata}" cannot be expanded; a refused request never tries.
  const studio::file_access refused =
      studio::resolve_file_path("@{appdata}/a.wav", studio::default_path("wav"));
  EXPECT_FALSE(refused.allowed);

  cfg.rewrite("vocle.conf", "[system]\nfile_permission=all\n");
  EXPECT_THROW(studio::resolve_file_path("@{appdata}/a.wav", studio::default_path("wav")),
               std::runtime_error);
}

class EncodeRecord : public ::testing::Test {
 protected:
  config_dir m_cfg{""};
  log_capture m_log;
  studio m_studio;
  studio::buffer_ptr m_buffer = m_studio.get_buffer(0);

  static std::uint32_t u32(const vocle::binary& b, std::size_t at) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(b.begin()) + at;
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24);
  }
};

TEST_F(EncodeRecord, AnUnknownFormatFailsBeforeTheBufferIsTouched) {
  for (const std::string format : {"WAV", "", "raw ", "pcm"}) {
    try {
      m_studio.encode_record(m_buffer, format);
      ADD_FAILURE() << "no error for \"" << format << '"';
    } catch (const FB::script_error& e) {
      EXPECT_EQ("wrong encoding type " + format, e.what());
    }
  }
  EXPECT_TRUE(m_log.messages("").empty());
}

TEST_F(EncodeRecord, AnEmptyBufferIsEncodedLikeAnyOther) {
  boost::shared_ptr<vocle::binary> raw = m_studio.encode_record(m_buffer, "raw");
  ASSERT_TRUE(raw);
  EXPECT_EQ(0u, raw->size());
  boost::shared_ptr<vocle::binary> wav = m_studio.encode_record(m_buffer, "wav");
  EXPECT_EQ(44u, wav->size());
  EXPECT_EQ(2u, m_log.count("DEBUG", "got 0 samples"));
  EXPECT_EQ(1u, m_log.count("DEBUG", "encoded to binary 0"));
  EXPECT_EQ(1u, m_log.count("DEBUG", "encoded to binary 44"));
}

TEST_F(EncodeRecord, UsesTheSamplesAndTheStudiosCurrentParameters) {
  const std::int16_t samples[3] = {1, -2, 0x1234};
  m_buffer->append(samples, 3);
  boost::shared_ptr<vocle::binary> raw = m_studio.encode_record(m_buffer, "raw");
  ASSERT_EQ(6u, raw->size());
  EXPECT_EQ(0, std::memcmp(raw->data(), "\x01\x00\xfe\xff\x34\x12", 6));

  m_studio.set_sample_rate(8000.0);
  boost::shared_ptr<vocle::binary> wav = m_studio.encode_record(m_buffer, "wav");
  ASSERT_EQ(50u, wav->size());
  EXPECT_EQ(8000u, u32(*wav, 24));  // the rate set a moment ago
  EXPECT_EQ(6u, u32(*wav, 40));     // data size
  EXPECT_EQ(0, std::memcmp(wav->data() + 44, raw->data(), 6));
  EXPECT_EQ(3u, m_buffer->m_samples.size()) << "the buffer keeps its samples";
  EXPECT_EQ(2u, m_log.count("DEBUG", "got 3 samples"));
  EXPECT_EQ(1u, m_log.count("DEBUG", "encoded to binary 50"));
}

// A recording appends whole blocks under the buffer's lock while the page reads the record out:
// every result is a snapshot made of whole blocks, in order.
TEST_F(EncodeRecord, ARecordingBufferIsEncodedAsItStoodAtTheCopy) {
  const std::size_t block = 160;
  std::atomic<bool> stop{false};
  std::thread recording([&] {
    std::vector<std::int16_t> samples(block);
    for (std::int16_t n = 0; !stop.load() && n < 2000; ++n) {
      std::fill(samples.begin(), samples.end(), n);
      boost::mutex::scoped_lock lock(m_buffer->m_mutex);
      m_buffer->append(samples.data(), samples.size());
    }
  });
  std::size_t last = 0;
  for (int i = 0; i < 200; ++i) {
    boost::shared_ptr<vocle::binary> raw = m_studio.encode_record(m_buffer, "raw");
    const std::size_t count = raw->size() / 2;
    ASSERT_EQ(0u, count % block);
    ASSERT_GE(count, last);
    const std::int16_t* s = reinterpret_cast<const std::int16_t*>(raw->begin());
    for (std::size_t k = 0; k < count; ++k) {
      ASSERT_EQ(static_cast<std::int16_t>(k / block), s[k]);
    }
    last = count;
  }
  stop = true;
  recording.join();
}

}  // namespace
