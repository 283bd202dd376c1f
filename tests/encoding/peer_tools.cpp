#include "peer_tools.h"

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "common/raw_samples.h"
#include "core/encoding/encoding.h"

namespace vocle {
namespace peers {

namespace {

result run_shell(const std::string& command) {
  result r{-1, std::string()};
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) {
    return r;
  }
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
    r.output.append(chunk, got);
  }
  const int status = ::pclose(pipe);
  if (status != -1 && WIFEXITED(status)) {
    r.status = WEXITSTATUS(status);
  }
  return r;
}

}  // namespace

binary encode(const std::string& format, const std::vector<std::int16_t>& samples, double rate,
              std::uint32_t sample_format, std::uint64_t channels) {
  binary out(std::size_t(0));
  encoding::create(format, rate, sample_format, channels, false)->encode(out, samples);
  return out;
}

binary without_ogg_serials(const binary& data) {
  binary out(data.begin(), data.size());
  unsigned char* bytes = reinterpret_cast<unsigned char*>(out.begin());
  std::size_t at = 0;
  while (at < out.size()) {
    // A page: "OggS", version, type, granule (8), serial (4), sequence (4), checksum (4), the
    // segment count and table, then the body.
    if (at + 27 > out.size() || std::string(out.begin() + at, 4) != "OggS") {
      throw std::runtime_error("no Ogg page at byte " + std::to_string(at));
    }
    const std::size_t segments = bytes[at + 26];
    if (at + 27 + segments > out.size()) {
      throw std::runtime_error("cut Ogg page at byte " + std::to_string(at));
    }
    std::size_t body = 0;
    for (std::size_t i = 0; i < segments; ++i) {
      body += bytes[at + 27 + i];
    }
    std::fill(bytes + at + 14, bytes + at + 18, 0);
    std::fill(bytes + at + 22, bytes + at + 26, 0);
    at += 27 + segments + body;
  }
  if (at != out.size()) {
    throw std::runtime_error("cut Ogg page at the end");
  }
  return out;
}

result run(const std::string& command) {
  return run_shell("(" + command + ") 2>&1");
}

result run_stdout(const std::string& command) {
  return run_shell("(" + command + ") 2>/dev/null");
}

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string write_file(const binary& data, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.begin(), static_cast<std::streamsize>(data.size()));
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
  return path;
}

std::vector<std::int16_t> read_raw(const std::string& path) {
  return testkit::read_raw_samples(path);
}

std::vector<std::int16_t> decode_with_sox(const std::string& path, const std::string& scratch) {
  const result r =
      run("sox -D " + quote(path) + " -t raw -e signed-integer -b 16 -c 1 -L " + quote(scratch));
  if (r.status != 0) {
    throw std::runtime_error("sox could not decode " + path + ": " + r.output);
  }
  return read_raw(scratch);
}

std::uint32_t le16(const binary& data, std::size_t offset) {
  if (offset + 2 > data.size()) {
    throw std::out_of_range("le16 past the end");
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data.begin()) + offset;
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8);
}

std::uint32_t le32(const binary& data, std::size_t offset) {
  return le16(data, offset) | (le16(data, offset + 2) << 16);
}

std::string text(const binary& data, std::size_t offset, std::size_t length) {
  if (offset + length > data.size()) {
    throw std::out_of_range("text past the end");
  }
  return std::string(data.begin() + offset, length);
}

double rms(const std::vector<std::int16_t>& samples, std::size_t first, std::size_t last) {
  last = std::min(last, samples.size());
  if (first >= last) {
    return 0.0;
  }
  double sum = 0.0;
  for (std::size_t i = first; i < last; ++i) {
    sum += double(samples[i]) * samples[i];
  }
  return std::sqrt(sum / double(last - first));
}

std::string ffprobe_stream(const std::string& path) {
  const result r = run_stdout(
      "ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,sample_rate,channels "
      "-of default=noprint_wrappers=1 " +
      quote(path));
  return r.status == 0 ? r.output : std::string();
}

}  // namespace peers
}  // namespace vocle
