#include "core/encoding/wav_dvi_adpcm_encoding.h"

#include "core/encoding/adpcm.h"

namespace vocle {

wav_dvi_adpcm_encoding::wav_dvi_adpcm_encoding(double sample_rate, std::uint32_t sample_format,
                                               std::uint64_t channels, bool interleaved)
    : wav_encoding(sample_rate, sample_format, channels, interleaved) {}

void wav_dvi_adpcm_encoding::encode(binary& out, const sample_view& samples) {
  adpcm::append_wav(out, samples);
}

std::uint64_t wav_dvi_adpcm_encoding::encoded_size(std::size_t count) const {
  return adpcm::wav_size(count);
}

}  // namespace vocle
