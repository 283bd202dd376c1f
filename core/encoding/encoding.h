// The encoder family: a record's 16-bit mono samples leave the system as raw bytes, PCM WAV,
// the WAV DVI-ADPCM image, Ogg Speex, Ogg Opus or MP3. The studio creates a fresh encoder by
// format name for every encoding and hands it an empty byte buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include "core/foundation/binary.h"
#include "core/foundation/sample_view.h"

namespace vocle {

class encoding : private boost::noncopyable {
 public:
  // sample_format is the PortAudio sample format code of the studio's streams. The records are
  // always signed 16-bit samples of one channel whatever the format and channel count say, so
  // the encoders describe 16-bit mono; the values are kept as the studio configured them.
  encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
           bool interleaved);
  virtual ~encoding();

  // Appends the encoded form of the samples to out; what out held before stays. The encoders
  // read the view's spans in order, straight into out, and keep no copy of the record.
  virtual void encode(binary& out, const sample_view& samples) = 0;
  // The same for samples held in one vector, which the view borrows for the call.
  void encode(binary& out, const std::vector<std::int16_t>& samples);

  // The exact number of bytes encode appends for count samples, so that a caller can size its
  // buffer once; 0 when the size is only known once the samples are encoded.
  virtual std::uint64_t encoded_size(std::size_t count) const;

  // "raw", "wav", "wav_dvi_adpcm", "spx", "opus" or "mp3", exactly as written; any other name
  // throws FB::script_error "wrong encoding type <name>".
  static boost::shared_ptr<encoding> create(const std::string& type, double sample_rate,
                                            std::uint32_t sample_format, std::uint64_t channels,
                                            bool interleaved);

 protected:
  // The sample rate as a whole number of samples per second: truncated, 0 for a negative or
  // undefined rate, at most 2^32 - 1.
  std::uint32_t integer_rate() const;
  // integer_rate() for the encoders that resample a record ("spx", "opus"), when it lies from
  // 100 Hz to 768 kHz; 0 for any other rate. Outside that range the resamplers' filters outgrow
  // what their libraries handle: below about 90 Hz libopusenc aborts the whole process when it
  // drains, and at hundreds of MHz a resampler works for minutes on a short record.
  std::uint32_t resampled_rate() const;

  double m_sample_rate;
  std::uint32_t m_sample_format;
  std::uint64_t m_channels;
  bool m_interleaved;
};

}  // namespace vocle
