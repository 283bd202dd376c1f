#include "host/page/page_runtime.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "host/core/host_core.h"
#include "host/page/duk_text.h"
#include "host/page/page_object.h"
#include "host/page/plugin_proxy.h"
#include "host/page/script_values.h"

// Duktape's execution time-out check (DUK_USE_EXEC_TIMEOUT_CHECK in the build's duk_config.h):
// once the page's deadline has passed, running script is interrupted with a RangeError, so a
// script that never returns still ends by the time-out.
extern "C" int vocle_duk_exec_timeout(void* udata) {
  return udata != nullptr && static_cast<host::page_runtime*>(udata)->past_deadline() ? 1 : 0;
}

namespace host {

namespace {

duk_ret_t call_body(duk_context* ctx, void* udata) {
  (*static_cast<const std::function<void(duk_context*)>*>(udata))(ctx);
  return 0;
}

void write_line(FILE* out, const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), out);
  std::fputc('\n', out);
  std::fflush(out);
}

std::string format_seconds(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

}  // namespace

page_runtime::page_runtime(host_core& core, const settings& settings)
    : m_core(core), m_settings(settings) {
  m_ctx = duk_create_heap(nullptr, nullptr, nullptr, this, &page_runtime::fatal);
  if (m_ctx == nullptr) {
    throw std::runtime_error("cannot create the script engine");
  }
  std::string error;
  if (!protect([this](duk_context*) { install_globals(); }, &error)) {
    duk_destroy_heap(m_ctx);
    m_ctx = nullptr;
    throw std::runtime_error("cannot set up the page: " + error);
  }
}

page_runtime::~page_runtime() {
  m_ended = true;
  if (m_ctx == nullptr) {
    return;
  }
  m_core.loop().cancel_timers();
  std::map<std::uint32_t, page_object*> left = m_page_objects;
  for (auto& entry : left) {
    entry.second->detach();
  }
  duk_destroy_heap(m_ctx);
  m_ctx = nullptr;
}

page_runtime& page_runtime::of(duk_context* ctx) {
  duk_memory_functions funcs;
  duk_get_memory_functions(ctx, &funcs);
  return *static_cast<page_runtime*>(funcs.udata);
}

void page_runtime::fatal(void*, const char* message) {
  std::fprintf(stderr, "vocle-page: fatal script engine error: %s\n",
               message ? message : "(no message)");
  std::abort();
}

void page_runtime::install_globals() {
  duk_context* ctx = m_ctx;
  duk_push_global_stash(ctx);
  duk_push_object(ctx);
  duk_put_prop_string(ctx, -2, "objects");
  duk_push_object(ctx);
  duk_put_prop_string(ctx, -2, "timers");
  // The constructors and Object.keys as the page found them, whatever the script redefines.
  duk_push_object(ctx);
  for (const char* kind : {"Error", "TypeError", "RangeError"}) {
    duk_get_global_string(ctx, kind);
    duk_put_prop_string(ctx, -2, kind);
  }
  duk_put_prop_string(ctx, -2, "ctor");
  duk_get_global_string(ctx, "Object");
  duk_get_prop_string(ctx, -1, "keys");
  duk_put_prop_string(ctx, -3, "keys");
  duk_pop(ctx);
  plugin_proxy::push_handler(ctx);
  duk_put_prop_string(ctx, -2, "handler");
  duk_pop(ctx);

  duk_push_global_object(ctx);
  const duk_uint_t fixed = DUK_DEFPROP_HAVE_VALUE | DUK_DEFPROP_CLEAR_WRITABLE |
                           DUK_DEFPROP_SET_ENUMERABLE | DUK_DEFPROP_CLEAR_CONFIGURABLE;
  duk_push_string(ctx, "window");
  duk_push_global_object(ctx);
  duk_def_prop(ctx, -3, fixed);

  duk_push_string(ctx, "location");
  duk_push_object(ctx);
  const std::string href = utf8_to_duk_text(m_settings.url.data(), m_settings.url.size());
  duk_push_lstring(ctx, href.data(), href.size());
  duk_put_prop_string(ctx, -2, "href");
  duk_freeze(ctx, -1);
  duk_def_prop(ctx, -3, fixed);

  duk_push_object(ctx);
  const char* levels[] = {"log", "info", "warn", "error"};
  for (int level = 0; level < 4; ++level) {
    duk_push_c_function(ctx, &page_runtime::js_console, DUK_VARARGS);
    duk_set_magic(ctx, -1, level);
    duk_put_prop_string(ctx, -2, levels[level]);
  }
  duk_put_prop_string(ctx, -2, "console");

  duk_push_c_function(ctx, &page_runtime::js_set_timer, DUK_VARARGS);
  duk_set_magic(ctx, -1, 0);
  duk_put_prop_string(ctx, -2, "setTimeout");
  duk_push_c_function(ctx, &page_runtime::js_set_timer, DUK_VARARGS);
  duk_set_magic(ctx, -1, 1);
  duk_put_prop_string(ctx, -2, "setInterval");
  duk_push_c_function(ctx, &page_runtime::js_clear_timer, 1);
  duk_put_prop_string(ctx, -2, "clearTimeout");
  duk_push_c_function(ctx, &page_runtime::js_clear_timer, 1);
  duk_put_prop_string(ctx, -2, "clearInterval");
  duk_push_c_function(ctx, &page_runtime::js_done, DUK_VARARGS);
  duk_put_prop_string(ctx, -2, "done");

  duk_push_array(ctx);
  for (std::size_t i = 0; i < m_settings.args.size(); ++i) {
    const std::string arg = utf8_to_duk_text(m_settings.args[i].data(), m_settings.args[i].size());
    duk_push_lstring(ctx, arg.data(), arg.size());
    duk_put_prop_index(ctx, -2, static_cast<duk_uarridx_t>(i));
  }
  duk_put_prop_string(ctx, -2, "args");
  duk_pop(ctx);
}

void page_runtime::push_stashed(const char* key) {
  duk_push_global_stash(m_ctx);
  duk_get_prop_string(m_ctx, -1, key);
  duk_remove(m_ctx, -2);
}

bool page_runtime::protect(const std::function<void(duk_context*)>& body, std::string* error) {
  const duk_int_t rc =
      duk_safe_call(m_ctx, &call_body, const_cast<std::function<void(duk_context*)>*>(&body), 0, 1);
  const bool ok = rc == DUK_EXEC_SUCCESS;
  if (!ok && error != nullptr) {
    *error = error_message(-1);
  }
  duk_pop(m_ctx);
  return ok;
}

bool page_runtime::run_page_code(const std::function<void(duk_context*)>& body,
                                 std::string* error) {
  const bool top = m_depth == 0;
  ++m_depth;
  const duk_int_t rc =
      duk_safe_call(m_ctx, &call_body, const_cast<std::function<void(duk_context*)>*>(&body), 0, 1);
  --m_depth;
  const bool ok = rc == DUK_EXEC_SUCCESS;
  if (!ok) {
    if (error != nullptr) {
      *error = error_message(-1);
    }
    if (top) {
      uncaught(-1);
    }
  }
  duk_pop(m_ctx);
  return ok;
}

void page_runtime::throw_error(const char* kind, const std::string& message) {
  push_stashed("ctor");
  duk_get_prop_string(m_ctx, -1, kind);
  duk_remove(m_ctx, -2);
  const std::string text = utf8_to_duk_text(message.data(), message.size());
  duk_push_lstring(m_ctx, text.data(), text.size());
  // Made by the constructor, the error names the script line that called in (duk_error would
  // name this file).
  duk_new(m_ctx, 1);
  duk_throw(m_ctx);
  std::abort();  // not reached: duk_throw unwinds
}

std::string page_runtime::error_message(duk_idx_t idx) {
  idx = duk_normalize_index(m_ctx, idx);
  std::string message;
  const bool ok = protect(
      [&](duk_context* ctx) {
        if (duk_is_object(ctx, idx)) {
          duk_get_prop_string(ctx, idx, "message");
          if (duk_is_string(ctx, -1) && !duk_is_symbol(ctx, -1)) {
            message = script_values::text(ctx, -1);
            return;
          }
          duk_pop(ctx);
        }
        duk_dup(ctx, idx);
        duk_to_string(ctx, -1);
        message = script_values::text(ctx, -1);
      },
      nullptr);
  if (!ok) {
    duk_dup(m_ctx, idx);
    duk_safe_to_string(m_ctx, -1);
    message = script_values::text(m_ctx, -1);
    duk_pop(m_ctx);
  }
  return message;
}

std::string page_runtime::describe_error(duk_idx_t idx) {
  idx = duk_normalize_index(m_ctx, idx);
  std::string report;
  const bool ok = protect(
      [&](duk_context* ctx) {
        std::string file, stack;
        double line = 0;
        if (duk_is_object(ctx, idx)) {
          duk_get_prop_string(ctx, idx, "fileName");
          if (duk_is_string(ctx, -1) && !duk_is_symbol(ctx, -1)) {
            file = script_values::text(ctx, -1);
          }
          duk_get_prop_string(ctx, idx, "lineNumber");
          if (duk_is_number(ctx, -1)) {
            line = duk_get_number(ctx, -1);
          }
          duk_get_prop_string(ctx, idx, "stack");
          if (duk_is_string(ctx, -1) && !duk_is_symbol(ctx, -1)) {
            stack = script_values::text(ctx, -1);
          }
        }
        duk_dup(ctx, idx);
        duk_to_string(ctx, -1);
        const std::string what = script_values::text(ctx, -1);
        if (!file.empty() && line > 0) {
          report = file + ":" + std::to_string(static_cast<long long>(line)) + ": " + what;
        } else {
          report = "vocle-page: uncaught exception: " + what;
        }
        // The stack's first line repeats the error itself; frames inside the engine say nothing
        // to a page author.
        std::size_t at = stack.find('\n');
        while (at != std::string::npos) {
          const std::size_t next = stack.find('\n', at + 1);
          const std::string frame =
              stack.substr(at, next == std::string::npos ? std::string::npos : next - at);
          const std::string internal = " internal";
          if (frame.size() < internal.size() ||
              frame.compare(frame.size() - internal.size(), internal.size(), internal) != 0) {
            report += frame;
          }
          at = next;
        }
      },
      nullptr);
  if (!ok) {
    duk_dup(m_ctx, idx);
    duk_safe_to_string(m_ctx, -1);
    report = "vocle-page: uncaught exception: " + script_values::text(m_ctx, -1);
    duk_pop(m_ctx);
  }
  return report;
}

void page_runtime::uncaught(duk_idx_t idx) {
  if (m_timed_out) {
    return;  // the page ended by its time-out: this is the interrupted script unwinding
  }
  if (past_deadline() && !m_ended) {
    time_out();
    return;
  }
  write_line(stderr, describe_error(idx));
  m_errored = true;
  m_status = 1;
  end();
}

void page_runtime::time_out() {
  if (m_ended) {
    return;
  }
  write_line(stderr, "vocle-page: time-out: the page did not end within " +
                         format_seconds(m_settings.timeout_seconds) + " s");
  m_status = k_timeout_status;
  m_timed_out = true;
  end();
}

void page_runtime::end() {
  m_ended = true;
  m_core.loop().cancel_timers();
  m_core.loop().quit();
}

vh_object* page_runtime::window() {
  vh_object* result = nullptr;
  protect(
      [&](duk_context* ctx) {
        duk_push_global_object(ctx);
        result = page_object::of(*this, -1)->handle();
      },
      nullptr);
  return result;
}

vh_object* page_runtime::new_array() {
  vh_object* result = nullptr;
  protect(
      [&](duk_context* ctx) {
        duk_push_array(ctx);
        result = page_object::of(*this, -1)->handle();
      },
      nullptr);
  return result;
}

vh_object* page_runtime::new_object() {
  vh_object* result = nullptr;
  protect(
      [&](duk_context* ctx) {
        duk_push_object(ctx);
        result = page_object::of(*this, -1)->handle();
      },
      nullptr);
  return result;
}

void page_runtime::set_plugin(vh_object* scriptable) {
  const std::uint64_t id = m_core.objects().hold(scriptable);
  std::string error;
  if (!protect(
          [&](duk_context* ctx) {
            duk_push_global_object(ctx);
            plugin_proxy::push(*this, id);
            duk_push_global_stash(ctx);
            duk_dup(ctx, -2);
            duk_put_prop_string(ctx, -2, "plugin");
            duk_pop(ctx);
            duk_put_prop_string(ctx, -2, "plugin");
          },
          &error)) {
    throw std::runtime_error("cannot give the page its plug-in object: " + error);
  }
  m_plugin_object = scriptable;
}

void page_runtime::run_script(const std::string& source) {
  std::size_t skip = 0;
  if (source.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    skip = 3;  // a byte-order mark
  }
  run_page_code(
      [&](duk_context* ctx) {
        duk_push_lstring(ctx, source.data() + skip, source.size() - skip);
        const std::string name =
            utf8_to_duk_text(m_settings.script_name.data(), m_settings.script_name.size());
        duk_push_lstring(ctx, name.data(), name.size());
        duk_compile(ctx, 0);
        duk_call(ctx, 0);
      },
      nullptr);
}

std::uint32_t page_runtime::add_page_object(page_object* object) {
  const std::uint32_t id = m_next_page_object++;
  m_page_objects[id] = object;
  return id;
}

void page_runtime::forget_page_object(std::uint32_t id) {
  m_page_objects.erase(id);
}

page_object* page_runtime::find_page_object(std::uint32_t id) const {
  auto found = m_page_objects.find(id);
  return found == m_page_objects.end() ? nullptr : found->second;
}

std::string page_runtime::console_text(duk_idx_t idx) {
  duk_context* ctx = m_ctx;
  idx = duk_normalize_index(ctx, idx);
  if (duk_is_string(ctx, idx) && !duk_is_symbol(ctx, idx)) {
    return script_values::text(ctx, idx);
  }
  if (duk_is_object(ctx, idx) && !duk_is_function(ctx, idx) && !duk_is_error(ctx, idx)) {
    if (plugin_proxy::id_of(ctx, idx) != 0) {
      return "[object Plugin]";
    }
    std::string json;
    const bool ok = protect(
        [&](duk_context* c) {
          duk_dup(c, idx);
          duk_json_encode(c, -1);
          if (duk_is_string(c, -1)) {
            json = script_values::text(c, -1);
          }
        },
        nullptr);
    if (ok && !json.empty()) {
      return json;
    }
  }
  duk_dup(ctx, idx);
  duk_safe_to_string(ctx, -1);
  std::string text = script_values::text(ctx, -1);
  duk_pop(ctx);
  return text;
}

duk_ret_t page_runtime::js_console(duk_context* ctx) {
  page_runtime& rt = of(ctx);
  const duk_idx_t count = duk_get_top(ctx);
  std::string line;
  for (duk_idx_t i = 0; i < count; ++i) {
    if (i != 0) {
      line += ' ';
    }
    line += rt.console_text(i);
  }
  write_line(duk_get_current_magic(ctx) >= 2 ? stderr : stdout, line);
  return 0;
}

duk_ret_t page_runtime::js_set_timer(duk_context* ctx) {
  page_runtime& rt = of(ctx);
  const bool repeat = duk_get_current_magic(ctx) == 1;
  const duk_idx_t count = duk_get_top(ctx);
  if (count < 1 || !duk_is_callable(ctx, 0)) {
    rt.throw_error("TypeError", std::string(repeat ? "setInterval" : "setTimeout") +
                                    ": the callback is not a function");
  }
  double delay = count >= 2 ? duk_to_number(ctx, 1) : 0;
  if (!(delay > 0)) {
    delay = 0;  // negative and NaN too
  }
  delay = std::min(delay, 2147483647.0);
  const auto wait =
      std::chrono::duration_cast<clock::duration>(std::chrono::duration<double, std::milli>(delay));
  const clock::duration every = repeat
                                    ? std::max<clock::duration>(wait, std::chrono::milliseconds(1))
                                    : clock::duration::zero();
  page_runtime* self = &rt;
  const std::uint64_t id = rt.m_core.loop().add_timer(
      wait, every, [self, repeat](std::uint64_t timer) { self->fire_timer(timer, repeat); });
  // The stash keeps the callback and its arguments while the timer is set.
  rt.push_stashed("timers");
  duk_push_array(ctx);
  duk_dup(ctx, 0);
  duk_put_prop_index(ctx, -2, 0);
  for (duk_idx_t i = 2; i < count; ++i) {
    duk_dup(ctx, i);
    duk_put_prop_index(ctx, -2, static_cast<duk_uarridx_t>(i - 1));
  }
  duk_put_prop_index(ctx, -2, static_cast<duk_uarridx_t>(id));
  duk_pop(ctx);
  duk_push_number(ctx, static_cast<double>(id));
  return 1;
}

duk_ret_t page_runtime::js_clear_timer(duk_context* ctx) {
  page_runtime& rt = of(ctx);
  if (!duk_is_number(ctx, 0)) {
    return 0;
  }
  const double value = duk_get_number(ctx, 0);
  if (!(value >= 1 && value <= 4294967295.0) || value != std::floor(value)) {
    return 0;
  }
  const auto id = static_cast<std::uint64_t>(value);
  rt.m_core.loop().cancel_timer(id);
  rt.push_stashed("timers");
  duk_del_prop_index(ctx, -1, static_cast<duk_uarridx_t>(id));
  duk_pop(ctx);
  return 0;
}

duk_ret_t page_runtime::js_done(duk_context* ctx) {
  page_runtime& rt = of(ctx);
  int code = 0;
  if (duk_get_top(ctx) >= 1 && !duk_is_undefined(ctx, 0)) {
    const double value = duk_is_number(ctx, 0) ? duk_get_number(ctx, 0) : -1;
    if (!(value >= 0 && value <= 255) || value != std::floor(value)) {
      rt.throw_error("RangeError", "done: the exit code must be a whole number from 0 to 255");
    }
    code = static_cast<int>(value);
  }
  if (!rt.m_ended) {
    rt.m_status = code;
    rt.end();
  }
  return 0;
}

void page_runtime::fire_timer(std::uint64_t id, bool repeat) {
  if (m_ended) {
    return;
  }
  run_page_code(
      [&](duk_context* ctx) {
        push_stashed("timers");
        duk_get_prop_index(ctx, -1, static_cast<duk_uarridx_t>(id));
        if (!duk_is_array(ctx, -1)) {
          return;  // cleared
        }
        if (!repeat) {
          duk_del_prop_index(ctx, -2, static_cast<duk_uarridx_t>(id));
        }
        const duk_idx_t entry = duk_get_top_index(ctx);
        const auto count = static_cast<duk_idx_t>(duk_get_length(ctx, entry));
        duk_get_prop_index(ctx, entry, 0);
        duk_push_undefined(ctx);
        for (duk_idx_t i = 1; i < count; ++i) {
          duk_get_prop_index(ctx, entry, static_cast<duk_uarridx_t>(i));
        }
        duk_call_method(ctx, count - 1);
      },
      nullptr);
}

}  // namespace host
