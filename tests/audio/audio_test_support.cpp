#include "audio_test_support.h"

#include <fstream>

#include "core/audio/dcoffset_training.h"
#include "core/audio/max_average_square_training.h"
#include "core/foundation/keys.h"

namespace vocle {
namespace testkit {

log_capture::log_capture(FB::Log::LogLevel level) : m_file(m_dir.file("test.log")) {
  FB::Log::initLogging(FB::Log::LogMethodList(1, std::make_pair(FB::Log::LogMethod_File, m_file)),
                       level);
}

log_capture::~log_capture() {
  FB::Log::stopLogging();
}

std::vector<std::string> log_capture::messages() const {
  return messages(std::string());
}

std::vector<std::string> log_capture::messages(const std::string& level) const {
  // A line: "<date> <time> [LEVEL] <file>:<line> <function> - vocle[thread:N] <message>"
  std::vector<std::string> result;
  std::ifstream in(m_file);
  std::string line;
  static const std::string prefix = "vocle[thread:";
  while (std::getline(in, line)) {
    const std::size_t at = line.find(prefix);
    if (at == std::string::npos) {
      continue;
    }
    if (!level.empty() && line.find("[" + level) == std::string::npos) {
      continue;
    }
    const std::size_t end = line.find("] ", at);
    result.push_back(end == std::string::npos ? std::string() : line.substr(end + 2));
  }
  return result;
}

bool log_capture::contains(const std::string& message) const {
  for (const std::string& m : messages()) {
    if (m == message) {
      return true;
    }
  }
  return false;
}

std::vector<std::int16_t> zero_mean_noise(std::size_t n, std::uint32_t seed, int amplitude) {
  std::vector<std::int16_t> samples(n);
  std::uint32_t state = seed * 2654435761u + 1;
  // Drawn freely, then the sum is taken out again one step at a time.
  std::int64_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const int value = static_cast<int>((state >> 16) % (2 * amplitude + 1)) - amplitude;
    samples[i] = static_cast<std::int16_t>(value);
    sum += value;
  }
  for (std::size_t i = 0; sum != 0 && n != 0; i = (i + 1) % n) {
    const int step = sum > 0 ? -1 : 1;
    if (samples[i] + step >= -amplitude && samples[i] + step <= amplitude) {
      samples[i] = static_cast<std::int16_t>(samples[i] + step);
      sum += step;
    }
  }
  return samples;
}

void reset_training() {
  audio::dcoffset_training& dc = audio::dcoffset_training::instance();
  for (std::uint64_t i = 0; i < keys::audio_vad_dcoffset_training_buffer_size.fallback; ++i) {
    dc.train(0);
  }
  audio::max_average_square_training::instance().train(0);
}

}  // namespace testkit
}  // namespace vocle
