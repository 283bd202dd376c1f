// The playback strategy: plays the record block by block from the first sample; a block that
// would run past the end is not played, it ends the stream.
#pragma once

#include <cstdint>

#include "core/audio/audio_output_strategy.h"

namespace vocle {
namespace audio {

class audio_output : public audio_output_strategy {
 public:
  audio_output();

  // Rewinds to the first sample.
  void prepare(audio_buffer& buffer, double sample_rate,
               const std::map<std::string, boost::any>& options) override;
  void reset() override;
  // Takes the buffer's mutex for the whole block.
  int on_playback(audio_buffer& buffer, std::int16_t* samples, std::uint32_t frames) override;

 private:
  std::uint64_t m_position;
};

}  // namespace audio
}  // namespace vocle
