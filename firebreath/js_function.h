// A page's own function as a callback: the result list becomes its arguments, one each.
#pragma once

#include "core/foundation/function.h"
#include "framework/JSObject.h"
#include "framework/variant.h"

namespace vocle {

class js_function : public function {
 public:
  // f must be a page object; an empty one is refused with FB::script_error.
  explicit js_function(const FB::JSObjectPtr& f);

  // Calls the function itself and waits for its result (marshalled from other threads).
  FB::variant call(const FB::VariantList& args) override;
  // Queues the call for the page's thread and returns at once.
  void call_async(const FB::VariantList& args) override;

 private:
  FB::JSObjectPtr m_function;
};

}  // namespace vocle
