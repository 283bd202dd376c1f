#include "host/page/duk_text.h"

#include <cstdint>

namespace host {

namespace {

const std::uint32_t k_invalid = 0xFFFFFFFFu;

bool is_ascii(const char* bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(bytes[i]) >= 0x80) {
      return false;
    }
  }
  return true;
}

// Decodes one sequence of up to four bytes at bytes[*at]; shortest forms only. Surrogate code
// points decode (the caller decides about them). Advances *at by the sequence, or by one byte
// when it does not decode (then returns k_invalid).
std::uint32_t decode(const unsigned char* bytes, std::size_t length, std::size_t* at) {
  const std::size_t i = *at;
  const unsigned char lead = bytes[i];
  std::size_t size;
  std::uint32_t cp;
  std::uint32_t min;
  if (lead < 0x80) {
    *at = i + 1;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    *at = i + 1;
    return k_invalid;
  }
  if (length - i < size) {
    *at = i + 1;
    return k_invalid;
  }
  for (std::size_t k = 1; k < size; ++k) {
    const unsigned char next = bytes[i + k];
    if ((next & 0xC0) != 0x80) {
      *at = i + 1;
      return k_invalid;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) {
    *at = i + 1;
    return k_invalid;
  }
  *at = i + size;
  return cp;
}

bool is_high_surrogate(std::uint32_t cp) {
  return cp >= 0xD800 && cp <= 0xDBFF;
}
bool is_low_surrogate(std::uint32_t cp) {
  return cp >= 0xDC00 && cp <= 0xDFFF;
}

void append(std::string* out, std::uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

const std::uint32_t k_replacement = 0xFFFD;

}  // namespace

std::string utf8_to_duk_text(const char* bytes, std::size_t length) {
  if (is_ascii(bytes, length)) {
    return std::string(bytes, length);
  }
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  std::string out;
  out.reserve(length + length / 2);
  std::size_t at = 0;
  while (at < length) {
    const std::uint32_t cp = decode(in, length, &at);
    if (cp == k_invalid || is_high_surrogate(cp) || is_low_surrogate(cp)) {
      append(&out, k_replacement);
    } else if (cp >= 0x10000) {
      append(&out, 0xD800 + ((cp - 0x10000) >> 10));
      append(&out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      append(&out, cp);
    }
  }
  return out;
}

std::string duk_text_to_utf8(const char* bytes, std::size_t length) {
  if (is_ascii(bytes, length)) {
    return std::string(bytes, length);
  }
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  std::string out;
  out.reserve(length);
  std::size_t at = 0;
  while (at < length) {
    const std::uint32_t cp = decode(in, length, &at);
    if (cp == k_invalid || is_low_surrogate(cp)) {
      append(&out, k_replacement);
    } else if (is_high_surrogate(cp)) {
      std::size_t next = at;
      const std::uint32_t low = next < length ? decode(in, length, &next) : k_invalid;
      if (low != k_invalid && is_low_surrogate(low)) {
        append(&out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
        at = next;
      } else {
        append(&out, k_replacement);
      }
    } else {
      append(&out, cp);
    }
  }
  return out;
}

}  // namespace host
