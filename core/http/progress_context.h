// What one transfer's progress callback works with, and what the response handler reads from it
// once the transfer has ended.
#pragma once

#include <cstdint>

#include <curl/curl.h>

#include "core/foundation/function.h"
#include "core/studio/task.h"

namespace vocle {
namespace http {

struct progress_context {
  CURL* handle = nullptr;
  // The counters and the total time as the previous progress call saw them.
  std::int64_t ulnow = 0;
  std::int64_t ultotal = 0;
  std::int64_t dlnow = 0;
  std::int64_t dltotal = 0;
  double total_time = 0;
  // Receives (ulnow, ultotal, task id) whenever the upload counters change; may be empty.
  function_ptr on_upload_frame;
  audio::studio::task* task = nullptr;
  // Set when a redirect was not followed because it would send the drained form again.
  bool redirect_refused = false;
  // The most bytes the answer may have ("audio.max_response_size"), and whether the transfer
  // was ended because it had more.
  std::uint64_t response_limit = 0;
  bool response_too_large = false;
};

}  // namespace http
}  // namespace vocle
