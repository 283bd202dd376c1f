#include "host/core/host_core.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>

#include "host/core/host_object.h"
#include "host/core/variants.h"

namespace host {

namespace {

std::atomic<std::thread::id> g_main_thread{std::thread::id()};

}  // namespace

struct host_core::instance_record {
  static constexpr std::uint32_t k_magic = 0x766f6367;  // "vocg"
  std::uint32_t magic = k_magic;
  host_core* core = nullptr;
  page_services* page = nullptr;  // main thread; null once the instance is gone
  vh_instance instance{};
  bool live = false;  // main thread: new_instance succeeded and destroy has not been called
};

host_core::host_core() : m_objects(m_loop) {
  g_main_thread.store(std::this_thread::get_id());
}

host_core::~host_core() {
  shutdown();
  g_main_thread.store(std::thread::id());
}

const vh_browser_funcs* host_core::browser_funcs() {
  static const vh_browser_funcs funcs = {sizeof(vh_browser_funcs),  VH_VERSION,
                                         &host_core::bf_schedule,   &host_core::bf_is_main_thread,
                                         &host_core::bf_get_window, &host_core::bf_new_array,
                                         &host_core::bf_new_object, &host_core::bf_release_variant};
  return &funcs;
}

bool host_core::is_main_thread() {
  return g_main_thread.load() == std::this_thread::get_id();
}

bool host_core::load(const std::string& path, std::string* error) {
  if (m_shut_down) {
    *error = "the host has shut down";
    return false;
  }
  return m_library.load(path, error) && m_library.initialize(browser_funcs(), error);
}

vh_instance* host_core::create_instance(const std::string& mime_type, page_services* page,
                                        std::string* error) {
  if (!m_library.initialized()) {
    *error = "no plug-in is loaded";
    return nullptr;
  }
  auto record = std::make_unique<instance_record>();
  record->core = this;
  record->page = page;
  record->instance.plugin_data = nullptr;
  record->instance.host_data = record.get();
  instance_record* r = record.get();
  m_instances.push_back(std::move(record));
  const vh_error code = m_library.funcs().new_instance(mime_type.c_str(), &r->instance);
  if (code != VH_NO_ERROR) {
    *error = "the plug-in refused to make an instance for " + mime_type + " (error " +
             std::to_string(static_cast<int>(code)) + ")";
    r->page = nullptr;
    m_loop.close_owner(r);
    return nullptr;
  }
  r->live = true;
  return &r->instance;
}

vh_object* host_core::scriptable(vh_instance* instance, std::string* error) {
  instance_record* r = record_of(instance);
  if (r == nullptr || !r->live) {
    *error = "no such page";
    return nullptr;
  }
  vh_variant reason = void_variant();
  vh_object* object = m_library.funcs().get_scriptable(instance, &reason);
  if (object == nullptr) {
    *error = variant_text(reason, "the plug-in gave no reason");
  }
  release_variant(&reason);
  return object;
}

void host_core::destroy_instance(vh_instance* instance) {
  instance_record* r = record_of(instance);
  if (r == nullptr || !r->live) {
    return;
  }
  r->live = false;
  m_library.funcs().destroy(instance);
  r->page = nullptr;
  m_loop.close_owner(r);
}

void host_core::shutdown() {
  if (m_shut_down) {
    return;
  }
  m_shut_down = true;
  m_objects.release_plugin_objects();
  for (auto& record : m_instances) {
    destroy_instance(&record->instance);
  }
  m_library.shutdown();
  m_loop.close();
  m_objects.detach_all();
}

host_core::instance_record* host_core::record_of(vh_instance* instance) {
  if (instance == nullptr || instance->host_data == nullptr) {
    return nullptr;
  }
  auto* r = static_cast<instance_record*>(instance->host_data);
  return r->magic == instance_record::k_magic ? r : nullptr;
}

bool host_core::bf_schedule(vh_instance* instance, void (*fn)(void*, bool), void* data) {
  instance_record* r = record_of(instance);
  if (r == nullptr || fn == nullptr) {
    return false;
  }
  if (r->core->m_loop.post(r, fn, data) != main_loop::post_result::queued) {
    // The page has gone (or the host is ending): answered at once, on the calling thread.
    fn(data, false);
  }
  return true;
}

bool host_core::bf_is_main_thread() {
  return is_main_thread();
}

vh_object* host_core::bf_get_window(vh_instance* instance) {
  instance_record* r = record_of(instance);
  if (r == nullptr || !is_main_thread() || r->page == nullptr) {
    return nullptr;
  }
  try {
    return r->page->window();
  } catch (const std::exception&) {
    return nullptr;
  }
}

vh_object* host_core::bf_new_array(vh_instance* instance) {
  instance_record* r = record_of(instance);
  if (r == nullptr || !is_main_thread() || r->page == nullptr) {
    return nullptr;
  }
  try {
    return r->page->new_array();
  } catch (const std::exception&) {
    return nullptr;
  }
}

vh_object* host_core::bf_new_object(vh_instance* instance) {
  instance_record* r = record_of(instance);
  if (r == nullptr || !is_main_thread() || r->page == nullptr) {
    return nullptr;
  }
  try {
    return r->page->new_object();
  } catch (const std::exception&) {
    return nullptr;
  }
}

void host_core::bf_release_variant(vh_variant* value) {
  release_variant(value);
}

}  // namespace host
