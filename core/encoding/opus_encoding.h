// "opus": an Ogg Opus file made with libopusenc, mono, at the record's rate.
#pragma once

#include "core/encoding/encoding.h"

namespace vocle {

class opus_encoding : public encoding {
 public:
  opus_encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
                bool interleaved);

  using encoding::encode;

  // Each call writes one complete stream. Throws std::runtime_error "failed to encode opus"
  // when the record's rate lies outside 100 Hz to 768 kHz or the library fails.
  void encode(binary& out, const sample_view& samples) override;
};

}  // namespace vocle
