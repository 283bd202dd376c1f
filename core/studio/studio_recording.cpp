// Recording: the starter on the page's thread and the worker that records one utterance into a
// buffer until the detector ends it or a stop does.
#include <utility>

#include "core/studio/stream_worker.h"
#include "core/studio/studio.h"

namespace vocle {
namespace audio {

void studio::threaded_start_record(std::size_t index, function_ptr callback, function_ptr volumn,
                                   const options_t& options) {
  stream_worker::start(*this, stream_worker::recording, index, callback, volumn, options,
                       __PRETTY_FUNCTION__);
}

void studio::start_record(buffer_ptr buffer, function_ptr callback, function_ptr volumn,
                          options_t options) {
  start_record(context(), worker_registry::place_ptr(), std::move(buffer), std::move(callback),
               std::move(volumn), std::move(options));
}

void studio::start_record(const worker_context& context, const worker_registry::place_ptr& place,
                          buffer_ptr buffer, function_ptr callback, function_ptr volumn,
                          options_t options) {
  stream_worker worker(stream_worker::recording, context, place, std::move(buffer),
                       std::move(callback), __PRETTY_FUNCTION__);
  worker.run(volumn, options);
}

}  // namespace audio
}  // namespace vocle
