// The plug-in library as a host loads it: dlopen, its entry points, NP_Initialize and
// NP_Shutdown.
//
// The library stays mapped after shutdown (no dlclose): threads or exit handlers of the library
// and of what it links may still refer to its code, and the process is about to end anyway.
#pragma once

#include <string>

#include "framework/host_interface.h"

namespace host {

class plugin_library {
 public:
  plugin_library();
  // Shuts the library down if it is still initialised.
  ~plugin_library();
  plugin_library(const plugin_library&) = delete;
  plugin_library& operator=(const plugin_library&) = delete;

  // Maps the library, finds its entry points and asks for its instance calls. False with the
  // reason in *error.
  bool load(const std::string& path, std::string* error);
  // NP_Initialize with the host's table. False with the reason in *error.
  bool initialize(const vh_browser_funcs* browser, std::string* error);
  // NP_Shutdown, when initialised.
  void shutdown();

  bool loaded() const { return m_handle != nullptr; }
  bool initialized() const { return m_initialized; }
  const std::string& path() const { return m_path; }
  // The library's instance calls; valid once loaded.
  const vh_plugin_funcs& funcs() const { return m_funcs; }
  // "mime-type::description", or "" when the library offers none.
  std::string mime_description() const;
  // NP_GetValue's text for variable, or "" when there is none.
  std::string value(vh_value variable) const;

 private:
  void* m_handle = nullptr;
  std::string m_path;
  vh_plugin_funcs m_funcs;
  vh_initialize_fn m_initialize = nullptr;
  vh_shutdown_fn m_shutdown = nullptr;
  vh_get_mime_description_fn m_mime_description = nullptr;
  vh_get_value_fn m_get_value = nullptr;
  bool m_initialized = false;
};

}  // namespace host
