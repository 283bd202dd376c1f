// The log lines a test causes: logging goes to a file of the capture's own at trace level, and
// the test reads the lines back with their level and function, the thread prefix taken off.
//
//   log_capture log;
//   studio.get_buffer(3);
//   EXPECT_EQ(1u, log.count("INFO", "add more 3 lacked buffers(1 -> 4)"));
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/temp_dir.h"

namespace vocle {
namespace testkit {

class log_capture {
 public:
  struct line {
    std::string level;     // "TRACE", "DEBUG", "INFO", "WARN", "ERROR"
    std::string function;  // the qualified name
    std::string message;   // after "vocle[thread:<id>] "; may span several lines
  };

  log_capture();
  ~log_capture();
  log_capture(const log_capture&) = delete;
  log_capture& operator=(const log_capture&) = delete;

  // Every line logged since construction, in order.
  std::vector<line> lines() const;
  // The messages at the level ("" for any level).
  std::vector<std::string> messages(const std::string& level) const;
  // How many lines at the level carry exactly this message.
  std::size_t count(const std::string& level, const std::string& message) const;

 private:
  temp_dir m_dir;
  std::string m_file;
};

}  // namespace testkit
}  // namespace vocle
