#include "framework/BrowserHost.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>

#include <boost/make_shared.hpp>

#include "framework/JSAPIHandle.h"
#include "framework/host_value.h"
#include "framework/logging.h"
#include "framework/main_thread_call.h"
#include "framework/script_error.h"

namespace FB {
namespace {

const char kPageClosed[] = "the page has closed";

void log_line(Log::LogLevel level, const std::string& message, int line, const char* fn) {
  Log::write(level, message, __FILE__, line, fn);
}

}  // namespace

// A queued call. It holds the host weakly: a call that outlives the page's host is only freed.
struct BrowserHost::scheduled_call {
  boost::weak_ptr<BrowserHost> host;
  boost::function<void()> f;
};

void BrowserHost::run_scheduled(void* data, bool run) {
  // The host calls this from C: nothing may leave it.
  try {
    std::unique_ptr<scheduled_call> call(static_cast<scheduled_call*>(data));
    if (!run) {
      return;
    }
    BrowserHostPtr host = call->host.lock();
    if (!host || host->isShutDown()) {
      return;
    }
    try {
      call->f();
    } catch (const std::exception& e) {
      log_line(Log::LogLevel_Warn, std::string("queued call failed: ") + e.what(), __LINE__,
               __func__);
    }
  } catch (...) {
    // A destructor of what the call held, or the log line, failed: nothing to report it to.
  }
}

BrowserHost::BrowserHost(const vh_browser_funcs* funcs, vh_instance* instance)
    : m_funcs(funcs), m_instance(instance) {}

BrowserHost::~BrowserHost() {}

DOMWindowPtr BrowserHost::getDOMWindow() {
  vh_object* window =
      detail::call_on_main<vh_object*>(*this, [this]() { return m_funcs->get_window(m_instance); });
  if (!window) {
    throw script_error("the page has no window");
  }
  try {
    return boost::make_shared<DOMWindow>(shared_from_this(), window);
  } catch (...) {
    // DOMWindow did not take the reference over. Releasing needs the main thread; from any other
    // the reference is left to the host, which frees the page's objects itself.
    if (isMainThread()) {
      window->cls->release(window);
    }
    throw;
  }
}

bool BrowserHost::isMainThread() const {
  return m_funcs->is_main_thread();
}

bool BrowserHost::ScheduleOnMainThread(const boost::function<void()>& f) {
  std::lock_guard<std::recursive_mutex> gate(m_schedule_mutex);
  if (isShutDown()) {
    return false;
  }
  std::unique_ptr<scheduled_call> call(new scheduled_call{weak_from_this(), f});
  if (!m_funcs->schedule(m_instance, &BrowserHost::run_scheduled, call.get())) {
    return false;  // the host did not take it: freed here
  }
  call.release();  // the host's now: it calls run_scheduled exactly once
  return true;
}

void BrowserHost::CallOnMainThread(const boost::function<void()>& f) {
  if (isMainThread()) {
    if (isShutDown()) {
      throw script_error(kPageClosed);
    }
    f();
    return;
  }
  // The waiter's state is shared with the queued call: a call dropped by the host, or one that
  // runs after the waiter has given up, only touches this.
  struct call_state {
    bool done = false;     // f has run
    bool dropped = false;  // the queued call is gone, run or not
    std::exception_ptr error;
  };
  // Goes with the last copy of the queued call. A call the host frees without running it (the
  // page is going) thus ends the wait at once instead of at shutdown().
  struct drop_notice {
    boost::weak_ptr<BrowserHost> host;
    boost::shared_ptr<call_state> state;
    ~drop_notice() {
      // The host is alive while its waiter waits; when it has gone there is nobody to tell.
      if (BrowserHostPtr alive = host.lock()) {
        std::lock_guard<std::mutex> lock(alive->m_mutex);
        state->dropped = true;
        alive->m_changed.notify_all();
      }
    }
  };
  boost::shared_ptr<call_state> state = boost::make_shared<call_state>();
  boost::shared_ptr<drop_notice> notice(new drop_notice{weak_from_this(), state});
  // Raw this: the call runs only through run_scheduled, which holds this host while it runs.
  bool queued = ScheduleOnMainThread([this, state, notice, f]() {
    try {
      f();
    } catch (...) {
      state->error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    state->done = true;
    m_changed.notify_all();
  });
  notice.reset();  // the queued call holds the only copies now
  if (!queued) {
    throw script_error(kPageClosed);
  }
  std::unique_lock<std::mutex> lock(m_mutex);
  // shutdown() wakes this too: a closing page runs no more queued calls, so the wait would
  // never end.
  m_changed.wait(lock, [&]() { return state->done || state->dropped || m_shut_down; });
  if (!state->done) {
    throw script_error(kPageClosed);
  }
  // Taken out, so the exception goes with this thread's last use of it, not with the queued
  // call, which the main thread frees.
  std::exception_ptr error = std::move(state->error);
  state->error = nullptr;
  lock.unlock();
  if (error) {
    std::rethrow_exception(error);
  }
}

void BrowserHost::retainJSAPIPtr(const JSAPIPtr& api) {
  if (!api) {
    return;
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  if (std::find(m_retained.begin(), m_retained.end(), api) == m_retained.end()) {
    m_retained.push_back(api);
  }
}

void BrowserHost::releaseJSAPIPtr(const JSAPIPtr& api) {
  JSAPIPtr dropped;  // destroyed after the lock is released
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<JSAPIPtr>::iterator found = std::find(m_retained.begin(), m_retained.end(), api);
  if (found != m_retained.end()) {
    dropped = *found;
    m_retained.erase(found);
  }
}

void BrowserHost::freeRetainedObjects() {
  std::vector<JSAPIPtr> dropped;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    dropped.swap(m_retained);
  }
  // The objects go here, outside the lock: their destructors release page objects, which asks
  // this host whether the page is still there.
}

void BrowserHost::shutdown() {
  std::lock_guard<std::recursive_mutex> gate(m_schedule_mutex);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_shut_down = true;
  m_changed.notify_all();
}

bool BrowserHost::isShutDown() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_shut_down;
}

variant BrowserHost::toVariant(const vh_variant& value) {
  switch (value.type) {
    case VH_VOID:
      return variant();
    case VH_NULL:
      return variant(FBNull());
    case VH_BOOL:
      return variant(value.value.b);
    case VH_INT32:
      return variant(value.value.i);
    case VH_DOUBLE:
      return variant(value.value.d);
    case VH_STRING:
      if (!value.value.s.utf8) {
        return variant(std::string());
      }
      return variant(std::string(value.value.s.utf8, value.value.s.length));
    case VH_OBJECT: {
      vh_object* object = value.value.object;
      if (!object) {
        return variant(FBNull());
      }
      // The value is borrowed: the JSObject takes a reference of its own.
      object->cls->retain(object);
      try {
        return variant(JSObjectPtr(boost::make_shared<JSObject>(shared_from_this(), object)));
      } catch (...) {
        object->cls->release(object);
        throw;
      }
    }
  }
  throw script_error("the page passed a value of unknown type " + std::to_string(value.type));
}

namespace {

vh_variant number_value(double d) {
  vh_variant value = detail::void_value();
  value.type = VH_DOUBLE;
  value.value.d = d;
  return value;
}

vh_variant int_value(std::int64_t i) {
  if (i < std::numeric_limits<std::int32_t>::min() ||
      i > std::numeric_limits<std::int32_t>::max()) {
    return number_value(static_cast<double>(i));
  }
  vh_variant value = detail::void_value();
  value.type = VH_INT32;
  value.value.i = static_cast<std::int32_t>(i);
  return value;
}

}  // namespace

vh_variant BrowserHost::toHostValue(const variant& value) {
  vh_variant out = detail::void_value();
  switch (value.kind()) {
    case variant::k_empty:
      return out;
    case variant::k_null:
      out.type = VH_NULL;
      return out;
    case variant::k_bool:
      out.type = VH_BOOL;
      out.value.b = value.convert_cast<bool>();
      return out;
    case variant::k_int:
      return int_value(value.convert_cast<std::int64_t>());
    case variant::k_uint: {
      std::uint64_t u = value.convert_cast<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        return number_value(static_cast<double>(u));
      }
      return int_value(static_cast<std::int64_t>(u));
    }
    case variant::k_double:
      return number_value(value.convert_cast<double>());
    case variant::k_string:
      // A record's text can be hundreds of megabytes: copied once, into the page's value.
      return detail::string_value(value.str());
    case variant::k_list:
    case variant::k_map: {
      const bool is_list = value.kind() == variant::k_list;
      vh_object* made = is_list ? m_funcs->new_array(m_instance) : m_funcs->new_object(m_instance);
      if (!made) {
        throw script_error(is_list ? "the page could not make an array"
                                   : "the page could not make an object");
      }
      out.type = VH_OBJECT;
      out.value.object = made;
      detail::host_value result(m_funcs, out);
      auto put = [&](const std::string& name, const variant& element) {
        detail::host_value item(m_funcs, toHostValue(element));
        detail::host_value error(m_funcs);
        if (!made->cls->set_property(made, name.c_str(), &item.value(), error.out())) {
          throw script_error(detail::text_of(error.value(), "the page refused the member " + name));
        }
      };
      if (is_list) {
        const VariantList& list = value.list();
        for (std::size_t i = 0; i < list.size(); ++i) {
          put(std::to_string(i), list[i]);
        }
      } else {
        for (const auto& member : value.map()) {
          put(member.first, member.second);
        }
      }
      return result.release();
    }
    case variant::k_object: {
      vh_object* object = value.object()->handle();
      object->cls->retain(object);
      out.type = VH_OBJECT;
      out.value.object = object;
      return out;
    }
  }
  throw script_error(std::string("a value of kind ") + value.kind_name() +
                     " has no counterpart in the page");
}

vh_object* BrowserHost::scriptableHandle(const JSAPIPtr& api) {
  return JSAPIHandle::create(shared_from_this(), api);
}

std::string DOMWindow::getLocation() {
  BrowserHostPtr host = getHost();
  return detail::call_on_main<std::string>(*host, [this]() {
    variant location = GetProperty("location");
    if (location.kind() != variant::k_object) {
      throw script_error("the page's window has no location");
    }
    variant href = location.object()->GetProperty("href");
    if (href.kind() != variant::k_string) {
      throw script_error("the page's location has no address");
    }
    return href.convert_cast<std::string>();
  });
}

}  // namespace FB
