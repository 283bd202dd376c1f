#include "core/foundation/base64.h"

namespace vocle {
namespace util {
namespace {

const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string base64_encode(const unsigned char* data, std::uint32_t length) {
  const std::size_t groups = (static_cast<std::size_t>(length) + 2) / 3;
  std::string text(groups * 4, '=');
  const char* const table = alphabet.data();
  char* out = &text[0];
  std::size_t i = 0;
  for (; i + 3 <= length; i += 3, out += 4) {
    const std::uint32_t v = (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8) |
                            std::uint32_t(data[i + 2]);
    out[0] = table[v >> 18];
    out[1] = table[(v >> 12) & 0x3f];
    out[2] = table[(v >> 6) & 0x3f];
    out[3] = table[v & 0x3f];
  }
  const std::size_t left = length - i;
  if (left) {
    // The missing bytes count as zero; the characters they alone would make stay "=".
    const std::uint32_t v =
        (std::uint32_t(data[i]) << 16) | (left == 2 ? std::uint32_t(data[i + 1]) << 8 : 0);
    out[0] = table[v >> 18];
    out[1] = table[(v >> 12) & 0x3f];
    if (left == 2) {
      out[2] = table[(v >> 6) & 0x3f];
    }
  }
  return text;
}

}  // namespace util
}  // namespace vocle
