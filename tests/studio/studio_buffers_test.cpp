// The studio object: construction from the settings, the buffer table with its growth and limit,
// the audio parameters and the recognition URL.
#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>

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

const char* const limit_error = "reach max_buffer_count limit";

// Runs f and gives the text of the script error it raises ("" when it raises none).
template <class F>
std::string script_error_of(F f) {
  try {
    f();
  } catch (const FB::script_error& e) {
    return e.what();
  }
  return "";
}

TEST(StudioConstruction, DefaultsWithoutConfiguration) {
  config_dir cfg("");
  studio s;
  EXPECT_EQ(1u, s.buffer_count());
  EXPECT_EQ(10u, s.max_buffer_count());
  EXPECT_EQ(16000.0, s.sample_rate());
  EXPECT_EQ(1024u, s.frames_per_buffer());
  EXPECT_EQ(1u, s.channels());
  EXPECT_EQ(8u, s.sample_format());  // paInt16
  EXPECT_FALSE(s.interleaved());
  EXPECT_EQ(60u, s.upload_timeout());
  EXPECT_EQ("http://127.0.0.1:8765/1/assess.wav", s.recognition_url());
  EXPECT_EQ("1.1.0.0", s.version());
  EXPECT_EQ("1.1.0.0", s.version_detail());
}

TEST(StudioConstruction, ReadsTheAudioSection) {
  config_dir cfg(
      "[audio]\nbuffer_count=3\nmax_buffer_count=5\nsample_rate=8000.5\nframes_per_buffer=256\n"
      "channels=2\nsample_format=INT24\ninterleaved=true\nupload_timeout=15\n");
  studio s;
  EXPECT_EQ(3u, s.buffer_count());
  EXPECT_EQ(5u, s.max_buffer_count());
  EXPECT_EQ(8000.5, s.sample_rate());
  EXPECT_EQ(256u, s.frames_per_buffer());
  EXPECT_EQ(2u, s.channels());
  EXPECT_EQ(4u, s.sample_format());
  EXPECT_TRUE(s.interleaved());
  EXPECT_EQ(15u, s.upload_timeout());
}

TEST(StudioConstruction, MalformedValuesTakeTheirDefaults) {
  config_dir cfg(
      "[audio]\nbuffer_count=two\nmax_buffer_count=-1\nsample_rate=fast\nframes_per_buffer=512x\n"
      "interleaved=yes\nupload_timeout=\n");
  studio s;
  EXPECT_EQ(1u, s.buffer_count());
  EXPECT_EQ(10u, s.max_buffer_count());
  EXPECT_EQ(16000.0, s.sample_rate());
  EXPECT_EQ(1024u, s.frames_per_buffer());
  EXPECT_FALSE(s.interleaved());
  EXPECT_EQ(60u, s.upload_timeout());
}

struct sample_format_case {
  const char* text;
  std::uint32_t code;
};

class SampleFormat : public ::testing::TestWithParam<sample_format_case> {};

TEST_P(SampleFormat, MapsTheWholeTextExactly) {
  config_dir cfg(std::string("[audio]\nsample_format=") + GetParam().text + "\n");
  studio s;
  EXPECT_EQ(GetParam().code, s.sample_format()) << '"' << GetParam().text << '"';
}

// The configuration reader trims values, so the near misses a file can hold are other letter
// cases, extra characters and inner blanks.
INSTANTIATE_TEST_SUITE_P(
    Table, SampleFormat,
    ::testing::Values(sample_format_case{"FLOAT32", 1}, sample_format_case{"INT32", 2},
                      sample_format_case{"INT24", 4}, sample_format_case{"INT16", 8},
                      sample_format_case{"INT8", 16}, sample_format_case{"UINT8", 32},
                      sample_format_case{"", 8}, sample_format_case{"int16", 8},
                      sample_format_case{"float32", 8}, sample_format_case{"INT16x", 8},
                      sample_format_case{"INT 8", 8}, sample_format_case{"UINT", 8}));

class BufferTable : public ::testing::Test {
 protected:
  config_dir m_cfg{"[audio]\nmax_buffer_count=10\n"};
  log_capture m_log;
  studio m_studio;
};

TEST_F(BufferTable, GrowthMakesEveryMissingSlotAndLogsIt) {
  studio::buffer_ptr first = m_studio.get_buffer(0);
  studio::buffer_ptr fourth = m_studio.get_buffer(3);
  ASSERT_TRUE(fourth);
  EXPECT_EQ(4u, m_studio.buffer_count());
  EXPECT_EQ(1u, m_log.count("INFO", "add more 3 lacked buffers(1 -> 4)"));
  // Existing slots keep their buffers, new ones are distinct and empty.
  EXPECT_EQ(first, m_studio.get_buffer(0));
  EXPECT_EQ(fourth, m_studio.get_buffer(3));
  EXPECT_NE(m_studio.get_buffer(1), m_studio.get_buffer(2));
  EXPECT_TRUE(m_studio.get_buffer(2)->m_samples.empty());
  // A slot that exists is returned without a growth line.
  EXPECT_EQ(1u, m_log.messages("INFO").size());
}

TEST_F(BufferTable, GrowthStopsAtTheMaximum) {
  EXPECT_EQ(limit_error, script_error_of([&] { m_studio.get_buffer(10); }));
  EXPECT_EQ(1u, m_studio.buffer_count());
  // The growth line is written before the refusal.
  EXPECT_EQ(1u, m_log.count("INFO", "add more 10 lacked buffers(1 -> 11)"));

  ASSERT_TRUE(m_studio.get_buffer(9));
  EXPECT_EQ(10u, m_studio.buffer_count());
}

TEST_F(BufferTable, TheLargestIndexIsRefusedWithoutWrapping) {
  const std::uint64_t largest = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(limit_error, script_error_of([&] { m_studio.get_buffer(largest); }));
  EXPECT_EQ(1u, m_studio.buffer_count());
  EXPECT_EQ(1u, m_log.count("INFO",
                            "add more 18446744073709551615 lacked buffers(1 -> "
                            "18446744073709551616)"));
  // From an empty table the count of missing slots is the one that needs the 65th bit.
  m_studio.set_buffer_count(0);
  EXPECT_EQ(limit_error, script_error_of([&] { m_studio.get_buffer(largest); }));
  EXPECT_EQ(0u, m_studio.buffer_count());
  EXPECT_EQ(1u, m_log.count("INFO",
                            "add more 18446744073709551616 lacked buffers(0 -> "
                            "18446744073709551616)"));
}

TEST_F(BufferTable, SetBufferCountResizesUpToTheMaximum) {
  m_studio.set_buffer_count(10);
  EXPECT_EQ(10u, m_studio.buffer_count());
  EXPECT_EQ(1u, m_log.count("INFO", "resize audio buffers from 1 to 10"));

  const std::size_t lines = m_log.lines().size();
  EXPECT_EQ(limit_error, script_error_of([&] { m_studio.set_buffer_count(11); }));
  EXPECT_EQ(10u, m_studio.buffer_count());
  EXPECT_EQ(lines, m_log.lines().size()) << "a refused resize logs nothing";

  m_studio.set_buffer_count(4);
  EXPECT_EQ(4u, m_studio.buffer_count());
  m_studio.set_buffer_count(4);
  EXPECT_EQ(1u, m_log.count("INFO", "resize audio buffers from 4 to 4"));
  EXPECT_EQ(4u, m_studio.buffer_count());
}

TEST_F(BufferTable, ASlotRemadeAfterShrinkingIsANewEmptyBuffer) {
  studio::buffer_ptr old = m_studio.get_buffer(0);
  old->m_samples.assign(std::vector<std::int16_t>(5, 7));
  m_studio.set_buffer_count(0);
  EXPECT_EQ(0u, m_studio.buffer_count());
  studio::buffer_ptr fresh = m_studio.get_buffer(0);
  EXPECT_NE(old, fresh);
  EXPECT_TRUE(fresh->m_samples.empty());
  EXPECT_EQ(1u, m_studio.buffer_count());
}

TEST_F(BufferTable, ABufferRemovedWhileHeldStaysUsable) {
  m_studio.set_buffer_count(3);
  studio::buffer_ptr held = m_studio.get_buffer(2);
  m_studio.set_buffer_count(1);
  // The holder (a recording, say) still owns a live buffer and can go on filling it.
  ASSERT_EQ(1, held.use_count());
  {
    boost::mutex::scoped_lock lock(held->m_mutex);
    const std::int16_t block[3] = {1, 2, 3};
    held->append(block, 3);
  }
  EXPECT_EQ(3u, held->m_samples.size());
  EXPECT_NE(held, m_studio.get_buffer(2));
}

TEST(StudioConstruction, ConfiguredCountAboveTheMaximum) {
  config_dir cfg("[audio]\nbuffer_count=12\nmax_buffer_count=10\n");
  studio s;
  EXPECT_EQ(12u, s.buffer_count());
  studio::buffer_ptr last = s.get_buffer(11);
  ASSERT_TRUE(last);
  EXPECT_EQ(12u, s.buffer_count());
  EXPECT_EQ(limit_error, script_error_of([&] { s.set_buffer_count(12); }));
  EXPECT_EQ(limit_error, script_error_of([&] { s.get_buffer(12); }));
  EXPECT_EQ(12u, s.buffer_count());
}

TEST(StudioConstruction, NoBuffersWhenTheCountIsZero) {
  config_dir cfg("[audio]\nbuffer_count=0\n");
  studio s;
  EXPECT_EQ(0u, s.buffer_count());
  ASSERT_TRUE(s.get_buffer(0));
  EXPECT_EQ(1u, s.buffer_count());
}

TEST(StudioParameters, SettersStoreAnyValueUnchanged) {
  config_dir cfg("");
  studio s;
  s.set_sample_rate(0.0);
  s.set_frames_per_buffer(0);
  s.set_upload_timeout(0);
  EXPECT_EQ(0.0, s.sample_rate());
  EXPECT_EQ(0u, s.frames_per_buffer());
  EXPECT_EQ(0u, s.upload_timeout());
  s.set_sample_rate(44100.25);
  s.set_frames_per_buffer(std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(44100.25, s.sample_rate());
  EXPECT_EQ(std::numeric_limits<std::uint64_t>::max(), s.frames_per_buffer());
}

// A worker reads the parameters while the page's thread changes them: every value it sees is one
// that was written, never a mixture (and the sanitizer sees no race).
TEST(StudioParameters, ReadersOnOtherThreadsSeeWholeValues) {
  config_dir cfg("");
  studio s;
  const double rates[2] = {8000.0, 44100.0};
  const std::uint64_t frames[2] = {0x0000000100000000ull, 0x00000000ffffffffull};
  s.set_sample_rate(rates[0]);
  s.set_frames_per_buffer(frames[0]);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!stop.load()) {
      const double r = s.sample_rate();
      const std::uint64_t f = s.frames_per_buffer();
      if ((r != rates[0] && r != rates[1]) || (f != frames[0] && f != frames[1])) {
        ++torn;
      }
    }
  });
  for (int i = 0; i < 20000; ++i) {
    s.set_sample_rate(rates[i % 2]);
    s.set_frames_per_buffer(frames[i % 2]);
    s.set_upload_timeout(i);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(0, torn.load());
}

TEST(StudioRecognitionUrl, OverrideAndFallBack) {
  config_dir cfg("[audio]\nrecognition_url=http://127.0.0.1:1/1/assess.wav\n");
  studio s;
  EXPECT_EQ("http://127.0.0.1:1/1/assess.wav", s.recognition_url());
  s.set_recognition_url("http://127.0.0.1:2/mine");
  EXPECT_EQ("http://127.0.0.1:2/mine", s.recognition_url());
  s.set_recognition_url("");
  EXPECT_EQ("http://127.0.0.1:1/1/assess.wav", s.recognition_url());
  // The configured URL is read when asked for, not when the studio was built.
  cfg.rewrite("vocle.conf", "[audio]\nrecognition_url=http://127.0.0.1:3/1/assess.wav\n");
  EXPECT_EQ("http://127.0.0.1:3/1/assess.wav", s.recognition_url());
}

}  // namespace
