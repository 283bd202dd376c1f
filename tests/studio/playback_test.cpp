// Playback over real PortAudio streams to the virtual speaker: whole blocks of the record, the
// take-overs between playbacks and recordings, the failures with their translated texts, and the
// stream layout that the streams always use.
#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stream_fixture.h"

namespace vocle {
namespace testkit {
namespace {

using audio::audio_buffer;

bool all_zero(std::vector<std::int16_t>::const_iterator first,
              std::vector<std::int16_t>::const_iterator last) {
  return std::all_of(first, last, [](std::int16_t x) { return x == 0; });
}

// Where the samples stand in the speaker's output, the output holding nothing else but silence;
// npos when they are not there.
std::size_t played_at(const std::vector<std::int16_t>& output,
                      const std::vector<std::int16_t>& samples) {
  const std::size_t at = alsa_rig::find(output, samples);
  if (at == alsa_rig::npos || !all_zero(output.begin(), output.begin() + at) ||
      !all_zero(output.begin() + at + samples.size(), output.end())) {
    return alsa_rig::npos;
  }
  return at;
}

// The n-th volume call came while the buffer was playing.
void expect_played_every_block(const probe_function& volume, std::size_t blocks) {
  const std::vector<probe_function::look> looks = volume.looks();
  EXPECT_EQ(blocks, looks.size());
  for (std::size_t i = 0; i < looks.size(); ++i) {
    EXPECT_EQ(audio_buffer::status_playing, looks[i].status) << "block " << i;
  }
}

struct length_case {
  const char* name;
  std::size_t samples;
};

void PrintTo(const length_case& c, std::ostream* os) {
  *os << c.name;
}

class PlaybackOfWholeBlocks : public stream_fixture,
                              public ::testing::WithParamInterface<length_case> {};

// The record goes to the speaker block by block; a last piece shorter than a block is not played.
TEST_P(PlaybackOfWholeBlocks, PlaysTheRecord) {
  const std::size_t n = GetParam().samples;
  start();
  const buffer_ptr b = buffer();
  const samples_t record = pattern(n);
  set_samples(b, record);
  const probe_ptr done = probe(b);
  const probe_ptr volume = probe(b);
  the_studio().threaded_playback(0, done, volume, options_t());
  ASSERT_TRUE(done->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(b); }));

  ASSERT_EQ(1u, done->count());
  EXPECT_EQ(FB::VariantList{true}, done->lists().at(0)) << describe(done->lists().at(0));
  EXPECT_EQ(audio_buffer::status_idle, done->looks().at(0).status);
  const std::size_t blocks = n / block;
  expect_played_every_block(*volume, blocks);

  const samples_t output = rig().speaker_output();
  if (blocks == 0) {
    EXPECT_TRUE(all_zero(output.begin(), output.end()));
  } else {
    const samples_t whole(record.begin(), record.begin() + blocks * block);
    EXPECT_NE(alsa_rig::npos, played_at(output, whole));
  }
  // Playing leaves the record as it was.
  EXPECT_EQ(record, samples_of(b));
  EXPECT_FALSE(state_of(b).stop_requested);
}

INSTANTIATE_TEST_SUITE_P(Lengths, PlaybackOfWholeBlocks,
                         ::testing::Values(length_case{"Empty", 0},
                                           length_case{"LessThanABlock", 500},
                                           length_case{"WholeBlocks", 10 * block},
                                           length_case{"AShortLastPiece", 10 * block + 500}),
                         [](const ::testing::TestParamInfo<length_case>& info) {
                           return std::string(info.param.name);
                         });

class Playback : public stream_fixture {
 protected:
  // Starts a playback of buffer 0 over the action that `first` reports for, and waits until both
  // have reported and the buffer has settled.
  void play_over(const probe_ptr& first, const probe_ptr& done, const probe_ptr& volume) {
    the_studio().threaded_playback(0, done, volume, options_t());
    ASSERT_TRUE(done->wait_for(1));
    ASSERT_TRUE(first->wait_for(1));
    const buffer_ptr b = buffer();
    ASSERT_TRUE(eventually([&] { return settled(b); }));
  }
};

// A second playback of the buffer takes over the first, which reports, and plays the record from
// its first sample again.
TEST_F(Playback, TakesOverAPlayback) {
  start();
  const buffer_ptr b = buffer();
  // Two minutes: the paced first playback is still running when the second one comes, and the
  // second one plays all of it.
  const samples_t record = pattern(120 * 16000);
  set_samples(b, record);
  const probe_ptr first_done = probe(b);
  const probe_ptr first_volume = pacer(b);
  the_studio().threaded_playback(0, first_done, first_volume, options_t());
  ASSERT_TRUE(first_volume->wait_for(3));

  const probe_ptr second_done = probe(b);
  const probe_ptr second_volume = probe(b);
  ASSERT_NO_FATAL_FAILURE(play_over(first_done, second_done, second_volume));

  EXPECT_EQ(FB::VariantList{true}, first_done->lists().at(0));
  EXPECT_EQ(FB::VariantList{true}, second_done->lists().at(0));
  EXPECT_EQ(1u, first_done->count());
  EXPECT_EQ(1u, second_done->count());
  EXPECT_LT(first_volume->count(), record.size() / block);
  EXPECT_TRUE(all_before(*first_done, *second_volume));
  expect_played_every_block(*second_volume, record.size() / block);
  // The speaker's output starts again at every opening: all of it is the second playback's.
  EXPECT_NE(alsa_rig::npos, played_at(rig().speaker_output(), record));
}

// A playback on a recording buffer ends the recording, which reports what it got, then plays it.
TEST_F(Playback, TakesOverARecording) {
  const samples_t input = speech_input();
  rig().set_microphone(input);
  start("", true);
  const buffer_ptr b = buffer();
  const probe_ptr recorded = probe(b);
  const probe_ptr record_volume = pacer(b);
  the_studio().threaded_start_record(0, recorded, record_volume, endless());
  ASSERT_TRUE(record_volume->wait_for(20));

  const probe_ptr played = probe(b);
  const probe_ptr play_volume = probe(b);
  ASSERT_NO_FATAL_FAILURE(play_over(recorded, played, play_volume));

  ASSERT_EQ(1u, recorded->count());
  EXPECT_EQ((FB::VariantList{true, std::string()}), recorded->lists().at(0))
      << describe(recorded->lists().at(0));
  ASSERT_EQ(1u, played->count());
  EXPECT_EQ(FB::VariantList{true}, played->lists().at(0));
  EXPECT_TRUE(all_before(*recorded, *play_volume));
  EXPECT_EQ(1u,
            logged("DEBUG", "playback", "manually stop " + address_of(b) + ", previous status 1"));

  // What was captured up to the take-over is what was played.
  const samples_t record = samples_of(b);
  EXPECT_EQ(record_volume->count() * block, record.size());
  ASSERT_TRUE(std::equal(record.begin(), record.end(), input.begin()));
  expect_played_every_block(*play_volume, record.size() / block);
  const samples_t output = rig().speaker_output();
  const std::pair<std::size_t, std::size_t> spoken = spoken_range(record);
  ASSERT_LT(spoken.first, spoken.second) << "the recording got some of the speech";
  const std::size_t at =
      played_at(output, samples_t(record.begin() + spoken.first, record.begin() + spoken.second));
  EXPECT_NE(alsa_rig::npos, at);
}

// A playback without a result callback plays as any other.
TEST_F(Playback, WithoutACallback) {
  start();
  const buffer_ptr b = buffer();
  const samples_t record = pattern(8 * block);
  set_samples(b, record);
  const probe_ptr volume = probe(b);
  the_studio().threaded_playback(0, nullptr, volume, options_t());
  ASSERT_TRUE(volume->wait_for(8));
  ASSERT_TRUE(eventually([&] { return settled(b); }));
  // Closed once the worker has gone: the whole output is there.
  destroy_studio();
  EXPECT_NE(alsa_rig::npos, played_at(rig().speaker_output(), record));
  EXPECT_EQ(8u, volume->count());
}

// The streams carry 16-bit samples in the non-interleaved layout whatever the configuration says;
// a warning tells so once.
TEST_F(Playback, StreamsAreAlways16BitNonInterleaved) {
  const samples_t input = speech_input();
  rig().set_microphone(input);
  start("[audio]\nsample_format=FLOAT32\ninterleaved=true\n", true);
  const buffer_ptr b = buffer();
  const probe_ptr recorded = probe(b);
  the_studio().threaded_start_record(0, recorded, nullptr, vad(1.0, 2.0, 10.0));
  ASSERT_TRUE(recorded->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(b); }));
  const samples_t record = samples_of(b);
  ASSERT_FALSE(record.empty());
  EXPECT_TRUE(std::equal(record.begin(), record.end(), input.begin()));

  const probe_ptr played = probe(b);
  the_studio().threaded_playback(0, played, nullptr, options_t());
  ASSERT_TRUE(played->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(b); }));
  destroy_studio();
  EXPECT_EQ(FB::VariantList{true}, played->lists().at(0));
  const std::pair<std::size_t, std::size_t> spoken = spoken_range(record);
  EXPECT_NE(alsa_rig::npos,
            played_at(rig().speaker_output(),
                      samples_t(record.begin() + spoken.first, record.begin() + spoken.second)));

  std::size_t warnings = 0;
  for (const std::string& line : log().messages("WARN")) {
    warnings += line.find("16-bit non-interleaved") != std::string::npos;
  }
  EXPECT_EQ(1u, warnings);
}

class PlaybackFailure : public stream_fixture,
                        public ::testing::WithParamInterface<failure_case> {};

TEST_P(PlaybackFailure, ReportsTheTranslatedText) {
  const failure_case c = GetParam();
  start(c.config, true);
  const buffer_ptr b = buffer();
  const samples_t record = pattern(4 * block);
  set_samples(b, record);
  const probe_ptr done = probe(b);
  const probe_ptr volume = probe(b);
  the_studio().threaded_playback(0, done, volume, options_t());
  ASSERT_TRUE(done->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(b); }));
  destroy_studio();

  ASSERT_NO_FATAL_FAILURE(expect_failed(*done, *volume, b, c.text));
  // The record stays.
  EXPECT_EQ(record, samples_of(b));
  const samples_t output = rig().speaker_output();
  EXPECT_TRUE(all_zero(output.begin(), output.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, PlaybackFailure,
    ::testing::Values(
        failure_case{"AllBlacklisted", "[device]\nblacklist=.*\n", "no speaker here"},
        // The default device records and plays; without it only the microphone is left.
        failure_case{"OutputsBlacklisted", "[device]\nblacklist=vocle_speaker;default\n",
                     "no speaker here"},
        failure_case{"TooManyChannels", "[audio]\nchannels=129\n", "the speaker refused"},
        failure_case{"NoSampleRate", "[audio]\nsample_rate=0\n", "the speaker refused"}),
    failure_name);

}  // namespace
}  // namespace testkit
}  // namespace vocle
