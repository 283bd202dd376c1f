#include "firebreath/js_function.h"

#include "framework/script_error.h"

namespace vocle {

js_function::js_function(const FB::JSObjectPtr& f) : m_function(f) {
  if (!m_function) {
    throw FB::script_error("js_function needs a function object");
  }
}

FB::variant js_function::call(const FB::VariantList& args) {
  return m_function->Invoke("", args);
}

void js_function::call_async(const FB::VariantList& args) {
  m_function->InvokeAsync("", args);
}

}  // namespace vocle
