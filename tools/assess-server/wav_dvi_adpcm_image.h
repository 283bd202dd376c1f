// Reads a WAV DVI-ADPCM image, the audio of a recognition form, and decodes its samples.
//
// The image the server accepts: RIFF/WAVE; a "fmt " chunk of IMA/DVI ADPCM (format tag 0x11),
// mono, 16000 Hz, 4 bits per sample, blocks of 512 bytes holding 1017 samples each (so 8055
// bytes per second); a "fact" chunk with the number of samples; a "data" chunk with the blocks.
// A block opens with the first sample, the step index before the second sample and a zero byte,
// then two codes per byte, the earlier sample in the low four bits. The last block may be short:
// it holds at least the bytes its remaining samples need and at most a whole block. Anything
// else is refused with the reason, so a client can see what it got wrong.
//
// Header-only, so the tests can run it on images they made themselves.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/assess-server/ima_adpcm_decoder.h"

namespace assess {

// Why an image was refused.
class malformed_image : public std::runtime_error {
 public:
  explicit malformed_image(const std::string& reason) : std::runtime_error(reason) {}
};

struct wav_dvi_adpcm_image {
  static constexpr std::uint16_t format_tag = 0x11;
  static constexpr std::uint32_t sample_rate_hz = 16000;
  static constexpr std::uint16_t block_bytes = 512;
  static constexpr std::uint16_t samples_per_block = 1017;
  static constexpr std::uint32_t bytes_per_second =
      sample_rate_hz * block_bytes / samples_per_block;  // 8055

  std::uint32_t sample_rate = 0;
  std::vector<std::int16_t> samples;

  double duration() const { return sample_rate ? double(samples.size()) / sample_rate : 0.0; }

  // The fewest data bytes that hold n samples: whole blocks, then a last block of its header
  // and the codes of its other samples.
  static std::uint64_t data_bytes_needed(std::uint32_t n) {
    const std::uint32_t rest = n % samples_per_block;
    return std::uint64_t(n / samples_per_block) * block_bytes + (rest ? 4 + rest / 2 : 0);
  }

  // Checks the image and decodes it; throws malformed_image.
  static wav_dvi_adpcm_image read(const std::string& bytes) {
    const std::size_t size = bytes.size();
    if (size < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
      throw malformed_image("not a RIFF/WAVE file");
    }
    if (std::uint64_t(u32(bytes, 4)) + 8 != size) {
      throw malformed_image("the RIFF size says " +
                            std::to_string(std::uint64_t(u32(bytes, 4)) + 8) +
                            " bytes, the file has " + std::to_string(size));
    }

    std::size_t fmt = 0, fmt_size = 0, fact = 0, fact_size = 0, data = 0, data_size = 0;
    std::size_t pos = 12;
    while (pos + 8 <= size) {
      const std::string id = bytes.substr(pos, 4);
      const std::uint32_t chunk_size = u32(bytes, pos + 4);
      const std::size_t body = pos + 8;
      if (chunk_size > size - body) {
        throw malformed_image("the \"" + id + "\" chunk runs past the end of the file");
      }
      if (id == "fmt " || id == "fact" || id == "data") {
        std::size_t& at = id == "fmt " ? fmt : (id == "fact" ? fact : data);
        std::size_t& length = id == "fmt " ? fmt_size : (id == "fact" ? fact_size : data_size);
        if (at) {
          throw malformed_image("two \"" + id + "\" chunks");
        }
        at = body;
        length = chunk_size;
      }
      pos = body + chunk_size + (chunk_size & 1);
    }
    if (pos < size) {
      throw malformed_image(std::to_string(size - pos) + " stray bytes after the last chunk");
    }

    if (!fmt) {
      throw malformed_image("no \"fmt \" chunk");
    }
    if (fmt_size < 20) {
      throw malformed_image("the \"fmt \" chunk has " + std::to_string(fmt_size) +
                            " bytes, IMA ADPCM needs 20");
    }
    check(u16(bytes, fmt) == format_tag,
          "format tag " + hex(u16(bytes, fmt)) + " is not IMA/DVI ADPCM (0x0011)");
    check(u16(bytes, fmt + 2) == 1, std::to_string(u16(bytes, fmt + 2)) + " channels, not mono");
    check(u32(bytes, fmt + 4) == sample_rate_hz,
          std::to_string(u32(bytes, fmt + 4)) + " samples per second, not 16000");
    check(u16(bytes, fmt + 12) == block_bytes,
          "blocks of " + std::to_string(u16(bytes, fmt + 12)) + " bytes, not 512");
    check(u16(bytes, fmt + 14) == 4,
          std::to_string(u16(bytes, fmt + 14)) + " bits per sample, not 4");
    check(u16(bytes, fmt + 16) >= 2, "the \"fmt \" chunk lacks the samples per block");
    check(u16(bytes, fmt + 18) == samples_per_block,
          std::to_string(u16(bytes, fmt + 18)) + " samples per block, not 1017");
    check(u32(bytes, fmt + 8) == bytes_per_second,
          std::to_string(u32(bytes, fmt + 8)) + " bytes per second, not 8055");
    if (!fact) {
      throw malformed_image("no \"fact\" chunk");
    }
    check(fact_size >= 4, "the \"fact\" chunk is too short for the number of samples");
    if (!data) {
      throw malformed_image("no \"data\" chunk");
    }
    check(fmt < data, "the \"data\" chunk comes before the \"fmt \" chunk");

    const std::uint32_t n = u32(bytes, fact);
    const std::uint64_t blocks = (std::uint64_t(n) + samples_per_block - 1) / samples_per_block;
    const std::uint64_t needed = data_bytes_needed(n);
    if (data_size < needed) {
      throw malformed_image("the data has " + std::to_string(data_size) + " bytes, " +
                            std::to_string(n) + " samples need " + std::to_string(needed));
    }
    if (data_size > blocks * block_bytes) {
      throw malformed_image("the data has " + std::to_string(data_size) + " bytes, more than the " +
                            std::to_string(blocks) + " blocks of " + std::to_string(n) +
                            " samples hold");
    }

    wav_dvi_adpcm_image image;
    image.sample_rate = sample_rate_hz;
    image.samples.reserve(n);
    for (std::uint64_t block = 0; block < blocks; ++block) {
      const std::size_t at = data + block * block_bytes;
      const std::uint32_t count = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(samples_per_block, n - block * samples_per_block));
      const std::uint8_t index = static_cast<std::uint8_t>(bytes[at + 2]);
      const std::uint8_t reserved = static_cast<std::uint8_t>(bytes[at + 3]);
      check(index <= ima_adpcm_decoder::max_index, "block " + std::to_string(block) +
                                                       ": step index " + std::to_string(index) +
                                                       " is beyond 88");
      check(reserved == 0, "block " + std::to_string(block) + ": its reserved header byte is " +
                               std::to_string(reserved) + ", not 0");
      ima_adpcm_decoder decoder(static_cast<std::int16_t>(u16(bytes, at)), index);
      image.samples.push_back(decoder.predictor());
      for (std::uint32_t k = 1; k < count; ++k) {
        const std::uint8_t byte = static_cast<std::uint8_t>(bytes[at + 4 + (k - 1) / 2]);
        image.samples.push_back(decoder.decode((k - 1) % 2 == 0 ? byte & 0x0F : byte >> 4));
      }
    }
    return image;
  }

 private:
  static void check(bool ok, const std::string& reason) {
    if (!ok) {
      throw malformed_image(reason);
    }
  }
  static std::uint16_t u16(const std::string& b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      static_cast<unsigned char>(b[at + 1]) << 8);
  }
  static std::uint32_t u32(const std::string& b, std::size_t at) {
    return std::uint32_t(u16(b, at)) | std::uint32_t(u16(b, at + 2)) << 16;
  }
  static std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
  }
};

}  // namespace assess
