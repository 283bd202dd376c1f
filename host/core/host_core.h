// The part every host of libnpvocle.so shares (vocle-page, vocle-host): loading the library, the
// host's side of the host interface (vh_browser_funcs), instances and their lifetime, the main
// thread's loop and the bookkeeping of objects. It knows nothing of any script engine: a host
// brings its page side as page_services.
//
// One host_core per process, made on the thread that is to be the main thread (the interface's
// is_main_thread answers for it). Typical use:
//
//   host_core core;
//   core.load(path, &error);                          // dlopen, entry points, NP_Initialize
//   vh_instance* page = core.create_instance(mime, &services, &error);
//   vh_object* root = core.scriptable(page, &error);  // retained for the caller
//   ... core.loop().run(deadline) ...
//   core.objects().release_plugin_objects();          // let go of the library's objects
//   core.destroy_instance(page);
//   core.shutdown();                                  // NP_Shutdown; no call reaches the host
//   after
//
// schedule: a call queued for a live instance runs in a turn of core.loop() (fn(data, true)); the
// calls still queued when the instance is destroyed are dropped on the main thread
// (fn(data, false)) right after the library's destroy has returned, and a call for an instance
// that is gone is answered at once on the calling thread with fn(data, false). schedule returns
// false only for a null instance or function.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/host_interface.h"
#include "host/core/main_loop.h"
#include "host/core/object_table.h"
#include "host/core/page_services.h"
#include "host/core/plugin_library.h"

namespace host {

class host_core {
 public:
  host_core();
  // shutdown() when not done; frees the instances and what the table still holds.
  ~host_core();
  host_core(const host_core&) = delete;
  host_core& operator=(const host_core&) = delete;

  // Loads the library at path and initialises it with this host's table. False with the reason.
  bool load(const std::string& path, std::string* error);
  plugin_library& library() { return m_library; }

  // A new instance of the library for one page, of the given MIME type; nullptr with the
  // reason. The page's services must outlive the instance.
  vh_instance* create_instance(const std::string& mime_type, page_services* page,
                               std::string* error);
  // The instance's scriptable object, retained for the caller; nullptr with the reason.
  vh_object* scriptable(vh_instance* instance, std::string* error);
  // Destroys the instance (see above). Main thread, outside the library's calls.
  void destroy_instance(vh_instance* instance);
  // Destroys the instances left, shuts the library down, closes the loop (dropping what is still
  // queued) and detaches every host object. Idempotent.
  void shutdown();

  main_loop& loop() { return m_loop; }
  object_table& objects() { return m_objects; }

  // The host's table for NP_Initialize.
  static const vh_browser_funcs* browser_funcs();
  // True on the main thread of the host_core alive.
  static bool is_main_thread();

 private:
  struct instance_record;

  static instance_record* record_of(vh_instance* instance);
  static bool bf_schedule(vh_instance* instance, void (*fn)(void*, bool), void* data);
  static bool bf_is_main_thread();
  static vh_object* bf_get_window(vh_instance* instance);
  static vh_object* bf_new_array(vh_instance* instance);
  static vh_object* bf_new_object(vh_instance* instance);
  static void bf_release_variant(vh_variant* value);

  // Declared first, destroyed last: the table's last task may sit in the loop.
  main_loop m_loop;
  object_table m_objects;
  plugin_library m_library;
  // Records stay until the core ends, so that a call naming a destroyed instance finds it.
  std::vector<std::unique_ptr<instance_record>> m_instances;
  bool m_shut_down = false;
};

}  // namespace host
