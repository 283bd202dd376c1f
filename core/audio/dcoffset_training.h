// The DC offset shared by the voice-activity detectors of the process: the mean of the last block
// means of every recording. A detector removes it from each block before judging the block.
#pragma once

#include <cstdint>

#include <boost/circular_buffer.hpp>
#include <boost/noncopyable.hpp>
#include <boost/thread/mutex.hpp>

namespace vocle {
namespace audio {

class dcoffset_training : private boost::noncopyable {
 public:
  // The process-wide object, made on first use with as many block means as
  // "audio.vad_dcoffset_training_buffer_size" says.
  static dcoffset_training& instance();

  // A capacity of 0 cannot be averaged over: it is logged as an error and 1 is used.
  explicit dcoffset_training(std::uint64_t capacity);

  // The current offset (0 until the first block).
  std::int32_t average() const;
  // Adds a block mean (dropping the oldest when full) and returns the new average: the sum of the
  // entries divided by their count, truncated toward zero.
  std::int32_t train(std::int32_t mean);

 private:
  boost::circular_buffer<std::int32_t> m_history;
  std::int32_t m_average;
  mutable boost::mutex m_mutex;
};

}  // namespace audio
}  // namespace vocle
