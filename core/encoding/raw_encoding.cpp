#include "core/encoding/raw_encoding.h"

#include "core/encoding/little_endian.h"

namespace vocle {

raw_encoding::raw_encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
                           bool interleaved)
    : encoding(sample_rate, sample_format, channels, interleaved) {}

void raw_encoding::encode(binary& out, const sample_view& samples) {
  little_endian::append_samples(out, samples);
}

std::uint64_t raw_encoding::encoded_size(std::size_t count) const {
  return 2 * static_cast<std::uint64_t>(count);
}

}  // namespace vocle
