// "wav_dvi_adpcm": the WAV DVI-ADPCM image of the record, the same bytes the recognition upload
// sends (always labelled 16000 Hz mono).
#pragma once

#include "core/encoding/wav_encoding.h"

namespace vocle {

class wav_dvi_adpcm_encoding : public wav_encoding {
 public:
  wav_dvi_adpcm_encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
                         bool interleaved);

  using encoding::encode;
  void encode(binary& out, const sample_view& samples) override;
  std::uint64_t encoded_size(std::size_t count) const override;
};

}  // namespace vocle
