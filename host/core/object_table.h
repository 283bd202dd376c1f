// The host's bookkeeping of objects, both ways across the host interface:
//  - host objects it has handed to the library (live until their last release), so that when
//    the page goes every one still held can be detached, and freed when the table ends;
//  - the library's objects the host holds (the page's plug-in object and what calls return),
//    by id, so that the host can let go of every one of them before the instance is destroyed,
//    however its own script side keeps them.
// Main thread, except delete_later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "framework/host_interface.h"

namespace host {

class host_object;
class main_loop;

class object_table {
 public:
  explicit object_table(main_loop& loop);
  // Frees the host objects still alive (detached first). The library's objects must have been
  // released by then (release_plugin_objects): the library may be gone.
  ~object_table();
  object_table(const object_table&) = delete;
  object_table& operator=(const object_table&) = delete;

  // ---- host objects ----
  void add(host_object* object);
  void remove(host_object* object);
  // The last release came on another thread: the object is deleted on the main thread, in a
  // turn of its own, or when the table ends. Any thread.
  void delete_later(host_object* object);
  // Detaches every host object alive: their page is going.
  void detach_all();
  std::size_t host_objects() const;

  // ---- the library's objects ----
  // Takes over one reference of object; returns its id (1, 2, ... never reused).
  std::uint64_t hold(vh_object* object);
  // The object held under id, or nullptr when it has been dropped.
  vh_object* plugin_object(std::uint64_t id) const;
  // Releases the object held under id; false when there is none.
  bool drop(std::uint64_t id);
  // Releases every object held.
  void release_plugin_objects();
  std::size_t plugin_objects() const { return m_held.size(); }

 private:
  void collect();

  main_loop& m_loop;
  mutable std::mutex m_mutex;
  std::set<host_object*> m_objects;    // guarded by m_mutex
  std::vector<host_object*> m_doomed;  // guarded by m_mutex
  std::map<std::uint64_t, vh_object*> m_held;
  std::uint64_t m_next_id = 1;
};

}  // namespace host
