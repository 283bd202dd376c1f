// Playback: the starter on the page's thread and the worker that plays a buffer's record to the
// output device until its end or a stop.
#include <utility>

#include "core/foundation/log.h"
#include "core/studio/stream_worker.h"
#include "core/studio/studio.h"

namespace vocle {
namespace audio {

void studio::threaded_playback(std::size_t index, function_ptr callback, function_ptr volumn,
                               const options_t& options) {
  VOCLE_LOG_INFO("buffer index %1%", index);
  buffer_ptr buffer = get_buffer(index);
  VOCLE_LOG_DEBUG("buffer %1% of index %2%", static_cast<const void*>(buffer.get()), index);
  options_t copy = options;
  // Released when the worker ends, as for a recording.
  start_worker([this, buffer, callback, volumn, copy]() mutable {
    playback(std::move(buffer), std::move(callback), std::move(volumn), std::move(copy));
  });
}

void studio::playback(buffer_ptr buffer, function_ptr callback, function_ptr volumn,
                      options_t options) {
  const stream_worker::stream_setup setup{sample_rate(),   frames_per_buffer(), m_channels,
                                          m_sample_format, m_interleaved,       &m_layout_warned,
                                          &m_closing};
  stream_worker worker(stream_worker::playback, setup, std::move(buffer), std::move(callback),
                       __PRETTY_FUNCTION__);
  worker.run(volumn, options);
}

}  // namespace audio
}  // namespace vocle
