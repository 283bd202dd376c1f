// Values between Duktape's stack and the host interface.
//
// Into the library: undefined as void, null as null, booleans, numbers as int32 when integral and
// in range (else double), strings as UTF-8, the proxy of a plug-in object as that object, any
// other object (arrays and functions too) as a page object. A Symbol cannot cross (TypeError).
// Out of the library: the reverse; a page object as the very script object it stands for, a
// plug-in object as a new proxy over it.
#pragma once

#include <string>

#include "duktape.h"
#include "framework/host_interface.h"

namespace host {

class page_runtime;

class script_values {
 public:
  // The value at idx as a host value owned by the caller. May throw a script error.
  static vh_variant to_host(page_runtime& rt, duk_idx_t idx);
  // Pushes the script value of a host value (borrowed: the caller still owns it).
  static void push(page_runtime& rt, const vh_variant& value);
  // The string at idx (which must be one) as UTF-8.
  static std::string text(duk_context* ctx, duk_idx_t idx);
};

}  // namespace host
