// The library's objects as page script sees them: a Proxy per object, whose traps call it.
//   get      a method (has_method): a function that invokes it (the same function each time);
//            anything else: get_property
//   set      set_property
//   has      has_method or has_property
//   ownKeys  enumerate, in the library's order; each name is also put on the proxy's target,
//            which is where Duktape looks for the enumerability of what ownKeys lists
// A failed call (false) throws an Error with the library's text. Symbol keys stay on the target
// and never reach the library.
//
// The target holds the object's id in the host's object table, not the object: when the proxy
// becomes garbage its finalizer drops the id in a later turn (never inside a running call), and
// once the host has let go of the library's objects a proxy only throws.
#pragma once

#include <cstdint>

#include "duktape.h"

namespace host {

class page_runtime;

class plugin_proxy {
 public:
  // Pushes the handler every proxy shares.
  static void push_handler(duk_context* ctx);
  // Pushes a new proxy for the object held under id in the runtime's object table.
  static void push(page_runtime& rt, std::uint64_t id);
  // The id of the object behind the value at idx, or 0 when it is not such a proxy.
  static std::uint64_t id_of(duk_context* ctx, duk_idx_t idx);

 private:
  static duk_ret_t trap_get(duk_context* ctx);
  static duk_ret_t trap_set(duk_context* ctx);
  static duk_ret_t trap_has(duk_context* ctx);
  static duk_ret_t trap_own_keys(duk_context* ctx);
  static duk_ret_t call_method(duk_context* ctx);
  static duk_ret_t finalize(duk_context* ctx);
};

}  // namespace host
