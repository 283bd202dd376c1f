// The logging convention of the whole system.
//
//   VOCLE_LOG_INFO("task(%1%) canceling", id);
//
// writes "vocle[thread:<id>] task(7) canceling" with the source path below the tree, the line
// and the qualified function name. The message is a positional format; when it cannot be
// built (too few or too many arguments, a bad directive) the failure itself is logged at error
// level as "vocle[thread:%1%] log::%2% error: %3%" and nothing escapes to the caller. A line
// below the active level costs one atomic load: nothing is formatted.
#pragma once

#include <exception>
#include <string>

#include <boost/format.hpp>

#include "framework/logging.h"

namespace vocle {
namespace log {

// The id of the calling thread as the kernel knows it.
unsigned long thread_id();

// "void vocle::audio::studio::start_record(int)" -> "vocle::audio::studio::start_record".
std::string qualified_name(const char* pretty_function);

// "vocle[thread:<id>] "
std::string prefix();

// Logs text as it stands after the prefix: it is never taken as a format pattern.
void write_text(FB::Log::LogLevel level, const char* file, int line, const char* pretty_function,
                const std::string& text) noexcept;

// Logs the formatting failure of a line at the given level.
void write_failure(FB::Log::LogLevel level, const char* file, int line, const char* pretty_function,
                   const char* what) noexcept;

inline void feed(boost::format&) {}
template <class First, class... Rest>
void feed(boost::format& f, const First& first, const Rest&... rest) {
  f % first;
  feed(f, rest...);
}

// The pattern stays a literal until the level is known to be on: a line below the active
// level allocates nothing.
template <class Pattern, class... Args>
void write(FB::Log::LogLevel level, const char* file, int line, const char* pretty_function,
           const Pattern& pattern, const Args&... args) noexcept {
  if (!FB::Log::isEnabled(level)) {
    return;
  }
  std::string text;
  try {
    boost::format f(pattern);
    feed(f, args...);
    text = f.str();
  } catch (const std::exception& e) {
    write_failure(level, file, line, pretty_function, e.what());
    return;
  } catch (...) {
    // An argument's printer may throw anything; the caller must not see it.
    write_failure(level, file, line, pretty_function, "unknown error");
    return;
  }
  write_text(level, file, line, pretty_function, text);
}

}  // namespace log
}  // namespace vocle

#define VOCLE_LOG_AT(level, ...) \
  ::vocle::log::write(level, __FILE__, __LINE__, __PRETTY_FUNCTION__, __VA_ARGS__)
#define VOCLE_LOG_TRACE(...) VOCLE_LOG_AT(::FB::Log::LogLevel_Trace, __VA_ARGS__)
#define VOCLE_LOG_DEBUG(...) VOCLE_LOG_AT(::FB::Log::LogLevel_Debug, __VA_ARGS__)
#define VOCLE_LOG_INFO(...) VOCLE_LOG_AT(::FB::Log::LogLevel_Info, __VA_ARGS__)
#define VOCLE_LOG_WARN(...) VOCLE_LOG_AT(::FB::Log::LogLevel_Warn, __VA_ARGS__)
#define VOCLE_LOG_ERROR(...) VOCLE_LOG_AT(::FB::Log::LogLevel_Error, __VA_ARGS__)
// A message taken exactly as given (a page's own text, which may hold "%").
#define VOCLE_LOG_TEXT(level, text) \
  ::vocle::log::write_text(level, __FILE__, __LINE__, __PRETTY_FUNCTION__, text)
