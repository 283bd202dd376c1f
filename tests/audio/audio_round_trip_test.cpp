// One real round trip through PortAudio over the test rig's virtual devices: record the speech
// fixture from the microphone until the detector ends it, then play the record to the speaker.
// The test drives the streams the way the studio's workers do: under the buffer's mutex it
// prepares, opens and starts the stream and sets the status; then it polls until the stream has
// ended.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/any.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/lock_guard.hpp>
#include <portaudiocpp/PortAudioCpp.hxx>

#include "audio_test_support.h"
#include "common/alsa_rig.h"
#include "common/config_dir.h"
#include "common/recording_function.h"
#include "common/speech_fixture.h"
#include "core/audio/audio_buffer.h"

namespace vocle {
namespace audio {
namespace {

const double rate = 16000.0;
const unsigned long block = 1024;

// Starts PortAudio for the test and always stops it again.
class portaudio_session {
 public:
  portaudio_session() { portaudio::System::initialize(); }
  ~portaudio_session() { portaudio::System::terminate(); }
};

typedef int (audio_buffer::*callback)(const void*, void*, unsigned long,
                                      const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags);

// Opens a stream on the device in one direction over the buffer's callback, starts it with the
// given status and waits until it is no longer active. False when it did not end in time.
bool run_stream(audio_buffer& buffer, int device_index, bool input, callback member,
                std::uint32_t status) {
  portaudio::System& system = portaudio::System::instance();
  portaudio::Device& device = system.deviceByIndex(device_index);
  const portaudio::DirectionSpecificStreamParameters direction(
      device, 1, portaudio::INT16, false,
      input ? device.defaultLowInputLatency() : device.defaultLowOutputLatency(), nullptr);
  const portaudio::DirectionSpecificStreamParameters none =
      portaudio::DirectionSpecificStreamParameters::null();
  const portaudio::StreamParameters parameters(input ? direction : none, input ? none : direction,
                                               rate, block, paClipOff);
  portaudio::MemFunCallbackStream<audio_buffer> stream;
  {
    boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
    stream.open(parameters, buffer, member);
    stream.start();
    buffer.m_status = status;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    {
      boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
      if (!stream.isActive()) {
        buffer.m_status = audio_buffer::status_idle;
        break;
      }
    }
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stream.close();
  return true;
}

TEST(audio_round_trip, records_speech_until_the_detector_ends_it_and_plays_it_back) {
  testkit::alsa_rig rig;  // before PortAudio starts
  testkit::config_dir config;
  testkit::reset_training();
  const std::vector<std::int16_t> speech =
      testkit::alsa_rig::with_silence(testkit::speech_samples(), 2.0);
  rig.set_microphone(speech);
  portaudio_session session;
  const int microphone = testkit::alsa_rig::device_index(testkit::alsa_rig::microphone);
  const int speaker = testkit::alsa_rig::device_index(testkit::alsa_rig::speaker);
  ASSERT_GE(microphone, 0);
  ASSERT_GE(speaker, 0);

  audio_buffer buffer;
  auto record_volumes = boost::make_shared<testkit::recording_function>();
  {
    boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
    buffer.m_listener = record_volumes;
    std::map<std::string, boost::any> options;
    options["vad_max"] = 10.0;
    options["vad_statistic"] = true;
    buffer.prepare_record(rate, options);
  }
  ASSERT_TRUE(run_stream(buffer, microphone, true, &audio_buffer::record_callback,
                         audio_buffer::status_recording))
      << "the recording did not end";

  std::vector<std::int16_t> recorded;
  {
    boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
    recorded = buffer.m_samples.to_vector();
    EXPECT_FALSE(buffer.m_listener);
    // The detector ended it by the gap after the sentence, before the input ran out.
    const std::string statistics = buffer.vad_statistics();
    ASSERT_FALSE(statistics.empty());
    EXPECT_EQ(statistics.back(), '_');
  }
  ASSERT_EQ(recorded.size() % block, 0u);
  const std::size_t spoken_end =
      speech.rend() -
      std::find_if(speech.rbegin(), speech.rend(), [](std::int16_t x) { return x != 0; });
  EXPECT_GT(recorded.size(), spoken_end + 0.9 * rate);
  EXPECT_LT(recorded.size(), speech.size());
  // Capture is exact from the first sample of the microphone.
  EXPECT_TRUE(std::equal(recorded.begin(), recorded.end(), speech.begin()));
  EXPECT_EQ(record_volumes->count(), recorded.size() / block);

  auto play_volumes = boost::make_shared<testkit::recording_function>();
  {
    boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
    buffer.m_listener = play_volumes;
    buffer.prepare_playback(rate, std::map<std::string, boost::any>());
  }
  ASSERT_TRUE(run_stream(buffer, speaker, false, &audio_buffer::playback_callback,
                         audio_buffer::status_playing))
      << "the playback did not end";
  EXPECT_EQ(play_volumes->count(), recorded.size() / block);

  const std::vector<std::int16_t> played = rig.speaker_output();
  const std::size_t at = testkit::alsa_rig::find(played, recorded);
  ASSERT_NE(at, testkit::alsa_rig::npos) << "the record is not in the speaker's output";
  // What follows the record is the silent block that ended the stream.
  for (std::size_t i = at + recorded.size(); i < played.size(); ++i) {
    ASSERT_EQ(played[i], 0) << "at " << i;
  }
  EXPECT_EQ(buffer.m_status, 0u);
}

}  // namespace
}  // namespace audio
}  // namespace vocle
