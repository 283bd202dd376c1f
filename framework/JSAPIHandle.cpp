#include "framework/JSAPIHandle.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "framework/BrowserHost.h"
#include "framework/JSAPIImpl.h"
#include "framework/host_value.h"
#include "framework/script_error.h"

namespace FB {
namespace {

const char kObjectGone[] = "the plug-in object is no longer available";
const char kPageClosed[] = "the page has closed";

std::string name_of(const char* name) {
  return name ? std::string(name) : std::string();
}

VariantList to_list(BrowserHost& host, const vh_variant* args, uint32_t count) {
  VariantList list;
  list.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    list.push_back(host.toVariant(args[i]));
  }
  return list;
}

}  // namespace

const vh_class JSAPIHandle::s_class = {
    VH_VERSION,
    &JSAPIHandle::retain,
    &JSAPIHandle::release,
    &JSAPIHandle::has_method,
    &JSAPIHandle::invoke,
    &JSAPIHandle::invoke_default,
    &JSAPIHandle::has_property,
    &JSAPIHandle::get_property,
    &JSAPIHandle::set_property,
    &JSAPIHandle::enumerate,
};

JSAPIHandle::JSAPIHandle(const BrowserHostPtr& host, const JSAPIPtr& api)
    : m_host(host), m_api(api) {
  m_node.base.cls = &s_class;
  m_node.owner = this;
}

vh_object* JSAPIHandle::create(const BrowserHostPtr& host, const JSAPIPtr& api) {
  JSAPIHandle* handle = new JSAPIHandle(host, api);
  return &handle->m_node.base;
}

JSAPIHandle* JSAPIHandle::of(vh_object* object) {
  return reinterpret_cast<node*>(object)->owner;
}

template <class F>
bool JSAPIHandle::dispatch(vh_object* object, vh_variant* reason, F call) {
  try {
    JSAPIHandle* handle = of(object);
    // Both are held for the whole call: the page's script may drop its last reference to this
    // handle while the call runs.
    BrowserHostPtr host = handle->m_host.lock();
    if (!host || host->isShutDown()) {
      throw script_error(kPageClosed);
    }
    JSAPIPtr api = handle->m_api.lock();
    JSAPIImpl* impl = dynamic_cast<JSAPIImpl*>(api.get());
    if (!api || (impl && !impl->isValid())) {
      throw script_error(kObjectGone);
    }
    call(*api, *host);
    return true;
  } catch (const std::exception& e) {
    detail::set_reason(reason, e.what());
  } catch (...) {
    detail::set_reason(reason, "unknown error");
  }
  return false;
}

void JSAPIHandle::retain(vh_object* object) {
  ++of(object)->m_references;
}

void JSAPIHandle::release(vh_object* object) {
  JSAPIHandle* handle = of(object);
  if (--handle->m_references == 0) {
    delete handle;  // holds only weak pointers: nothing of the plug-in goes with it
  }
}

bool JSAPIHandle::has_method(vh_object* object, const char* name) {
  bool found = false;
  dispatch(object, nullptr,
           [&](JSAPI& api, BrowserHost&) { found = api.HasMethod(name_of(name)); });
  return found;
}

bool JSAPIHandle::invoke(vh_object* object, const char* name, const vh_variant* args,
                         uint32_t count, vh_variant* result) {
  return dispatch(object, result, [&](JSAPI& api, BrowserHost& host) {
    variant value = api.Invoke(name_of(name), to_list(host, args, count));
    vh_variant out = host.toHostValue(value);
    if (result) {
      *result = out;
    } else {
      host.funcs()->release_variant(&out);
    }
  });
}

bool JSAPIHandle::invoke_default(vh_object* object, const vh_variant* args, uint32_t count,
                                 vh_variant* result) {
  return invoke(object, "", args, count, result);
}

bool JSAPIHandle::has_property(vh_object* object, const char* name) {
  bool found = false;
  dispatch(object, nullptr,
           [&](JSAPI& api, BrowserHost&) { found = api.HasProperty(name_of(name)); });
  return found;
}

bool JSAPIHandle::get_property(vh_object* object, const char* name, vh_variant* result) {
  return dispatch(object, result, [&](JSAPI& api, BrowserHost& host) {
    vh_variant out = host.toHostValue(api.GetProperty(name_of(name)));
    if (result) {
      *result = out;
    } else {
      host.funcs()->release_variant(&out);
    }
  });
}

bool JSAPIHandle::set_property(vh_object* object, const char* name, const vh_variant* value,
                               vh_variant* error) {
  return dispatch(object, error, [&](JSAPI& api, BrowserHost& host) {
    api.SetProperty(name_of(name), value ? host.toVariant(*value) : variant());
  });
}

bool JSAPIHandle::property_revision(vh_object* object, const char* name, uint64_t* revision) {
  if (!object || object->cls != &s_class || !revision) {
    return false;
  }
  bool counted = false;
  dispatch(object, nullptr, [&](JSAPI& api, BrowserHost&) {
    counted = api.GetPropertyRevision(name_of(name), revision);
  });
  return counted;
}

bool JSAPIHandle::enumerate(vh_object* object, char*** names, uint32_t* count) {
  if (!names || !count) {
    return false;
  }
  *names = nullptr;
  *count = 0;
  std::vector<char*> copies;
  bool ok = dispatch(object, nullptr, [&](JSAPI& api, BrowserHost&) {
    std::vector<std::string> members = api.getMemberNames();
    copies.reserve(members.size());
    for (const std::string& member : members) {
      char* copy = static_cast<char*>(std::malloc(member.size() + 1));
      if (!copy) {
        throw std::bad_alloc();
      }
      std::memcpy(copy, member.c_str(), member.size() + 1);
      copies.push_back(copy);
    }
    // malloc(0) may give null: one slot at least.
    char** array = static_cast<char**>(std::malloc(sizeof(char*) * (copies.size() + 1)));
    if (!array) {
      throw std::bad_alloc();
    }
    std::memcpy(array, copies.data(), sizeof(char*) * copies.size());
    *names = array;
    *count = static_cast<uint32_t>(copies.size());
  });
  if (!ok) {
    for (char* copy : copies) {
      std::free(copy);
    }
  }
  return ok;
}

}  // namespace FB
