// The loudness level that the voice-activity detectors of the process hand on to each other: a
// detector starts from it and, when it goes, leaves its own loudest frame behind, shrunk by the
// configured factor, so one loud recording does not deafen the next for ever.
#pragma once

#include <cstdint>

#include <boost/noncopyable.hpp>
#include <boost/thread/mutex.hpp>

namespace vocle {
namespace audio {

class max_average_square_training : private boost::noncopyable {
 public:
  // The process-wide object, made on first use with the factor
  // "audio.vad_max_average_square_training_shrink".
  static max_average_square_training& instance();

  explicit max_average_square_training(double shrink);

  // The trained maximum average square (0 until a detector has trained it).
  std::uint64_t value() const;
  // Stores m times the shrink factor, truncated, and returns it.
  std::uint64_t train(std::uint64_t m);

 private:
  double m_shrink;
  std::uint64_t m_value;
  mutable boost::mutex m_mutex;
};

}  // namespace audio
}  // namespace vocle
