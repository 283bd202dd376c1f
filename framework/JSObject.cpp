#include "framework/JSObject.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "framework/BrowserHost.h"
#include "framework/host_value.h"
#include "framework/logging.h"
#include "framework/main_thread_call.h"
#include "framework/script_error.h"

namespace FB {
namespace {

// Beyond this an "array" is taken for what it most likely is, a hostile or broken object: its
// elements are not read one by one (a length of 4e9 would hang the page).
const double kMostElements = 1000000;

// The calls below run on the main thread.

variant get_now(BrowserHost& host, vh_object* object, const std::string& name) {
  detail::host_value out(host.funcs());
  if (!object->cls->get_property(object, name.c_str(), out.out())) {
    throw script_error(detail::text_of(out.value(), "could not read the property " + name));
  }
  return host.toVariant(out.value());
}

std::vector<std::string> names_now(vh_object* object) {
  struct name_array {
    char** names = nullptr;
    uint32_t count = 0;
    ~name_array() {
      for (uint32_t i = 0; names && i < count; ++i) {
        std::free(names[i]);
      }
      std::free(names);
    }
  } array;
  if (!object->cls->enumerate(object, &array.names, &array.count)) {
    throw script_error("could not list the members of a page object");
  }
  std::vector<std::string> result;
  result.reserve(array.names ? array.count : 0);
  for (uint32_t i = 0; array.names && i < array.count; ++i) {
    result.push_back(array.names[i] ? array.names[i] : "");
  }
  return result;
}

}  // namespace

JSObject::JSObject(const BrowserHostPtr& host, vh_object* object)
    : m_host(host), m_object(object) {}

JSObject::~JSObject() {
  if (!m_object || !m_host) {
    return;
  }
  vh_object* object = m_object;
  try {
    // After shutdown the host frees the closed page's objects itself.
    if (m_host->isShutDown()) {
      return;
    }
    if (m_host->isMainThread()) {
      object->cls->release(object);
      return;
    }
    // Page objects are released on the page's main thread only. When the page goes first, the
    // queued release is dropped with it.
    m_host->ScheduleOnMainThread([object]() { object->cls->release(object); });
  } catch (...) {
    // Out of memory while queueing: the reference is left to the host.
  }
}

bool JSObject::HasProperty(const std::string& name) {
  return detail::call_on_main<bool>(
      *m_host, [this, name]() { return m_object->cls->has_property(m_object, name.c_str()); });
}

variant JSObject::GetProperty(const std::string& name) {
  return detail::call_on_main<variant>(*m_host,
                                       [this, name]() { return get_now(*m_host, m_object, name); });
}

void JSObject::SetProperty(const std::string& name, const variant& value) {
  detail::call_on_main<bool>(*m_host, [this, name, value]() {
    detail::host_value item(m_host->funcs(), m_host->toHostValue(value));
    detail::host_value error(m_host->funcs());
    if (!m_object->cls->set_property(m_object, name.c_str(), &item.value(), error.out())) {
      throw script_error(detail::text_of(error.value(), "could not set the property " + name));
    }
    return true;
  });
}

bool JSObject::HasMethod(const std::string& name) {
  return detail::call_on_main<bool>(
      *m_host, [this, name]() { return m_object->cls->has_method(m_object, name.c_str()); });
}

std::vector<std::string> JSObject::getMemberNames() {
  return detail::call_on_main<std::vector<std::string> >(*m_host,
                                                         [this]() { return names_now(m_object); });
}

variant JSObject::Invoke(const std::string& method, const VariantList& args) {
  return detail::call_on_main<variant>(*m_host, [this, method, args]() {
    if (args.size() > std::numeric_limits<uint32_t>::max()) {
      throw script_error("too many arguments for a page call");
    }
    const vh_browser_funcs* funcs = m_host->funcs();
    std::vector<detail::host_value> owned;
    std::vector<vh_variant> values;
    owned.reserve(args.size());
    values.reserve(args.size());
    for (const variant& arg : args) {
      owned.emplace_back(funcs, m_host->toHostValue(arg));
      values.push_back(owned.back().value());
    }
    detail::host_value result(funcs);
    const uint32_t count = static_cast<uint32_t>(values.size());
    const bool ok =
        method.empty()
            ? m_object->cls->invoke_default(m_object, values.data(), count, result.out())
            : m_object->cls->invoke(m_object, method.c_str(), values.data(), count, result.out());
    if (!ok) {
      throw script_error(detail::text_of(
          result.value(), method.empty() ? "the page's function failed"
                                         : "the page's method " + method + " failed"));
    }
    return m_host->toVariant(result.value());
  });
}

void JSObject::InvokeAsync(const std::string& method, const VariantList& args) {
  JSObjectPtr self = shared_from_this();
  // Queued even on the main thread: the call runs after the current script turn. When the page
  // has gone the call is dropped, and so are its result and its errors.
  m_host->ScheduleOnMainThread([self, method, args]() {
    try {
      self->Invoke(method, args);
    } catch (const std::exception& e) {
      Log::write(Log::LogLevel_Debug, std::string("queued page call failed: ") + e.what(), __FILE__,
                 __LINE__, __func__);
    }
  });
}

VariantList JSObject::toVariantList() {
  return detail::call_on_main<VariantList>(*m_host, [this]() {
    variant length = get_now(*m_host, m_object, "length");
    if (length.kind() != variant::k_int && length.kind() != variant::k_uint &&
        length.kind() != variant::k_double) {
      throw bad_variant_cast("object", "list");
    }
    const double n = length.convert_cast<double>();
    if (!(n >= 0 && n <= kMostElements && n == std::floor(n))) {
      throw bad_variant_cast("array of length " + length.convert_cast<std::string>(), "list");
    }
    VariantList list;
    list.reserve(static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
      list.push_back(get_now(*m_host, m_object, std::to_string(i)));
    }
    return list;
  });
}

VariantMap JSObject::toVariantMap() {
  return detail::call_on_main<VariantMap>(*m_host, [this]() {
    std::vector<std::string> names = names_now(m_object);
    if (names.size() > kMostElements) {
      throw bad_variant_cast("object of " + std::to_string(names.size()) + " properties", "map");
    }
    VariantMap map;
    for (const std::string& name : names) {
      map[name] = get_now(*m_host, m_object, name);
    }
    return map;
  });
}

}  // namespace FB
