// A virtual microphone and speaker for tests, made of ALSA's file and null plugins, so that real
// PortAudio streams run without sound hardware or a sound server.
//
//   vocle::testkit::alsa_rig rig;                 // before portaudio::System::initialize()
//   rig.set_microphone(samples);                  // what the next capture stream delivers
//   ... record from "vocle_mic" or play to "vocle_speaker" (or "default", which is both) ...
//   std::vector<int16_t> played = rig.speaker_output();
//   size_t at = vocle::testkit::alsa_rig::find(played, samples);
//
// The devices are 16 kHz mono signed 16-bit. How ALSA's file plugin behaves:
// - capture delivers the microphone file from its first byte at every stream open; at its end the
//   last 2048 frames repeat forever, so end the samples with at least one second of silence
//   (with_silence below);
// - playback truncates the speaker file at every open (and at a format-support query) and writes
//   2048 frames of silence before the first sample; find the samples by search, not by offset;
// - both run far faster than real time.
// The rig is an alsa_config (common/alsa_config.h) with these two devices: it sets
// ALSA_CONFIG_PATH, VOCLE_MIC_FILE and VOCLE_SPEAKER_FILE for the process and puts their old
// values back when it goes; JACK is told not to start a server. Make one rig per test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/alsa_config.h"
#include "common/scoped_env.h"

namespace vocle {
namespace testkit {

class alsa_rig {
 public:
  static constexpr const char* microphone = "vocle_mic";
  static constexpr const char* speaker = "vocle_speaker";
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // Writes the configuration into a folder of its own, points ALSA at it and silences the chatter
  // of ALSA and JACK on standard error. The microphone starts as one second of silence (the file
  // must exist when PortAudio lists the devices).
  alsa_rig();
  alsa_rig(const alsa_rig&) = delete;
  alsa_rig& operator=(const alsa_rig&) = delete;

  const std::string& config_path() const { return m_alsa.config_path(); }
  const std::string& microphone_file() const { return m_microphone; }
  const std::string& speaker_file() const { return m_speaker; }

  // Replaces what the microphone delivers from the next capture stream on.
  void set_microphone(const std::vector<std::int16_t>& samples) const;
  // Everything written to the speaker since its last playback stream was opened.
  std::vector<std::int16_t> speaker_output() const;

  // The first index at which needle appears whole in haystack, or npos (also for an empty needle).
  static std::size_t find(const std::vector<std::int16_t>& haystack,
                          const std::vector<std::int16_t>& needle);
  // The samples followed by `seconds` of 16 kHz silence.
  static std::vector<std::int16_t> with_silence(std::vector<std::int16_t> samples,
                                                double seconds = 1.0);
  // The PortAudio index of the device with that name, or -1. PortAudio must be initialised.
  static int device_index(const std::string& name);

 private:
  alsa_config m_alsa;
  std::string m_microphone;
  std::string m_speaker;
  scoped_env m_environment;
};

}  // namespace testkit
}  // namespace vocle
