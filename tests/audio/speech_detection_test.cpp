// The detector and the recording strategy on real speech: a sentence spoken by espeak-ng with
// silence around it, fed block by block as a stream would deliver it.
#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/any.hpp>
#include <boost/thread/lock_guard.hpp>

#include "audio_test_support.h"
#include "common/alsa_rig.h"
#include "common/config_dir.h"
#include "common/speech_fixture.h"
#include "core/audio/audio_buffer.h"
#include "core/audio/vad.h"

namespace vocle {
namespace audio {
namespace {

const double rate = testkit::speech_sample_rate;
const std::size_t block = 1024;

// Where the sentence lies in the fixture: its first and last sample that is not zero.
std::pair<std::size_t, std::size_t> spoken_part(const std::vector<std::int16_t>& samples) {
  const auto loud = [](std::int16_t x) { return x != 0; };
  const std::size_t first = std::find_if(samples.begin(), samples.end(), loud) - samples.begin();
  const std::size_t last = samples.rend() - std::find_if(samples.rbegin(), samples.rend(), loud);
  return std::make_pair(first, last);
}

double energy(const std::int16_t* begin, const std::int16_t* end) {
  double sum = 0;
  for (const std::int16_t* p = begin; p != end; ++p) {
    sum += static_cast<double>(*p) * *p;
  }
  return sum;
}

class speech_detection : public ::testing::Test {
 protected:
  void SetUp() override {
    testkit::reset_training();
    // One more second of silence, so that the pause after the sentence can outlast the gap.
    m_speech = testkit::alsa_rig::with_silence(testkit::speech_samples(), 1.0);
    m_spoken = spoken_part(m_speech);
    ASSERT_GT(m_spoken.first, 0.9 * rate);
    ASSERT_LT(m_spoken.second + 1.9 * rate, m_speech.size());
  }

  testkit::config_dir m_config;
  std::vector<std::int16_t> m_speech;
  std::pair<std::size_t, std::size_t> m_spoken;
};

TEST_F(speech_detection, the_detector_finds_the_voice_and_ends_by_the_gap_after_it) {
  vad detector(rate, 1.0, 2.0, 10.0, true);
  std::size_t fed = 0;
  bool finished = false;
  bool heard = false;
  while (!finished && fed < m_speech.size()) {
    const std::size_t n = std::min(block, m_speech.size() - fed);
    std::uint32_t volume = 0;
    finished = detector.process(m_speech.data() + fed, n, &volume);
    fed += n;
    heard = heard || detector.status() == vad::status_voice;
  }
  ASSERT_TRUE(finished) << "the detector never ended";
  EXPECT_TRUE(heard);
  EXPECT_EQ(detector.status(), vad::status_finished);

  const std::pair<std::uint64_t, std::uint64_t> voice = detector.voice_range();
  // The voice begins and ends within a few blocks of the first and the last spoken sample (the
  // sentence fades out, so its last quiet block may already count as the pause); it ends at the
  // start of the gap, more than the gap before the detector finished.
  EXPECT_GE(voice.first + 3 * block, m_spoken.first);
  EXPECT_LE(voice.first, m_spoken.first + 3 * block);
  EXPECT_GE(voice.second + 2 * block, m_spoken.second);
  EXPECT_LE(voice.second, m_spoken.second + 4 * block);
  EXPECT_GT(fed - voice.second, 1.0 * rate);
  EXPECT_LE(fed - voice.second, 1.0 * rate + 2 * block);
  // The statistics end with the gap that finished it.
  const std::string statistics = detector.statistics();
  ASSERT_FALSE(statistics.empty());
  EXPECT_EQ(statistics.front(), '_');
  EXPECT_EQ(statistics.back(), '_');
}

TEST_F(speech_detection, clipping_keeps_the_sentence_and_drops_the_silence_around_it) {
  audio_buffer buffer;
  std::map<std::string, boost::any> options;
  options["vad_max"] = 10.0;
  options["vad_clip"] = true;
  {
    boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
    buffer.prepare_record(rate, options);
  }
  std::size_t fed = 0;
  int result = paContinue;
  while (result == paContinue && fed < m_speech.size()) {
    const std::size_t n = std::min(block, m_speech.size() - fed);
    const std::int16_t* channels[] = {m_speech.data() + fed};
    result = buffer.record_callback(channels, nullptr, n, nullptr, 0);
    fed += n;
  }
  ASSERT_EQ(result, paComplete);
  ASSERT_LT(fed, m_speech.size()) << "the recording ran to the end of the input";

  boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
  ASSERT_EQ(buffer.m_samples.to_vector(),
            std::vector<std::int16_t>(m_speech.begin(), m_speech.begin() + fed));
  buffer.clip();
  const std::vector<std::int16_t> kept = buffer.m_samples.to_vector();
  ASSERT_FALSE(kept.empty());
  // What is kept is one piece of the input...
  const std::size_t at = testkit::alsa_rig::find(m_speech, kept);
  ASSERT_NE(at, testkit::alsa_rig::npos);
  // ...that drops most of the silence on both sides...
  EXPECT_GT(at, 0.8 * rate);
  EXPECT_LT(at + kept.size(), m_spoken.second + 0.5 * rate);
  EXPECT_LT(kept.size(), (m_spoken.second - m_spoken.first) + 0.6 * rate);
  // ...and keeps the sentence, but for its quiet fringes.
  EXPECT_LT(at, m_spoken.first + 2 * block);
  EXPECT_GT(at + kept.size() + 2 * block, m_spoken.second);
  const double spoken = energy(m_speech.data() + m_spoken.first, m_speech.data() + m_spoken.second);
  EXPECT_GT(energy(kept.data(), kept.data() + kept.size()), 0.98 * spoken);
}

}  // namespace
}  // namespace audio
}  // namespace vocle
