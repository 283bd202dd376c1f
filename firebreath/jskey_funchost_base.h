// A page object that holds callbacks on the page's side under keys of the page's own: results
// go to it together with the key, and it is told when the plug-in drops a key.
#pragma once

#include <boost/shared_ptr.hpp>

#include "framework/JSObject.h"
#include "framework/variant.h"

namespace vocle {

class jskey_funchost_base {
 public:
  explicit jskey_funchost_base(const FB::JSObjectPtr& host);
  virtual ~jskey_funchost_base();

  // Safe from any thread.
  virtual FB::JSObjectPtr get_host();
  virtual void set_host(const FB::JSObjectPtr& host);

  // Synchronous operations wait for the page's result; the _async ones only queue the call.
  virtual FB::variant call(const FB::VariantList& args) = 0;
  virtual void call_async(const FB::VariantList& args) = 0;
  virtual FB::variant apply(const FB::VariantList& args) = 0;
  virtual void apply_async(const FB::VariantList& args) = 0;
  virtual FB::variant release(const FB::VariantList& args) = 0;
  virtual void release_async(const FB::VariantList& args) = 0;

 protected:
  // Read and written through get_host / set_host (atomically): a worker may deliver while the
  // page's thread replaces the host.
  FB::JSObjectPtr m_host;
};

typedef boost::shared_ptr<jskey_funchost_base> jskey_funchost_ptr;

}  // namespace vocle
