#include "core/audio/max_average_square_training.h"

#include <cmath>
#include <limits>

#include <boost/thread/lock_guard.hpp>

#include "core/foundation/keys.h"
#include "core/foundation/settings.h"

namespace vocle {
namespace audio {

max_average_square_training& max_average_square_training::instance() {
  // A function-local static: C++ builds it exactly once, and a second recording that starts at
  // the same moment waits until the first has built it.
  static max_average_square_training training(
      settings::instance().get(keys::audio_vad_max_average_square_training_shrink));
  return training;
}

max_average_square_training::max_average_square_training(double shrink)
    : m_shrink(shrink), m_value(0) {}

std::uint64_t max_average_square_training::value() const {
  boost::lock_guard<boost::mutex> lock(m_mutex);
  return m_value;
}

std::uint64_t max_average_square_training::train(std::uint64_t m) {
  const double shrunk = static_cast<double>(m) * m_shrink;
  // A negative or oversized factor from the configuration must not make the conversion undefined.
  std::uint64_t trained = 0;
  if (shrunk >= 18446744073709551616.0) {
    trained = std::numeric_limits<std::uint64_t>::max();
  } else if (shrunk > 0) {
    trained = static_cast<std::uint64_t>(shrunk);
  }
  boost::lock_guard<boost::mutex> lock(m_mutex);
  m_value = trained;
  return m_value;
}

}  // namespace audio
}  // namespace vocle
