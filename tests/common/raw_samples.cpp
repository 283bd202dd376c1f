#include "common/raw_samples.h"

#include <fstream>
#include <stdexcept>

#include "common/temp_dir.h"

namespace vocle {
namespace testkit {

std::vector<std::int16_t> samples_of_bytes(const std::string& bytes) {
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const unsigned lo = static_cast<unsigned char>(bytes[2 * i]);
    const unsigned hi = static_cast<unsigned char>(bytes[2 * i + 1]);
    samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (hi << 8)));
  }
  return samples;
}

std::string bytes_of_samples(const std::vector<std::int16_t>& samples) {
  std::string bytes(samples.size() * 2, '\0');
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::uint16_t u = static_cast<std::uint16_t>(samples[i]);
    bytes[2 * i] = static_cast<char>(u & 0xff);
    bytes[2 * i + 1] = static_cast<char>(u >> 8);
  }
  return bytes;
}

std::vector<std::int16_t> read_raw_samples(const std::string& path) {
  return samples_of_bytes(read_file(path));
}

void write_raw_samples(const std::string& path, const std::vector<std::int16_t>& samples) {
  const std::string bytes = bytes_of_samples(samples);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

}  // namespace testkit
}  // namespace vocle
