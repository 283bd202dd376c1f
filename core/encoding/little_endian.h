// Little-endian fields and samples, as every container the encoders write stores its numbers,
// whatever byte order this machine has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/foundation/binary.h"
#include "core/foundation/sample_view.h"

namespace vocle {
namespace little_endian {

inline void put16(void* at, std::uint32_t value) {
  unsigned char* p = static_cast<unsigned char*>(at);
  p[0] = static_cast<unsigned char>(value & 0xff);
  p[1] = static_cast<unsigned char>((value >> 8) & 0xff);
}

inline void put32(void* at, std::uint32_t value) {
  put16(at, value & 0xffff);
  put16(static_cast<unsigned char*>(at) + 2, value >> 16);
}

inline void append16(std::string& to, std::uint32_t value) {
  char bytes[2];
  put16(bytes, value);
  to.append(bytes, 2);
}

inline void append32(std::string& to, std::uint32_t value) {
  char bytes[4];
  put32(bytes, value);
  to.append(bytes, 4);
}

// Appends the samples, two bytes each, in order, span by span.
inline void append_samples(binary& out, const sample_view& samples) {
  if (samples.empty()) {
    return;
  }
  out.reserve(out.size() + 2 * samples.size());
  for (const sample_view::span& s : samples.spans()) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The samples already lie in memory as they are written.
    out.append(reinterpret_cast<const char*>(s.data), s.size * 2);
#else
    const std::size_t at = out.size();
    out.resize(at + s.size * 2);
    for (std::size_t i = 0; i < s.size; ++i) {
      put16(out.begin() + at + 2 * i, static_cast<std::uint16_t>(s.data[i]));
    }
#endif
  }
}

}  // namespace little_endian
}  // namespace vocle
