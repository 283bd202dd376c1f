// A key host whose three functions are read from the host object's properties once, at first
// use, and kept: the page may change the properties afterwards without effect, until the host
// is set again. The property names come from "js.call_function", "js.apply_function" and
// "js.release_function".
//
// Threads. A delivery must never wait for the page's thread: a worker may deliver while it holds
// a buffer's lock that the page's thread also takes, and the audio threads deliver volumes from
// inside their stream callbacks. Reading the functions from the page is such a wait. So the
// queued operations, called off the page's thread, only queue a job there that resolves and
// calls; on the page's thread they resolve at once and queue the call, and a failure reaches the
// script call that delivered. Either way a delivery takes one hop through the page's queue, so
// deliveries, and a key's release after them, reach the page in the order they were made. Resolving
// at once runs the page's getters, which may call the plug-in again: a caller on the page's thread
// delivers holding no lock that a script call takes. A failure in a queued job has no caller: it is
// logged and the delivery dropped. m_mutex guards the fields only and is never held while the page
// is asked anything, so the page's thread never waits for it behind a worker that waits for the
// page.
#pragma once

#include <cstdint>

#include <boost/enable_shared_from_this.hpp>
#include <boost/thread/mutex.hpp>

#include "firebreath/jskey_funchost_base.h"

namespace vocle {

class jskey_funchost_simple : public jskey_funchost_base,
                              public boost::enable_shared_from_this<jskey_funchost_simple> {
 public:
  explicit jskey_funchost_simple(const FB::JSObjectPtr& host);

  FB::JSObjectPtr get_host() override;
  // Forgets the functions read from the previous host.
  void set_host(const FB::JSObjectPtr& host) override;

  // Synchronous: resolve, then call and wait. Fail with FB::script_error when a function cannot
  // be read ("jskey_funchost_simple ... failed"), the page fails, or the page is closing.
  FB::variant call(const FB::VariantList& args) override;
  FB::variant apply(const FB::VariantList& args) override;
  FB::variant release(const FB::VariantList& args) override;
  // Queued: see above.
  void call_async(const FB::VariantList& args) override;
  void apply_async(const FB::VariantList& args) override;
  void release_async(const FB::VariantList& args) override;

 private:
  enum role { role_call, role_apply, role_release };
  struct functions {
    FB::JSObjectPtr call_function;
    FB::JSObjectPtr apply_function;
    FB::JSObjectPtr release_function;
    const FB::JSObjectPtr& get(role r) const;
  };

  // The three functions of the current host, read at the first use.
  functions resolve();
  FB::variant invoke(role r, const FB::VariantList& args);
  void invoke_async(role r, const FB::VariantList& args);

  FB::JSObjectPtr m_call_function;
  FB::JSObjectPtr m_apply_function;
  FB::JSObjectPtr m_release_function;
  boost::mutex m_mutex;
  bool m_resolved = false;
  // Counts set_host calls: functions read from a host that was replaced meanwhile are not kept.
  std::uint64_t m_generation = 0;
};

}  // namespace vocle
