// Record read-out and description for the page, and the page's own log lines.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/config_dir.h"
#include "core/audio/audio_buffer.h"
#include "core/studio/studio.h"
#include "framework/script_error.h"
#include "log_capture.h"

namespace {

using vocle::audio::audio_buffer;
using vocle::audio::studio;
using vocle::testkit::config_dir;
using vocle::testkit::log_capture;
typedef std::map<std::string, std::string> info_t;

class Records : public ::testing::Test {
 protected:
  config_dir m_cfg{""};
  log_capture m_log;
  studio m_studio;

  void fill(std::uint64_t index, std::size_t n, std::int16_t value = 0) {
    studio::buffer_ptr b = m_studio.get_buffer(index);
    boost::mutex::scoped_lock lock(b->m_mutex);
    b->m_samples.assign(std::vector<std::int16_t>(n, value));
  }
};

TEST_F(Records, InfoOfAFreshSlot) {
  const info_t expected = {{"status", "0"},     {"vad_statistics", ""}, {"sample_rate", "16000"},
                           {"count", "0"},      {"time", "0"},          {"channels", "1"},
                           {"interleaved", "0"}};
  EXPECT_EQ(expected, m_studio.get_record_info(0));
}

TEST_F(Records, InfoCountsSamplesAndTime) {
  fill(0, 40000);
  info_t info = m_studio.get_record_info(0);
  EXPECT_EQ("40000", info["count"]);
  EXPECT_EQ("2.5", info["time"]);

  // Numbers as a stream writes them by default: six significant digits, no trailing zeros,
  // exponent form from a million on.
  fill(0, 1);
  m_studio.set_sample_rate(3.0);
  info = m_studio.get_record_info(0);
  EXPECT_EQ("3", info["sample_rate"]);
  EXPECT_EQ("0.333333", info["time"]);
  m_studio.set_sample_rate(2000000.0);
  info = m_studio.get_record_info(0);
  EXPECT_EQ("2e+06", info["sample_rate"]);
  EXPECT_EQ("5e-07", info["time"]);
}

TEST_F(Records, InfoShowsTheStatusOfTheBuffer) {
  m_studio.get_buffer(0)->m_status = audio_buffer::status_playing;
  EXPECT_EQ("2", m_studio.get_record_info(0)["status"]);
}

TEST(RecordInfo, ReportsTheConfiguredLayout) {
  config_dir cfg("[audio]\nchannels=2\ninterleaved=true\nsample_rate=8000\n");
  studio s;
  info_t info = s.get_record_info(0);
  EXPECT_EQ("2", info["channels"]);
  EXPECT_EQ("1", info["interleaved"]);
  EXPECT_EQ("8000", info["sample_rate"]);
}

TEST_F(Records, InfoBeyondTheTableGrowsItUpToTheLimit) {
  const info_t info = m_studio.get_record_info(4);
  EXPECT_EQ("0", info.at("count"));
  EXPECT_EQ(5u, m_studio.buffer_count());
  EXPECT_EQ(1u, m_log.count("INFO", "add more 4 lacked buffers(1 -> 5)"));
  EXPECT_THROW(m_studio.get_record_info(10), FB::script_error);
  EXPECT_EQ(5u, m_studio.buffer_count());
}

TEST_F(Records, GetRecordIsTheBase64OfTheEncodedRecord) {
  {
    studio::buffer_ptr b = m_studio.get_buffer(0);
    const std::int16_t samples[3] = {0x0201, 0x0403, 0x0605};
    b->append(samples, 3);
  }
  const std::string raw = m_studio.get_record(0, "raw");
  EXPECT_EQ(8u, raw.size());
  EXPECT_EQ("AQIDBAUG", raw);  // the bytes 01 02 03 04 05 06

  // "wav": 44 header bytes and 6 data bytes, 50 bytes in 68 characters, one pad.
  const std::string wav = m_studio.get_record(0, "wav");
  EXPECT_EQ(68u, wav.size());
  EXPECT_EQ("UklGRi", wav.substr(0, 6));  // "RIFF"
  EXPECT_EQ("=", wav.substr(wav.size() - 1));
}

TEST_F(Records, GetRecordOfAnEmptySlot) {
  EXPECT_EQ("", m_studio.get_record(0, "raw"));
  EXPECT_EQ(60u, m_studio.get_record(2, "wav").size());  // 44 bytes
  EXPECT_EQ(3u, m_studio.buffer_count());
}

TEST_F(Records, GetRecordFailures) {
  try {
    m_studio.get_record(0, "ogg");
    ADD_FAILURE() << "no error for an unknown format";
  } catch (const FB::script_error& e) {
    EXPECT_STREQ("wrong encoding type ogg", e.what());
  }
  try {
    m_studio.get_record(10, "raw");
    ADD_FAILURE() << "no error beyond the limit";
  } catch (const FB::script_error& e) {
    EXPECT_STREQ("reach max_buffer_count limit", e.what());
  }
}

TEST_F(Records, LogLevelsByName) {
  struct {
    const char* type;
    const char* level;
  } cases[] = {
      {"trace", "TRACE"}, {"debug", "DEBUG"}, {"info", "INFO"},
      {"warn", "WARN"},   {"error", "ERROR"}, {"fatal", "ERROR"},
  };
  for (const auto& c : cases) {
    const std::size_t before = m_log.lines().size();
    studio::log(c.type, std::string("page says ") + c.type);
    const std::vector<log_capture::line> lines = m_log.lines();
    ASSERT_EQ(before + 1, lines.size()) << c.type;
    EXPECT_EQ(c.level, lines.back().level) << c.type;
    EXPECT_EQ(std::string("page says ") + c.type, lines.back().message);
    EXPECT_EQ("vocle::audio::studio::log", lines.back().function);
  }
}

TEST_F(Records, LogWithAnUnknownType) {
  for (const char* type : {"WARN", "Info", "", "fatal "}) {
    studio::log(type, "hello");
    EXPECT_EQ(1u,
              m_log.count("WARN", std::string("unknown log type ") + type + " of message hello"))
        << '"' << type << '"';
  }
  EXPECT_EQ(4u, m_log.lines().size());
}

TEST_F(Records, LogTakesThePagesTextAsItIs) {
  studio::log("info", "50% done, %1% and %2% and %");
  studio::log("nope", "%1%");
  EXPECT_EQ(1u, m_log.count("INFO", "50% done, %1% and %2% and %"));
  EXPECT_EQ(1u, m_log.count("WARN", "unknown log type nope of message %1%"));
  EXPECT_TRUE(m_log.messages("ERROR").empty()) << "no formatting failure";
}

}  // namespace
