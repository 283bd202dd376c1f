// The page as the plug-in sees it: its window and location, its main thread, and the script
// objects the plug-in has handed to it.
//
// One BrowserHost per plug-in instance. It outlives nothing: when the page goes, shutdown() is
// called first (before any plug-in object is released), and from then on queued calls are
// dropped, synchronous calls from other threads fail with a script error instead of waiting, and
// releases of page objects are left to the host, which frees the page's objects itself.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include "framework/JSAPI.h"
#include "framework/JSObject.h"
#include "framework/host_interface.h"
#include "framework/variant.h"

namespace FB {

class DOMWindow;
typedef boost::shared_ptr<DOMWindow> DOMWindowPtr;

class BrowserHost : public boost::enable_shared_from_this<BrowserHost>, private boost::noncopyable {
 public:
  BrowserHost(const vh_browser_funcs* funcs, vh_instance* instance);
  ~BrowserHost();

  // The page's window; throws FB::script_error when the host has none.
  DOMWindowPtr getDOMWindow();

  bool isMainThread() const;
  // Queues f onto the main thread, from any thread; false (f dropped) when the page has gone.
  bool ScheduleOnMainThread(const boost::function<void()>& f);
  // Runs f on the main thread and waits for it: directly on the main thread, marshalled from any
  // other. An exception of f is carried back to the caller. Throws FB::script_error when the page
  // is closing or has gone, so no caller waits for a page that will not answer.
  void CallOnMainThread(const boost::function<void()>& f);

  // Keeps a script object of the plug-in alive while the page may still call it.
  void retainJSAPIPtr(const JSAPIPtr& api);
  void releaseJSAPIPtr(const JSAPIPtr& api);
  // Drops every retained script object (the plug-in's destructor calls this).
  void freeRetainedObjects();

  // The page is going: see above. Idempotent; main thread.
  void shutdown();
  bool isShutDown() const;

  // ---- the framework's value conversion (main thread only) ----
  // A host value as a script value: int32 and double as numbers, strings, bool, null, void as
  // empty, a page object as a JSObject (a plug-in object handed back stays a JSObject too).
  variant toVariant(const vh_variant& value);
  // A script value as a host value, owned by the caller: lists become page arrays, maps plain
  // page objects, integers int32 when they fit (else double), a JSObject its own handle.
  vh_variant toHostValue(const variant& value);
  // The handle the page gets for a plug-in script object (retained for the caller).
  vh_object* scriptableHandle(const JSAPIPtr& api);

  const vh_browser_funcs* funcs() const { return m_funcs; }
  vh_instance* instance() const { return m_instance; }

 private:
  struct scheduled_call;
  static void run_scheduled(void* data, bool run);

  const vh_browser_funcs* m_funcs;
  vh_instance* m_instance;
  // Held across the host's schedule call, so that once shutdown() has returned no call into the
  // host for this page is in flight (the host may free the instance right after). Recursive: a
  // call the host refuses is freed at once, and what it held may schedule a release in turn.
  std::recursive_mutex m_schedule_mutex;
  // Guards m_shut_down and m_retained; m_changed wakes the threads waiting in CallOnMainThread.
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_shut_down = false;
  std::vector<JSAPIPtr> m_retained;
};

// The page's window, with the location the plug-in reads at construction.
class DOMWindow : public JSObject {
 public:
  DOMWindow(const BrowserHostPtr& host, vh_object* object) : JSObject(host, object) {}
  // The page's whole address (window.location.href).
  std::string getLocation();
};

}  // namespace FB
