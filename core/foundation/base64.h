// Base64 text of bytes (RFC 4648, standard alphabet, "=" padding, no line breaks), for handing
// encoded audio to a page as a string.
#pragma once

#include <cstdint>
#include <string>

namespace vocle {
namespace util {

// 4 * ceil(length / 3) characters. One call takes at most 4294967295 bytes.
std::string base64_encode(const unsigned char* data, std::uint32_t length);

}  // namespace util
}  // namespace vocle
