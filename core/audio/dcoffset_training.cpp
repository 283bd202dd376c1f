#include "core/audio/dcoffset_training.h"

#include <boost/thread/lock_guard.hpp>

#include "core/foundation/keys.h"
#include "core/foundation/log.h"
#include "core/foundation/settings.h"

namespace vocle {
namespace audio {

namespace {

std::uint64_t usable_capacity(std::uint64_t capacity) {
  if (capacity == 0) {
    VOCLE_LOG_ERROR("%1% must be at least 1, using 1",
                    keys::audio_vad_dcoffset_training_buffer_size.name);
    return 1;
  }
  return capacity;
}

}  // namespace

dcoffset_training& dcoffset_training::instance() {
  // A function-local static: C++ builds it exactly once, and a second recording that starts at
  // the same moment waits until the first has built it.
  static dcoffset_training training(
      settings::instance().get(keys::audio_vad_dcoffset_training_buffer_size));
  return training;
}

dcoffset_training::dcoffset_training(std::uint64_t capacity)
    : m_history(static_cast<std::size_t>(usable_capacity(capacity))), m_average(0) {}

std::int32_t dcoffset_training::average() const {
  boost::lock_guard<boost::mutex> lock(m_mutex);
  return m_average;
}

std::int32_t dcoffset_training::train(std::int32_t mean) {
  boost::lock_guard<boost::mutex> lock(m_mutex);
  m_history.push_back(mean);
  // Summed in 64 bits: in 32 a long history of loud means would overflow and turn the offset
  // round to the other sign. The average of 32-bit entries always fits 32 bits again.
  std::int64_t sum = 0;
  for (std::int32_t entry : m_history) {
    sum += entry;
  }
  m_average = static_cast<std::int32_t>(sum / static_cast<std::int64_t>(m_history.size()));
  return m_average;
}

}  // namespace audio
}  // namespace vocle
