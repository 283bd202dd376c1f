// Running the independent decoders that check what the encoders write, and reading their output.
#pragma once

#include <portaudio.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/foundation/binary.h"

namespace vocle {
namespace peers {

struct result {
  int status;          // the exit status, -1 when the command could not run or was killed
  std::string output;  // what it wrote (standard error included unless the command redirects it)
};

// What the encoder of that format name appends to an empty buffer for the samples.
binary encode(const std::string& format, const std::vector<std::int16_t>& samples,
              double rate = 16000.0, std::uint32_t sample_format = paInt16,
              std::uint64_t channels = 1);

// The Ogg stream with every page's serial number and checksum set to zero, so that two streams
// of the same packets compare equal. Throws std::runtime_error when data is not a whole stream.
binary without_ogg_serials(const binary& data);

// Runs the command through the shell with standard error joined to standard output.
result run(const std::string& command);
// Runs the command and keeps standard output alone (standard error is dropped).
result run_stdout(const std::string& command);

// The text in single quotes for the shell.
std::string quote(const std::string& text);

// Writes the content bytes of the buffer to the file; returns the path.
std::string write_file(const binary& data, const std::string& path);

// Signed 16-bit little-endian samples of a raw file.
std::vector<std::int16_t> read_raw(const std::string& path);
// Any file sox reads, as mono signed 16-bit samples at its own rate.
std::vector<std::int16_t> decode_with_sox(const std::string& path, const std::string& scratch);

// Little-endian fields of an encoded buffer.
std::uint32_t le16(const binary& data, std::size_t offset);
std::uint32_t le32(const binary& data, std::size_t offset);
std::string text(const binary& data, std::size_t offset, std::size_t length);

// Root mean square of samples [first, last), 0 for an empty range.
double rms(const std::vector<std::int16_t>& samples, std::size_t first, std::size_t last);

// What ffprobe tells of the file's first audio stream, one "key=value" a line: codec_name,
// sample_rate and channels ("" when it cannot read the file).
std::string ffprobe_stream(const std::string& path);

}  // namespace peers
}  // namespace vocle
