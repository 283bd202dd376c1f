// Recording: the starter on the page's thread and the worker that records one utterance into a
// buffer until the detector ends it or a stop does.
#include <utility>

#include "core/foundation/log.h"
#include "core/studio/stream_worker.h"
#include "core/studio/studio.h"

namespace vocle {
namespace audio {

void studio::threaded_start_record(std::size_t index, function_ptr callback, function_ptr volumn,
                                   const options_t& options) {
  VOCLE_LOG_INFO("buffer index %1%", index);
  buffer_ptr buffer = get_buffer(index);
  VOCLE_LOG_DEBUG("buffer %1% of index %2%", static_cast<const void*>(buffer.get()), index);
  options_t copy = options;
  // The worker takes the buffer and the callbacks out of the closure, so that they are released
  // when it ends, before the studio stops waiting for it.
  start_worker([this, buffer, callback, volumn, copy]() mutable {
    start_record(std::move(buffer), std::move(callback), std::move(volumn), std::move(copy));
  });
}

void studio::start_record(buffer_ptr buffer, function_ptr callback, function_ptr volumn,
                          options_t options) {
  const stream_worker::stream_setup setup{sample_rate(),   frames_per_buffer(), m_channels,
                                          m_sample_format, m_interleaved,       &m_layout_warned,
                                          &m_closing};
  stream_worker worker(stream_worker::recording, setup, std::move(buffer), std::move(callback),
                       __PRETTY_FUNCTION__);
  worker.run(volumn, options);
}

}  // namespace audio
}  // namespace vocle
