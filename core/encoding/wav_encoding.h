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

  void encode(binary& out, const std::vector<std::int16_t>& samples) override;
};

}  // namespace vocle
