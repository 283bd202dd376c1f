#include "host/page/plugin_proxy.h"

#include <cstdlib>
#include <string>

#include "host/core/host_core.h"
#include "host/core/variant_list.h"
#include "host/core/variants.h"
#include "host/page/duk_text.h"
#include "host/page/page_runtime.h"
#include "host/page/script_values.h"

namespace host {

namespace {

const char* const k_id = DUK_HIDDEN_SYMBOL("vocle_plugin_object");
const char* const k_methods = DUK_HIDDEN_SYMBOL("vocle_methods");
const char* const k_name = DUK_HIDDEN_SYMBOL("vocle_method");

std::uint64_t id_at(duk_context* ctx, duk_idx_t idx) {
  duk_get_prop_string(ctx, idx, k_id);
  const double id = duk_is_number(ctx, -1) ? duk_get_number(ctx, -1) : 0;
  duk_pop(ctx);
  return id >= 1 ? static_cast<std::uint64_t>(id) : 0;
}

// The library's object behind the proxy target at idx; throws when the host has let it go.
vh_object* object_at(page_runtime& rt, duk_idx_t idx) {
  vh_object* object = rt.core().objects().plugin_object(id_at(rt.context(), idx));
  if (object == nullptr) {
    rt.throw_error("Error", "the plug-in object is gone");
  }
  return object;
}

// A failed call's error: the library's text, or a text of ours when it gave none.
[[noreturn]] void throw_failure(page_runtime& rt, vh_variant& reason, const std::string& fallback) {
  const std::string text = variant_text(reason, fallback);
  release_variant(&reason);
  rt.throw_error("Error", text);
}

}  // namespace

void plugin_proxy::push_handler(duk_context* ctx) {
  duk_push_object(ctx);
  duk_push_c_function(ctx, &plugin_proxy::trap_get, 3);
  duk_put_prop_string(ctx, -2, "get");
  duk_push_c_function(ctx, &plugin_proxy::trap_set, 4);
  duk_put_prop_string(ctx, -2, "set");
  duk_push_c_function(ctx, &plugin_proxy::trap_has, 2);
  duk_put_prop_string(ctx, -2, "has");
  duk_push_c_function(ctx, &plugin_proxy::trap_own_keys, 1);
  duk_put_prop_string(ctx, -2, "ownKeys");
}

void plugin_proxy::push(page_runtime& rt, std::uint64_t id) {
  duk_context* ctx = rt.context();
  duk_push_object(ctx);
  duk_push_number(ctx, static_cast<double>(id));
  duk_put_prop_string(ctx, -2, k_id);
  duk_push_object(ctx);
  duk_put_prop_string(ctx, -2, k_methods);
  duk_push_c_function(ctx, &plugin_proxy::finalize, 2);
  duk_set_finalizer(ctx, -2);
  rt.push_stashed("handler");
  duk_push_proxy(ctx, 0);
}

std::uint64_t plugin_proxy::id_of(duk_context* ctx, duk_idx_t idx) {
  if (!duk_is_object(ctx, idx)) {
    return 0;
  }
  // Hidden symbols never reach a proxy's traps: this reads the target.
  return id_at(ctx, idx);
}

duk_ret_t plugin_proxy::trap_get(duk_context* ctx) {
  // [ target key receiver ]
  if (!duk_is_string(ctx, 1) || duk_is_symbol(ctx, 1)) {
    duk_dup(ctx, 1);
    duk_get_prop(ctx, 0);
    return 1;
  }
  page_runtime& rt = page_runtime::of(ctx);
  vh_object* object = object_at(rt, 0);
  const std::string name = script_values::text(ctx, 1);
  if (object->cls->has_method(object, name.c_str())) {
    duk_get_prop_string(ctx, 0, k_methods);
    duk_dup(ctx, 1);
    duk_get_prop(ctx, -2);
    if (duk_is_function(ctx, -1)) {
      return 1;
    }
    duk_pop(ctx);
    duk_push_c_function(ctx, &plugin_proxy::call_method, DUK_VARARGS);
    duk_get_prop_string(ctx, 0, k_id);
    duk_put_prop_string(ctx, -2, k_id);
    duk_dup(ctx, 1);
    duk_put_prop_string(ctx, -2, k_name);
    duk_dup(ctx, 1);
    duk_dup(ctx, -2);
    duk_put_prop(ctx, -4);  // cached on the target
    return 1;
  }
  variant_list result(1);
  if (!object->cls->get_property(object, name.c_str(), &result[0])) {
    throw_failure(rt, result[0], "cannot read the plug-in's " + name);
  }
  script_values::push(rt, result[0]);
  return 1;
}

duk_ret_t plugin_proxy::trap_set(duk_context* ctx) {
  // [ target key value receiver ]
  if (!duk_is_string(ctx, 1) || duk_is_symbol(ctx, 1)) {
    duk_dup(ctx, 1);
    duk_dup(ctx, 2);
    duk_put_prop(ctx, 0);
    duk_push_true(ctx);
    return 1;
  }
  page_runtime& rt = page_runtime::of(ctx);
  vh_object* object = object_at(rt, 0);
  const std::string name = script_values::text(ctx, 1);
  variant_list value;
  value.push_back(script_values::to_host(rt, 2));
  variant_list error(1);
  if (!object->cls->set_property(object, name.c_str(), &value[0], &error[0])) {
    throw_failure(rt, error[0], "cannot set the plug-in's " + name);
  }
  duk_push_true(ctx);
  return 1;
}

duk_ret_t plugin_proxy::trap_has(duk_context* ctx) {
  // [ target key ]
  if (!duk_is_string(ctx, 1) || duk_is_symbol(ctx, 1)) {
    duk_dup(ctx, 1);
    duk_push_boolean(ctx, duk_has_prop(ctx, 0));
    return 1;
  }
  page_runtime& rt = page_runtime::of(ctx);
  vh_object* object = object_at(rt, 0);
  const std::string name = script_values::text(ctx, 1);
  duk_push_boolean(ctx, object->cls->has_method(object, name.c_str()) ||
                            object->cls->has_property(object, name.c_str()));
  return 1;
}

duk_ret_t plugin_proxy::trap_own_keys(duk_context* ctx) {
  // [ target ]
  page_runtime& rt = page_runtime::of(ctx);
  vh_object* object = object_at(rt, 0);
  char** names = nullptr;
  uint32_t count = 0;
  if (!object->cls->enumerate(object, &names, &count)) {
    rt.throw_error("Error", "the plug-in object cannot list its members");
  }
  std::vector<std::string> list;
  try {
    list.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      list.emplace_back(names[i] ? names[i] : "");
    }
  } catch (...) {
    for (uint32_t i = 0; i < count; ++i) {
      std::free(names[i]);
    }
    std::free(names);
    throw;
  }
  for (uint32_t i = 0; i < count; ++i) {
    std::free(names[i]);
  }
  std::free(names);
  duk_push_array(ctx);
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::string key = utf8_to_duk_text(list[i].data(), list[i].size());
    duk_push_lstring(ctx, key.data(), key.size());
    duk_push_true(ctx);
    duk_def_prop(ctx, 0,
                 DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_SET_ENUMERABLE | DUK_DEFPROP_SET_WRITABLE |
                     DUK_DEFPROP_SET_CONFIGURABLE);
    duk_push_lstring(ctx, key.data(), key.size());
    duk_put_prop_index(ctx, -2, static_cast<duk_uarridx_t>(i));
  }
  return 1;
}

duk_ret_t plugin_proxy::call_method(duk_context* ctx) {
  page_runtime& rt = page_runtime::of(ctx);
  const duk_idx_t count = duk_get_top(ctx);
  duk_push_current_function(ctx);
  const duk_idx_t self = duk_get_top_index(ctx);
  vh_object* object = object_at(rt, self);
  duk_get_prop_string(ctx, self, k_name);
  const std::string name = script_values::text(ctx, -1);
  duk_pop(ctx);
  variant_list args;
  for (duk_idx_t i = 0; i < count; ++i) {
    args.push_back(script_values::to_host(rt, i));
  }
  variant_list result(1);
  if (!object->cls->invoke(object, name.c_str(), args.data(), static_cast<uint32_t>(count),
                           &result[0])) {
    throw_failure(rt, result[0], "the plug-in's " + name + " failed");
  }
  script_values::push(rt, result[0]);
  return 1;
}

duk_ret_t plugin_proxy::finalize(duk_context* ctx) {
  // [ target heap_destruction ]
  const std::uint64_t id = id_at(ctx, 0);
  if (id == 0) {
    return 0;
  }
  page_runtime& rt = page_runtime::of(ctx);
  object_table* objects = &rt.core().objects();
  // Finalizers run inside whatever Duktape is doing, maybe inside a call of the library: the
  // release waits for a turn of its own. A closed loop means the host has let go already.
  rt.core().loop().post([objects, id] { objects->drop(id); });
  return 0;
}

}  // namespace host
