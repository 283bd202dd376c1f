// A page for page scripts, on Duktape: the script world vocle-page gives the plug-in.
//
// Globals: `plugin` (the instance's scriptable object, as a Proxy), `window` (the global object)
// with `window.location.href`, `location`, `console.log`/`info` (standard output) and
// `warn`/`error` (standard error), `setTimeout`/`clearTimeout`/`setInterval`/`clearInterval`,
// `args` (strings) and `done(code)`.
//
// The page ends at the first of: done(code) (status code, 0 by default), the deadline (a line on
// standard error, status 124), an uncaught error of page code (printed with file and line,
// status 1). An uncaught error also overrides an end by done() in the same turn, so a fault is
// never reported as success. Once ended, no more page code runs.
//
// Duktape is built from Debian's source as C++ (DUK_USE_CPP_EXCEPTIONS): its errors unwind as
// C++ exceptions, so C++ objects may live across any Duktape call. Every call the library makes
// into the page runs inside duk_safe_call, so no script error escapes into the library. Only the
// main thread touches the context. Uncaught means: an error of page code that ran at the top of a
// turn (the script, a timer, a page function the library calls from a queued call); an error of a
// page function the library calls while a script calls the library goes back to the library (as
// the failed call's message) and, from there, to that script.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "duktape.h"
#include "host/core/main_loop.h"
#include "host/core/page_services.h"

namespace host {

class host_core;
class page_object;

class page_runtime : public page_services {
 public:
  typedef main_loop::clock clock;

  struct settings {
    std::string url;          // window.location.href
    std::string script_name;  // the script's file name, as errors show it
    std::vector<std::string> args;
    clock::time_point deadline;
    double timeout_seconds = 0;  // for the time-out's message
  };

  // Status of a page that timed out.
  static const int k_timeout_status = 124;

  page_runtime(host_core& core, const settings& settings);
  // Detaches the page objects still alive and destroys the heap.
  ~page_runtime() override;
  page_runtime(const page_runtime&) = delete;
  page_runtime& operator=(const page_runtime&) = delete;

  // ---- page_services ----
  vh_object* window() override;
  vh_object* new_array() override;
  vh_object* new_object() override;

  // Makes `plugin` the library's scriptable object (takes over the reference).
  void set_plugin(vh_object* scriptable);
  // Runs the script source (UTF-8) as the page's first turn.
  void run_script(const std::string& source);
  // The deadline has come: ends the page with the time-out's status, unless it has ended.
  void time_out();
  // Ends the page (no more page code) and cancels its timers.
  void end();

  bool ended() const { return m_ended; }
  int status() const { return m_status; }
  bool past_deadline() const { return clock::now() >= m_settings.deadline; }

  // ---- for the page's objects, values and proxies ----
  static page_runtime& of(duk_context* ctx);
  duk_context* context() const { return m_ctx; }
  host_core& core() { return m_core; }
  // Runs body in protected mode: false, with the error's message in *error when error is not
  // null, when it threw. Leaves the stack as it was.
  bool protect(const std::function<void(duk_context*)>& body, std::string* error);
  // The same for running page code: an error thrown at the top of a turn is the page's uncaught
  // error.
  bool run_page_code(const std::function<void(duk_context*)>& body, std::string* error);
  // Throws a new Error (or TypeError, RangeError: the page's original constructors) with the
  // message, blamed on the script line that called in.
  [[noreturn]] void throw_error(const char* kind, const std::string& message);

  // The scriptable object behind `plugin` (null before set_plugin). It always crosses back as
  // that very proxy; the library's other objects cross as a new proxy each time.
  vh_object* plugin_object() const { return m_plugin_object; }
  // Pushes an entry of the global stash: "objects" (the page objects' script objects by id),
  // "handler" (the plug-in proxies' handler), "keys" (the original Object.keys), "plugin" (the
  // proxy of the page's plug-in object).
  void push_stashed(const char* key);

  // Page objects by id (the stash holds their script objects).
  std::uint32_t add_page_object(page_object* object);
  void forget_page_object(std::uint32_t id);
  page_object* find_page_object(std::uint32_t id) const;

 private:
  static duk_ret_t js_console(duk_context* ctx);
  static duk_ret_t js_set_timer(duk_context* ctx);
  static duk_ret_t js_clear_timer(duk_context* ctx);
  static duk_ret_t js_done(duk_context* ctx);
  static void fatal(void* udata, const char* message);

  void install_globals();
  void fire_timer(std::uint64_t id, bool repeat);
  // The error at idx: reported as the page's uncaught error, unless it is the time-out's.
  void uncaught(duk_idx_t idx);
  // "file:line: Error: message" and the stack, or the value's text.
  std::string describe_error(duk_idx_t idx);
  // The message a failed page call gives the library.
  std::string error_message(duk_idx_t idx);
  // The text console.* prints for the value at idx.
  std::string console_text(duk_idx_t idx);

  host_core& m_core;
  settings m_settings;
  duk_context* m_ctx = nullptr;
  int m_depth = 0;  // nesting of page code being run
  bool m_ended = false;
  bool m_errored = false;
  bool m_timed_out = false;
  int m_status = 0;
  vh_object* m_plugin_object = nullptr;
  std::map<std::uint32_t, page_object*> m_page_objects;
  std::uint32_t m_next_page_object = 1;
};

}  // namespace host
