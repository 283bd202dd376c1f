// Speech for the benchmarks: a sentence spoken by espeak-ng, turned by sox into 16 kHz mono
// signed 16-bit samples (no dither) with half a second of silence on each side, and said again
// and again to fill a minute. Made in a temporary folder of the bench's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

namespace bench {

constexpr std::size_t speech_rate = 16000;
constexpr std::size_t speech_seconds = 60;

inline void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    throw std::runtime_error("failed: " + command);
  }
}

// A new folder below the system's temporary one, removed with everything in it at the end.
struct scratch_dir {
  boost::filesystem::path path;

  scratch_dir()
      : path(boost::filesystem::temp_directory_path() /
             boost::filesystem::unique_path("vocle-bench-%%%%-%%%%")) {
    boost::filesystem::create_directories(path);
  }
  ~scratch_dir() {
    boost::system::error_code ec;
    boost::filesystem::remove_all(path, ec);
  }
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  std::string file(const std::string& name) const { return (path / name).string(); }
};

// speech_seconds of the sentence at speech_rate, its files made in dir.
inline std::vector<std::int16_t> speech_minute(const scratch_dir& dir,
                                               const std::string& sentence) {
  const std::string wav = dir.file("sentence.wav");
  const std::string raw = dir.file("sentence.raw");
  run("espeak-ng -w '" + wav + "' '" + sentence + "' >/dev/null 2>&1");
  run("sox -D '" + wav + "' -t raw -r 16000 -e signed-integer -b 16 -c 1 -L '" + raw +
      "' pad 0.5 0.5 >/dev/null 2>&1");
  std::ifstream in(raw, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() < 2) {
    throw std::runtime_error("no speech from espeak-ng and sox");
  }
  std::vector<std::int16_t> samples(speech_rate * speech_seconds);
  const std::size_t count = bytes.size() / 2;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::size_t k = i % count;
    samples[i] = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[2 * k]) |
                                   (static_cast<unsigned char>(bytes[2 * k + 1]) << 8)));
  }
  return samples;
}

}  // namespace bench
