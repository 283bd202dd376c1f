#include "framework/host_value.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "framework/script_error.h"

namespace FB {
namespace detail {

host_value::host_value(const vh_browser_funcs* funcs) : m_funcs(funcs), m_value(void_value()) {}

host_value::host_value(const vh_browser_funcs* funcs, const vh_variant& value)
    : m_funcs(funcs), m_value(value) {}

host_value::host_value(host_value&& other) noexcept
    : m_funcs(other.m_funcs), m_value(other.m_value) {
  other.m_value = void_value();
}

host_value::~host_value() {
  if (m_value.type == VH_STRING || m_value.type == VH_OBJECT) {
    m_funcs->release_variant(&m_value);
  }
}

vh_variant host_value::release() {
  vh_variant value = m_value;
  m_value = void_value();
  return value;
}

vh_variant void_value() {
  vh_variant value;
  std::memset(&value, 0, sizeof value);
  value.type = VH_VOID;
  return value;
}

vh_variant string_value(const std::string& text) {
  if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw script_error("a string of " + std::to_string(text.size()) +
                       " bytes is too long for the page");
  }
  // One byte more, so a reader that wants a terminated string finds one.
  char* bytes = static_cast<char*>(std::malloc(text.size() + 1));
  if (!bytes) {
    throw std::bad_alloc();
  }
  std::memcpy(bytes, text.data(), text.size());
  bytes[text.size()] = '\0';
  vh_variant value = void_value();
  value.type = VH_STRING;
  value.value.s.utf8 = bytes;
  value.value.s.length = static_cast<std::uint32_t>(text.size());
  return value;
}

std::string text_of(const vh_variant& value, const std::string& fallback) {
  if (value.type != VH_STRING || !value.value.s.utf8) {
    return fallback;
  }
  return std::string(value.value.s.utf8, value.value.s.length);
}

void set_reason(vh_variant* out, const std::string& text) noexcept {
  if (!out) {
    return;
  }
  try {
    *out = string_value(text);
  } catch (...) {
    *out = void_value();
  }
}

}  // namespace detail
}  // namespace FB
