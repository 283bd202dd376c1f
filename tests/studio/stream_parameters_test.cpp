// Audio parameters that a page sets and no stream can take: a sample rate that is not a positive
// finite number, and more frames per block than any device serves. Both end the action before a
// stream is opened, with the open failure that the worker gives for a stream the device refuses.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "stream_fixture.h"

namespace vocle {
namespace testkit {
namespace {

enum action { recording, playback };

struct parameter_case {
  const char* name;
  double sample_rate;
  std::uint64_t frames_per_buffer;
};

void PrintTo(const parameter_case& c, std::ostream* os) {
  *os << c.name;
}

class RefusedParameters : public stream_fixture,
                          public ::testing::WithParamInterface<std::tuple<action, parameter_case>> {
};

TEST_P(RefusedParameters, EndTheActionBeforeAStreamOpens) {
  const action what = std::get<0>(GetParam());
  const parameter_case c = std::get<1>(GetParam());
  rig().set_microphone(speech_input());
  start(std::string(), true);
  the_studio().set_sample_rate(c.sample_rate);
  the_studio().set_frames_per_buffer(c.frames_per_buffer);
  const buffer_ptr b = buffer();
  const samples_t record = pattern(4 * block);
  set_samples(b, record);
  const probe_ptr done = probe(b);
  const probe_ptr volume = probe(b);
  if (what == recording) {
    the_studio().threaded_start_record(0, done, volume, vad(1.0, 2.0, 10.0));
  } else {
    the_studio().threaded_playback(0, done, volume, options_t());
  }
  ASSERT_TRUE(done->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(b); }));
  destroy_studio();

  ASSERT_NO_FATAL_FAILURE(expect_failed(
      *done, *volume, b, what == recording ? "the microphone refused" : "the speaker refused"));
  // The values stay as the page set them; only the streams refuse them.
  if (what == playback) {
    EXPECT_EQ(record, samples_of(b));
    const samples_t output = rig().speaker_output();
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](std::int16_t x) { return x == 0; }))
        << "nothing was played";
  }
}

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, RefusedParameters,
    ::testing::Combine(
        ::testing::Values(recording, playback),
        ::testing::Values(
            parameter_case{"NaNRate", nan, 1024}, parameter_case{"NegativeNaNRate", -nan, 1024},
            parameter_case{"InfiniteRate", inf, 1024},
            parameter_case{"NegativeInfiniteRate", -inf, 1024},
            parameter_case{"NegativeRate", -16000.0, 1024}, parameter_case{"ZeroRate", 0.0, 1024},
            parameter_case{"OneFrameTooMany", 16000.0, 16385},
            parameter_case{"HugeBlocks", 16000.0, std::uint64_t(1) << 40},
            parameter_case{"LargestCount", 16000.0, std::numeric_limits<std::uint64_t>::max()})),
    [](const ::testing::TestParamInfo<std::tuple<action, parameter_case>>& info) {
      return std::string(std::get<0>(info.param) == recording ? "Recording" : "Playback") +
             std::get<1>(info.param).name;
    });

class LargestBlocks : public stream_fixture {};

// The largest block that is allowed records like any other: every block of it is stored.
TEST_F(LargestBlocks, AreRecorded) {
  const std::uint64_t frames = 16384;
  const samples_t input = speech_input();
  rig().set_microphone(input);
  start();
  the_studio().set_frames_per_buffer(frames);
  const buffer_ptr b = buffer();
  const probe_ptr done = probe(b);
  const probe_ptr volume = probe(b);
  the_studio().threaded_start_record(0, done, volume, vad(1.0, 2.0, 10.0));
  ASSERT_TRUE(done->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(b); }));
  ASSERT_EQ(1u, done->count());
  EXPECT_EQ(FB::variant(true), done->lists().at(0).at(0)) << describe(done->lists().at(0));
  ASSERT_GT(volume->count(), 0u);
  EXPECT_EQ(volume->count() * frames, samples_of(b).size());
}

}  // namespace
}  // namespace testkit
}  // namespace vocle
