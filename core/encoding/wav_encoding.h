// "wav": a 44-byte PCM WAV header, then the samples' bytes. The header always describes 16-bit
// mono, the only layout a record holds, whatever sample format and channel count the studio
// was configured with.
#pragma once

#include "core/encoding/encoding.h"

namespace vocle {

class wav_encoding : public encoding {
 public:
  static constexpr std::size_t header_size = 44;

  wav_encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
               bool interleaved);

  using encoding::encode;
  void encode(binary& out, const sample_view& samples) override;
  // The header and two bytes a sample.
  std::uint64_t encoded_size(std::size_t count) const override;
};

}  // namespace vocle
