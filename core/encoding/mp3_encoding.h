// "mp3": MPEG audio layer III frames from the LAME library, mono at the record's rate with
// LAME's default bit rate and quality. One encoder encodes one record: the flush at the end of
// `encode` ends the stream.
#pragma once

#include <lame/lame.h>

#include "core/encoding/encoding.h"

namespace vocle {

class mp3_encoding : public encoding {
 public:
  mp3_encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
               bool interleaved);
  ~mp3_encoding() override;

  using encoding::encode;

  // Throws std::runtime_error "failed to encode mp3" when LAME reports an error or the record's
  // rate is not one LAME can be given; what out already holds then stays, and the encoder is
  // spent.
  void encode(binary& out, const sample_view& samples) override;

 private:
  lame_t m_lame;
  std::uint64_t m_chunk;
};

}  // namespace vocle
