#include "host/page/script_values.h"

#include <cmath>
#include <cstdint>

#include "host/core/host_core.h"
#include "host/core/host_object.h"
#include "host/core/variants.h"
#include "host/page/duk_text.h"
#include "host/page/page_object.h"
#include "host/page/page_runtime.h"
#include "host/page/plugin_proxy.h"

namespace host {

std::string script_values::text(duk_context* ctx, duk_idx_t idx) {
  duk_size_t length = 0;
  const char* bytes = duk_get_lstring(ctx, idx, &length);
  return bytes ? duk_text_to_utf8(bytes, length) : std::string();
}

vh_variant script_values::to_host(page_runtime& rt, duk_idx_t idx) {
  duk_context* ctx = rt.context();
  idx = duk_normalize_index(ctx, idx);
  vh_variant value = void_variant();
  switch (duk_get_type(ctx, idx)) {
    case DUK_TYPE_NONE:
    case DUK_TYPE_UNDEFINED:
      return value;
    case DUK_TYPE_NULL:
      value.type = VH_NULL;
      return value;
    case DUK_TYPE_BOOLEAN:
      value.type = VH_BOOL;
      value.value.b = duk_get_boolean(ctx, idx) != 0;
      return value;
    case DUK_TYPE_NUMBER: {
      const double number = duk_get_number(ctx, idx);
      if (number >= INT32_MIN && number <= INT32_MAX && number == std::trunc(number)) {
        value.type = VH_INT32;
        value.value.i = static_cast<int32_t>(number);
      } else {
        value.type = VH_DOUBLE;
        value.value.d = number;
      }
      return value;
    }
    case DUK_TYPE_STRING:
      if (duk_is_symbol(ctx, idx)) {
        rt.throw_error("TypeError", "a Symbol cannot be passed to the plug-in");
      }
      return string_variant(text(ctx, idx));
    case DUK_TYPE_OBJECT: {
      const std::uint64_t id = plugin_proxy::id_of(ctx, idx);
      if (id != 0) {
        vh_object* object = rt.core().objects().plugin_object(id);
        if (object == nullptr) {
          rt.throw_error("Error", "the plug-in object is gone");
        }
        return object_variant(object);
      }
      value.type = VH_OBJECT;
      value.value.object = page_object::of(rt, idx)->handle();
      return value;
    }
    default: {
      // A plain buffer, a pointer or a lightweight function: as its object.
      duk_dup(ctx, idx);
      duk_to_object(ctx, -1);
      value.type = VH_OBJECT;
      value.value.object = page_object::of(rt, -1)->handle();
      duk_pop(ctx);
      return value;
    }
  }
}

void script_values::push(page_runtime& rt, const vh_variant& value) {
  duk_context* ctx = rt.context();
  switch (value.type) {
    case VH_VOID:
      duk_push_undefined(ctx);
      return;
    case VH_NULL:
      duk_push_null(ctx);
      return;
    case VH_BOOL:
      duk_push_boolean(ctx, value.value.b ? 1 : 0);
      return;
    case VH_INT32:
      duk_push_int(ctx, value.value.i);
      return;
    case VH_DOUBLE:
      duk_push_number(ctx, value.value.d);
      return;
    case VH_STRING: {
      const std::string text =
          value.value.s.utf8 ? utf8_to_duk_text(value.value.s.utf8, value.value.s.length) : "";
      duk_push_lstring(ctx, text.data(), text.size());
      return;
    }
    case VH_OBJECT: {
      vh_object* object = value.value.object;
      if (object == nullptr) {
        duk_push_null(ctx);
        return;
      }
      host_object* mine = host_object::from_handle(object);
      if (mine != nullptr) {
        auto* page = dynamic_cast<page_object*>(mine);
        if (page != nullptr && &page->runtime() == &rt && !page->detached()) {
          page->push();
        } else {
          duk_push_undefined(ctx);  // an object of a page that has gone
        }
        return;
      }
      if (object == rt.plugin_object()) {
        rt.push_stashed("plugin");
        return;
      }
      object->cls->retain(object);
      plugin_proxy::push(rt, rt.core().objects().hold(object));
      return;
    }
  }
  duk_push_undefined(ctx);
}

}  // namespace host
