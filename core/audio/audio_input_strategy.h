// What a buffer does with each recorded block: store it, judge it, report its volume and decide
// when the recording ends; afterwards it can clip the record to the voice.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <boost/any.hpp>

namespace vocle {
namespace audio {

class audio_buffer;

class audio_input_strategy {
 public:
  virtual ~audio_input_strategy();
  // Gets ready for a new recording. Options hold the page's detector values by name; one of
  // another type than expected counts as absent.
  virtual void prepare(audio_buffer& buffer, double sample_rate,
                       const std::map<std::string, boost::any>& options) = 0;
  virtual void reset() = 0;
  // Handles one block of the stream (channel 0); returns paContinue or paComplete.
  virtual int on_record(audio_buffer& buffer, const std::int16_t* samples,
                        std::uint32_t frames) = 0;
  virtual std::string vad_statistics() = 0;
  virtual void clip(audio_buffer& buffer) = 0;
};

}  // namespace audio
}  // namespace vocle
