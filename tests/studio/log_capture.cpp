#include "log_capture.h"

#include <sstream>

#include <boost/regex.hpp>

#include "framework/logging.h"

namespace vocle {
namespace testkit {

log_capture::log_capture() : m_file(m_dir.file("test.log")) {
  FB::Log::initLogging({{FB::Log::LogMethod_File, m_file}}, FB::Log::LogLevel_Trace);
}

log_capture::~log_capture() {
  FB::Log::stopLogging();
}

std::vector<log_capture::line> log_capture::lines() const {
  // "2024-01-01 10:00:00.123 [INFO ] core/studio/studio.cpp:42 vocle::audio::studio::f - text"
  static const boost::regex head(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+ \[(\w+) *\] \S+:\d+ (\S+) - (?:vocle\[thread:\d+\] )?(.*))");
  std::vector<line> result;
  std::istringstream in(read_file(m_file));
  std::string text;
  while (std::getline(in, text)) {
    boost::smatch m;
    if (boost::regex_match(text, m, head)) {
      result.push_back(line{m[1], m[2], m[3]});
    } else if (!result.empty()) {
      result.back().message += "\n" + text;
    }
  }
  return result;
}

std::vector<std::string> log_capture::messages(const std::string& level) const {
  std::vector<std::string> result;
  for (const line& l : lines()) {
    if (level.empty() || l.level == level) {
      result.push_back(l.message);
    }
  }
  return result;
}

std::size_t log_capture::count(const std::string& level, const std::string& message) const {
  std::size_t n = 0;
  for (const std::string& m : messages(level)) {
    n += m == message;
  }
  return n;
}

}  // namespace testkit
}  // namespace vocle
