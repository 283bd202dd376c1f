#include "core/audio/audio_input.h"

#include <portaudio.h>

#include <boost/thread/lock_guard.hpp>

#include "core/audio/audio_buffer.h"
#include "core/audio/vad.h"
#include "core/foundation/keys.h"
#include "core/foundation/log.h"
#include "core/foundation/settings.h"

namespace vocle {
namespace audio {

namespace {

// The option's value when it is present and holds exactly a T; otherwise the fallback.
template <class T>
T option(const std::map<std::string, boost::any>& options, const char* name, T fallback) {
  const auto it = options.find(name);
  if (it != options.end()) {
    if (const T* value = boost::any_cast<T>(&it->second)) {
      return *value;
    }
  }
  return fallback;
}

}  // namespace

audio_input::audio_input() : m_clip(false) {}

audio_input::~audio_input() {}

void audio_input::prepare(audio_buffer&, double sample_rate,
                          const std::map<std::string, boost::any>& options) {
  const settings& config = settings::instance();
  const double gap = option(options, "vad_gap", config.get(keys::audio_vad_gap));
  const double wait = option(options, "vad_wait", config.get(keys::audio_vad_wait));
  const double max = option(options, "vad_max", config.get(keys::audio_vad_max));
  const bool statistic = option(options, "vad_statistic", config.get(keys::audio_vad_statistic));
  if (!vad::validate_args(gap, wait, max)) {
    VOCLE_LOG_ERROR("vad args validation failed: gap %1%, wait %2%, max %3%", gap, wait, max);
  }
  // The new detector is built while the old one still lives: it starts from the loudness trained
  // so far, and the old one trains the value (for the next detector) only when it is let go here.
  boost::shared_ptr<vad> built(new vad(sample_rate, gap, wait, max, statistic));
  m_vad.swap(built);
  built.reset();
  m_clip = option(options, "vad_clip", config.get(keys::audio_vad_clip));
}

void audio_input::reset() {}

int audio_input::on_record(audio_buffer& buffer, const std::int16_t* samples,
                           std::uint32_t frames) {
  boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
  if (frames == 0) {
    return paComplete;
  }
  buffer.append(samples, frames);
  if (!m_vad) {
    // Nothing can tell when this recording ends; keep what came and end it here.
    VOCLE_LOG_WARN("no vad prepared, recording ends with %1% frames", frames);
    return paComplete;
  }
  std::uint32_t volume = 0;
  const bool finished = m_vad->process(samples, frames, &volume);
  VOCLE_LOG_TRACE("got %1% frames at volumn %2%, vad status %3%, finished %4%", frames, volume,
                  m_vad->status(), finished);
  if (function_ptr listener = buffer.m_listener) {
    listener->call_async(FB::VariantList(1, FB::variant(volume)));
  }
  return finished ? paComplete : paContinue;
}

std::string audio_input::vad_statistics() {
  return m_vad ? m_vad->statistics() : std::string();
}

void audio_input::clip(audio_buffer& buffer) {
  if (!m_clip || !m_vad) {
    return;
  }
  std::pair<std::uint64_t, std::uint64_t> range = m_vad->voice_range();
  if (m_vad->status() != vad::status_finished) {
    range.second = buffer.m_samples.size();
  }
  buffer.trim(static_cast<std::size_t>(range.first), static_cast<std::size_t>(range.second));
}

}  // namespace audio
}  // namespace vocle
