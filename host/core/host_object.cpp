#include "host/core/host_object.h"

#include <cstdlib>
#include <cstring>
#include <exception>

#include "host/core/host_core.h"
#include "host/core/object_table.h"
#include "host/core/variants.h"

namespace host {

namespace {

// No exception leaves through the class table: what escapes a member becomes its failure.
template <class F>
bool guarded(vh_variant* out, F&& member) {
  try {
    return member();
  } catch (const std::exception& e) {
    return host_object::fail(out, e.what());
  } catch (...) {
    return host_object::fail(out, "the page failed the call");
  }
}

}  // namespace

const vh_class host_object::s_class = {VH_VERSION,
                                       &host_object::cls_retain,
                                       &host_object::cls_release,
                                       &host_object::cls_has_method,
                                       &host_object::cls_invoke,
                                       &host_object::cls_invoke_default,
                                       &host_object::cls_has_property,
                                       &host_object::cls_get_property,
                                       &host_object::cls_set_property,
                                       &host_object::cls_enumerate};

host_object::host_object(object_table& table) : m_table(table) {
  m_handle.base.cls = &s_class;
  m_handle.self = this;
  m_table.add(this);
}

host_object::~host_object() {
  m_table.remove(this);
}

host_object* host_object::from_handle(vh_object* object) {
  if (object == nullptr || object->cls != &s_class) {
    return nullptr;
  }
  return self_of(object);
}

host_object* host_object::self_of(vh_object* object) {
  return reinterpret_cast<handle_type*>(object)->self;
}

void host_object::retain() {
  m_count.fetch_add(1, std::memory_order_relaxed);
}

void host_object::release() {
  if (m_count.fetch_sub(1, std::memory_order_acq_rel) != 1) {
    return;
  }
  if (host_core::is_main_thread()) {
    delete this;
  } else {
    m_table.delete_later(this);
  }
}

void host_object::detach() {
  if (m_detached) {
    return;
  }
  m_detached = true;
  on_detach();
}

bool host_object::fail(vh_variant* out, const std::string& reason) {
  if (out != nullptr) {
    try {
      *out = string_variant(reason);
    } catch (const std::exception&) {
      *out = void_variant();
    }
  }
  return false;
}

bool host_object::has_method(const char*) {
  return false;
}

bool host_object::invoke(const char* name, const vh_variant*, uint32_t, vh_variant* result) {
  return fail(result, std::string("no such method: ") + name);
}

bool host_object::invoke_default(const vh_variant*, uint32_t, vh_variant* result) {
  return fail(result, "the object cannot be called");
}

bool host_object::has_property(const char*) {
  return false;
}

bool host_object::get_property(const char* name, vh_variant* result) {
  return fail(result, std::string("no such property: ") + name);
}

bool host_object::set_property(const char* name, const vh_variant*, vh_variant* error) {
  return fail(error, std::string("no such property: ") + name);
}

bool host_object::enumerate(std::vector<std::string>* names) {
  names->clear();
  return true;
}

host_object* host_object::usable(vh_object* object, std::string* reason) {
  if (object == nullptr) {
    *reason = "no object";
    return nullptr;
  }
  if (!host_core::is_main_thread()) {
    *reason = "page objects can only be used on the page's main thread";
    return nullptr;
  }
  host_object* self = self_of(object);
  if (self->m_detached) {
    *reason = "the page has gone";
    return nullptr;
  }
  return self;
}

void host_object::cls_retain(vh_object* object) {
  if (object != nullptr) {
    self_of(object)->retain();
  }
}

void host_object::cls_release(vh_object* object) {
  if (object != nullptr) {
    self_of(object)->release();
  }
}

bool host_object::cls_has_method(vh_object* object, const char* name) {
  std::string reason;
  host_object* self = usable(object, &reason);
  if (self == nullptr || name == nullptr) {
    return false;
  }
  return guarded(nullptr, [&] { return self->has_method(name); });
}

bool host_object::cls_invoke(vh_object* object, const char* name, const vh_variant* args,
                             uint32_t count, vh_variant* result) {
  std::string reason;
  host_object* self = usable(object, &reason);
  if (self == nullptr) {
    return fail(result, reason);
  }
  if (name == nullptr || (count != 0 && args == nullptr)) {
    return fail(result, "invalid call");
  }
  return guarded(result, [&] { return self->invoke(name, args, count, result); });
}

bool host_object::cls_invoke_default(vh_object* object, const vh_variant* args, uint32_t count,
                                     vh_variant* result) {
  std::string reason;
  host_object* self = usable(object, &reason);
  if (self == nullptr) {
    return fail(result, reason);
  }
  if (count != 0 && args == nullptr) {
    return fail(result, "invalid call");
  }
  return guarded(result, [&] { return self->invoke_default(args, count, result); });
}

bool host_object::cls_has_property(vh_object* object, const char* name) {
  std::string reason;
  host_object* self = usable(object, &reason);
  if (self == nullptr || name == nullptr) {
    return false;
  }
  return guarded(nullptr, [&] { return self->has_property(name); });
}

bool host_object::cls_get_property(vh_object* object, const char* name, vh_variant* result) {
  std::string reason;
  host_object* self = usable(object, &reason);
  if (self == nullptr) {
    return fail(result, reason);
  }
  if (name == nullptr) {
    return fail(result, "invalid call");
  }
  return guarded(result, [&] { return self->get_property(name, result); });
}

bool host_object::cls_set_property(vh_object* object, const char* name, const vh_variant* value,
                                   vh_variant* error) {
  std::string reason;
  host_object* self = usable(object, &reason);
  if (self == nullptr) {
    return fail(error, reason);
  }
  if (name == nullptr || value == nullptr) {
    return fail(error, "invalid call");
  }
  return guarded(error, [&] { return self->set_property(name, value, error); });
}

bool host_object::cls_enumerate(vh_object* object, char*** names, uint32_t* count) {
  if (names == nullptr || count == nullptr) {
    return false;
  }
  *names = nullptr;
  *count = 0;
  std::string reason;
  host_object* self = usable(object, &reason);
  if (self == nullptr) {
    return false;
  }
  std::vector<std::string> list;
  if (!guarded(nullptr, [&] { return self->enumerate(&list); })) {
    return false;
  }
  if (list.empty()) {
    return true;
  }
  char** array = static_cast<char**>(std::calloc(list.size(), sizeof(char*)));
  if (array == nullptr) {
    return false;
  }
  for (std::size_t i = 0; i < list.size(); ++i) {
    array[i] = static_cast<char*>(std::malloc(list[i].size() + 1));
    if (array[i] == nullptr) {
      for (std::size_t j = 0; j < i; ++j) {
        std::free(array[j]);
      }
      std::free(array);
      return false;
    }
    std::memcpy(array[i], list[i].c_str(), list[i].size() + 1);
  }
  *names = array;
  *count = static_cast<uint32_t>(list.size());
  return true;
}

}  // namespace host
