#include "core/audio/audio_output.h"

#include <algorithm>

#include <portaudio.h>

#include <boost/thread/lock_guard.hpp>

#include "core/audio/audio_buffer.h"
#include "core/audio/vad.h"
#include "core/foundation/log.h"

namespace vocle {
namespace audio {

audio_output::audio_output() : m_position(0) {}

void audio_output::prepare(audio_buffer&, double, const std::map<std::string, boost::any>&) {
  m_position = 0;
}

void audio_output::reset() {
  m_position = 0;
}

int audio_output::on_playback(audio_buffer& buffer, std::int16_t* samples, std::uint32_t frames) {
  boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
  if (m_position + frames > buffer.m_samples.size()) {
    m_position = 0;
    // The stream plays this last block too: silence, not whatever the block held.
    std::fill(samples, samples + frames, 0);
    return paComplete;
  }
  buffer.m_samples.copy(m_position, samples, frames);
  unsigned peak = 0;
  for (std::uint32_t i = 0; i < frames; ++i) {
    peak = std::max(peak, vad::magnitude(samples[i]));
  }
  const std::uint32_t volume = peak * 100 / 32767;
  VOCLE_LOG_TRACE("put %1% frames at volumn %2%", frames, volume);
  if (function_ptr listener = buffer.m_listener) {
    listener->call_async(FB::VariantList(1, FB::variant(volume)));
  }
  m_position += frames;
  return paContinue;
}

}  // namespace audio
}  // namespace vocle
