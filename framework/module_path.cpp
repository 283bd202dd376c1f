#include "framework/module_path.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <mutex>

namespace FB {
namespace {

// Constant-initialised, so a caller from another file's static initialiser finds them ready.
std::mutex g_mutex;
bool g_known = false;

std::string& recorded_path() {
  static std::string path;
  return path;
}

std::string executable_path() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string current_folder() {
  char buffer[PATH_MAX];
  return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

// The path made absolute against the current folder, with "." steps dropped. Symbolic links are
// kept as they stand: a link to the library in another folder is that folder's plug-in, with that
// folder's configuration. (".." steps are kept too: folding them would step out of a linked
// folder the way the file system does not.)
std::string absolute_as_named(const std::string& name) {
  std::string path = name;
  if (path.empty() || path[0] != '/') {
    std::string folder = current_folder();
    if (folder.empty()) {
      return name;
    }
    path = folder + "/" + path;
  }
  std::string clean;
  std::string::size_type at = 0;
  while (at < path.size()) {
    std::string::size_type slash = path.find('/', at);
    if (slash == std::string::npos) {
      slash = path.size();
    }
    std::string step = path.substr(at, slash - at);
    if (!step.empty() && step != ".") {
      clean += "/" + step;
    }
    at = slash + 1;
  }
  return clean.empty() ? std::string("/") : clean;
}

// The file that holds this code, as it was loaded: the plug-in library, or the program it is
// linked into.
std::string find_module_path() {
  Dl_info info;
  struct link_map* map = nullptr;
  if (!::dladdr1(reinterpret_cast<void*>(&find_module_path), &info, reinterpret_cast<void**>(&map),
                 RTLD_DL_LINKMAP) ||
      !map || !map->l_name || !*map->l_name) {
    // The main program's entry has no name of its own.
    return executable_path();
  }
  return absolute_as_named(map->l_name);
}

// Recorded while the library loads: a relative name is relative to the folder current then.
struct record_at_load {
  record_at_load() {
    try {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (!g_known) {
        recorded_path() = find_module_path();
        g_known = true;
      }
    } catch (...) {
      // Left to the first getModulePath.
    }
  }
} g_record_at_load;

}  // namespace

std::string getModulePath() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!g_known) {
    recorded_path() = find_module_path();
    g_known = true;
  }
  return recorded_path();
}

void setModulePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  recorded_path() = path;
  g_known = true;
}

}  // namespace FB
