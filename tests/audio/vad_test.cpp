#include "core/audio/vad.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/format.hpp>
#include <boost/regex.hpp>

#include "audio_test_support.h"
#include "common/config_dir.h"
#include "common/raw_samples.h"
#include "common/scoped_env.h"
#include "common/speech_fixture.h"
#include "common/temp_dir.h"
#include "core/audio/dcoffset_training.h"
#include "core/audio/max_average_square_training.h"

namespace vocle {
namespace audio {
namespace {

using testkit::zero_mean_noise;

const double rate = 16000.0;
const std::size_t block = 1024;

// A Speex preprocessor set up here as the detector must set up its own: 160-sample frames at
// 16 kHz, noise suppression on, automatic gain on at level 8000, dereverberation off.
struct bare_preprocessor {
  SpeexPreprocessState* state = speex_preprocess_state_init(160, 16000);
  bare_preprocessor() {
    spx_int32_t on = 1;
    spx_int32_t off = 0;
    float level = 8000.0f;
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_AGC, &on);
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DEREVERB, &off);
  }
  ~bare_preprocessor() { speex_preprocess_state_destroy(state); }
  bare_preprocessor(const bare_preprocessor&) = delete;
  bare_preprocessor& operator=(const bare_preprocessor&) = delete;
};

// A detector fed block by block, with the decision of every frame read back from its trace log.
class detector_test : public ::testing::Test {
 protected:
  struct decision {
    std::uint64_t zero_cross;
    std::uint64_t average_square;
    int voice;
    double prob;
    std::string text;  // the trace line up to the total length, which depends on the blocks
  };

  void SetUp() override { testkit::reset_training(); }

  std::vector<decision> decisions() const {
    static const boost::regex line(
        "(zero cross (\\d+), average square (\\d+), max average square \\d+, voice (\\d), prob "
        "([0-9.e+-]+)), total length .*");
    std::vector<decision> result;
    for (const std::string& m : m_log.messages()) {
      boost::smatch match;
      if (boost::regex_match(m, match, line)) {
        result.push_back(decision{std::stoull(match[2]), std::stoull(match[3]), std::stoi(match[4]),
                                  std::stod(match[5]), match[1]});
      }
    }
    return result;
  }

  // Feeds one block and returns what process said.
  static bool feed(vad& detector, const std::vector<std::int16_t>& samples) {
    std::uint32_t volume = 0;
    return detector.process(samples.data(), samples.size(), &volume);
  }

  static std::string number(double t) { return (boost::format("%1%") % t).str(); }

  testkit::config_dir m_config;
  testkit::log_capture m_log;
};

TEST_F(detector_test,
       speech_starts_at_the_sixth_voice_frame_in_a_row_and_pauses_at_the_13th_quiet_one) {
  vad detector(rate, 1.0, 10.0, 100.0, false);
  const std::vector<std::int16_t> silence(vad::frame_size, 0);

  // Noise frames, one per block: voice once the preprocessor passes them on.
  int voiced = 0;
  std::uint32_t seed = 1;
  while (voiced < 30) {
    ASSERT_LT(seed, 60u) << "noise is not judged as voice";
    EXPECT_FALSE(feed(detector, zero_mean_noise(vad::frame_size, seed++)));
    const decision last = decisions().back();
    if (!last.voice) {
      ASSERT_EQ(voiced, 0) << "a noise frame judged silent after voice";
      EXPECT_EQ(detector.status(), vad::status_waiting);
      continue;
    }
    ++voiced;
    if (voiced == 5) {
      EXPECT_NEAR(last.prob, 4.55, 0.005);
    }
    if (voiced < 6) {
      EXPECT_EQ(detector.status(), vad::status_waiting) << voiced << " voice frames";
    } else {
      if (voiced == 6) {
        EXPECT_NEAR(last.prob, 5.33, 0.005);
      }
      EXPECT_EQ(detector.status(), vad::status_voice) << voiced << " voice frames";
    }
  }

  // Then silence: the history of 25 voice frames keeps it speech for 12 quiet frames.
  int quiet = 0;
  for (int fed = 0; quiet < 13; ++fed) {
    ASSERT_LT(fed, 20) << "silence is not judged quiet";
    EXPECT_FALSE(feed(detector, silence));
    const decision last = decisions().back();
    if (last.voice) {
      ASSERT_EQ(quiet, 0) << "a silent frame judged as voice after quiet ones";
      continue;
    }
    ++quiet;
    if (quiet < 13) {
      EXPECT_GT(last.prob, 5.0);
      EXPECT_EQ(detector.status(), vad::status_voice) << quiet << " quiet frames";
    } else {
      EXPECT_NEAR(last.prob, 4.94, 0.005);
      EXPECT_EQ(detector.status(), vad::status_gap);
    }
  }
}

TEST_F(detector_test, silence_only_ends_with_the_first_block_beyond_the_wait) {
  vad detector(rate, 1.0, 2.0, 3.0, false);
  const std::vector<std::int16_t> silence(block, 0);
  double end = 0;
  bool finished = false;
  while (!finished && end < 10.0) {
    finished = feed(detector, silence);
    end += block / rate;
    EXPECT_EQ(finished, end > 2.0) << "block ending at " << end;
  }
  EXPECT_NEAR(end, 2.048, 1e-9);
  EXPECT_EQ(detector.status(), vad::status_finished);
  EXPECT_EQ(detector.voice_range(),
            std::make_pair(std::uint64_t(0), static_cast<std::uint64_t>(rate * end)));
  EXPECT_EQ(detector.statistics(), "");
}

TEST_F(detector_test,
       speech_then_silence_ends_by_the_gap_with_the_voice_ending_where_the_gap_began) {
  vad detector(rate, 1.0, 2.0, 10.0, true);
  std::vector<std::vector<std::int16_t>> blocks(8, std::vector<std::int16_t>(block, 0));
  for (std::uint32_t i = 0; i < 16; ++i) {
    blocks.push_back(zero_mean_noise(block, i + 1));
  }
  blocks.resize(100, std::vector<std::int16_t>(block, 0));

  double t0 = 0;
  double voice_begin = -1;
  double gap_begin = -1;
  double end = 0;
  bool finished = false;
  for (std::size_t i = 0; i < blocks.size() && !finished; ++i) {
    const std::uint32_t before = detector.status();
    finished = feed(detector, blocks[i]);
    end = t0 + block / rate;
    if (before == vad::status_waiting && detector.status() == vad::status_voice) {
      voice_begin = t0;
    }
    if (before == vad::status_voice && detector.status() == vad::status_gap) {
      gap_begin = t0;
    }
    t0 = end;
  }
  ASSERT_TRUE(finished);
  EXPECT_EQ(detector.status(), vad::status_finished);
  // The voice starts in the first blocks of noise and pauses shortly after it.
  EXPECT_GE(voice_begin, 0.5);
  EXPECT_LT(voice_begin, 0.7);
  EXPECT_GE(gap_begin, 1.5);
  EXPECT_LT(gap_begin, 1.8);
  // It ends with the first block that takes the pause beyond the gap.
  EXPECT_GT(end - gap_begin, 1.0);
  EXPECT_LE(end - block / rate - gap_begin, 1.0);
  EXPECT_EQ(detector.voice_range(), std::make_pair(static_cast<std::uint64_t>(rate * voice_begin),
                                                   static_cast<std::uint64_t>(rate * gap_begin)));
  EXPECT_EQ(detector.statistics(), "_" + number(voice_begin) + "||" + number(gap_begin) + "_");
}

TEST_F(detector_test, endless_speech_ends_by_the_maximum) {
  vad detector(rate, 1.0, 2.0, 3.0, false);
  double end = 0;
  bool finished = false;
  for (std::uint32_t i = 0; i < 100 && !finished; ++i) {
    finished = feed(detector, zero_mean_noise(block, i + 1));
    end += block / rate;
    EXPECT_EQ(finished, end > 3.0) << "block ending at " << end;
    EXPECT_NE(detector.status(), vad::status_gap);
  }
  EXPECT_NEAR(end, 3.008, 1e-9);
  EXPECT_EQ(detector.status(), vad::status_finished);
  EXPECT_EQ(detector.voice_range().second, static_cast<std::uint64_t>(rate * end));
  EXPECT_LT(detector.voice_range().first, static_cast<std::uint64_t>(rate * 0.2));
}

TEST_F(detector_test, statistics_mark_voice_start_gap_and_resumption_at_their_blocks) {
  vad detector(rate, 1.0, 2.0, 20.0, true);
  std::vector<std::vector<std::int16_t>> blocks(8, std::vector<std::int16_t>(block, 0));
  std::uint32_t seed = 1;
  for (int i = 0; i < 10; ++i) {
    blocks.push_back(zero_mean_noise(block, seed++));
  }
  blocks.resize(blocks.size() + 6, std::vector<std::int16_t>(block, 0));  // shorter than the gap
  for (int i = 0; i < 10; ++i) {
    blocks.push_back(zero_mean_noise(block, seed++));
  }
  blocks.resize(blocks.size() + 40, std::vector<std::int16_t>(block, 0));

  // The marker of each change: voice start, gap, resumption.
  const auto marker = [](std::uint32_t before, std::uint32_t after, double t0) {
    const char* pattern = before == vad::status_waiting ? "_%1%|"
                          : after == vad::status_gap    ? "|%1%_"
                                                        : "%1%|";
    return (boost::format(pattern) % t0).str();
  };
  std::string expected;
  std::vector<std::uint32_t> path(1, detector.status());
  double t0 = 0;
  bool finished = false;
  for (std::size_t i = 0; i < blocks.size() && !finished; ++i) {
    const std::uint32_t before = detector.status();
    finished = feed(detector, blocks[i]);
    const std::uint32_t after = detector.status();
    if (after != before) {
      path.push_back(after);
      if (after != vad::status_finished) {
        expected += marker(before, after, t0);
      }
    }
    t0 += block / rate;
  }
  ASSERT_TRUE(finished);
  EXPECT_EQ(path, (std::vector<std::uint32_t>{0, 1, 2, 1, 2, 3}));
  EXPECT_EQ(detector.statistics(), expected);
  EXPECT_EQ(std::count(expected.begin(), expected.end(), '_'), 3);
}

TEST_F(detector_test, statistics_stay_empty_unless_asked_for) {
  vad detector(rate, 1.0, 2.0, 3.0, false);
  for (std::uint32_t i = 0; i < 20; ++i) {
    feed(detector, zero_mean_noise(block, i + 1));
  }
  EXPECT_EQ(detector.status(), vad::status_voice);
  EXPECT_EQ(detector.statistics(), "");
}

TEST_F(detector_test, a_zero_length_block_finishes_at_once) {
  vad detector(rate, 1.0, 2.0, 3.0, false);
  const std::int16_t sample = 5;
  std::uint32_t volume = 77;
  EXPECT_TRUE(detector.process(&sample, 0, &volume));
  EXPECT_EQ(volume, 0u);
  EXPECT_EQ(detector.status(), vad::status_finished);
}

TEST_F(detector_test, frames_are_cut_alike_from_blocks_of_any_size_and_cleaned_by_speex_as_set_up) {
  // Two seconds of speech in which every pair of samples sums to zero: blocks of an even size
  // then leave the DC offset at 0, and the detector's frames are exactly the signal's.
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  std::vector<std::int16_t> signal;
  for (std::size_t i = 8000; i < 24000; ++i) {
    const std::int16_t x = std::max<std::int16_t>(speech.at(i), -32767);
    signal.push_back(x);
    signal.push_back(static_cast<std::int16_t>(-x));
  }
  typedef std::pair<std::uint64_t, std::uint64_t> measures;  // zero cross, average square
  std::vector<measures> expected;
  {
    bare_preprocessor bare;
    std::vector<std::int16_t> frames = signal;
    for (std::size_t at = 0; at + vad::frame_size <= frames.size(); at += vad::frame_size) {
      speex_preprocess_run(bare.state, frames.data() + at);
      measures m;
      vad::measure_frame(frames.data() + at, rate, m.second, m.first);
      expected.push_back(m);
    }
  }

  std::vector<std::string> first_run;
  for (const std::size_t size : {1024, 2, 158, 160, 322, 32000}) {
    testkit::reset_training();
    const std::size_t before = decisions().size();
    {
      // Nothing ends it within the two seconds.
      vad detector(rate, 100.0, 100.0, 600.0, false);
      for (std::size_t at = 0; at < signal.size(); at += size) {
        std::uint32_t volume = 0;
        ASSERT_FALSE(
            detector.process(signal.data() + at, std::min(size, signal.size() - at), &volume));
      }
    }
    const std::vector<decision> all = decisions();
    std::vector<measures> measured;
    std::vector<std::string> run;
    for (std::size_t i = before; i < all.size(); ++i) {
      measured.push_back(measures(all[i].zero_cross, all[i].average_square));
      run.push_back(all[i].text);
    }
    EXPECT_EQ(measured, expected) << "blocks of " << size;
    if (first_run.empty()) {
      first_run = run;
      // The speech is heard, and so are the quiet parts around its words.
      const auto voiced = std::count_if(all.begin() + static_cast<std::ptrdiff_t>(before),
                                        all.end(), [](const decision& d) { return d.voice == 1; });
      EXPECT_GT(voiced, 10);
      EXPECT_LT(voiced, static_cast<std::ptrdiff_t>(run.size()) - 10);
    } else {
      EXPECT_EQ(run, first_run) << "blocks of " << size;
    }
  }
  testkit::reset_training();
}

TEST_F(detector_test, the_rest_of_the_block_that_finished_it_is_judged_with_the_next_block) {
  // A wait shorter than a frame: the first frame of the first block finishes the detector.
  vad detector(rate, 1.0, 0.001, 100.0, false);
  EXPECT_TRUE(feed(detector, std::vector<std::int16_t>(10 * vad::frame_size + 50, 0)));
  EXPECT_EQ(decisions().size(), 1u);
  const std::pair<std::uint64_t, std::uint64_t> range = detector.voice_range();
  // Nine frames and 50 samples waited: with 110 more they make ten frames.
  EXPECT_FALSE(feed(detector, std::vector<std::int16_t>(110, 0)));
  EXPECT_EQ(decisions().size(), 11u);
  EXPECT_EQ(detector.status(), vad::status_finished);
  EXPECT_EQ(detector.voice_range(), range);
}

TEST_F(detector_test, a_block_too_long_for_a_32_bit_sum_still_teaches_its_true_mean) {
  // Each case after 299 zero means. A long block is summed in parts of 65536 samples: no part may
  // overflow, not even of the most negative samples, and a part cut short at the end counts too.
  std::vector<std::int16_t> mixed(65536, -32768);
  mixed.push_back(32767);
  struct {
    std::vector<std::int16_t> samples;
    const char* trained;
  } const cases[] = {
      // 70000 samples of 32000 add up to more than 2^31.
      {std::vector<std::int16_t>(70000, 32000), "training dcoffset to 106 by 32000"},
      // Exactly -2^31.
      {std::vector<std::int16_t>(65536, -32768), "training dcoffset to -109 by -32768"},
      {std::vector<std::int16_t>(131073, -32768), "training dcoffset to -109 by -32768"},
      // The one sample after the first part lifts the mean.
      {mixed, "training dcoffset to -109 by -32767"},
  };
  for (const auto& c : cases) {
    testkit::reset_training();
    const std::size_t seen = m_log.messages().size();
    vad detector(rate, 1.0, 2.0, 3.0, false);
    feed(detector, c.samples);
    const std::vector<std::string> logged = m_log.messages();
    EXPECT_NE(
        std::find(logged.begin() + static_cast<std::ptrdiff_t>(seen), logged.end(), c.trained),
        logged.end())
        << c.samples.size() << " samples: " << c.trained;
  }
  testkit::reset_training();
}

TEST_F(detector_test, the_volume_is_the_loudest_sample_of_the_block) {
  struct {
    std::int16_t loudest;
    std::uint32_t volume;
  } const cases[] = {{0, 0}, {-32768, 100}, {32767, 100}, {16384, 50}, {-16384, 50}, {327, 0}};
  vad detector(rate, 1.0, 2.0, 3.0, false);
  for (const auto& c : cases) {
    std::vector<std::int16_t> samples(block, 0);
    samples[block / 3] = c.loudest;
    std::uint32_t volume = 1000;
    detector.process(samples.data(), samples.size(), &volume);
    EXPECT_EQ(volume, c.volume) << c.loudest;
  }
}

TEST_F(detector_test, the_volume_of_a_long_block_is_its_loudest_sample_wherever_it_lies) {
  // Blocks of 131072 samples, quiet but for the samples placed: before, at and after the bounds of
  // the parts a long block is summed in.
  struct {
    std::vector<std::pair<std::size_t, std::int16_t>> placed;
    std::uint32_t volume;
  } const cases[] = {
      {{{65535, 16384}}, 50},
      {{{65536, -16384}}, 50},
      {{{131071, -32768}}, 100},
      {{{10, 16384}, {70000, -32767}}, 100},
      {{{10, -32768}, {70000, 16384}}, 100},
      {{{10, 3277}, {131071, -6554}}, 20},
  };
  vad detector(rate, 100.0, 100.0, 600.0, false);
  for (const auto& c : cases) {
    std::vector<std::int16_t> samples(131072, 0);
    for (const auto& p : c.placed) {
      samples[p.first] = p.second;
    }
    std::uint32_t volume = 1000;
    detector.process(samples.data(), samples.size(), &volume);
    EXPECT_EQ(volume, c.volume) << c.placed.back().first;
  }
  testkit::reset_training();
}

TEST_F(detector_test, the_offset_learnt_from_one_block_corrects_the_next_also_in_another_detector) {
  const std::vector<std::int16_t> high(block, 30000);
  {
    vad first(rate, 1.0, 2.0, 3.0, false);
    feed(first, high);
  }
  vad second(rate, 1.0, 2.0, 3.0, false);
  feed(second, std::vector<std::int16_t>(block, 0));

  std::vector<std::string> offsets;
  for (const std::string& m : m_log.messages("TRACE")) {
    if (m.find("dcoffset") != std::string::npos) {
      offsets.push_back(m);
    }
  }
  // 299 zero means and one of 30000 average to 100.
  EXPECT_EQ(offsets,
            (std::vector<std::string>{"trained dcoffset 0", "training dcoffset to 100 by 30000",
                                      "trained dcoffset 100", "training dcoffset to 100 by 0"}));
  testkit::reset_training();
}

TEST_F(detector_test, the_offset_is_taken_out_of_what_the_detector_judges) {
  // 299 zero means and one of 30000: an offset of 100.
  ASSERT_EQ(dcoffset_training::instance().train(30000), 100);
  // Without a preprocessor (below 1 Hz) the frames are measured as the offset left them.
  vad detector(0.5, 1.0, 2.0, 3.0, false);
  feed(detector, std::vector<std::int16_t>(vad::frame_size, 100));
  feed(detector, std::vector<std::int16_t>(vad::frame_size, 150));
  std::vector<std::string> squares;
  for (const std::string& m : m_log.messages("TRACE")) {
    const std::size_t at = m.find("average square ");
    if (at != std::string::npos) {
      squares.push_back(m.substr(at, m.find(',', at) - at));
    }
  }
  // 150 - 100 = 50 for every sample: 2500 / 160 truncates to 15, times 160.
  EXPECT_EQ(squares, (std::vector<std::string>{"average square 0", "average square 2400"}));
  testkit::reset_training();
}

TEST(vad_offset, removing_the_offset_wraps_to_16_bits) {
  struct {
    std::int16_t x;
    std::int32_t dc;
    std::int16_t corrected;
  } const cases[] = {
      {-32768, 1, 32767}, {32767, -1, -32768}, {100, 100, 0}, {0, -5, 5}, {-32768, 0, -32768}};
  for (const auto& c : cases) {
    EXPECT_EQ(vad::remove_offset(c.x, c.dc), c.corrected) << c.x << " - " << c.dc;
  }
}

TEST(vad_magnitude, is_the_absolute_value_with_the_most_negative_sample_at_32767) {
  EXPECT_EQ(vad::magnitude(0), 0u);
  EXPECT_EQ(vad::magnitude(-1), 1u);
  EXPECT_EQ(vad::magnitude(32767), 32767u);
  EXPECT_EQ(vad::magnitude(-32767), 32767u);
  EXPECT_EQ(vad::magnitude(-32768), 32767u);
}

TEST(vad_measure_frame, counts_sign_changes_per_second_and_truncates_each_square_term) {
  struct frame_case {
    const char* name;
    std::vector<std::int16_t> frame;
    std::uint64_t average_square;
    std::uint64_t zero_cross;
  };
  std::vector<std::int16_t> alternating(160);
  for (std::size_t i = 0; i < alternating.size(); ++i) {
    alternating[i] = i % 2 ? -1000 : 1000;
  }
  std::vector<std::int16_t> zeros_then_positive(160, 0);
  std::fill(zeros_then_positive.begin() + 80, zeros_then_positive.end(), 7);
  std::vector<std::int16_t> zero_and_negative(160, -3);
  for (std::size_t i = 0; i < zero_and_negative.size(); i += 2) {
    zero_and_negative[i] = 0;
  }
  const frame_case cases[] = {
      {"silence", std::vector<std::int16_t>(160, 0), 0, 0},
      {"alternating", alternating, 1000000, 15900},
      // 49 / 160 truncates to 0 for every sample.
      {"zeros then positive", zeros_then_positive, 0, 100},
      // 169 / 160 truncates to 1 per sample.
      {"constant 13", std::vector<std::int16_t>(160, 13), 160, 0},
      // A zero is not positive: zeros between negatives change nothing.
      {"zero and negative", zero_and_negative, 0, 0},
      {"most negative", std::vector<std::int16_t>(160, -32768), 160ull * (32767ull * 32767 / 160),
       0},
  };
  for (const frame_case& c : cases) {
    std::uint64_t average_square = 1;
    std::uint64_t zero_cross = 1;
    vad::measure_frame(c.frame.data(), rate, average_square, zero_cross);
    EXPECT_EQ(average_square, c.average_square) << c.name;
    EXPECT_EQ(zero_cross, c.zero_cross) << c.name;
  }
  std::uint64_t average_square = 0;
  std::uint64_t zero_cross = 0;
  vad::measure_frame(alternating.data(), 8000.0, average_square, zero_cross);
  EXPECT_EQ(zero_cross, 7950u);
}

TEST(vad_validate_args, accepts_a_positive_gap_and_a_maximum_that_covers_gap_and_wait_up_to_600) {
  struct {
    double gap, wait, max;
    bool valid;
  } const cases[] = {
      {1.0, 2.0, 3.0, true},     {0.0, 2.0, 3.0, false},   {-1.0, 2.0, 3.0, false},
      {4.0, 2.0, 3.0, false},    {1.0, 4.0, 3.0, false},   {3.0, 3.0, 3.0, true},
      {1.0, 2.0, 600.0, true},   {1.0, 2.0, 600.5, false}, {1.0, 2.0, 700.0, false},
      {0.001, 0.0, 0.001, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(vad::validate_args(c.gap, c.wait, c.max), c.valid)
        << c.gap << ", " << c.wait << ", " << c.max;
  }
}

TEST(dcoffset_training, averages_the_last_means_truncating_toward_zero) {
  dcoffset_training training(3);
  EXPECT_EQ(training.average(), 0);
  EXPECT_EQ(training.train(-1), -1);
  EXPECT_EQ(training.train(-2), -1);  // -3 / 2, not -2
  EXPECT_EQ(training.train(9), 2);
  EXPECT_EQ(training.train(30), 12);  // the -1 has gone: (-2 + 9 + 30) / 3
  EXPECT_EQ(training.average(), 12);
}

TEST(dcoffset_training, means_too_large_for_a_32_bit_sum_still_average_right) {
  dcoffset_training training(3);
  const std::int32_t big = 1 << 30;
  training.train(big);
  training.train(big);
  EXPECT_EQ(training.train(big), big);
  EXPECT_EQ(training.train(-big), big / 3);
}

TEST(dcoffset_training, a_capacity_of_zero_is_refused_and_one_is_used) {
  testkit::log_capture log;
  dcoffset_training training(0);
  EXPECT_EQ(training.train(5), 5);
  EXPECT_EQ(training.train(-3), -3);
  EXPECT_EQ(log.messages("ERROR"),
            std::vector<std::string>{
                "audio.vad_dcoffset_training_buffer_size must be at least 1, using 1"});
}

TEST(max_average_square_training, stores_the_shrunk_value) {
  max_average_square_training training(0.7);
  EXPECT_EQ(training.value(), 0u);
  EXPECT_EQ(training.train(1000), 700u);
  EXPECT_EQ(training.value(), 700u);
  EXPECT_EQ(training.train(3), 2u);
  max_average_square_training odd(-2.0);
  EXPECT_EQ(odd.train(1000), 0u);
}

TEST_F(detector_test, each_detector_starts_from_the_loudness_the_previous_one_left) {
  max_average_square_training& training = max_average_square_training::instance();
  training.train(1000);
  const std::uint64_t start = training.value();
  {
    vad quiet(rate, 1.0, 2.0, 3.0, false);
    feed(quiet, std::vector<std::int16_t>(block, 0));
  }
  // Silence never beat the start, so the next detector gets the start shrunk once more.
  EXPECT_EQ(training.value(), static_cast<std::uint64_t>(start * 0.7));
  {
    vad loud(rate, 1.0, 2.0, 3.0, false);
    for (std::uint32_t i = 0; i < 5; ++i) {
      feed(loud, zero_mean_noise(block, i + 1));
    }
  }
  EXPECT_GT(training.value(), start);
  testkit::reset_training();
}

TEST_F(detector_test, a_detector_without_a_preprocessor_judges_its_frames_unaided) {
  // Speex cannot start below 1 Hz (it would crash): the detector goes on without it.
  vad detector(0.5, 1.0, 2.0, 3.0, false);
  EXPECT_EQ(m_log.messages("ERROR"), std::vector<std::string>{"speex start initialization failed"});
  EXPECT_FALSE(m_log.contains("speex start initialization succeed"));
  // 160 samples are 320 s at this rate: the first frame is already past the wait.
  const std::vector<std::int16_t> frame = zero_mean_noise(vad::frame_size, 3);
  EXPECT_TRUE(feed(detector, frame));
  EXPECT_EQ(detector.status(), vad::status_finished);
  ASSERT_EQ(decisions().size(), 1u);
  // The raw frame was measured: its sign changes, at this rate, are well below 200 a second.
  std::uint64_t average_square = 0;
  std::uint64_t zero_cross = 0;
  vad::measure_frame(frame.data(), 0.5, average_square, zero_cross);
  const std::string measured = (boost::format("average square %1%,") % average_square).str();
  const std::vector<std::string> traces = m_log.messages("TRACE");
  EXPECT_TRUE(std::any_of(traces.begin(), traces.end(), [&](const std::string& m) {
    return m.find(measured) != std::string::npos;
  }));
}

TEST_F(detector_test, the_developer_routine_cleans_whole_frames_from_one_raw_file_into_another) {
  testkit::temp_dir data;
  testkit::scoped_env env;
  env.set("XDG_DATA_HOME", data.path());
  const std::string folder = data.file("Tarvix");
  ASSERT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
  const std::string input = folder + "/vad_test_input.raw";
  const std::string output = folder + "/vad_test_output.raw";

  // No input: nothing is written.
  vad::test_preprocess();
  EXPECT_FALSE(std::ifstream(output).good());

  // Two whole frames and a piece of one.
  std::vector<std::int16_t> samples = zero_mean_noise(2 * vad::frame_size + 70, 9);
  testkit::write_raw_samples(input, samples);
  vad::test_preprocess();
  const std::vector<std::int16_t> written = testkit::read_raw_samples(output);
  ASSERT_EQ(written.size(), 2 * vad::frame_size);

  // The same frames through a preprocessor set up as the detector's.
  {
    bare_preprocessor bare;
    speex_preprocess_run(bare.state, samples.data());
    speex_preprocess_run(bare.state, samples.data() + 160);
  }
  samples.resize(written.size());
  EXPECT_EQ(written, samples);

  // An output that cannot be opened: the input is left alone and nothing breaks.
  ASSERT_EQ(std::remove(output.c_str()), 0);
  ASSERT_EQ(std::system(("mkdir '" + output + "'").c_str()), 0);
  vad::test_preprocess();
  EXPECT_EQ(testkit::read_raw_samples(input).size(), 2 * vad::frame_size + 70);
}

}  // namespace
}  // namespace audio
}  // namespace vocle
