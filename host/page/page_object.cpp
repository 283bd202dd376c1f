#include "host/page/page_object.h"

#include <cstring>
#include <string>

#include "host/core/host_core.h"
#include "host/core/variants.h"
#include "host/page/duk_text.h"
#include "host/page/page_runtime.h"
#include "host/page/script_values.h"

namespace host {

namespace {

const char* const k_tag = DUK_HIDDEN_SYMBOL("vocle_page_object");
// An array longer than this is refused rather than listed name by name.
const duk_size_t k_max_listed = 1u << 24;

// Tags a script object with its page object's id; a frozen or sealed object refuses, and then
// simply crosses as a new page object each time.
duk_ret_t tag_object(duk_context* ctx, void*) {
  // [ object id ]
  duk_put_prop_string(ctx, -2, k_tag);
  return 0;
}

struct unlink_request {
  std::uint32_t id;
};

duk_ret_t delete_entry(duk_context* ctx, void* udata) {
  const auto* request = static_cast<const unlink_request*>(udata);
  duk_push_global_stash(ctx);
  duk_get_prop_string(ctx, -1, "objects");
  duk_del_prop_index(ctx, -1, request->id);
  return 0;
}

void push_key(duk_context* ctx, const char* name) {
  const std::string key = utf8_to_duk_text(name, std::strlen(name));
  duk_push_lstring(ctx, key.data(), key.size());
}

}  // namespace

page_object::page_object(page_runtime& rt)
    : host_object(rt.core().objects()), m_runtime(rt), m_id(rt.add_page_object(this)) {}

page_object::~page_object() {
  if (!detached()) {
    unlink();
  }
}

page_object* page_object::of(page_runtime& rt, duk_idx_t idx) {
  duk_context* ctx = rt.context();
  idx = duk_normalize_index(ctx, idx);
  duk_get_prop_string(ctx, idx, k_tag);
  if (duk_is_number(ctx, -1)) {
    page_object* known = rt.find_page_object(static_cast<std::uint32_t>(duk_get_number(ctx, -1)));
    if (known != nullptr && !known->detached()) {
      duk_pop(ctx);
      known->retain();
      return known;
    }
  }
  duk_pop(ctx);
  auto* object = new page_object(rt);
  try {
    rt.push_stashed("objects");
    duk_dup(ctx, idx);
    duk_put_prop_index(ctx, -2, object->m_id);
    duk_pop(ctx);
  } catch (...) {
    object->release();
    throw;  // a script error keeps unwinding as Duktape's own
  }
  duk_dup(ctx, idx);
  duk_push_number(ctx, object->m_id);
  duk_safe_call(ctx, &tag_object, nullptr, 2, 1);
  duk_pop(ctx);
  return object;
}

void page_object::push() const {
  m_runtime.push_stashed("objects");
  duk_get_prop_index(m_runtime.context(), -1, m_id);
  duk_remove(m_runtime.context(), -2);
}

void page_object::unlink() {
  m_runtime.forget_page_object(m_id);
  unlink_request request{m_id};
  duk_context* ctx = m_runtime.context();
  if (ctx != nullptr) {
    duk_safe_call(ctx, &delete_entry, &request, 0, 1);
    duk_pop(ctx);
  }
}

void page_object::on_detach() {
  unlink();
}

bool page_object::has_method(const char* name) {
  bool callable = false;
  m_runtime.run_page_code(
      [&](duk_context* ctx) {
        push();
        push_key(ctx, name);
        duk_get_prop(ctx, -2);
        callable = duk_is_callable(ctx, -1) != 0;
      },
      nullptr);
  return callable;
}

bool page_object::call(const char* name, const vh_variant* args, uint32_t count,
                       vh_variant* result) {
  if (m_runtime.ended()) {
    return fail(result, "the page has ended");
  }
  bool callable = true;
  vh_variant value = void_variant();
  std::string error;
  const bool ok = m_runtime.run_page_code(
      [&](duk_context* ctx) {
        push();
        const duk_idx_t self = duk_get_top_index(ctx);
        if (name != nullptr) {
          push_key(ctx, name);
          duk_get_prop(ctx, self);
        } else {
          duk_dup(ctx, self);
        }
        if (!duk_is_callable(ctx, -1)) {
          callable = false;
          return;
        }
        if (name != nullptr) {
          duk_dup(ctx, self);  // this: the object
        } else {
          duk_push_undefined(ctx);
        }
        duk_require_stack(ctx, static_cast<duk_idx_t>(count) + 1);
        for (uint32_t i = 0; i < count; ++i) {
          script_values::push(m_runtime, args[i]);
        }
        duk_call_method(ctx, static_cast<duk_idx_t>(count));
        value = script_values::to_host(m_runtime, -1);
      },
      &error);
  if (!ok) {
    release_variant(&value);
    return fail(result, error);
  }
  if (!callable) {
    return fail(result, name != nullptr ? std::string(name) + " is not a function"
                                        : std::string("the object is not a function"));
  }
  if (result != nullptr) {
    *result = value;
  } else {
    release_variant(&value);
  }
  return true;
}

bool page_object::invoke(const char* name, const vh_variant* args, uint32_t count,
                         vh_variant* result) {
  return call(name, args, count, result);
}

bool page_object::invoke_default(const vh_variant* args, uint32_t count, vh_variant* result) {
  return call(nullptr, args, count, result);
}

bool page_object::has_property(const char* name) {
  bool has = false;
  m_runtime.run_page_code(
      [&](duk_context* ctx) {
        push();
        push_key(ctx, name);
        has = duk_has_prop(ctx, -2) != 0;
      },
      nullptr);
  return has;
}

bool page_object::get_property(const char* name, vh_variant* result) {
  vh_variant value = void_variant();
  std::string error;
  if (!m_runtime.run_page_code(
          [&](duk_context* ctx) {
            push();
            push_key(ctx, name);
            duk_get_prop(ctx, -2);
            value = script_values::to_host(m_runtime, -1);
          },
          &error)) {
    release_variant(&value);
    return fail(result, error);
  }
  if (result != nullptr) {
    *result = value;
  } else {
    release_variant(&value);
  }
  return true;
}

bool page_object::set_property(const char* name, const vh_variant* value, vh_variant* error) {
  std::string reason;
  if (!m_runtime.run_page_code(
          [&](duk_context* ctx) {
            push();
            push_key(ctx, name);
            script_values::push(m_runtime, *value);
            duk_put_prop(ctx, -3);
          },
          &reason)) {
    return fail(error, reason);
  }
  return true;
}

bool page_object::enumerate(std::vector<std::string>* names) {
  names->clear();
  std::string error;
  return m_runtime.run_page_code(
      [&](duk_context* ctx) {
        push();
        if (duk_is_array(ctx, -1)) {
          const duk_size_t length = duk_get_length(ctx, -1);
          if (length > k_max_listed) {
            m_runtime.throw_error("RangeError", "the array is too long to list");
          }
          names->reserve(length);
          for (duk_size_t i = 0; i < length; ++i) {
            names->push_back(std::to_string(i));
          }
          return;
        }
        m_runtime.push_stashed("keys");
        duk_push_undefined(ctx);
        duk_dup(ctx, -3);
        duk_call_method(ctx, 1);
        const duk_size_t length = duk_get_length(ctx, -1);
        for (duk_size_t i = 0; i < length; ++i) {
          duk_get_prop_index(ctx, -1, static_cast<duk_uarridx_t>(i));
          names->push_back(script_values::text(ctx, -1));
          duk_pop(ctx);
        }
      },
      &error);
}

}  // namespace host
