// The recording and playback strategies, driven block by block as the stream callbacks drive them.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/any.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include "audio_test_support.h"
#include "common/config_dir.h"
#include "common/recording_function.h"
#include "core/audio/audio_buffer.h"
#include "core/audio/audio_input.h"
#include "core/audio/audio_output.h"
#include "core/audio/max_average_square_training.h"

namespace vocle {
namespace audio {
namespace {

typedef std::map<std::string, boost::any> options_map;

const double rate = 16000.0;
const std::uint32_t block = 1024;

std::vector<unsigned> volumes(const testkit::recording_function& listener) {
  std::vector<unsigned> result;
  for (const FB::VariantList& list : listener.lists()) {
    EXPECT_EQ(list.size(), 1u);
    result.push_back(list.at(0).convert_cast<unsigned>());
  }
  return result;
}

class strategy_test : public ::testing::Test {
 protected:
  explicit strategy_test(const std::string& conf = std::string()) : m_config(conf) {}

  void SetUp() override {
    testkit::reset_training();
    m_buffer.m_listener = m_listener;
  }

  void prepare(const options_map& options) {
    boost::lock_guard<boost::mutex> lock(m_buffer.m_mutex);
    m_input.prepare(m_buffer, rate, options);
  }

  int record(const std::vector<std::int16_t>& samples) {
    return m_input.on_record(m_buffer, samples.data(), static_cast<std::uint32_t>(samples.size()));
  }

  // Half a second of silence, a second of noise, then silence until the detector ends it.
  // Returns the number of samples fed.
  std::size_t record_an_utterance() {
    std::size_t fed = 0;
    for (std::uint32_t i = 0; i < 200; ++i) {
      const std::vector<std::int16_t> samples = i >= 8 && i < 24
                                                    ? testkit::zero_mean_noise(block, i)
                                                    : std::vector<std::int16_t>(block, 0);
      fed += samples.size();
      if (record(samples) == paComplete) {
        return fed;
      }
    }
    ADD_FAILURE() << "the recording never ended";
    return fed;
  }

  // The durations the last detector was built with, from its start-up line (without the trained
  // loudness, which each detector hands to the next).
  std::string last_detector() const {
    std::string last;
    for (const std::string& m : m_log.messages("DEBUG")) {
      if (m.compare(0, 15, "vad initialized") == 0) {
        last = m.substr(0, m.find(", trained max average square"));
      }
    }
    return last;
  }

  testkit::config_dir m_config;
  testkit::log_capture m_log;
  boost::shared_ptr<testkit::recording_function> m_listener =
      boost::make_shared<testkit::recording_function>();
  audio_buffer m_buffer;
  audio_input m_input;
  audio_output m_output;
};

TEST_F(strategy_test, both_directions_report_the_loudest_sample_of_each_block_as_its_volume) {
  struct {
    std::int16_t loudest;
    unsigned volume;
  } const cases[] = {{0, 0}, {-32768, 100}, {32767, 100}, {16384, 50}, {-16384, 50}, {327, 0}};
  prepare(options_map());
  std::vector<unsigned> expected;
  for (const auto& c : cases) {
    std::vector<std::int16_t> samples(block, 0);
    samples[700] = c.loudest;
    EXPECT_EQ(record(samples), paContinue);
    expected.push_back(c.volume);
  }
  EXPECT_EQ(volumes(*m_listener), expected);

  // Play back what was recorded: the same volumes again.
  std::vector<std::int16_t> out(block);
  for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    EXPECT_EQ(m_output.on_playback(m_buffer, out.data(), block), paContinue);
    expected.push_back(cases[i].volume);
  }
  EXPECT_EQ(volumes(*m_listener), expected);
}

TEST_F(strategy_test, recording_stores_every_block_and_ends_when_the_detector_does) {
  prepare(options_map());
  std::vector<std::int16_t> all;
  int result = paContinue;
  std::size_t blocks = 0;
  while (result == paContinue && blocks < 100) {
    const std::vector<std::int16_t> samples = testkit::zero_mean_noise(block, ++blocks);
    all.insert(all.end(), samples.begin(), samples.end());
    result = record(samples);
  }
  EXPECT_EQ(result, paComplete);
  EXPECT_EQ(blocks, 47u);  // the maximum of 3 s, passed by the 47th block
  EXPECT_EQ(m_buffer.m_samples.to_vector(), all);
  EXPECT_EQ(m_listener->count(), blocks);  // the last block is reported too
}

TEST_F(strategy_test, a_zero_frame_block_ends_the_recording_and_stores_nothing) {
  prepare(options_map());
  const std::int16_t sample = 1000;
  EXPECT_EQ(m_input.on_record(m_buffer, &sample, 0), paComplete);
  EXPECT_TRUE(m_buffer.m_samples.empty());
  EXPECT_EQ(m_listener->count(), 0u);
}

TEST_F(strategy_test, without_a_detector_the_block_is_stored_and_the_recording_ends) {
  const std::vector<std::int16_t> samples = testkit::zero_mean_noise(block, 1);
  EXPECT_EQ(record(samples), paComplete);
  EXPECT_EQ(m_buffer.m_samples.to_vector(), samples);
  EXPECT_EQ(m_input.vad_statistics(), "");
}

// Each preparation builds its detector before it lets the previous one go, so a detector starts
// from the loudness trained before the previous recording ended, and the previous detector
// trains the value for the one after.
TEST_F(strategy_test, two_recordings_in_a_row_each_start_from_the_loudness_trained_before) {
  prepare(options_map());
  record_an_utterance();
  const std::uint64_t first_max = max_average_square_training::instance().value();
  prepare(options_map());
  // Released only now, the first detector has trained the value.
  const std::uint64_t trained_by_first = max_average_square_training::instance().value();
  record_an_utterance();
  prepare(options_map());

  std::vector<std::string> trained;
  for (const std::string& m : m_log.messages("DEBUG")) {
    const std::size_t at = m.find("trained max average square ");
    if (at != std::string::npos) {
      trained.push_back(m.substr(at + 27));
    }
  }
  EXPECT_EQ(0u, first_max);
  EXPECT_NE(0u, trained_by_first);
  EXPECT_EQ(trained, (std::vector<std::string>{"0", "0", std::to_string(trained_by_first)}));
}

class configured_strategy_test : public strategy_test {
 protected:
  configured_strategy_test()
      : strategy_test("[audio]\nvad_gap=0.7\nvad_wait=1.5\nvad_max=4\nvad_statistic=false\n") {}
};

TEST_F(configured_strategy_test, options_replace_only_the_settings_they_hold_with_the_right_type) {
  struct {
    const char* name;
    options_map options;
    const char* detector;
  } const cases[] = {
      {"no options", {}, "gap 0.7, wait 1.5, max 4"},
      {"gap only", {{"vad_gap", 0.5}}, "gap 0.5, wait 1.5, max 4"},
      {"wait and max", {{"vad_wait", 2.5}, {"vad_max", 5.0}}, "gap 0.7, wait 2.5, max 5"},
      {"an integer gap", {{"vad_gap", 1}}, "gap 0.7, wait 1.5, max 4"},
      {"a float max", {{"vad_max", 6.0f}}, "gap 0.7, wait 1.5, max 4"},
      {"a text wait", {{"vad_wait", std::string("0.2")}}, "gap 0.7, wait 1.5, max 4"},
      {"an unknown name", {{"gap", 0.1}}, "gap 0.7, wait 1.5, max 4"},
  };
  for (const auto& c : cases) {
    prepare(c.options);
    EXPECT_EQ(last_detector(), std::string("vad initialized with sample rate 16000, ") + c.detector)
        << c.name;
  }
  EXPECT_TRUE(m_log.messages("ERROR").empty());

  // The settings are read again at every preparation.
  m_config.rewrite("vocle.conf", "[audio]\nvad_gap=0.9\n");
  prepare(options_map());
  EXPECT_EQ(last_detector(), "vad initialized with sample rate 16000, gap 0.9, wait 2, max 3");
}

TEST_F(strategy_test, invalid_detector_values_are_logged_and_used) {
  struct {
    options_map options;
    const char* values;
  } const cases[] = {
      {{{"vad_gap", 0.0}}, "gap 0, wait 2, max 3"},
      {{{"vad_max", 700.0}}, "gap 1, wait 2, max 700"},
      {{{"vad_wait", 5.0}}, "gap 1, wait 5, max 3"},
  };
  for (const auto& c : cases) {
    prepare(c.options);
    EXPECT_EQ(m_log.messages("ERROR").back(),
              std::string("vad args validation failed: ") + c.values);
    EXPECT_EQ(last_detector(), std::string("vad initialized with sample rate 16000, ") + c.values);
    EXPECT_EQ(record(testkit::zero_mean_noise(block, 1)), paContinue);
  }
  EXPECT_EQ(m_log.messages("ERROR").size(), 3u);
}

TEST_F(strategy_test, statistics_and_clipping_follow_the_settings_and_the_boolean_options) {
  struct {
    const char* name;
    const char* flags;  // the settings
    options_map options;
    bool statistics;
    bool clipped;
  } const cases[] = {
      {"settings off", "vad_statistic=false\nvad_clip=false\n", {}, false, false},
      {"settings on", "vad_statistic=true\nvad_clip=true\n", {}, true, true},
      {"options turn them on",
       "vad_statistic=false\nvad_clip=false\n",
       {{"vad_statistic", true}, {"vad_clip", true}},
       true,
       true},
      {"options turn them off",
       "vad_statistic=true\nvad_clip=true\n",
       {{"vad_statistic", false}, {"vad_clip", false}},
       false,
       false},
      {"options of another type count as absent",
       "vad_statistic=false\nvad_clip=false\n",
       {{"vad_statistic", 1}, {"vad_clip", std::string("true")}},
       false,
       false},
      {"each flag on its own", "", {{"vad_clip", true}}, false, true},
  };
  for (const auto& c : cases) {
    testkit::reset_training();
    m_config.rewrite("vocle.conf", std::string("[audio]\nvad_max=10\n") + c.flags);
    m_buffer.m_samples.clear();
    prepare(c.options);
    const std::size_t fed = record_an_utterance();
    m_input.clip(m_buffer);
    const std::string statistics = m_input.vad_statistics();
    if (c.statistics) {
      ASSERT_FALSE(statistics.empty()) << c.name;
      EXPECT_EQ(statistics.front(), '_') << c.name;
    } else {
      EXPECT_EQ(statistics, "") << c.name;
    }
    if (c.clipped) {
      // The half second before the noise and the second after it are gone.
      EXPECT_LT(m_buffer.m_samples.size(), fed / 2) << c.name;
      EXPECT_GT(m_buffer.m_samples.size(), 14 * block) << c.name;
    } else {
      EXPECT_EQ(m_buffer.m_samples.size(), fed) << c.name;
    }
  }
}

class flags_on : public strategy_test {
 protected:
  flags_on() : strategy_test("[audio]\nvad_max=10\nvad_statistic=true\nvad_clip=true\n") {}
};

TEST_F(flags_on, clipping_a_record_without_voice_keeps_it_up_to_where_the_detector_stopped) {
  prepare(options_map());
  std::size_t fed = 0;
  for (int i = 0; i < 100 && record(std::vector<std::int16_t>(block, 0)) == paContinue; ++i) {
    fed += block;
  }
  fed += block;
  // The last stored sample made recognisable, to see it kept.
  const std::int16_t mark = 1234;
  m_buffer.m_samples.trim(0, fed - 1);
  m_buffer.m_samples.append(&mark, 1);
  m_input.clip(m_buffer);
  EXPECT_EQ(fed, 32u * block);  // 2.048 s: the first block past the wait of 2 s
  EXPECT_EQ(m_buffer.m_samples.size(), fed);
  EXPECT_EQ(m_buffer.m_samples.at(fed - 1), 1234);
  EXPECT_EQ(m_input.vad_statistics(), "");
}

TEST_F(flags_on, clipping_a_recording_stopped_during_the_voice_keeps_it_from_the_voice_on) {
  prepare(options_map());
  for (std::uint32_t i = 0; i < 20; ++i) {
    ASSERT_EQ(
        record(i < 8 ? std::vector<std::int16_t>(block, 0) : testkit::zero_mean_noise(block, i)),
        paContinue);
  }
  // A stop ends the stream here; the detector never saw the voice end.
  const std::vector<std::int16_t> recorded = m_buffer.m_samples.to_vector();
  m_input.clip(m_buffer);
  ASSERT_FALSE(m_buffer.m_samples.empty());
  const std::size_t dropped = recorded.size() - m_buffer.m_samples.size();
  EXPECT_GE(dropped, 8u * block);
  EXPECT_LE(dropped, 10u * block);
  const std::vector<std::int16_t> kept = m_buffer.m_samples.to_vector();
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(),
                         recorded.begin() + static_cast<std::ptrdiff_t>(dropped)));
}

TEST_F(strategy_test, playback_plays_whole_blocks_and_ends_before_running_past_the_record) {
  std::vector<std::int16_t> record;
  for (int i = 0; i < 2500; ++i) {
    record.push_back(static_cast<std::int16_t>(i * 7 - 9000));
  }
  m_buffer.m_samples.assign(record);
  std::vector<std::int16_t> out(block, 99);
  for (std::uint32_t position : {0u, 1024u}) {
    ASSERT_EQ(m_output.on_playback(m_buffer, out.data(), block), paContinue);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), record.begin() + position)) << position;
  }
  // 2048 + 1024 > 2500: the last 452 samples are not played; the block is silence.
  EXPECT_EQ(m_output.on_playback(m_buffer, out.data(), block), paComplete);
  EXPECT_EQ(out, std::vector<std::int16_t>(block, 0));
  EXPECT_EQ(m_listener->count(), 2u);
  // Back at the first sample.
  ASSERT_EQ(m_output.on_playback(m_buffer, out.data(), block), paContinue);
  EXPECT_TRUE(std::equal(out.begin(), out.end(), record.begin()));
}

TEST_F(strategy_test, playback_of_a_record_shorter_than_a_block_plays_nothing) {
  m_buffer.m_samples.assign(std::vector<std::int16_t>(1000, 5000));
  std::vector<std::int16_t> out(block, 99);
  EXPECT_EQ(m_output.on_playback(m_buffer, out.data(), block), paComplete);
  EXPECT_EQ(out, std::vector<std::int16_t>(block, 0));
  EXPECT_EQ(m_listener->count(), 0u);
}

TEST_F(strategy_test, preparing_or_resetting_playback_rewinds_it) {
  m_buffer.m_samples.assign(testkit::zero_mean_noise(3 * block, 4));
  std::vector<std::int16_t> out(block);
  const auto first_block_again = [&]() {
    EXPECT_EQ(m_output.on_playback(m_buffer, out.data(), block), paContinue);
    const std::vector<std::int16_t> record = m_buffer.m_samples.to_vector();
    return std::equal(out.begin(), out.end(), record.begin());
  };
  EXPECT_TRUE(first_block_again());
  EXPECT_FALSE(first_block_again());
  m_output.prepare(m_buffer, rate, options_map());
  EXPECT_TRUE(first_block_again());
  m_output.reset();
  EXPECT_TRUE(first_block_again());
}

}  // namespace
}  // namespace audio
}  // namespace vocle
