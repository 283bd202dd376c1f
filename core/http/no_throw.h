// libcurl is C: no exception may unwind through its frames, and an upload's one result list must
// reach the page whatever fails on the way. no_throw runs a piece of work so that nothing leaves
// it: a failure is logged with what was being done, under the name of the function that asked
// (its __PRETTY_FUNCTION__), and the caller learns of it from the result.
#pragma once

#include <exception>

#include "core/foundation/log.h"

namespace vocle {
namespace http {

// True when work returned, false when it threw.
template <class Work>
bool no_throw(const char* function, const char* doing, Work&& work) noexcept {
  try {
    work();
    return true;
  } catch (const std::exception& e) {
    log::write(FB::Log::LogLevel_Error, __FILE__, __LINE__, function, "%1% failed: %2%", doing,
               e.what());
  } catch (...) {
    log::write(FB::Log::LogLevel_Error, __FILE__, __LINE__, function, "%1% failed: unknown error",
               doing);
  }
  return false;
}

}  // namespace http
}  // namespace vocle
