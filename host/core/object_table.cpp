#include "host/core/object_table.h"

#include <utility>

#include "host/core/host_object.h"
#include "host/core/main_loop.h"

namespace host {

object_table::object_table(main_loop& loop) : m_loop(loop) {}

object_table::~object_table() {
  collect();
  detach_all();
  std::set<host_object*> left;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    left = m_objects;
  }
  for (host_object* object : left) {
    delete object;
  }
}

void object_table::add(host_object* object) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_objects.insert(object);
}

void object_table::remove(host_object* object) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_objects.erase(object);
}

void object_table::delete_later(host_object* object) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_doomed.push_back(object);
  }
  // When the loop is closed, the table's end collects it.
  m_loop.post([this] { collect(); });
}

void object_table::collect() {
  std::vector<host_object*> doomed;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    doomed.swap(m_doomed);
  }
  for (host_object* object : doomed) {
    delete object;
  }
}

void object_table::detach_all() {
  std::set<host_object*> objects;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    objects = m_objects;
  }
  for (host_object* object : objects) {
    object->detach();
  }
}

std::size_t object_table::host_objects() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_objects.size();
}

std::uint64_t object_table::hold(vh_object* object) {
  const std::uint64_t id = m_next_id++;
  m_held[id] = object;
  return id;
}

vh_object* object_table::plugin_object(std::uint64_t id) const {
  auto found = m_held.find(id);
  return found == m_held.end() ? nullptr : found->second;
}

bool object_table::drop(std::uint64_t id) {
  auto found = m_held.find(id);
  if (found == m_held.end()) {
    return false;
  }
  vh_object* object = found->second;
  m_held.erase(found);
  object->cls->release(object);
  return true;
}

void object_table::release_plugin_objects() {
  // A release may make the library release host objects, never hold new ones; still, take
  // them one at a time.
  while (!m_held.empty()) {
    drop(m_held.begin()->first);
  }
}

}  // namespace host
