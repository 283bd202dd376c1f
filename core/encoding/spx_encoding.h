// "spx": an Ogg Speex file (header and comment packets, then one narrow-band frame per packet at
// quality 8). Narrow-band works at 8 kHz, so a record at another rate is resampled to 8 kHz
// first; the header says 8000 Hz and the stream's length is the record's duration.
#pragma once

#include <speex/speex.h>
#include <speex/speex_bits.h>

#include "core/encoding/encoding.h"

namespace vocle {

class spx_encoding : public encoding {
 public:
  spx_encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
               bool interleaved);
  ~spx_encoding() override;

  using encoding::encode;

  // Each call writes one complete stream. Throws std::runtime_error "failed to encode spx" when
  // the record's rate lies outside 100 Hz to 768 kHz.
  void encode(binary& out, const sample_view& samples) override;

 private:
  void* m_state;
  SpeexBits m_bits;
};

}  // namespace vocle
