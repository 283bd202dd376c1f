// Playback: the starter on the page's thread and the worker that plays a buffer's record to the
// output device until its end or a stop.
#include <utility>

#include "core/studio/stream_worker.h"
#include "core/studio/studio.h"

namespace vocle {
namespace audio {

void studio::threaded_playback(std::size_t index, function_ptr callback, function_ptr volumn,
                               const options_t& options) {
  stream_worker::start(*this, stream_worker::playback, index, callback, volumn, options,
                       __PRETTY_FUNCTION__);
}

void studio::playback(buffer_ptr buffer, function_ptr callback, function_ptr volumn,
                      options_t options) {
  playback(context(), worker_registry::place_ptr(), std::move(buffer), std::move(callback),
           std::move(volumn), std::move(options));
}

void studio::playback(const worker_context& context, const worker_registry::place_ptr& place,
                      buffer_ptr buffer, function_ptr callback, function_ptr volumn,
                      options_t options) {
  stream_worker worker(stream_worker::playback, context, place, std::move(buffer),
                       std::move(callback), __PRETTY_FUNCTION__);
  worker.run(volumn, options);
}

}  // namespace audio
}  // namespace vocle
