#include "test_page.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

namespace vocle {
namespace testkit {
namespace {

std::thread::id g_main_thread;

// The object as the test sees it, and its properties.
struct object_data {
  test_object object;
  std::map<std::string, double> properties;
};

object_data* data_of(vh_object* object) {
  return reinterpret_cast<object_data*>(object);
}

void retain(vh_object* object) {
  ++data_of(object)->object.references;
}

void release(vh_object* object) {
  test_object& o = data_of(object)->object;
  if (--o.references == 0) {
    o.released = true;
    o.released_on_main = std::this_thread::get_id() == g_main_thread;
  }
}

bool none(vh_object*, const char*) {
  return false;
}

bool no_call(vh_object*, const char*, const vh_variant*, uint32_t, vh_variant*) {
  return false;
}

bool no_default(vh_object*, const vh_variant*, uint32_t, vh_variant*) {
  return false;
}

bool has_property(vh_object* object, const char* name) {
  return data_of(object)->properties.count(name) > 0;
}

bool get_property(vh_object* object, const char* name, vh_variant* result) {
  const std::map<std::string, double>& properties = data_of(object)->properties;
  std::map<std::string, double>::const_iterator found = properties.find(name);
  std::memset(result, 0, sizeof *result);
  result->type = VH_VOID;
  if (found != properties.end()) {
    result->type = VH_DOUBLE;
    result->value.d = found->second;
  }
  return true;
}

bool no_set(vh_object*, const char*, const vh_variant*, vh_variant*) {
  return false;
}

bool no_names(vh_object*, char***, uint32_t*) {
  return false;
}

const vh_class k_object_class = {VH_VERSION, retain,       release,      none,   no_call,
                                 no_default, has_property, get_property, no_set, no_names};

}  // namespace

test_page::test_page() {
  std::memset(&m_funcs, 0, sizeof m_funcs);
  m_funcs.size = sizeof m_funcs;
  m_funcs.version = VH_VERSION;
  m_funcs.schedule = &test_page::schedule;
  m_funcs.is_main_thread = &test_page::is_main_thread;
  m_funcs.get_window = &test_page::no_window;
  m_funcs.new_array = &test_page::no_object;
  m_funcs.new_object = &test_page::no_object;
  m_funcs.release_variant = &test_page::release_variant;
  m_instance.plugin_data = nullptr;
  m_instance.host_data = this;
  g_main_thread = std::this_thread::get_id();
}

test_page::~test_page() {
  close();
}

std::size_t test_page::run_queued() {
  std::deque<call> calls;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    calls.swap(m_calls);
  }
  for (const call& c : calls) {
    c.first(c.second, true);
  }
  return calls.size();
}

void test_page::wait_queued(std::size_t n) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_queued.wait(lock, [&]() { return m_calls.size() >= n; });
}

void test_page::close() {
  std::deque<call> calls;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    calls.swap(m_calls);
  }
  for (const call& c : calls) {
    c.first(c.second, false);
  }
}

bool test_page::schedule(vh_instance* instance, void (*fn)(void*, bool), void* data) {
  test_page* page = static_cast<test_page*>(instance->host_data);
  {
    std::lock_guard<std::mutex> lock(page->m_mutex);
    if (!page->m_closed) {
      page->m_calls.push_back(call(fn, data));
      page->m_queued.notify_all();
      return true;
    }
  }
  fn(data, false);
  return true;
}

bool test_page::is_main_thread() {
  return std::this_thread::get_id() == g_main_thread;
}

vh_object* test_page::no_window(vh_instance*) {
  return nullptr;
}

vh_object* test_page::no_object(vh_instance*) {
  return nullptr;
}

void test_page::release_variant(vh_variant* value) {
  if (value->type == VH_STRING) {
    std::free(const_cast<char*>(value->value.s.utf8));
  } else if (value->type == VH_OBJECT && value->value.object) {
    value->value.object->cls->release(value->value.object);
  }
  std::memset(value, 0, sizeof *value);
  value->type = VH_VOID;
}

test_object* make_test_object(const std::vector<std::pair<std::string, double> >& properties) {
  object_data* data = new object_data();
  data->object.base.cls = &k_object_class;
  data->object.references = 1;
  data->object.released_on_main = false;
  data->object.released = false;
  for (const auto& p : properties) {
    data->properties[p.first] = p.second;
  }
  return &data->object;
}

void free_test_object(test_object* object) {
  delete reinterpret_cast<object_data*>(object);
}

}  // namespace testkit
}  // namespace vocle
