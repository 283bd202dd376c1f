#include "core/foundation/log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace vocle {
namespace log {

unsigned long thread_id() { return static_cast<unsigned long>(::syscall(SYS_gettid)); }

std::string qualified_name(const char* pretty_function) {
  if (!pretty_function) {
    return std::string();
  }
  const char* begin = pretty_function;
  const char* end = pretty_function + std::strlen(pretty_function);
  // The name ends at the parameter list: the first "(" outside template brackets.
  // Lambdas ("...::<lambda()>") keep their brackets.
  int angle = 0;
  const char* name_end = end;
  const char* name_begin = begin;
  static const char anonymous[] = "(anonymous namespace)";
  for (const char* p = begin; p != end; ++p) {
    if (std::strncmp(p, anonymous, sizeof anonymous - 1) == 0) {
      p += sizeof anonymous - 2;
      continue;
    }
    if (*p == '<') {
      ++angle;
    } else if (*p == '>') {
      --angle;
    } else if (*p == '(' && angle == 0) {
      name_end = p;
      break;
    } else if (*p == ' ' && angle == 0) {
      name_begin = p + 1;  // everything before the last blank is the return type
    }
  }
  if (name_begin > name_end) {
    name_begin = begin;
  }
  return std::string(name_begin, name_end);
}

std::string prefix() { return (boost::format("vocle[thread:%1%] ") % thread_id()).str(); }

void write_text(FB::Log::LogLevel level, const char* file, int line, const char* pretty_function,
                const std::string& text) noexcept {
  if (!FB::Log::isEnabled(level)) {
    return;
  }
  try {
    FB::Log::write(level, prefix() + text, file, line, qualified_name(pretty_function).c_str());
  } catch (const std::exception& e) {
    write_failure(level, file, line, pretty_function, e.what());
  }
}

void write_failure(FB::Log::LogLevel level, const char* file, int line,
                   const char* pretty_function, const char* what) noexcept {
  try {
    std::string text = (boost::format("vocle[thread:%1%] log::%2% error: %3%") % thread_id() %
                        FB::Log::levelName(level) % what)
                           .str();
    FB::Log::write(FB::Log::LogLevel_Error, text, file, line,
                   qualified_name(pretty_function).c_str());
  } catch (...) {
    // Nothing is left to report a failure of the failure report with.
  }
}

}  // namespace log
}  // namespace vocle
