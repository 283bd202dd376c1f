// Stopping recordings and playbacks over real PortAudio streams, stopping idle buffers, and a
// studio that goes while its workers are still busy.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>
#include <boost/thread/locks.hpp>
#include <boost/weak_ptr.hpp>

#include "stream_fixture.h"

namespace vocle {
namespace testkit {
namespace {

using audio::audio_buffer;

enum action { recording, playback };

void PrintTo(action a, std::ostream* os) {
  *os << (a == recording ? "recording" : "playback");
}

std::string name_of(const ::testing::TestParamInfo<action>& info) {
  return info.param == recording ? "Recording" : "Playback";
}

// An action that only a stop ends, running on buffer 0, paced so that it is still running when
// the test acts on it.
class BusyBuffer : public stream_fixture, public ::testing::WithParamInterface<action> {
 protected:
  void SetUp() override {
    rig().set_microphone(speech_input());
    start();
    m_buffer = buffer();
    m_done = probe(m_buffer);
    m_volume = pacer(m_buffer);
    if (GetParam() == recording) {
      the_studio().threaded_start_record(0, m_done, m_volume, endless());
    } else {
      set_samples(m_buffer, pattern(600 * 16000));
      the_studio().threaded_playback(0, m_done, m_volume, options_t());
    }
    ASSERT_TRUE(m_volume->wait_for(2));
  }

  // The action's own result: a stopped action has succeeded.
  void expect_action_succeeded() const {
    ASSERT_EQ(1u, m_done->count());
    const FB::VariantList expected =
        GetParam() == recording ? FB::VariantList{true, std::string()} : FB::VariantList{true};
    EXPECT_EQ(expected, m_done->lists().at(0)) << describe(m_done->lists().at(0));
    EXPECT_EQ(audio_buffer::status_idle, m_done->looks().at(0).status);
  }

  // What the action got to before it was stopped: a recording keeps every block it heard, and
  // none after; a playback played every block it reported.
  void expect_stopped_early() const {
    const samples_t samples = samples_of(m_buffer);
    if (GetParam() == recording) {
      EXPECT_EQ(m_volume->count() * block, samples.size());
      EXPECT_LT(samples.size(), 600 * 16000u);
      // The microphone repeats its last frames, silence, once the input has run out (a loaded
      // machine may let the recording get that far before the stop).
      const samples_t input = speech_input();
      const std::size_t heard = std::min(samples.size(), input.size());
      EXPECT_TRUE(std::equal(samples.begin(), samples.begin() + heard, input.begin()));
      EXPECT_TRUE(std::all_of(samples.begin() + heard, samples.end(),
                              [](std::int16_t x) { return x == 0; }));
    } else {
      EXPECT_LT(m_volume->count(), samples.size() / block);
      const samples_t played(samples.begin(), samples.begin() + m_volume->count() * block);
      EXPECT_NE(alsa_rig::npos, alsa_rig::find(rig().speaker_output(), played));
    }
  }

  buffer_ptr m_buffer;
  probe_ptr m_done;
  probe_ptr m_volume;
};

TEST_P(BusyBuffer, StopEndsTheAction) {
  const probe_ptr stopped = probe(m_buffer);
  the_studio().threaded_stop(0, stopped);
  ASSERT_TRUE(stopped->wait_for(1));
  ASSERT_TRUE(m_done->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(m_buffer); }));

  ASSERT_EQ(1u, stopped->count());
  EXPECT_EQ(FB::VariantList{true}, stopped->lists().at(0)) << describe(stopped->lists().at(0));
  // Never before the action has ended.
  EXPECT_EQ(audio_buffer::status_idle, stopped->looks().at(0).status);
  expect_action_succeeded();
  EXPECT_FALSE(state_of(m_buffer).stop_requested);
  expect_stopped_early();
}

// Without a callback the stop does its work all the same.
TEST_P(BusyBuffer, StopWithoutACallback) {
  the_studio().threaded_stop(0, nullptr);
  ASSERT_TRUE(m_done->wait_for(1));
  // The stop lowers the flag once it has seen the buffer idle.
  ASSERT_TRUE(eventually([&] { return !state_of(m_buffer).stop_requested; }));
  destroy_studio();
  expect_action_succeeded();
  // The worker lets the buffer go once it has closed its stream, which may come just after the
  // studio has gone.
  ASSERT_TRUE(eventually([&] { return settled(m_buffer); }));
  EXPECT_FALSE(state_of(m_buffer).stop_requested);
  expect_stopped_early();
}

// The page goes while the action runs: the studio stops it, and once the close has returned the
// stream takes or gives no more blocks; the worker then closes it and lets the buffer go.
// Nothing is reported to the page that has gone, and nothing keeps the buffer afterwards.
TEST_P(BusyBuffer, TheStudioGoesWhileTheActionRuns) {
  const boost::weak_ptr<audio_buffer> held = m_buffer;
  m_buffer.reset();
  destroy_studio();
  const std::size_t blocks = m_volume->count();
  ASSERT_TRUE(eventually([&] { return held.expired(); }));
  EXPECT_EQ(blocks, m_volume->count());
  EXPECT_EQ(0u, m_done->count());
  EXPECT_LT(blocks, 600 * 16000 / block);
}

INSTANTIATE_TEST_SUITE_P(Actions, BusyBuffer, ::testing::Values(recording, playback), name_of);

class Stop : public stream_fixture {};

// Nothing runs: the translated text at once, and the flag as it was.
TEST_F(Stop, AnIdleBuffer) {
  start();
  const buffer_ptr b = buffer();
  const probe_ptr stopped = probe(b);
  the_studio().threaded_stop(0, stopped);
  ASSERT_TRUE(stopped->wait_for(1));
  EXPECT_EQ((FB::VariantList{false, std::string("nothing to stop")}), stopped->lists().at(0))
      << describe(stopped->lists().at(0));

  b->m_stop_requested = true;
  const probe_ptr again = probe(b);
  the_studio().threaded_stop(0, again);
  ASSERT_TRUE(again->wait_for(1));
  EXPECT_EQ((FB::VariantList{false, std::string("nothing to stop")}), again->lists().at(0));
  EXPECT_TRUE(state_of(b).stop_requested);
  b->m_stop_requested = false;

  // A slot beyond the table is made first; it is idle as well.
  const probe_ptr beyond = boost::make_shared<probe_function>(buffer_ptr());
  the_studio().threaded_stop(4, beyond);
  ASSERT_TRUE(beyond->wait_for(1));
  EXPECT_EQ((FB::VariantList{false, std::string("nothing to stop")}), beyond->lists().at(0));
  EXPECT_EQ(5u, the_studio().buffer_count());
  destroy_studio();
  EXPECT_EQ(1u, stopped->count());
  EXPECT_EQ(1u, again->count());
  EXPECT_EQ(1u, beyond->count());
}

// Buffer 0 of a studio that logs, over the gated microphone, and a probe for its action's result.
class GatedBuffer : public stream_fixture {
 protected:
  void SetUp() override {
    start("", true);
    m_microphone.reset(new gated_microphone(rig()));
    m_buffer = buffer();
    m_done = probe(m_buffer);
  }
  void TearDown() override {
    m_microphone.reset();
    stream_fixture::TearDown();
  }

  std::unique_ptr<gated_microphone> m_microphone;
  buffer_ptr m_buffer;
  probe_ptr m_done;
};

// A recording from the gated microphone: it gets a block only when the test feeds one, so a
// stop waits for as long as the test holds the next block back.
class GatedRecording : public GatedBuffer {
 protected:
  void SetUp() override {
    GatedBuffer::SetUp();
    m_volume = probe(m_buffer);
    the_studio().threaded_start_record(0, m_done, m_volume, endless());
    m_microphone->feed(pattern(2 * block));
    ASSERT_TRUE(m_volume->wait_for(2));
  }

  // The stops that have found the buffer recording and raised its flag.
  std::size_t stops_waiting() const {
    return logged("DEBUG", "stop", "manually stop " + address_of(m_buffer) + ", previous status 1");
  }

  probe_ptr m_volume;
};

TEST_F(GatedRecording, TwoStopsBothSucceed) {
  const probe_ptr first = probe(m_buffer);
  const probe_ptr second = probe(m_buffer);
  the_studio().threaded_stop(0, first);
  the_studio().threaded_stop(0, second);
  // Both wait: no block comes, so nothing sees the flag.
  ASSERT_TRUE(eventually([&] { return stops_waiting() == 2; }));
  EXPECT_EQ(0u, first->count() + second->count() + m_done->count());
  EXPECT_EQ(audio_buffer::status_recording, state_of(m_buffer).status);

  m_microphone->feed(pattern(block));
  ASSERT_TRUE(first->wait_for(1));
  ASSERT_TRUE(second->wait_for(1));
  ASSERT_TRUE(m_done->wait_for(1));
  ASSERT_TRUE(eventually([&] { return settled(m_buffer); }));
  destroy_studio();

  EXPECT_EQ(1u, first->count());
  EXPECT_EQ(1u, second->count());
  EXPECT_EQ(FB::VariantList{true}, first->lists().at(0)) << describe(first->lists().at(0));
  EXPECT_EQ(FB::VariantList{true}, second->lists().at(0)) << describe(second->lists().at(0));
  ASSERT_EQ(1u, m_done->count());
  EXPECT_EQ((FB::VariantList{true, std::string()}), m_done->lists().at(0));
  EXPECT_FALSE(state_of(m_buffer).stop_requested);
  // The block that met the flag was not stored.
  EXPECT_EQ(pattern(2 * block), samples_of(m_buffer));
  EXPECT_EQ(2u, m_volume->count());
}

// The page goes while a stop waits for the recording to end: the close ends the recording, which
// reports nothing to the page that has gone; the stop then finds the buffer idle.
TEST_F(GatedRecording, TheStudioGoesWhileAStopWaits) {
  const probe_ptr stopped = probe(m_buffer);
  the_studio().threaded_stop(0, stopped);
  ASSERT_TRUE(eventually([&] { return stops_waiting() == 1; }));
  // From here the microphone delivers freely.
  m_microphone->close();
  destroy_studio();
  ASSERT_TRUE(eventually([&] { return settled(m_buffer); }));
  EXPECT_EQ(0u, m_done->count());
  ASSERT_TRUE(stopped->wait_for(1));
  EXPECT_EQ(FB::VariantList{true}, stopped->lists().at(0)) << describe(stopped->lists().at(0));
}

// The studio goes on a thread of its own while the test holds the buffer or the microphone
// back, so the test decides what the workers see of the closing.
class ClosingStudio : public GatedBuffer {
 protected:
  void TearDown() override {
    if (m_closer.joinable()) {
      if (!m_destroyed) {
        // The worker did not end by itself: end it, so that the failure is reported and not a
        // hang.
        m_buffer->m_stop_requested = true;
        m_microphone->close();
      }
      m_closer.join();
    }
    GatedBuffer::TearDown();
  }

  // Starts destroying the studio and returns once it has begun.
  void close_studio() {
    m_closer = std::thread([this] {
      destroy_studio();
      m_destroyed = true;
    });
    ASSERT_TRUE(eventually([&] { return logged("DEBUG", "~studio", "closing") == 1; }));
  }

  std::thread m_closer;
  std::atomic<bool> m_destroyed{false};
};

// A recording whose worker takes the buffer over only after the studio began to close ends at
// once without opening a stream: the record stays as it was, and nothing is reported.
TEST_F(ClosingStudio, ARecordingThatStartsAsTheStudioGoes) {
  set_samples(m_buffer, pattern(block));
  {
    // The worker cannot take the buffer over while the test holds its mutex.
    boost::unique_lock<boost::mutex> hold(m_buffer->m_mutex);
    the_studio().threaded_start_record(0, m_done, probe(m_buffer), endless());
    close_studio();
  }
  ASSERT_TRUE(eventually([&] { return m_destroyed.load(); }));
  EXPECT_EQ(0u, m_done->count());
  EXPECT_EQ(pattern(block), samples_of(m_buffer));
  EXPECT_TRUE(settled(m_buffer));
  EXPECT_EQ(0u,
            logged("DEBUG", "start_record", "audio record " + address_of(m_buffer) + " started"));
}

// A running recording meets the closing, also on a buffer that has already left the table: the
// stop flag goes up, the next block ends the recording without being stored, and once the close
// has returned the stream takes no block more; the worker then closes it and lets the buffer
// go. Nothing is reported.
class ClosingDuringRecording : public ClosingStudio, public ::testing::WithParamInterface<bool> {};

TEST_P(ClosingDuringRecording, StopsTheStreamAndReportsNothing) {
  const probe_ptr volume = probe(m_buffer);
  the_studio().threaded_start_record(0, m_done, volume, endless());
  m_microphone->feed(pattern(2 * block));
  ASSERT_TRUE(volume->wait_for(2));
  if (GetParam()) {
    the_studio().set_buffer_count(0);
  }
  close_studio();
  ASSERT_TRUE(eventually([&] { return state_of(m_buffer).stop_requested; }));
  m_microphone->feed(pattern(block));
  ASSERT_TRUE(eventually([&] { return m_destroyed.load(); }));
  // What the microphone delivers from now on is not heard.
  m_microphone->feed(pattern(2 * block));
  ASSERT_TRUE(eventually([&] { return settled(m_buffer); }));
  EXPECT_EQ(0u, m_done->count());
  EXPECT_EQ(2u, volume->count());
  EXPECT_EQ(pattern(2 * block), samples_of(m_buffer));
}

INSTANTIATE_TEST_SUITE_P(Buffers, ClosingDuringRecording, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "RemovedFromTheTable" : "InTheTable");
                         });

// A stop of one buffer leaves the others running.
TEST_F(Stop, OnlyItsOwnBuffer) {
  rig().set_microphone(speech_input());
  start();
  const buffer_ptr playing = buffer(1);
  set_samples(playing, pattern(600 * 16000));
  const probe_ptr played = probe(playing);
  const probe_ptr play_volume = pacer(playing);
  the_studio().threaded_playback(1, played, play_volume, options_t());
  const buffer_ptr recording_buffer = buffer(0);
  const probe_ptr recorded = probe(recording_buffer);
  const probe_ptr record_volume = pacer(recording_buffer);
  the_studio().threaded_start_record(0, recorded, record_volume, endless());
  ASSERT_TRUE(play_volume->wait_for(2));
  ASSERT_TRUE(record_volume->wait_for(2));

  const probe_ptr stopped = probe(recording_buffer);
  the_studio().threaded_stop(0, stopped);
  ASSERT_TRUE(stopped->wait_for(1));
  ASSERT_TRUE(recorded->wait_for(1));
  EXPECT_EQ(FB::VariantList{true}, stopped->lists().at(0));
  // The playback goes on.
  const std::size_t blocks = play_volume->count();
  ASSERT_TRUE(play_volume->wait_for(blocks + 2));
  EXPECT_EQ(0u, played->count());
  EXPECT_EQ(audio_buffer::status_playing, state_of(playing).status);
}

}  // namespace
}  // namespace testkit
}  // namespace vocle
