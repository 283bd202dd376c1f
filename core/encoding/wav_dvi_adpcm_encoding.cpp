#include "core/encoding/wav_dvi_adpcm_encoding.h"

#include "core/encoding/adpcm.h"

namespace vocle {

wav_dvi_adpcm_encoding::wav_dvi_adpcm_encoding(double sample_rate, std::uint32_t sample_format,
                                               std::uint64_t channels, bool interleaved)
    : wav_encoding(sample_rate, sample_format, channels, interleaved) {}

void wav_dvi_adpcm_encoding::encode(binary& out, const std::vector<std::int16_t>& samples) {
  boost::shared_ptr<binary> image = adpcm::make_wav(samples);
  out.append(image->begin(), image->size());
}

}  // namespace vocle
