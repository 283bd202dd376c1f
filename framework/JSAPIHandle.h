// The handle the page holds for one of the plug-in's script objects.
//
// It holds the object weakly: the plug-in owns its script objects (the page's host retains them,
// see BrowserHost::retainJSAPIPtr), and once one has gone, or the page's host has, every call
// the page makes through the handle fails with a script error. The handle itself lives as long
// as the page holds a reference to it. Every call arrives on the page's main thread.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include "framework/JSAPI.h"
#include "framework/host_interface.h"

namespace FB {

class BrowserHost;
typedef boost::shared_ptr<BrowserHost> BrowserHostPtr;

class JSAPIHandle {
 public:
  // A new handle over api with one reference for the caller.
  static vh_object* create(const BrowserHostPtr& host, const JSAPIPtr& api);
  // vh_plugin_funcs.property_revision: false for an object that is not such a handle, and when
  // the object or the page has gone.
  static bool property_revision(vh_object* object, const char* name, uint64_t* revision);

  JSAPIHandle(const JSAPIHandle&) = delete;
  JSAPIHandle& operator=(const JSAPIHandle&) = delete;

 private:
  // What the page holds: standard layout, so the page's vh_object* is the node's address.
  struct node {
    vh_object base;
    JSAPIHandle* owner;
  };

  JSAPIHandle(const BrowserHostPtr& host, const JSAPIPtr& api);
  static JSAPIHandle* of(vh_object* object);

  // The class table: each entry catches everything, no exception reaches the host.
  static void retain(vh_object* object);
  static void release(vh_object* object);
  static bool has_method(vh_object* object, const char* name);
  static bool invoke(vh_object* object, const char* name, const vh_variant* args, uint32_t count,
                     vh_variant* result);
  static bool invoke_default(vh_object* object, const vh_variant* args, uint32_t count,
                             vh_variant* result);
  static bool has_property(vh_object* object, const char* name);
  static bool get_property(vh_object* object, const char* name, vh_variant* result);
  static bool set_property(vh_object* object, const char* name, const vh_variant* value,
                           vh_variant* error);
  static bool enumerate(vh_object* object, char*** names, uint32_t* count);
  static const vh_class s_class;

  // Runs call with the live object and host; false, with the reason in *reason, when either has
  // gone or the call throws.
  template <class F>
  static bool dispatch(vh_object* object, vh_variant* reason, F call);

  node m_node;
  std::uint32_t m_references = 1;
  boost::weak_ptr<BrowserHost> m_host;
  JSAPIWeakPtr m_api;
};

}  // namespace FB
