// What a buffer does for each block a playback stream asks for: fill it from the record, report
// its volume and end the stream at the end of the record.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <boost/any.hpp>

namespace vocle {
namespace audio {

class audio_buffer;

class audio_output_strategy {
 public:
  virtual ~audio_output_strategy();
  virtual void prepare(audio_buffer& buffer, double sample_rate,
                       const std::map<std::string, boost::any>& options) = 0;
  virtual void reset() = 0;
  // Fills one block of the stream (channel 0); returns paContinue or paComplete.
  virtual int on_playback(audio_buffer& buffer, std::int16_t* samples, std::uint32_t frames) = 0;
};

}  // namespace audio
}  // namespace vocle
