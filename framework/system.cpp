#include "framework/system.h"

#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace FB {
namespace System {

namespace {

std::atomic<HomeLookup> g_home_lookup{&userDatabaseHome};

}  // namespace

std::string getLocalAppDataPath(const std::string& name) {
  // A relative XDG_DATA_HOME is invalid and is ignored, as the XDG rules say.
  const char* data_home = std::getenv("XDG_DATA_HOME");
  if (data_home && data_home[0] == '/') {
    return std::string(data_home) + "/" + name;
  }
  const std::string home = environmentHome();
  if (!home.empty()) {
    return home + "/.local/share/" + name;
  }
  // A service or a sandboxed process often runs without HOME; its user still has a home folder.
  const std::string database_home = g_home_lookup.load()();
  if (!database_home.empty()) {
    return database_home + "/.local/share/" + name;
  }
  throw std::runtime_error("Could not find path");
}

std::string environmentHome() {
  // A relative HOME would put the folders under whatever the current folder happens to be, and
  // the paths reported to the page would not name the files written: it counts as unset.
  const char* home = std::getenv("HOME");
  return home && home[0] == '/' ? std::string(home) : std::string();
}

std::string userDatabaseHome() {
  // getpwuid_r, as this runs on worker threads too; the buffer grows for a large entry.
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
  for (;;) {
    struct passwd entry;
    struct passwd* found = nullptr;
    const int error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
      return std::string();
    }
    return found->pw_dir;
  }
}

HomeLookup setHomeLookup(HomeLookup lookup) {
  return g_home_lookup.exchange(lookup ? lookup : &userDatabaseHome);
}

}  // namespace System
}  // namespace FB
