// Helpers shared by the audio tests: a log file to read back, synthetic signals, and resetting the
// detectors' process-wide training so that tests do not depend on each other's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "framework/logging.h"

namespace vocle {
namespace testkit {

// Logs to a file of its own while it lives.
class log_capture {
 public:
  explicit log_capture(FB::Log::LogLevel level = FB::Log::LogLevel_Trace);
  ~log_capture();
  log_capture(const log_capture&) = delete;
  log_capture& operator=(const log_capture&) = delete;

  // The messages logged so far, without the "vocle[thread:N] " prefix, in order.
  std::vector<std::string> messages() const;
  // The messages at one level ("ERROR", "WARN", "TRACE", ...).
  std::vector<std::string> messages(const std::string& level) const;
  bool contains(const std::string& message) const;

 private:
  temp_dir m_dir;
  std::string m_file;
};

// n samples of loud white noise whose sum is exactly zero, so that the DC-offset training does
// not move. Different seeds give different noise.
std::vector<std::int16_t> zero_mean_noise(std::size_t n, std::uint32_t seed, int amplitude = 8000);

// Fills the DC-offset history with zero means and sets the trained loudness to 0.
void reset_training();

}  // namespace testkit
}  // namespace vocle
