#include "host/core/plugin_library.h"

#include <dlfcn.h>

#include <cstring>

namespace host {

namespace {

std::string error_text(vh_error code) {
  switch (code) {
    case VH_NO_ERROR:
      return "no error";
    case VH_GENERIC_ERROR:
      return "generic error";
    case VH_INVALID_PARAM:
      return "invalid parameter";
    case VH_MODULE_NOT_INITIALIZED:
      return "module not initialised";
    case VH_OUT_OF_MEMORY:
      return "out of memory";
    case VH_INCOMPATIBLE_VERSION:
      return "incompatible version";
  }
  return "error " + std::to_string(static_cast<int>(code));
}

}  // namespace

plugin_library::plugin_library() {
  std::memset(&m_funcs, 0, sizeof m_funcs);
}

plugin_library::~plugin_library() {
  shutdown();
}

bool plugin_library::load(const std::string& path, std::string* error) {
  if (m_handle != nullptr) {
    *error = "a plug-in is already loaded";
    return false;
  }
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    *error = "cannot load the plug-in " + path + ": " + (reason ? reason : "unknown error");
    return false;
  }
  auto get_entry_points =
      reinterpret_cast<vh_get_entry_points_fn>(dlsym(handle, "NP_GetEntryPoints"));
  m_initialize = reinterpret_cast<vh_initialize_fn>(dlsym(handle, "NP_Initialize"));
  m_shutdown = reinterpret_cast<vh_shutdown_fn>(dlsym(handle, "NP_Shutdown"));
  m_mime_description =
      reinterpret_cast<vh_get_mime_description_fn>(dlsym(handle, "NP_GetMIMEDescription"));
  m_get_value = reinterpret_cast<vh_get_value_fn>(dlsym(handle, "NP_GetValue"));
  if (get_entry_points == nullptr || m_initialize == nullptr || m_shutdown == nullptr) {
    *error = path + " is not a plug-in: it lacks NP_GetEntryPoints, NP_Initialize or NP_Shutdown";
    // Never initialised, so nothing of it runs: safe to unmap.
    dlclose(handle);
    return false;
  }
  std::memset(&m_funcs, 0, sizeof m_funcs);
  m_funcs.size = sizeof m_funcs;
  m_funcs.version = VH_VERSION;
  const vh_error code = get_entry_points(&m_funcs);
  if (code != VH_NO_ERROR) {
    *error = "the plug-in refused its entry points: " + error_text(code);
    dlclose(handle);
    return false;
  }
  if (m_funcs.new_instance == nullptr || m_funcs.destroy == nullptr ||
      m_funcs.get_scriptable == nullptr) {
    *error = "the plug-in's entry points are incomplete";
    dlclose(handle);
    return false;
  }
  m_handle = handle;
  m_path = path;
  return true;
}

bool plugin_library::initialize(const vh_browser_funcs* browser, std::string* error) {
  if (m_handle == nullptr) {
    *error = "no plug-in is loaded";
    return false;
  }
  if (m_initialized) {
    return true;
  }
  const vh_error code = m_initialize(browser);
  if (code != VH_NO_ERROR) {
    // A library that failed to start has nothing to shut down (NP_Shutdown answers a successful
    // NP_Initialize only).
    // The library's own reason where it gives one: a code says little ("generic error").
    const std::string reason = value(VH_VALUE_START_ERROR);
    *error = "the plug-in failed to initialise: " + (reason.empty() ? error_text(code) : reason);
    return false;
  }
  m_initialized = true;
  return true;
}

void plugin_library::shutdown() {
  if (m_initialized) {
    m_initialized = false;
    m_shutdown();
  }
}

std::string plugin_library::mime_description() const {
  if (m_mime_description == nullptr) {
    return std::string();
  }
  const char* text = m_mime_description();
  return text ? text : "";
}

std::string plugin_library::value(vh_value variable) const {
  if (m_get_value == nullptr) {
    return std::string();
  }
  const char* text = nullptr;
  if (m_get_value(nullptr, variable, &text) != VH_NO_ERROR || text == nullptr) {
    return std::string();
  }
  return text;
}

}  // namespace host
