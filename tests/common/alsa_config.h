// An ALSA configuration of a test's own, for device lists that the standard rig does not give
// (no microphone, more named devices). "@DIR@" in the text stands for a folder of the helper's
// own, which already holds "mic.raw", one second of 16 kHz silence, for capture devices to read.
//
//   vocle::testkit::alsa_config alsa("pcm.!default { type asym; playback.pcm ... }");
//   portaudio::System::initialize();              // reads it
//
// Like alsa_rig it points ALSA_CONFIG_PATH at the file for the process, keeps JACK from starting
// a server and silences the chatter of ALSA and JACK; the variables come back when it goes.
// Define a "default" device: PortAudio's ALSA enumeration aborts without one.
#pragma once

#include <string>

#include "common/scoped_env.h"
#include "common/temp_dir.h"

namespace vocle {
namespace testkit {

class alsa_config {
 public:
  explicit alsa_config(const std::string& text);
  alsa_config(const alsa_config&) = delete;
  alsa_config& operator=(const alsa_config&) = delete;

  const std::string& folder() const { return m_dir.path(); }
  const std::string& config_path() const { return m_config; }

 private:
  temp_dir m_dir;
  std::string m_config;
  scoped_env m_environment;
};

}  // namespace testkit
}  // namespace vocle
