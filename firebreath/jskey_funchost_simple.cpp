#include "firebreath/jskey_funchost_simple.h"

#include <exception>
#include <utility>

#include <boost/shared_ptr.hpp>
#include <boost/thread/lock_guard.hpp>

#include "core/foundation/keys.h"
#include "core/foundation/log.h"
#include "core/foundation/settings.h"
#include "framework/BrowserHost.h"
#include "framework/script_error.h"

namespace vocle {
namespace {

FB::JSObjectPtr read_function(const FB::JSObjectPtr& host, const keys::string_key& name,
                              const char* failure) {
  // A failure of the page itself (closing, a throwing getter) keeps its own message.
  FB::variant value = host->GetProperty(settings::instance().get(name));
  FB::JSObjectPtr f;
  try {
    f = value.convert_cast<FB::JSObjectPtr>();
  } catch (const FB::bad_variant_cast&) {
  }
  if (!f) {
    throw FB::script_error(failure);
  }
  return f;
}

}  // namespace

const FB::JSObjectPtr& jskey_funchost_simple::functions::get(role r) const {
  switch (r) {
    case role_call:
      return call_function;
    case role_apply:
      return apply_function;
    case role_release:
      break;
  }
  return release_function;
}

jskey_funchost_simple::jskey_funchost_simple(const FB::JSObjectPtr& host)
    : jskey_funchost_base(host) {
  jskey_funchost_simple::set_host(host);
}

FB::JSObjectPtr jskey_funchost_simple::get_host() {
  boost::lock_guard<boost::mutex> lock(m_mutex);
  return m_host;
}

void jskey_funchost_simple::set_host(const FB::JSObjectPtr& host) {
  // The old objects are released after the lock: a release may reach into the page.
  FB::JSObjectPtr old_host = host;
  functions old;
  {
    boost::lock_guard<boost::mutex> lock(m_mutex);
    std::swap(m_host, old_host);
    std::swap(m_call_function, old.call_function);
    std::swap(m_apply_function, old.apply_function);
    std::swap(m_release_function, old.release_function);
    m_resolved = false;
    ++m_generation;
  }
}

jskey_funchost_simple::functions jskey_funchost_simple::resolve() {
  FB::JSObjectPtr host;
  std::uint64_t generation = 0;
  {
    boost::lock_guard<boost::mutex> lock(m_mutex);
    if (m_resolved) {
      return functions{m_call_function, m_apply_function, m_release_function};
    }
    host = m_host;
    generation = m_generation;
  }
  if (!host) {
    throw FB::script_error("jskey_funchost_simple host empty");
  }
  functions read;
  read.call_function = read_function(host, keys::js_call_function,
                                     "jskey_funchost_simple get m_call_function failed");
  read.apply_function = read_function(host, keys::js_apply_function,
                                      "jskey_funchost_simple get m_apply_function failed");
  read.release_function = read_function(host, keys::js_release_function,
                                        "jskey_funchost_simple get m_release_function failed");

  boost::lock_guard<boost::mutex> lock(m_mutex);
  if (generation != m_generation) {
    // The host was replaced while this call read it: the call goes where it started.
    return read;
  }
  if (!m_resolved) {
    // Two first uses may read at once; the first to finish is kept and both use it.
    m_call_function = read.call_function;
    m_apply_function = read.apply_function;
    m_release_function = read.release_function;
    m_resolved = true;
  }
  return functions{m_call_function, m_apply_function, m_release_function};
}

FB::variant jskey_funchost_simple::invoke(role r, const FB::VariantList& args) {
  return resolve().get(r)->Invoke("", args);
}

void jskey_funchost_simple::invoke_async(role r, const FB::VariantList& args) {
  FB::JSObjectPtr host = get_host();
  FB::BrowserHostPtr browser = host ? host->getHost() : FB::BrowserHostPtr();
  if (!browser) {
    VOCLE_LOG_ERROR("jskey_funchost_simple host empty, delivery dropped");
    return;
  }
  if (browser->isShutDown()) {
    // Nothing reaches a page that has gone; reading its properties now would only fail.
    VOCLE_LOG_DEBUG("page has gone, delivery dropped");
    return;
  }
  if (browser->isMainThread()) {
    resolve().get(r)->InvokeAsync("", args);
    return;
  }
  boost::shared_ptr<jskey_funchost_simple> self = weak_from_this().lock();
  if (!self) {
    VOCLE_LOG_ERROR("jskey_funchost_simple not held by a shared pointer, delivery dropped");
    return;
  }
  // The job calls the function itself rather than queueing the call again: a second hop would
  // let a release made on the page's thread meanwhile (one hop) reach the page before this
  // delivery, and a page that forgets a key's handler on release would lose the result.
  const bool queued = browser->ScheduleOnMainThread([self, r, args]() {
    FB::JSObjectPtr function;
    try {
      function = self->resolve().get(r);
    } catch (const std::exception& e) {
      VOCLE_LOG_ERROR("delivery dropped: %1%", e.what());
      return;
    }
    try {
      function->Invoke("", args);
    } catch (const std::exception& e) {
      // As for a queued page call: its result and its errors have no caller.
      VOCLE_LOG_DEBUG("queued page call failed: %1%", e.what());
    }
  });
  if (!queued) {
    VOCLE_LOG_DEBUG("page has gone, delivery dropped");
  }
}

FB::variant jskey_funchost_simple::call(const FB::VariantList& args) {
  return invoke(role_call, args);
}

void jskey_funchost_simple::call_async(const FB::VariantList& args) {
  invoke_async(role_call, args);
}

FB::variant jskey_funchost_simple::apply(const FB::VariantList& args) {
  return invoke(role_apply, args);
}

void jskey_funchost_simple::apply_async(const FB::VariantList& args) {
  invoke_async(role_apply, args);
}

FB::variant jskey_funchost_simple::release(const FB::VariantList& args) {
  return invoke(role_release, args);
}

void jskey_funchost_simple::release_async(const FB::VariantList& args) {
  invoke_async(role_release, args);
}

}  // namespace vocle
