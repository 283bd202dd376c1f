// Stop: ends whatever a buffer is doing through its stop flag and reports once the buffer is
// idle. The stream itself is left to the recording or playback worker that runs it.
#include <exception>
#include <string>
#include <utility>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/thread.hpp>

#include "core/audio/audio_buffer.h"
#include "core/foundation/log.h"
#include "core/foundation/settings.h"
#include "core/studio/studio.h"

namespace vocle {
namespace audio {

void studio::threaded_stop(std::uint64_t index, function_ptr callback) {
  VOCLE_LOG_INFO("buffer index %1%", index);
  buffer_ptr buffer = get_buffer(index);
  VOCLE_LOG_DEBUG("buffer %1% of index %2%", static_cast<const void*>(buffer.get()), index);
  const worker_context context = this->context();
  // Released when the worker ends, as for a recording.
  start_worker([context, buffer, callback]() mutable {
    stop(context, std::move(buffer), std::move(callback));
  });
}

void studio::stop(buffer_ptr buffer, function_ptr callback) {
  stop(context(), std::move(buffer), std::move(callback));
}

void studio::stop(const worker_context& context, buffer_ptr buffer, function_ptr callback) {
  VOCLE_LOG_INFO("entered");
  const void* const address = buffer.get();
  bool reported = false;
  const auto report = [&](const FB::VariantList& result) {
    reported = true;
    if (callback) {
      callback->call_async(result);
    }
  };
  try {
    boost::unique_lock<boost::mutex> lock(buffer->m_mutex);
    const std::uint32_t status = buffer->m_status;
    if (status == audio_buffer::status_idle) {
      VOCLE_LOG_INFO("%1% already stopped with status %2%", address, status);
      report(
          FB::VariantList{false, settings::instance().translate("AUDIO_BUFFER_ALREADY_STOPPED")});
      return;
    }
    VOCLE_LOG_DEBUG("manually stop %1%, previous status %2%", address, status);
    buffer->m_stop_requested = true;
    lock.unlock();
    for (;;) {
      lock.lock();
      if (buffer->m_status == audio_buffer::status_idle) {
        buffer->m_stop_requested = false;
        VOCLE_LOG_INFO("%1% stopped successfully", address);
        report(FB::VariantList{true});
        return;
      }
      lock.unlock();
      if (context.ending()) {
        // The process is ending: whatever runs on the buffer is being stopped with it, and
        // nobody is left to hear of the stop.
        VOCLE_LOG_DEBUG("process ending, stop of %1% given up", address);
        return;
      }
      VOCLE_LOG_TRACE("wait previous audio action %1% stopped", address);
      boost::this_thread::sleep(boost::posix_time::milliseconds(50));
    }
  } catch (const std::exception& e) {
    VOCLE_LOG_ERROR("stop of %1% failed: %2%", address, e.what());
    if (!reported) {
      try {
        report(FB::VariantList{false, std::string(e.what())});
      } catch (...) {
      }
    }
  } catch (...) {
    VOCLE_LOG_ERROR("stop of %1% failed", address);
    if (!reported) {
      try {
        report(FB::VariantList{false, std::string("stop failed")});
      } catch (...) {
      }
    }
  }
}

}  // namespace audio
}  // namespace vocle
