#include "core/encoding/raw_encoding.h"

namespace vocle {

raw_encoding::raw_encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
                           bool interleaved)
    : encoding(sample_rate, sample_format, channels, interleaved) {}

void raw_encoding::encode(binary& out, const std::vector<std::int16_t>& samples) {
  // The host is little-endian, so the samples already lie in memory as they are written.
  if (!samples.empty()) {
    out.append(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
  }
}

}  // namespace vocle
