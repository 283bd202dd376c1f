// A page object (a function or any other object of the page's script) held by the plug-in.
//
// Synchronous operations run directly on the page's main thread; from any other thread they are
// marshalled to the main thread and wait for it, and fail with FB::script_error when the page is
// closing (they never wait for a page that will not answer). InvokeAsync only queues the call and
// returns at once; its result and its errors are dropped, and so is the call when the page has
// gone. The last release of a JSObject, from whatever thread, reaches the page on its main thread.
#pragma once

#include <string>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include "framework/host_interface.h"
#include "framework/variant.h"

namespace FB {

class BrowserHost;
typedef boost::shared_ptr<BrowserHost> BrowserHostPtr;

class JSObject : public boost::enable_shared_from_this<JSObject>, private boost::noncopyable {
 public:
  // Takes over one reference of the handle.
  JSObject(const BrowserHostPtr& host, vh_object* object);
  virtual ~JSObject();

  BrowserHostPtr getHost() const { return m_host; }
  // The handle, for the framework's own value conversion. Valid while this object lives.
  vh_object* handle() const { return m_object; }

  bool HasProperty(const std::string& name);
  variant GetProperty(const std::string& name);
  void SetProperty(const std::string& name, const variant& value);
  bool HasMethod(const std::string& name);
  // The object's own enumerable member names, in the page's order.
  std::vector<std::string> getMemberNames();

  // Calls the method; an empty name calls the object itself. A failure in the page throws
  // FB::script_error with the page's message.
  variant Invoke(const std::string& method, const VariantList& args);
  void InvokeAsync(const std::string& method, const VariantList& args);

  // The conversions a method asks for: an array (its "length" and elements "0".."length-1") and
  // the object's own enumerable properties. bad_variant_cast when the object is not one.
  VariantList toVariantList();
  VariantMap toVariantMap();

 private:
  BrowserHostPtr m_host;
  vh_object* m_object;
};

}  // namespace FB
