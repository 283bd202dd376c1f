#include "common/alsa_rig.h"

#include <dlfcn.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <alsa/asoundlib.h>
#include <portaudiocpp/PortAudioCpp.hxx>

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

void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
void quiet_jack(const char*) {}

// libjack comes with PortAudio; its message hooks are looked up at run time so that the test kit
// needs no JACK headers.
void silence_jack() {
  typedef void (*hook_setter)(void (*)(const char*));
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
    if (void* symbol = ::dlsym(RTLD_DEFAULT, name)) {
      reinterpret_cast<hook_setter>(symbol)(&quiet_jack);
    }
  }
}

void write_samples(const std::string& path, const std::vector<std::int16_t>& samples) {
  std::string bytes(samples.size() * 2, '\0');
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::uint16_t u = static_cast<std::uint16_t>(samples[i]);
    bytes[2 * i] = static_cast<char>(u & 0xff);
    bytes[2 * i + 1] = static_cast<char>(u >> 8);
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("alsa_rig: cannot write " + path);
  }
}

}  // namespace

constexpr const char* alsa_rig::microphone;
constexpr const char* alsa_rig::speaker;
constexpr std::size_t alsa_rig::npos;

alsa_rig::alsa_rig()
    : m_config(m_dir.write("asound.conf", config_text)),
      m_microphone(m_dir.file("microphone.raw")),
      m_speaker(m_dir.file("speaker.raw")) {
  set_microphone(std::vector<std::int16_t>(16000, 0));
  m_environment.set("ALSA_CONFIG_PATH", m_config)
      .set("VOCLE_MIC_FILE", m_microphone)
      .set("VOCLE_SPEAKER_FILE", m_speaker)
      .set("JACK_NO_START_SERVER", "1");
  snd_lib_error_set_handler(&quiet_alsa);
  silence_jack();
}

void alsa_rig::set_microphone(const std::vector<std::int16_t>& samples) const {
  write_samples(m_microphone, samples);
}

std::vector<std::int16_t> alsa_rig::speaker_output() const {
  const std::string bytes = read_file(m_speaker);
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const unsigned lo = static_cast<unsigned char>(bytes[2 * i]);
    const unsigned hi = static_cast<unsigned char>(bytes[2 * i + 1]);
    samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
  }
  return samples;
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
