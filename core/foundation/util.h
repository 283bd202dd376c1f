// Path placeholders, the library's own folder and code-page conversion. Paths are UTF-8 inside
// the system and become ANSI (the process's narrow character set) just before a file API.
#pragma once

#include <string>

namespace vocle {
namespace util {

// Replaces "@{dlldir}", "@{appdata}", "@{desktop}" and "@{random-uuid}", in that order.
std::string expand_path(const std::string& path);
std::string dll_dir();
std::string dll_relative_path(const std::string& name);
// The maker's per-user application-data folder; throws std::runtime_error("Could not find path").
std::string appdata_path();
// The desktop folder, or "" when there is none.
std::string desktop_path();
std::string ansi_to_utf8(const std::string& text);
std::string utf8_to_ansi(const std::string& text);
// True when the text holds a NUL character. A path or an address reaches the system as a C
// string, and the code-page conversions above end at the first zero: such a text would name
// something else there, so its users refuse it instead.
bool holds_nul(const std::string& text);

}  // namespace util
}  // namespace vocle
