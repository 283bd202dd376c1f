// Host values this side owns, and the texts that cross the host interface.
#pragma once

#include <string>

#include "framework/host_interface.h"

namespace FB {
namespace detail {

// One host value owned here: a result the host wrote, or a value made for the host. Freed with
// the host's release_variant (a string's bytes, one reference of an object) unless handed on.
class host_value {
 public:
  explicit host_value(const vh_browser_funcs* funcs);
  host_value(const vh_browser_funcs* funcs, const vh_variant& value);
  host_value(host_value&& other) noexcept;
  host_value(const host_value&) = delete;
  host_value& operator=(const host_value&) = delete;
  host_value& operator=(host_value&&) = delete;
  ~host_value();

  // For the host to write a result into.
  vh_variant* out() { return &m_value; }
  const vh_variant& value() const { return m_value; }
  // Hands the value on: this no longer owns it.
  vh_variant release();

 private:
  const vh_browser_funcs* m_funcs;
  vh_variant m_value;
};

// A VH_VOID value.
vh_variant void_value();
// A malloc'd copy of text as a VH_STRING, NUL bytes kept; std::bad_alloc when out of memory,
// script_error when the text is too long for the interface.
vh_variant string_value(const std::string& text);
// The text of a string value; the fallback for any other value.
std::string text_of(const vh_variant& value, const std::string& fallback);
// Writes text into *out as a VH_STRING (a reason for the host); nothing when out is null or
// memory is short. Never throws.
void set_reason(vh_variant* out, const std::string& text) noexcept;

}  // namespace detail
}  // namespace FB
