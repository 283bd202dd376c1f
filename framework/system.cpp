#include "framework/system.h"

#include <cstdlib>
#include <stdexcept>

namespace FB {
namespace System {

std::string getLocalAppDataPath(const std::string& name) {
  // A relative XDG_DATA_HOME is invalid and is ignored, as the XDG rules say.
  const char* data_home = std::getenv("XDG_DATA_HOME");
  if (data_home && data_home[0] == '/') {
    return std::string(data_home) + "/" + name;
  }
  const char* home = std::getenv("HOME");
  if (home && *home) {
    return std::string(home) + "/.local/share/" + name;
  }
  throw std::runtime_error("Could not find path");
}

}  // namespace System
}  // namespace FB
