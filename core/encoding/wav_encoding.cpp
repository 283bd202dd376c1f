#include "core/encoding/wav_encoding.h"

#include <cstring>

#include "core/encoding/little_endian.h"

namespace vocle {

namespace {

using little_endian::put16;
using little_endian::put32;

}  // namespace

constexpr std::size_t wav_encoding::header_size;

wav_encoding::wav_encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
                           bool interleaved)
    : encoding(sample_rate, sample_format, channels, interleaved) {}

void wav_encoding::encode(binary& out, const sample_view& samples) {
  const std::uint32_t channels = 1;
  const std::uint32_t bits = 16;
  const std::uint32_t rate = integer_rate();
  // Sizes are 32-bit fields; they wrap beyond 4 GiB like any RIFF writer's.
  const std::uint32_t data_size = static_cast<std::uint32_t>(samples.size() * 2);

  char header[header_size];
  std::memcpy(header + 0, "RIFF", 4);
  put32(header + 4, data_size + 36);
  std::memcpy(header + 8, "WAVE", 4);
  std::memcpy(header + 12, "fmt ", 4);
  put32(header + 16, 16);
  put16(header + 20, 1);
  put16(header + 22, channels);
  put32(header + 24, rate);
  put32(header + 28, static_cast<std::uint32_t>(std::uint64_t(channels) * rate * bits / 8));
  put16(header + 32, channels * bits / 8);
  put16(header + 34, bits);
  std::memcpy(header + 36, "data", 4);
  put32(header + 40, data_size);

  out.reserve(out.size() + header_size + 2 * samples.size());
  out.append(header, header_size);
  little_endian::append_samples(out, samples);
}

std::uint64_t wav_encoding::encoded_size(std::size_t count) const {
  return header_size + 2 * static_cast<std::uint64_t>(count);
}

}  // namespace vocle
