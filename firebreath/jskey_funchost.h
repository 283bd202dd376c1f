// A key host whose methods are called by name: the names come from "js.call_function",
// "js.apply_function" and "js.release_function", looked up at every call, so the page's host
// object is asked afresh each time.
#pragma once

#include "core/foundation/keys.h"
#include "firebreath/jskey_funchost_base.h"

namespace vocle {

class jskey_funchost : public jskey_funchost_base {
 public:
  explicit jskey_funchost(const FB::JSObjectPtr& host);

  // Synchronous: fail with FB::script_error when there is no host or the page's method fails.
  FB::variant call(const FB::VariantList& args) override;
  FB::variant apply(const FB::VariantList& args) override;
  FB::variant release(const FB::VariantList& args) override;
  // Queued: never throw; without a host the call is logged and dropped.
  void call_async(const FB::VariantList& args) override;
  void apply_async(const FB::VariantList& args) override;
  void release_async(const FB::VariantList& args) override;

 private:
  // name: the key that names the host's method.
  FB::variant invoke(const keys::string_key& name, const FB::VariantList& args);
  void invoke_async(const keys::string_key& name, const FB::VariantList& args);
};

}  // namespace vocle
