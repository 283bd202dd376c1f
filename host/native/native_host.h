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
//   {t:"error", i, e}          an operation of instance i on the page could not be sent (it was
//                              longer than the browser carries): the plug-in's call failed, and
//                              the element hears why
// "p" maps properties of the instance to their values as the plug-in reports them now: in
// "created" every property, in "ret" those whose value differs from what the instance last sent.
// Values are JSON with the tags of the page script (see browser/extension/page.js).
//
// Input past the limits: a message nested deeper than message_reader::k_deepest_text, holding an
// array or object of more than k_most_elements elements or more than
// message_reader::k_most_values values in all, whose text is not JSON past its start, or (for
// "call" and "set") with a value nested deeper than k_deepest is refused: a "call" or "set" gets
// {t:"ret", q, ok:false, e} with the reason, an "answer" fails the operation it answers, a
// "destroy" whose element number reads still ends its element, anything else is skipped (a line
// on standard error). No answer longer than the browser carries goes out: the call gets
// {t:"ret", q, ok:false, e, p} naming the limit instead.
//
// The backlog: the reader thread queues the page's messages for the main thread, at most
// k_backlog_messages of them or k_backlog_bytes of their footprint; beyond that it stops reading
// (the browser holds what the page sends on) until the main thread has taken half of them. While
// the main thread waits for the page's answer, the reader reads on, since the answer lies behind
// whatever the page sent before it: up to k_awaiting_messages or k_awaiting_bytes, and past that
// it answers each "call", "set" and "create" at once with a refusal (the host is overloaded) so
// that it can reach the answer. Every message that waits counts against these bounds, and holds
// only what the host acts on: a "destroy" waits as its element's number, once for each time the
// element was made (repeats come to one: it is never refused); "hello" waits once; a message of
// an unknown type is dropped at once (a line on standard error). An answer never waits in the
// backlog; one that nobody waits for (late, or for no question) gives back its page objects.
//
// When the page goes (the browser closes the channel, or a signal ends the host), the messages
// still queued are dropped, every instance is destroyed (the library finishes what must not be
// lost, such as a file being saved), the library is shut down and run() returns. A watchdog ends
// the process if that takes longer than the end time-out, counted from the page going.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "framework/host_interface.h"
#include "host/core/host_core.h"
#include "host/core/watchdog.h"
#include "host/native/message_reader.h"
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

  // Values deeper than this are cut off on their way to the page and refused on their way in.
  static constexpr int k_deepest = 64;
  // The backlog (see above): message count and footprint in bytes.
  static constexpr std::size_t k_backlog_messages = 1024;
  static constexpr std::size_t k_backlog_bytes = 16u * 1024 * 1024;
  static constexpr std::size_t k_awaiting_messages = 16384;
  static constexpr std::size_t k_awaiting_bytes = 128u * 1024 * 1024;

  native_host(host_core& core, native_channel& channel, const options& opts);
  ~native_host();
  native_host(const native_host&) = delete;
  native_host& operator=(const native_host&) = delete;

  // Main thread: starts the channel, serves the page until it goes, ends the instances and the
  // library. Returns the process's exit status.
  int run();
  // As run(), but the library is not shut down: it stays loaded and initialised for the page of
  // the next native_host on the same core (pages one after another in one process).
  void serve();

  // ---- for the host's objects (main thread) ----

  // Sends an operation of the instance to the page and waits for its answer: true with the
  // answer's value, or false with the reason (the page's error, the time-out, the page gone, an
  // operation too long to send).
  bool ask(std::int64_t instance, nlohmann::json request, nlohmann::json* value,
           std::string* error);
  // Page code may have run: the copies of page objects no longer hold.
  void page_code_ran() { drop_copies(); }
  // A host value as the page gets it, and a page value as the host gets it (owned by the caller).
  nlohmann::json encode(const vh_variant& value, int depth = 0);
  vh_variant decode(const nlohmann::json& value, std::int64_t instance, bool copies) {
    return decode(value, instance, copies, 0);
  }
  // A value of a call or write (with page copies) too deep to decode: the call is refused with
  // the reason and the message's page objects given back. False when the value may be decoded.
  bool refused_as_too_deep(const nlohmann::json& message, const nlohmann::json& value,
                           nlohmann::json* reply);
  // True when decode would meet an array or page object deeper than k_deepest in the value.
  static bool too_deep(const nlohmann::json& value, bool copies);
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
  bool take(message_reader::message&& message);
  // A "destroy" or "hello" as it waits in the backlog: only what the host acts on (the element's
  // number, the page's address). False when the message has nothing left to do.
  bool strip(message_reader::message* message, const std::string& type);
  // Answers a message there is no room for.
  void shed(const message_reader::message& message, const std::string& type);
  // Gives back the receipts of the page objects in a message the host does not keep. Any thread.
  void give_back(const message_reader::message& message);
  void closed(const std::string& reason);

  // Main thread.
  void drain();
  void dispatch(const message_reader::message& message);
  // A message past the reader's limits.
  void refuse(const message_reader::message& message, const std::string& type);
  void hello(const nlohmann::json& message);
  void create(const nlohmann::json& message);
  void call(const nlohmann::json& message);
  void set(const nlohmann::json& message);
  void destroy(std::int64_t id);
  void end(const std::string& reason);
  // The end time-out starts (once). Any thread.
  void arm_end_guard(const std::string& reason);
  instance_entry* live_instance(std::int64_t id);
  // A call or a property write: its instance, with the reply begun and the plug-in's object.
  struct addressed {
    std::int64_t id = 0;
    instance_entry* entry = nullptr;
    vh_object* root = nullptr;
    nlohmann::json reply;
  };
  // False when the message was answered here (no such instance: the element has left the page;
  // an element number that is not an integer) or cannot be answered at all (no question number).
  bool addressee(const nlohmann::json& message, addressed* to);
  // The instance's handle for the page's object id, with one more reference for the caller (a
  // new handle when it has none); nullptr when there is no such instance.
  remote_object* remote_for(std::int64_t instance, std::int64_t id, bool function);
  // The properties whose values differ from those the page was last sent (all of them at first).
  // A property the library counts (vh_plugin_funcs.property_revision) is not read while its
  // count stays where it was when the page's value, not an object, was last seen to be its own.
  nlohmann::json properties(instance_entry& entry);
  // Sends a "ret": when too long for the browser, the call fails instead, naming the limit.
  void send_answer(instance_entry& entry, nlohmann::json& reply);
  // The page now holds these property values.
  void shown(instance_entry& entry, const nlohmann::json& props);
  vh_object* window_of(instance_entry& entry);
  // Gives back the receipts of page objects in a message that no instance takes. Any thread.
  void release_unclaimed(const nlohmann::json& value);
  void release_all(const std::vector<std::int64_t>& ids);
  // Releases the values the objects hold in two steps, so that no object is deleted while
  // another still refers to it: first every value is moved out, then released.
  void release_held(const std::vector<remote_object*>& remotes,
                    const std::vector<value_object*>& values);
  void drop_copies();
  nlohmann::json encode_object(vh_object* object, int depth);
  vh_variant decode(const nlohmann::json& value, std::int64_t instance, bool copies, int depth);

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

  // Shared by the reader and the main thread: the question the main thread waits on and its
  // answer, the backlog, the page's going.
  std::mutex m_mutex;
  std::condition_variable m_answered;
  std::uint64_t m_next_question = 0;
  std::uint64_t m_waiting = 0;
  bool m_has_answer = false;
  message_reader::message m_answer;
  std::deque<message_reader::message> m_backlog;
  std::size_t m_backlog_bytes = 0;
  // The reader's view: the elements made since their last "destroy", and whether "hello" came.
  std::set<std::int64_t> m_made;
  bool m_hello_taken = false;
  bool m_drain_posted = false;
  bool m_reader_paused = false;
  bool m_page_gone = false;
  std::string m_gone_reason;

  // Armed when the page goes.
  watchdog m_end_guard;
  bool m_end_armed = false;  // guarded by m_mutex
};

}  // namespace host
