// Raw audio files of the tests: signed 16-bit little-endian samples, one channel, no header (what
// sox writes with "-t raw -e signed-integer -b 16 -L", what the ALSA rig's devices read and write).
// The byte order is spelt out, so the files mean the same on any machine.
//
//   vocle::testkit::write_raw_samples(path, samples);
//   std::vector<int16_t> back = vocle::testkit::read_raw_samples(path);
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vocle {
namespace testkit {

// The samples of the bytes; an odd last byte is dropped.
std::vector<std::int16_t> samples_of_bytes(const std::string& bytes);
std::string bytes_of_samples(const std::vector<std::int16_t>& samples);

// The samples of a raw file (none when it cannot be read).
std::vector<std::int16_t> read_raw_samples(const std::string& path);
// Replaces the file with the samples; throws std::runtime_error when it cannot be written.
void write_raw_samples(const std::string& path, const std::vector<std::int16_t>& samples);

}  // namespace testkit
}  // namespace vocle
