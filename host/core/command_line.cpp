#include "host/core/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace host {

bool take_option(int argc, char** argv, int* i, std::initializer_list<const char*> names,
                 std::string* name, std::string* value, std::string* error) {
  const std::string arg = argv[*i];
  std::string given = arg;
  bool has_value = false;
  const std::size_t equals = arg.find('=');
  if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
    given = arg.substr(0, equals);
    *value = arg.substr(equals + 1);
    has_value = true;
  }
  bool known = false;
  for (const char* option : names) {
    known = known || given == option;
  }
  if (!known) {
    return false;
  }
  *name = given;
  if (!has_value) {
    if (*i + 1 >= argc) {
      *error = "option " + given + " needs a value";
      return true;
    }
    *value = argv[++*i];
  }
  return true;
}

bool seconds_of(const std::string& text, double* seconds) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0) {
    return false;
  }
  *seconds = value;
  return true;
}

std::string default_plugin_path() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    return std::string();
  }
  return (self.parent_path() / ".." / "lib" / "libnpvocle.so").lexically_normal().string();
}

}  // namespace host
