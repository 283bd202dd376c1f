// Errors that reach page script.
#pragma once

#include <stdexcept>
#include <string>
#include <typeinfo>

namespace FB {

// A bad argument from the page; the script call that caused it fails with this text.
struct script_error : std::runtime_error {
  explicit script_error(const std::string& message) : std::runtime_error(message) {}
};

// A script value that does not convert to the type asked for.
struct bad_variant_cast : std::bad_cast {
  bad_variant_cast(const std::string& from, const std::string& to)
      : m_message("cannot convert " + from + " to " + to) {}
  const char* what() const noexcept override { return m_message.c_str(); }

 private:
  std::string m_message;
};

}  // namespace FB
