#include "common/alsa_rig.h"

#include <algorithm>

#include <portaudiocpp/PortAudioCpp.hxx>

#include "common/raw_samples.h"

namespace vocle {
namespace testkit {

namespace {

const char* const config_text =
    "pcm.vocle_mic { type asym; capture.pcm { type plug; slave { pcm { type file; slave.pcm { "
    "type null }; file \"/dev/null\"\n"
    "    infile { @func getenv vars [ VOCLE_MIC_FILE ] default \"/tmp/vocle-mic.raw\" }; format "
    "\"raw\" }; format S16_LE; rate 16000; channels 1 } } }\n"
    "pcm.vocle_speaker { type asym; playback.pcm { type plug; slave { pcm { type file; slave.pcm "
    "{ type null }\n"
    "    file { @func getenv vars [ VOCLE_SPEAKER_FILE ] default \"/tmp/vocle-speaker.raw\" }; "
    "format \"raw\" }; format S16_LE; rate 16000; channels 1 } } }\n"
    "pcm.!default { type asym; capture.pcm \"vocle_mic\"; playback.pcm \"vocle_speaker\" }\n";

}  // namespace

constexpr const char* alsa_rig::microphone;
constexpr const char* alsa_rig::speaker;
constexpr std::size_t alsa_rig::npos;

alsa_rig::alsa_rig()
    : m_alsa(config_text),
      m_microphone(m_alsa.folder() + "/microphone.raw"),
      m_speaker(m_alsa.folder() + "/speaker.raw") {
  set_microphone(std::vector<std::int16_t>(16000, 0));
  m_environment.set("VOCLE_MIC_FILE", m_microphone).set("VOCLE_SPEAKER_FILE", m_speaker);
}

void alsa_rig::set_microphone(const std::vector<std::int16_t>& samples) const {
  write_raw_samples(m_microphone, samples);
}

std::vector<std::int16_t> alsa_rig::speaker_output() const {
  return read_raw_samples(m_speaker);
}

std::size_t alsa_rig::find(const std::vector<std::int16_t>& haystack,
                           const std::vector<std::int16_t>& needle) {
  if (needle.empty()) {
    return npos;
  }
  const auto at = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
  return at == haystack.end() ? npos : static_cast<std::size_t>(at - haystack.begin());
}

std::vector<std::int16_t> alsa_rig::with_silence(std::vector<std::int16_t> samples,
                                                 double seconds) {
  samples.resize(samples.size() + static_cast<std::size_t>(seconds * 16000.0), 0);
  return samples;
}

int alsa_rig::device_index(const std::string& name) {
  portaudio::System& system = portaudio::System::instance();
  for (auto it = system.devicesBegin(); it != system.devicesEnd(); ++it) {
    if (name == it->name()) {
      return it->index();
    }
  }
  return -1;
}

}  // namespace testkit
}  // namespace vocle
