// Recording over real PortAudio streams from the virtual microphone: the detector's end of an
// utterance, taking over a busy buffer, the failures with their translated texts, and the
// starter's buffer index.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>

#include "framework/script_error.h"
#include "stream_fixture.h"

namespace vocle {
namespace testkit {
namespace {

using audio::audio_buffer;
const double rate = 16000.0;

bool is_prefix(const std::vector<std::int16_t>& part, const std::vector<std::int16_t>& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// Every block reached the volume listener while the buffer was recording, each after it had been
// stored: the n-th call found n blocks in the buffer.
void expect_heard_every_block(const probe_function& volume) {
  const std::vector<probe_function::look> looks = volume.looks();
  ASSERT_FALSE(looks.empty());
  for (std::size_t i = 0; i < looks.size(); ++i) {
    EXPECT_EQ(audio_buffer::status_recording, looks[i].status) << "block " << i;
    EXPECT_EQ((i + 1) * block, looks[i].samples) << "block " << i;
  }
}

struct detector_case {
  bool statistic;
  bool clip;
};

void PrintTo(const detector_case& c, std::ostream* os) {
  *os << "statistic " << c.statistic << ", clip " << c.clip;
}

class RecordingByTheDetector : public stream_fixture,
                               public ::testing::WithParamInterface<detector_case> {};

TEST_P(RecordingByTheDetector, EndsAfterTheSpeech) {
  const detector_case c = GetParam();
  const samples_t input = speech_input();
  rig().set_microphone(input);
  start();
  const buffer_ptr b = buffer();
  set_samples(b, pattern(5000));
  const probe_ptr done = probe(b);
  const probe_ptr volume = probe(b);
  the_studio().threaded_start_record(0, done, volume, vad(1.0, 2.0, 10.0, c.statistic, c.clip));
  ASSERT_TRUE(done->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(b); }));

  ASSERT_EQ(1u, done->count());
  const FB::VariantList result = done->lists().at(0);
  ASSERT_EQ(2u, result.size()) << describe(result);
  EXPECT_EQ(FB::variant(true), result[0]);
  const std::string statistics = result[1].convert_cast<std::string>();
  if (c.statistic) {
    // The voice's start first, the gap that ended it last.
    ASSERT_FALSE(statistics.empty());
    EXPECT_EQ('_', statistics.front()) << statistics;
    EXPECT_EQ('_', statistics.back()) << statistics;
  } else {
    EXPECT_EQ("", statistics);
  }

  const samples_t recorded = samples_of(b);
  // The page hears of the end only once the buffer is idle and the record final.
  const probe_function::look at_report = done->looks().at(0);
  EXPECT_EQ(audio_buffer::status_idle, at_report.status);
  EXPECT_EQ(recorded.size(), at_report.samples);
  EXPECT_EQ(audio_buffer::status_idle, state_of(b).status);
  EXPECT_FALSE(state_of(b).stop_requested);

  expect_heard_every_block(*volume);
  const std::size_t captured = volume->count() * block;
  const std::pair<std::size_t, std::size_t> spoken = spoken_range(input);
  // Ended by the gap after the sentence, before the microphone ran out.
  EXPECT_GT(captured, spoken.second + 0.9 * rate);
  EXPECT_LE(captured, spoken.second + 1.0 * rate + 2 * block);
  EXPECT_LT(captured, input.size());

  if (!c.clip) {
    // The earlier record is gone; capture is exact from the microphone's first sample.
    EXPECT_EQ(captured, recorded.size());
    EXPECT_TRUE(is_prefix(recorded, input));
    return;
  }
  // Only the speech stays: the second of silence before it and the gap after it are cut.
  ASSERT_LT(recorded.size(), captured);
  const std::size_t at = alsa_rig::find(input, recorded);
  ASSERT_NE(alsa_rig::npos, at);
  EXPECT_LE(at, spoken.first + 3 * block);
  EXPECT_GE(at + 3 * block, spoken.first);
  EXPECT_GE(at + recorded.size() + 2 * block, spoken.second);
  EXPECT_LE(at + recorded.size(), spoken.second + 4 * block);
}

INSTANTIATE_TEST_SUITE_P(Options, RecordingByTheDetector,
                         ::testing::Values(detector_case{false, false}, detector_case{true, false},
                                           detector_case{false, true}, detector_case{true, true}),
                         [](const ::testing::TestParamInfo<detector_case>& info) {
                           const detector_case& c = info.param;
                           return std::string(c.statistic ? "Statistic" : "NoStatistic") +
                                  (c.clip ? "Clip" : "NoClip");
                         });

class Recording : public stream_fixture {};

// Each recording's worker finishes its own ending (status, report, stream) before the next one
// has the buffer, so nothing of it reaches the next recording. A chain of take-overs, since a
// worker that ended late would show only in some of them.
TEST_F(Recording, TakesOverARunningRecording) {
  const samples_t input = speech_input();
  rig().set_microphone(input);
  start();
  const buffer_ptr b = buffer();
  const std::size_t takeovers = 8;
  std::vector<probe_ptr> done;
  std::vector<probe_ptr> volume;
  for (std::size_t i = 0; i <= takeovers; ++i) {
    const bool last = i == takeovers;
    done.push_back(probe(b));
    volume.push_back(last ? probe(b) : pacer(b));
    the_studio().threaded_start_record(0, done[i], volume[i],
                                       last ? vad(1.0, 2.0, 10.0, true, false) : endless());
    if (!last) {
      ASSERT_TRUE(volume[i]->wait_for(2)) << "recording " << i;
    }
  }
  for (std::size_t i = 0; i <= takeovers; ++i) {
    ASSERT_TRUE(done[i]->wait_for(1)) << "recording " << i;
  }
  ASSERT_TRUE(eventually([&] { return settled(b); }));

  for (std::size_t i = 0; i <= takeovers; ++i) {
    SCOPED_TRACE("recording " + std::to_string(i));
    // Each worker reported once; a recording that is taken over has succeeded with what it got.
    ASSERT_EQ(1u, done[i]->count());
    const FB::VariantList result = done[i]->lists().at(0);
    ASSERT_EQ(2u, result.size()) << describe(result);
    EXPECT_EQ(FB::variant(true), result[0]);
    EXPECT_EQ(i == takeovers, !result[1].convert_cast<std::string>().empty()) << describe(result);
    EXPECT_EQ(audio_buffer::status_idle, done[i]->looks().at(0).status);
    expect_heard_every_block(*volume[i]);
    if (i > 0) {
      EXPECT_TRUE(all_before(*done[i - 1], *volume[i]))
          << "the recording before reported after this one had begun";
      EXPECT_TRUE(all_before(*volume[i - 1], *volume[i]));
    }
  }

  // The last recording started from an empty buffer and the microphone's first sample, and the
  // ending of the one before did not cut or reset it.
  const samples_t recorded = samples_of(b);
  EXPECT_EQ(volume.back()->count() * block, recorded.size());
  EXPECT_EQ(recorded.size(), done.back()->looks().at(0).samples);
  EXPECT_TRUE(is_prefix(recorded, input));
  EXPECT_GT(recorded.size(), spoken_range(input).second);
}

// A recording started the moment a stopped stream has made the buffer idle: the stopped
// recording's worker has not noticed the end of its stream yet (it looks every 50 ms), and the
// new recording waits until that worker has ended completely. Repeated, since the stopped worker
// polls at its own pace.
TEST_F(Recording, StartsTheMomentAStoppedStreamHasEnded) {
  const samples_t input = speech_input();
  rig().set_microphone(input);
  start();
  const buffer_ptr b = buffer();
  const std::size_t cycles = 6;
  std::vector<probe_ptr> done;
  std::vector<probe_ptr> volume;
  std::vector<probe_ptr> stopped;
  for (std::size_t i = 0; i <= cycles; ++i) {
    SCOPED_TRACE("recording " + std::to_string(i));
    const bool last = i == cycles;
    done.push_back(probe(b));
    volume.push_back(last ? probe(b) : pacer(b));
    the_studio().threaded_start_record(0, done[i], volume[i],
                                       last ? vad(1.0, 2.0, 10.0) : endless());
    if (last) {
      break;
    }
    ASSERT_TRUE(volume[i]->wait_for(2));
    stopped.push_back(probe(b));
    the_studio().threaded_stop(0, stopped[i]);
    // The stream callback makes the buffer idle when it sees the stop flag.
    ASSERT_TRUE(eventually([&] { return b->m_status == audio_buffer::status_idle; }));
  }
  for (std::size_t i = 0; i <= cycles; ++i) {
    ASSERT_TRUE(done[i]->wait_for(1)) << "recording " << i;
  }
  ASSERT_TRUE(eventually([&] { return settled(b); }));

  for (std::size_t i = 0; i <= cycles; ++i) {
    SCOPED_TRACE("recording " + std::to_string(i));
    ASSERT_EQ(1u, done[i]->count());
    EXPECT_EQ((FB::VariantList{true, std::string()}), done[i]->lists().at(0))
        << describe(done[i]->lists().at(0));
    EXPECT_EQ(audio_buffer::status_idle, done[i]->looks().at(0).status);
    expect_heard_every_block(*volume[i]);
    if (i > 0) {
      EXPECT_TRUE(all_before(*done[i - 1], *volume[i]))
          << "the stopped recording reported after the next one had begun";
    }
    if (i < cycles) {
      ASSERT_TRUE(stopped[i]->wait_for(1));
      EXPECT_EQ(FB::VariantList{true}, stopped[i]->lists().at(0));
    }
  }
  const samples_t recorded = samples_of(b);
  EXPECT_EQ(volume.back()->count() * block, recorded.size());
  EXPECT_TRUE(is_prefix(recorded, input));
}

TEST_F(Recording, TakesOverAPlayback) {
  const samples_t input = speech_input();
  rig().set_microphone(input);
  start("", true);
  const buffer_ptr b = buffer();
  set_samples(b, pattern(600 * 16000));
  const probe_ptr played = probe(b);
  const probe_ptr play_volume = pacer(b);
  the_studio().threaded_playback(0, played, play_volume, options_t());
  ASSERT_TRUE(play_volume->wait_for(3));

  const probe_ptr recorded_done = probe(b);
  const probe_ptr record_volume = probe(b);
  the_studio().threaded_start_record(0, recorded_done, record_volume, vad(1.0, 2.0, 10.0));
  ASSERT_TRUE(recorded_done->wait_for(1));
  ASSERT_TRUE(played->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(b); }));

  ASSERT_EQ(1u, played->count());
  EXPECT_EQ(FB::VariantList{true}, played->lists().at(0)) << describe(played->lists().at(0));
  ASSERT_EQ(1u, recorded_done->count());
  EXPECT_EQ((FB::VariantList{true, std::string()}), recorded_done->lists().at(0))
      << describe(recorded_done->lists().at(0));
  EXPECT_TRUE(all_before(*played, *record_volume));
  EXPECT_EQ(1u, logged("DEBUG", "start_record",
                       "manually stop buf " + address_of(b) + ", previous status 2"));
  expect_heard_every_block(*record_volume);
  const samples_t recorded = samples_of(b);
  EXPECT_EQ(record_volume->count() * block, recorded.size());
  EXPECT_TRUE(is_prefix(recorded, input));
}

// The channel count is the configured one and channel 0 is recorded: with two channels the
// record is still the microphone's own samples, not two channels woven into one.
TEST_F(Recording, RecordsChannelZeroOfSeveral) {
  const samples_t input = speech_input();
  rig().set_microphone(input);
  start("[audio]\nchannels=2\n");
  const buffer_ptr b = buffer();
  const probe_ptr done = probe(b);
  const probe_ptr volume = probe(b);
  the_studio().threaded_start_record(0, done, volume, vad(1.0, 2.0, 10.0));
  ASSERT_TRUE(done->wait_for(1));
  EXPECT_EQ((FB::VariantList{true, std::string()}), done->lists().at(0));
  const samples_t recorded = samples_of(b);
  expect_heard_every_block(*volume);
  // The virtual microphone skips blocks when it feeds two channels, but each block it delivers
  // is one of its own, sample for sample.
  std::size_t voiced = 0;
  for (std::size_t at = 0; at + block <= recorded.size(); at += block) {
    const samples_t one(recorded.begin() + at, recorded.begin() + at + block);
    if (std::any_of(one.begin(), one.end(), [](std::int16_t x) { return x != 0; })) {
      ++voiced;
      EXPECT_NE(alsa_rig::npos, alsa_rig::find(input, one)) << "block at " << at;
    }
  }
  EXPECT_GT(voiced, 5u);
}

// A recording without a result callback runs as any other; only the report is missing.
TEST_F(Recording, WithoutACallback) {
  const samples_t input = speech_input();
  rig().set_microphone(input);
  start();
  const buffer_ptr b = buffer();
  const probe_ptr volume = probe(b);
  the_studio().threaded_start_record(0, nullptr, volume, vad(1.0, 2.0, 10.0, true, false));
  ASSERT_TRUE(volume->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(b); }));
  const samples_t recorded = samples_of(b);
  EXPECT_EQ(volume->count() * block, recorded.size());
  EXPECT_TRUE(is_prefix(recorded, input));
  EXPECT_GT(recorded.size(), spoken_range(input).second + 0.9 * rate) << "ended by the detector";
  EXPECT_FALSE(state_of(b).stop_requested);
  boost::lock_guard<boost::mutex> lock(b->m_mutex);
  EXPECT_FALSE(b->vad_statistics().empty());
}

class RecordingFailure : public stream_fixture,
                         public ::testing::WithParamInterface<failure_case> {};

TEST_P(RecordingFailure, ReportsTheTranslatedText) {
  const failure_case c = GetParam();
  rig().set_microphone(speech_input());
  start(c.config, true);
  const buffer_ptr b = buffer();
  set_samples(b, pattern(5000));
  const probe_ptr done = probe(b);
  const probe_ptr volume = probe(b);
  the_studio().threaded_start_record(0, done, volume, vad(1.0, 2.0, 10.0));
  ASSERT_TRUE(done->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(b); }));
  destroy_studio();

  ASSERT_NO_FATAL_FAILURE(expect_failed(*done, *volume, b, c.text));
  // The earlier record was emptied before the device was looked for.
  EXPECT_TRUE(samples_of(b).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RecordingFailure,
    ::testing::Values(
        failure_case{"AllBlacklisted", "[device]\nblacklist=.*\n", "no microphone here"},
        // Every input device blacklisted; the speaker alone is left.
        failure_case{"InputsBlacklisted", "[device]\nblacklist=vocle_mic;default\n",
                     "no microphone here"},
        // Streams the device refuses.
        failure_case{"TooManyChannels", "[audio]\nchannels=129\n", "the microphone refused"},
        failure_case{"NoChannels", "[audio]\nchannels=0\n", "the microphone refused"},
        failure_case{"NoSampleRate", "[audio]\nsample_rate=0\n", "the microphone refused"}),
    failure_name);

// Each step of a recording, a playback and a stop of an idle buffer leaves its line, named after
// the studio member that does it.
TEST_F(Recording, LogsEachStep) {
  const samples_t input = speech_input();
  rig().set_microphone(input);
  start("", true);
  const buffer_ptr b = buffer();
  const std::string address = address_of(b);
  const probe_ptr recorded = probe(b);
  the_studio().threaded_start_record(0, recorded, nullptr, vad(1.0, 2.0, 10.0));
  ASSERT_TRUE(recorded->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(b); }));
  const std::size_t samples = samples_of(b).size();
  const probe_ptr played = probe(b);
  the_studio().threaded_playback(0, played, nullptr, options_t());
  ASSERT_TRUE(played->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(b); }));
  const probe_ptr stopped = probe(b);
  the_studio().threaded_stop(0, stopped);
  ASSERT_TRUE(stopped->wait_for(1));
  destroy_studio();

  const std::string device = std::to_string(alsa_rig::device_index("default"));
  struct expected_line {
    const char* level;
    const char* function;
    std::string message;
  };
  const std::string studio = "vocle::audio::studio::";
  const std::vector<expected_line> expected = {
      {"INFO", "threaded_start_record", "buffer index 0"},
      {"DEBUG", "threaded_start_record", "buffer " + address + " of index 0"},
      {"INFO", "start_record", "entered"},
      {"DEBUG", "start_record", "build audio record " + address},
      {"DEBUG", "start_record", "choosed input index " + device},
      {"DEBUG", "start_record", "audio record " + address + " started"},
      {"INFO", "start_record",
       "audio record " + address + " completed " + std::to_string(samples) + " samples"},
      {"INFO", "threaded_playback", "buffer index 0"},
      {"DEBUG", "threaded_playback", "buffer " + address + " of index 0"},
      {"INFO", "playback", "entered"},
      {"DEBUG", "playback",
       "build audio playback " + address + " with " + std::to_string(samples) + " samples"},
      {"DEBUG", "playback", "choosed output index " + device},
      {"DEBUG", "playback", "audio playback " + address + " started"},
      {"INFO", "playback", "audio " + address + " completed"},
      {"INFO", "threaded_stop", "buffer index 0"},
      {"DEBUG", "threaded_stop", "buffer " + address + " of index 0"},
      {"INFO", "stop", "entered"},
      {"INFO", "stop", address + " already stopped with status 0"},
  };
  // In this order, each once.
  const std::vector<log_capture::line> lines = log().lines();
  auto from = lines.begin();
  for (const expected_line& e : expected) {
    const auto is_it = [&](const log_capture::line& l) {
      return l.level == e.level && l.function == studio + e.function && l.message == e.message;
    };
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), is_it))
        << e.function << ": " << e.message;
    const auto at = std::find_if(from, lines.end(), is_it);
    EXPECT_NE(lines.end(), at) << "out of order: " << e.function << ": " << e.message;
    if (at != lines.end()) {
      from = at;
    }
  }
}

// The starters turn the page's index into a buffer first: beyond the table it grows, at the
// limit the script error reaches the caller and no worker starts.
TEST_F(Recording, TheStartersIndex) {
  rig().set_microphone(speech_input());
  start("[audio]\nmax_buffer_count=4\n");
  const probe_ptr refused = probe(buffer());
  const std::vector<std::function<void()>> starters = {
      [&] { the_studio().threaded_start_record(4, refused, nullptr, options_t()); },
      [&] { the_studio().threaded_playback(4, refused, nullptr, options_t()); },
      [&] { the_studio().threaded_stop(4, refused); },
  };
  for (const auto& starter : starters) {
    try {
      starter();
      ADD_FAILURE() << "no script error";
    } catch (const FB::script_error& e) {
      EXPECT_EQ(std::string("reach max_buffer_count limit"), e.what());
    }
  }
  EXPECT_EQ(1u, the_studio().buffer_count());

  const probe_ptr done = boost::make_shared<probe_function>(buffer_ptr());
  the_studio().threaded_start_record(3, done, nullptr, vad(1.0, 2.0, 10.0));
  ASSERT_TRUE(done->wait_for(1));
  EXPECT_EQ(4u, the_studio().buffer_count());
  EXPECT_EQ(FB::variant(true), done->lists().at(0).at(0));
  EXPECT_FALSE(samples_of(buffer(3)).empty());
  EXPECT_TRUE(samples_of(buffer(0)).empty());
  destroy_studio();
  EXPECT_EQ(0u, refused->count());
}

}  // namespace
}  // namespace testkit
}  // namespace vocle
