#include "firebreath/jskey_funchost.h"

#include <string>

#include "core/foundation/keys.h"
#include "core/foundation/log.h"
#include "core/foundation/settings.h"
#include "framework/script_error.h"

namespace vocle {

jskey_funchost::jskey_funchost(const FB::JSObjectPtr& host) : jskey_funchost_base(host) {}

FB::variant jskey_funchost::invoke(const keys::string_key& name, const FB::VariantList& args) {
  FB::JSObjectPtr host = get_host();
  if (!host) {
    throw FB::script_error("jskey_funchost host empty");
  }
  return host->Invoke(settings::instance().get(name), args);
}

void jskey_funchost::invoke_async(const keys::string_key& name, const FB::VariantList& args) {
  FB::JSObjectPtr host = get_host();
  if (!host) {
    // A queued call has nobody to report to: the page learns nothing either way.
    VOCLE_LOG_ERROR("jskey_funchost host empty, call of %1% dropped", name.name);
    return;
  }
  host->InvokeAsync(settings::instance().get(name), args);
}

FB::variant jskey_funchost::call(const FB::VariantList& args) {
  return invoke(keys::js_call_function, args);
}

void jskey_funchost::call_async(const FB::VariantList& args) {
  invoke_async(keys::js_call_function, args);
}

FB::variant jskey_funchost::apply(const FB::VariantList& args) {
  return invoke(keys::js_apply_function, args);
}

void jskey_funchost::apply_async(const FB::VariantList& args) {
  invoke_async(keys::js_apply_function, args);
}

FB::variant jskey_funchost::release(const FB::VariantList& args) {
  return invoke(keys::js_release_function, args);
}

void jskey_funchost::release_async(const FB::VariantList& args) {
  invoke_async(keys::js_release_function, args);
}

}  // namespace vocle
