// The buffer's own operations and its two stream callbacks, called as PortAudio calls them: with a
// list of channel buffers (non-interleaved) and the frame count.
#include "core/audio/audio_buffer.h"

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/any.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include "audio_test_support.h"
#include "common/config_dir.h"
#include "common/recording_function.h"
#include "core/audio/audio_input_strategy.h"
#include "core/audio/audio_output_strategy.h"

namespace vocle {
namespace audio {
namespace {

typedef std::map<std::string, boost::any> options_map;

const double rate = 16000.0;
const unsigned long block = 1024;

std::vector<std::int16_t> counting(std::size_t n) {
  std::vector<std::int16_t> samples(n);
  for (std::size_t i = 0; i < n; ++i) {
    samples[i] = static_cast<std::int16_t>(i);
  }
  return samples;
}

TEST(audio_buffer_trim, keeps_the_samples_between_first_and_last_in_two_steps) {
  struct {
    std::size_t first, last;
    std::size_t kept_from, kept_to;  // of 0..9
  } const cases[] = {
      {3, 7, 3, 7}, {0, 10, 0, 10},  {2, 20, 2, 10},  // last at or beyond the count
      {4, 4, 0, 4},                                   // equal: step 2 removes nothing
      {8, 5, 0, 5},                                   // first beyond what step 1 left
      {0, 0, 0, 0}, {12, 15, 0, 10},
  };
  for (const auto& c : cases) {
    audio_buffer buffer;
    buffer.m_samples.assign(counting(10));
    buffer.trim(c.first, c.last);
    const std::vector<std::int16_t> all = counting(10);
    EXPECT_EQ(buffer.m_samples.to_vector(),
              std::vector<std::int16_t>(all.begin() + c.kept_from, all.begin() + c.kept_to))
        << "trim(" << c.first << ", " << c.last << ")";
  }
}

TEST(audio_buffer_append, appends_in_order_also_from_its_own_samples) {
  audio_buffer buffer;
  std::vector<std::int16_t> expected = counting(10);
  buffer.append(expected.data(), expected.size());
  buffer.append(expected.data(), 0);
  // Each time from inside the buffer's first chunk, often enough to fill it and go on in the
  // next.
  for (int round = 0; round < 14; ++round) {
    const vocle::sample_view::span first = buffer.m_samples.view().spans().front();
    const std::size_t from = first.size / 3;
    const std::size_t n = first.size - from;
    buffer.append(first.data + from, n);
    expected.insert(expected.end(), expected.begin() + from, expected.begin() + from + n);
    ASSERT_EQ(buffer.m_samples.to_vector(), expected) << "round " << round;
  }
}

TEST(audio_buffer, starts_idle_and_empty_with_both_strategies) {
  audio_buffer buffer;
  EXPECT_TRUE(buffer.m_samples.empty());
  EXPECT_FALSE(buffer.m_listener);
  EXPECT_FALSE(buffer.m_stop_requested);
  EXPECT_EQ(buffer.m_status, 0u);
  EXPECT_TRUE(buffer.m_input);
  EXPECT_TRUE(buffer.m_output);
  EXPECT_EQ(buffer.vad_statistics(), "");
}

TEST(audio_buffer, preparing_a_recording_empties_the_samples_also_without_a_strategy) {
  testkit::config_dir config;
  audio_buffer buffer;
  buffer.m_samples.assign(counting(10));
  buffer.m_input.reset();
  buffer.prepare_record(rate, options_map());
  EXPECT_TRUE(buffer.m_samples.empty());
  EXPECT_EQ(buffer.vad_statistics(), "");
  buffer.clip();

  buffer.m_samples.assign(counting(10));
  buffer.m_output.reset();
  buffer.prepare_playback(rate, options_map());
  EXPECT_EQ(buffer.m_samples.to_vector(), counting(10));
}

// A strategy that answers each block from a script and counts the calls.
class scripted_input : public audio_input_strategy {
 public:
  explicit scripted_input(std::vector<int> results) : m_results(results) {}
  void prepare(audio_buffer&, double, const options_map&) override {}
  void reset() override {}
  int on_record(audio_buffer&, const std::int16_t*, std::uint32_t) override {
    return m_results.at(m_calls++);
  }
  std::string vad_statistics() override { return "scripted"; }
  void clip(audio_buffer&) override {}
  std::size_t m_calls = 0;

 private:
  std::vector<int> m_results;
};

class scripted_output : public audio_output_strategy {
 public:
  explicit scripted_output(std::vector<int> results) : m_results(results) {}
  void prepare(audio_buffer&, double, const options_map&) override {}
  void reset() override {}
  int on_playback(audio_buffer&, std::int16_t* out, std::uint32_t frames) override {
    std::fill(out, out + frames, 7);
    return m_results.at(m_calls++);
  }
  std::size_t m_calls = 0;

 private:
  std::vector<int> m_results;
};

class failing_strategy : public audio_input_strategy, public audio_output_strategy {
 public:
  void prepare(audio_buffer&, double, const options_map&) override {}
  void reset() override {}
  int on_record(audio_buffer&, const std::int16_t*, std::uint32_t) override {
    throw std::runtime_error("strategy failed");
  }
  int on_playback(audio_buffer&, std::int16_t* out, std::uint32_t) override {
    out[0] = 555;
    throw std::runtime_error("strategy failed");
  }
  std::string vad_statistics() override { return ""; }
  void clip(audio_buffer&) override {}
};

class throwing_function : public vocle::function {
 public:
  FB::variant call(const FB::VariantList&) override { throw std::runtime_error("listener failed"); }
  void call_async(const FB::VariantList&) override { throw std::runtime_error("listener failed"); }
};

class callback_test : public ::testing::Test {
 protected:
  void SetUp() override {
    testkit::reset_training();
    m_buffer.m_listener = m_listener;
    m_in = testkit::zero_mean_noise(block, 1);
    m_out.assign(block, 99);
  }

  int record() { return record_from(m_in.data()); }
  int record_from(const std::int16_t* channel0) {
    const std::int16_t* channels[] = {channel0};
    return m_buffer.record_callback(channels, nullptr, block, nullptr, 0);
  }
  int play() {
    std::int16_t* channels[] = {m_out.data()};
    return m_buffer.playback_callback(nullptr, channels, block, nullptr, 0);
  }
  void prepare_record() {
    boost::lock_guard<boost::mutex> lock(m_buffer.m_mutex);
    m_buffer.prepare_record(rate, options_map());
  }
  // True when the buffer no longer holds the listener: the test holds the only reference.
  bool released() const { return !m_buffer.m_listener && m_listener.use_count() == 1; }

  testkit::config_dir m_config;
  testkit::log_capture m_log;
  boost::shared_ptr<testkit::recording_function> m_listener =
      boost::make_shared<testkit::recording_function>();
  audio_buffer m_buffer;
  std::vector<std::int16_t> m_in;
  std::vector<std::int16_t> m_out;
};

TEST_F(callback_test, recording_hands_channel_0_to_the_strategy_and_stores_it) {
  prepare_record();
  EXPECT_EQ(record(), paContinue);
  EXPECT_EQ(m_buffer.m_samples.to_vector(), m_in);
  EXPECT_EQ(m_listener->count(), 1u);
  EXPECT_FALSE(released());
  EXPECT_TRUE(m_log.contains("received 1024 frames"));
  EXPECT_TRUE(m_log.contains("with result 0"));
}

TEST_F(callback_test, a_strategys_continue_keeps_the_listener_and_its_complete_releases_it) {
  auto input =
      boost::make_shared<scripted_input>(std::vector<int>{paContinue, paContinue, paComplete});
  auto output = boost::make_shared<scripted_output>(std::vector<int>{paContinue, paComplete});
  m_buffer.m_input = input;
  m_buffer.m_output = output;
  EXPECT_EQ(record(), paContinue);
  EXPECT_EQ(record(), paContinue);
  EXPECT_FALSE(released());
  EXPECT_EQ(record(), paComplete);
  EXPECT_TRUE(released());
  EXPECT_EQ(input->m_calls, 3u);

  m_buffer.m_listener = m_listener;
  EXPECT_EQ(play(), paContinue);
  EXPECT_FALSE(released());
  EXPECT_EQ(play(), paComplete);
  EXPECT_TRUE(released());
  EXPECT_EQ(output->m_calls, 2u);
  // Neither callback sets the status when the strategy ends the stream.
  EXPECT_EQ(m_buffer.m_status, 0u);
}

TEST_F(callback_test, a_stop_request_ends_the_recording_without_storing_the_block) {
  prepare_record();
  m_buffer.m_status = audio_buffer::status_recording;
  ASSERT_EQ(record(), paContinue);
  m_buffer.m_stop_requested = true;
  const std::vector<std::int16_t> other = testkit::zero_mean_noise(block, 2);
  EXPECT_EQ(record_from(other.data()), paComplete);
  EXPECT_EQ(m_buffer.m_samples.to_vector(), m_in);
  EXPECT_EQ(m_buffer.m_status, 0u);
  EXPECT_TRUE(released());
  EXPECT_EQ(m_listener->count(), 1u);
  // The flag stays for the studio to clear.
  EXPECT_TRUE(m_buffer.m_stop_requested);
}

TEST_F(callback_test, a_stop_request_ends_the_playback_with_a_silent_block) {
  m_buffer.m_samples.assign(testkit::zero_mean_noise(4 * block, 3));
  m_buffer.m_status = audio_buffer::status_playing;
  ASSERT_EQ(play(), paContinue);
  m_buffer.m_stop_requested = true;
  EXPECT_EQ(play(), paComplete);
  EXPECT_EQ(m_out, std::vector<std::int16_t>(block, 0));
  EXPECT_EQ(m_buffer.m_status, 0u);
  EXPECT_TRUE(released());
  EXPECT_EQ(m_listener->count(), 1u);
}

TEST_F(callback_test, null_stream_buffers_complete_the_stream_and_store_nothing) {
  prepare_record();
  m_buffer.m_samples.assign(counting(5));
  const std::int16_t* no_channel[] = {nullptr};
  std::int16_t* no_out_channel[] = {nullptr};
  struct {
    const char* name;
    bool playback;
    const void* input;
    void* output;
    const char* warning;
  } const cases[] = {
      {"no input", false, nullptr, nullptr, "with input NULL"},
      {"no channel 0 input", false, no_channel, nullptr, "with input NULL"},
      {"no output", true, nullptr, nullptr, "with output NULL"},
      {"no channel 0 output", true, nullptr, no_out_channel, "with output NULL"},
  };
  for (const auto& c : cases) {
    m_buffer.m_listener = m_listener;
    const int result = c.playback ? m_buffer.playback_callback(c.input, c.output, block, nullptr, 0)
                                  : m_buffer.record_callback(c.input, c.output, block, nullptr, 0);
    EXPECT_EQ(result, paComplete) << c.name;
    EXPECT_TRUE(released()) << c.name;
    EXPECT_EQ(m_log.messages("WARN").back(), c.warning) << c.name;
  }
  EXPECT_EQ(m_buffer.m_samples.to_vector(), counting(5));
  EXPECT_EQ(m_listener->count(), 0u);
}

TEST_F(callback_test, a_missing_strategy_completes_at_the_first_block_without_a_result) {
  m_buffer.m_input.reset();
  m_buffer.m_output.reset();
  EXPECT_EQ(record(), paComplete);
  EXPECT_TRUE(released());
  m_buffer.m_listener = m_listener;
  EXPECT_EQ(play(), paComplete);
  EXPECT_TRUE(released());
  EXPECT_EQ(m_out, std::vector<std::int16_t>(block, 0));
  EXPECT_TRUE(m_buffer.m_samples.empty());
  EXPECT_TRUE(m_log.contains("received 1024 frames"));
  EXPECT_TRUE(m_log.contains("request 1024 frames"));
  for (const std::string& m : m_log.messages()) {
    EXPECT_NE(m.compare(0, 11, "with result"), 0) << m;
  }
}

TEST_F(callback_test, a_failing_listener_or_strategy_completes_the_stream_and_is_logged) {
  prepare_record();
  m_buffer.m_listener = boost::make_shared<throwing_function>();
  EXPECT_EQ(record(), paComplete);
  EXPECT_FALSE(m_buffer.m_listener);
  EXPECT_EQ(m_buffer.m_samples.to_vector(), m_in);  // stored before the listener was called

  m_buffer.m_samples.assign(testkit::zero_mean_noise(4 * block, 3));
  m_buffer.m_listener = boost::make_shared<throwing_function>();
  EXPECT_EQ(play(), paComplete);
  EXPECT_FALSE(m_buffer.m_listener);
  EXPECT_EQ(m_out, std::vector<std::int16_t>(block, 0));

  auto failing = boost::make_shared<failing_strategy>();
  m_buffer.m_input = failing;
  m_buffer.m_output = failing;
  m_buffer.m_listener = m_listener;
  EXPECT_EQ(record(), paComplete);
  EXPECT_TRUE(released());
  m_buffer.m_listener = m_listener;
  EXPECT_EQ(play(), paComplete);
  EXPECT_TRUE(released());
  EXPECT_EQ(m_out, std::vector<std::int16_t>(block, 0));

  EXPECT_EQ(m_log.messages("ERROR"),
            (std::vector<std::string>{"record block failed, recording ends: listener failed",
                                      "playback block failed, playback ends: listener failed",
                                      "record block failed, recording ends: strategy failed",
                                      "playback block failed, playback ends: strategy failed"}));
}

TEST(audio_buffers, two_recording_at_once_share_the_detector_training_safely) {
  // Each thread prepares its own buffer and records into it, as two stream threads would; the
  // detectors meet in the process-wide training objects, which the first of them to get there
  // makes (when this test runs in a process of its own).
  testkit::config_dir config;
  const auto recording = [](std::uint32_t seed, std::size_t* stored) {
    audio_buffer buffer;
    {
      boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
      buffer.prepare_record(rate, options_map());
    }
    int result = paContinue;
    for (std::uint32_t i = 0; i < 100 && result == paContinue; ++i) {
      const std::vector<std::int16_t> samples = testkit::zero_mean_noise(block, seed + i);
      const std::int16_t* channels[] = {samples.data()};
      result = buffer.record_callback(channels, nullptr, block, nullptr, 0);
    }
    boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
    *stored = buffer.m_samples.size();
  };
  std::size_t first = 0;
  std::size_t second = 0;
  std::thread a(recording, 1, &first);
  std::thread b(recording, 1000, &second);
  a.join();
  b.join();
  // Both ran until the maximum of 3 s.
  EXPECT_EQ(first, 47 * block);
  EXPECT_EQ(second, 47 * block);
}

}  // namespace
}  // namespace audio
}  // namespace vocle
