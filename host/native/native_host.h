// vocle-host's work for one browser page: the page's plug-in instances in the library, over the
// shared host core, driven by the messages of the extension's page script (browser/extension).
//
// Messages from the page (through the extension's service worker):
//   {t:"hello", url}           first, from the service worker: the page's address as the browser
//                              reports it; the library is loaded now
//   {t:"create", i, type}      a new <object> element: instance i
//   {t:"destroy", i}           the element left the page
//   {t:"call", q, i, m, a}     a method call with its arguments
//   {t:"set", q, i, n, v}      a property write
//   {t:"answer", q, ok, v|e}   the page's answer to an operation of the host's (below)
// Messages to the page:
//   {t:"ready"}                after "hello"
//   {t:"created", i, ok, members:[[name, "m"|"p"]...], p | e}
//   {t:"ret", q, ok, v | e, p} the answer to "call" and "set"
//   {t:"op", q, op, o, m?, a?, v?}  an operation on page object o: invoke, invoke_default, get,
//                              set, has_property, has_method, enumerate; the host waits for the
//                              answer, at most the answer time-out
//   {t:"release", o, n}        the host gives back n receipts of page object o
// "p" maps each property of the instance to its value as the plug-in reports it now. Values are
// JSON with the tags of the page script (see browser/extension/page.js).
//
// When the page goes (the browser closes the channel, or a signal ends the host), every instance
// is destroyed (the library finishes what must not be lost, such as a file being saved), the
// library is shut down and run() returns. A watchdog ends the process if that takes longer than
// the end time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/host_interface.h"
#include "host/core/host_core.h"
#include "host/native/native_channel.h"

namespace host {

class remote_object;
class value_object;

class native_host {
 public:
  struct options {
    std::string plugin_path;
    // How long a synchronous call of the library waits for the page.
    std::chrono::milliseconds answer_timeout{5000};
    // How long the instances may take to end once the page has gone.
    std::chrono::seconds end_timeout{60};
  };

  native_host(host_core& core, native_channel& channel, const options& opts);
  ~native_host();
  native_host(const native_host&) = delete;
  native_host& operator=(const native_host&) = delete;

  // Main thread: starts the channel, serves the page until it goes, ends the instances and the
  // library. Returns the process's exit status.
  int run();

  // ---- for the host's objects (main thread) ----

  // Sends an operation to the page and waits for its answer: true with the answer's value, or
  // false with the reason (the page's error, the time-out, the page gone).
  bool ask(nlohmann::json request, nlohmann::json* value, std::string* error);
  // Page code may have run: the copies of page objects no longer hold.
  void page_code_ran() { drop_copies(); }
  // A host value as the page gets it, and a page value as the host gets it (owned by the caller).
  nlohmann::json encode(const vh_variant& value, int depth = 0);
  vh_variant decode(const nlohmann::json& value, std::int64_t instance, bool copies);
  // The page's object may be forgotten: n receipts go back.
  void release_to_page(std::int64_t id, std::uint64_t receipts);
  // A host object is being deleted.
  void forget(remote_object* object);
  void forget(value_object* object);
  // A new value object of the instance, with one reference for the caller.
  vh_object* new_value(std::int64_t instance, bool array);

  // A second owner's copy of a value: a string's own bytes, one more reference of an object.
  static vh_variant duplicate(const vh_variant& value);
  // True for a page's function.
  static bool is_page_function(const vh_variant& value);

 private:
  struct instance_entry;

  // Reader thread.
  void take(nlohmann::json&& message);
  void closed(const std::string& reason);

  // Main thread.
  void dispatch(const nlohmann::json& message);
  void hello(const nlohmann::json& message);
  void create(const nlohmann::json& message);
  void call(const nlohmann::json& message);
  void set(const nlohmann::json& message);
  void destroy(std::int64_t id);
  void end(const std::string& reason);
  instance_entry* live_instance(std::int64_t id);
  // A call or a property write: its instance, with the reply begun and the plug-in's object.
  struct addressed {
    std::int64_t id = 0;
    instance_entry* entry = nullptr;
    vh_object* root = nullptr;
    nlohmann::json reply;
  };
  // False when the message was answered here (no such instance: the element has left the page)
  // or cannot be answered at all (no question or instance number).
  bool addressee(const nlohmann::json& message, addressed* to);
  // The instance's handle for the page's object id, with one more reference for the caller (a
  // new handle when it has none); nullptr when there is no such instance.
  remote_object* remote_for(std::int64_t instance, std::int64_t id, bool function);
  nlohmann::json properties(instance_entry& entry);
  vh_object* window_of(instance_entry& entry);
  // Gives back the receipts of page objects in a message that no instance takes.
  void release_unclaimed(const nlohmann::json& value);
  // Releases the values the objects hold in two steps, so that no object is deleted while
  // another still refers to it: first every value is moved out, then released.
  void release_held(const std::vector<remote_object*>& remotes,
                    const std::vector<value_object*>& values);
  void drop_copies();
  nlohmann::json encode_object(vh_object* object, int depth);

  host_core& m_core;
  native_channel& m_channel;
  const options m_options;

  // Main thread.
  bool m_greeted = false;
  bool m_loaded = false;
  bool m_ended = false;
  std::string m_load_error;
  std::string m_url;
  std::string m_mime_type;
  std::map<std::int64_t, std::unique_ptr<instance_entry>> m_instances;
  std::set<remote_object*> m_copied;
  std::vector<vh_object*> m_encoding;  // the objects being encoded, outermost first

  // The question the main thread waits on, and its answer (set by the reader thread).
  std::mutex m_answer_mutex;
  std::condition_variable m_answered;
  std::uint64_t m_next_question = 0;
  std::uint64_t m_waiting = 0;
  bool m_has_answer = false;
  nlohmann::json m_answer;
  bool m_page_gone = false;
  std::string m_gone_reason;
};

}  // namespace host
