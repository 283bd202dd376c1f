// "raw": the samples' own bytes, two per sample, little-endian.
#pragma once

#include "core/encoding/encoding.h"

namespace vocle {

class raw_encoding : public encoding {
 public:
  raw_encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
               bool interleaved);

  using encoding::encode;
  void encode(binary& out, const sample_view& samples) override;
  // Two bytes a sample.
  std::uint64_t encoded_size(std::size_t count) const override;
};

}  // namespace vocle
