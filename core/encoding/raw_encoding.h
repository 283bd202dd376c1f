// "raw": the samples' own bytes, two per sample, little-endian.
#pragma once

#include "core/encoding/encoding.h"

namespace vocle {

class raw_encoding : public encoding {
 public:
  raw_encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
               bool interleaved);

  void encode(binary& out, const std::vector<std::int16_t>& samples) override;
};

}  // namespace vocle
