#include "framework/module_path.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <mutex>

namespace FB {
namespace {

std::mutex g_mutex;
bool g_known = false;
std::string g_path;

std::string executable_path() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// The file that holds this code: the plug-in library, or the program it is linked into.
std::string find_module_path() {
  Dl_info info;
  struct link_map* map = nullptr;
  if (!::dladdr1(reinterpret_cast<void*>(&find_module_path), &info, reinterpret_cast<void**>(&map),
                 RTLD_DL_LINKMAP) ||
      !map || !map->l_name || !*map->l_name) {
    // The main program's entry has no name of its own.
    return executable_path();
  }
  char resolved[PATH_MAX];
  if (::realpath(map->l_name, resolved)) {
    return resolved;
  }
  return map->l_name;
}

}  // namespace

std::string getModulePath() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_known) {
    g_path = find_module_path();
    g_known = true;
  }
  return g_path;
}

void setModulePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_path = path;
  g_known = true;
}

}  // namespace FB
