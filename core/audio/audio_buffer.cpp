#include "core/audio/audio_buffer.h"

#include <algorithm>
#include <exception>
#include <functional>

#include <boost/thread/lock_guard.hpp>

#include "core/audio/audio_input.h"
#include "core/audio/audio_output.h"
#include "core/foundation/log.h"

namespace vocle {
namespace audio {

audio_buffer::audio_buffer()
    : m_stop_requested(false),
      m_status(status_idle),
      m_owned(false),
      m_input(new audio_input()),
      m_output(new audio_output()) {}

// Members go in reverse order: the output strategy, the input strategy (and its detector), the
// mutex, the samples, the listener.
audio_buffer::~audio_buffer() {}

void audio_buffer::append(const std::int16_t* samples, std::size_t n) {
  m_samples.append(samples, n);
}

void audio_buffer::trim(std::size_t first, std::size_t last) {
  m_samples.trim(first, last);
}

sample_view audio_buffer::snapshot() {
  boost::lock_guard<boost::mutex> lock(m_mutex);
  return m_samples.view();
}

void audio_buffer::clip() {
  if (m_input) {
    VOCLE_LOG_TRACE("before clip");
    m_input->clip(*this);
    VOCLE_LOG_TRACE("after clip");
  }
}

void audio_buffer::prepare_record(double sample_rate,
                                  const std::map<std::string, boost::any>& options) {
  m_samples.clear();
  if (m_input) {
    m_input->prepare(*this, sample_rate, options);
  }
}

void audio_buffer::prepare_playback(double sample_rate,
                                    const std::map<std::string, boost::any>& options) {
  if (m_output) {
    m_output->prepare(*this, sample_rate, options);
  }
}

std::string audio_buffer::vad_statistics() {
  return m_input ? m_input->vad_statistics() : std::string();
}

void audio_buffer::release_listener() {
  try {
    function_ptr released;
    {
      boost::lock_guard<boost::mutex> lock(m_mutex);
      released.swap(m_listener);
    }
  } catch (const std::exception& e) {
    VOCLE_LOG_ERROR("listener release failed: %1%", e.what());
  }
}

int audio_buffer::record_callback(const void* input, void*, unsigned long frames,
                                  const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags) {
  if (m_stop_requested) {
    // The listener goes before the buffer reads idle, so that whoever takes it over next finds it
    // released.
    release_listener();
    m_status = status_idle;
    return paComplete;
  }
  // Non-interleaved: a list of channel buffers, of which channel 0 is recorded.
  const std::int16_t* channel = input ? static_cast<const std::int16_t* const*>(input)[0] : nullptr;
  if (!channel) {
    VOCLE_LOG_WARN("with input NULL");
    release_listener();
    return paComplete;
  }
  VOCLE_LOG_TRACE("received %1% frames", frames);
  int result = paComplete;
  if (m_input) {
    try {
      result = m_input->on_record(*this, channel, static_cast<std::uint32_t>(frames));
    } catch (const std::exception& e) {
      VOCLE_LOG_ERROR("record block failed, recording ends: %1%", e.what());
      result = paComplete;
    } catch (...) {
      VOCLE_LOG_ERROR("record block failed, recording ends");
      result = paComplete;
    }
    VOCLE_LOG_TRACE("with result %1%", result);
  }
  if (result != paContinue) {
    release_listener();
  }
  return result;
}

int audio_buffer::playback_callback(const void*, void* output, unsigned long frames,
                                    const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags) {
  std::int16_t* channel = output ? static_cast<std::int16_t* const*>(output)[0] : nullptr;
  if (m_stop_requested) {
    if (channel) {
      std::fill(channel, channel + frames, 0);
    }
    release_listener();
    m_status = status_idle;
    return paComplete;
  }
  if (!channel) {
    VOCLE_LOG_WARN("with output NULL");
    release_listener();
    return paComplete;
  }
  VOCLE_LOG_TRACE("request %1% frames", frames);
  int result = paComplete;
  bool filled = false;
  if (m_output) {
    try {
      result = m_output->on_playback(*this, channel, static_cast<std::uint32_t>(frames));
      filled = true;
    } catch (const std::exception& e) {
      VOCLE_LOG_ERROR("playback block failed, playback ends: %1%", e.what());
      result = paComplete;
    } catch (...) {
      VOCLE_LOG_ERROR("playback block failed, playback ends");
      result = paComplete;
    }
    VOCLE_LOG_TRACE("with result %1%", result);
  }
  if (!filled) {
    // The stream still plays this last block: silence, not what the block happened to hold.
    std::fill(channel, channel + frames, 0);
  }
  if (result != paContinue) {
    release_listener();
  }
  return result;
}

}  // namespace audio
}  // namespace vocle
