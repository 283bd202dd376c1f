#include "core/http/request_factory.h"

#include <cstdlib>
#include <memory>

#include <boost/format.hpp>
#include <boost/make_shared.hpp>

#include "core/foundation/log.h"
#include "core/http/no_throw.h"

// The form interface (curl_formadd, CURLOPT_HTTPPOST) is deprecated in favour of the mime one but
// works, and it is the interface this client is built on.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace vocle {
namespace http {

std::mutex request_mutex;

namespace {

// The form, its part header lists and its streamed parts' sources, freed in that order whatever
// way post is left: libcurl refers to the lists and the sources from the form, so they outlive
// it. The lines about the freeing are post's and name it (owner: post's __PRETTY_FUNCTION__).
class form_guard {
 public:
  explicit form_guard(const char* owner) : m_owner(owner) {}
  form_guard(const form_guard&) = delete;
  form_guard& operator=(const form_guard&) = delete;
  ~form_guard() {
    curl_formfree(first);
    log::write(FB::Log::LogLevel_Trace, __FILE__, __LINE__, m_owner, "post freed");
    for (curl_slist* list : lists) {
      curl_slist_free_all(list);
      log::write(FB::Log::LogLevel_Trace, __FILE__, __LINE__, m_owner, "curl_slist %1% freed",
                 static_cast<const void*>(list));
    }
  }

  curl_httppost* first = nullptr;
  curl_httppost* last = nullptr;
  request_factory::header_lists lists;
  request_factory::part_sources sources;  // a member: released after the destructor's body

 private:
  const char* const m_owner;
};

// Passes the first result list of an upload on to the page's callback and remembers that one
// went out, so that post can tell whether the page has heard of the upload when something throws.
class result_once : public function {
 public:
  explicit result_once(const function_ptr& page) : m_page(page) {}

  FB::variant call(const FB::VariantList& args) override {
    return m_page ? m_page->call(args) : FB::variant();
  }
  void call_async(const FB::VariantList& args) override {
    if (m_issued) {
      return;
    }
    // Counted before the call: a page callback that fails is not given a second list.
    m_issued = true;
    if (m_page) {
      m_page->call_async(args);
    }
  }
  bool issued() const { return m_issued; }

 private:
  const function_ptr m_page;
  bool m_issued = false;
};

}  // namespace

request_factory::request_factory() {
  VOCLE_LOG_DEBUG("entered");
  CURLcode result = curl_global_init(CURL_GLOBAL_ALL);
  VOCLE_LOG_INFO("curl_global_init done, returns %1%", static_cast<int>(result));
}

request_factory& request_factory::instance() {
  std::lock_guard<std::mutex> lock(request_mutex);
  // Never destroyed: libcurl's global state lasts until its clean-up at exit. A construction that
  // throws leaves the pointer null, so the next call tries again.
  static request_factory* the_instance = nullptr;
  if (!the_instance) {
    the_instance = new request_factory();
    std::atexit(curl_global_cleanup);
  }
  return *the_instance;
}

std::string request_factory::cookie_note(const std::string& cookie) {
  return (boost::format("<%1% bytes>") % cookie.size()).str();
}

void request_factory::post(const std::string& uri, const std::string& cookie,
                           const function_ptr& callback, const function_ptr& on_upload_frame,
                           const form_fields& fields, task* upload_task) {
  std::unique_ptr<task> owned(upload_task);
  std::unique_lock<std::mutex> lock(request_mutex);
  // Declared after the lock, so the task is destroyed (and leaves its table) before the lock is
  // released, and after the form, which is declared later still.
  std::unique_ptr<task> held(std::move(owned));
  boost::shared_ptr<result_once> result;
  try {
    result = boost::make_shared<result_once>(callback);
    VOCLE_LOG_INFO("uri: %1%, cookie: %2%", uri, cookie_note(cookie));

    form_guard form(__PRETTY_FUNCTION__);
    build_form(form.first, form.last, fields, form.lists, form.sources);

    if (form.first) {
      perform_post(uri, cookie, form.first, result, on_upload_frame, held.get());
    } else {
      // Nothing to send: no request, but the upload still ends like every other one, with its
      // task at 4 and one failure list.
      VOCLE_LOG_ERROR("no form part to post to %1%", uri);
      if (held) {
        held->set_status(task::task_done);
      }
      progress_context context;
      context.task = held.get();
      const std::int32_t id = held ? held->id() : -1;
      deliver(result, FB::VariantList{false, message("ZRV_ERR_NET_MISSING_ARGS"), id,
                                      transfer_summary(&context)});
    }
    VOCLE_LOG_INFO("post done, free allocated resources");
    return;
  } catch (const std::exception& e) {
    fail_post(uri, e.what(), result ? function_ptr(result) : callback, held.get(),
              result && result->issued());
  } catch (...) {
    fail_post(uri, "unknown error", result ? function_ptr(result) : callback, held.get(),
              result && result->issued());
  }
}

void request_factory::fail_post(const std::string& uri, const std::string& reason,
                                const function_ptr& callback, task* upload_task, bool issued) {
  // What was allocated for the post (the form, the answer) has been released by now, so there is
  // room again for the little that the failure list needs.
  no_throw(__PRETTY_FUNCTION__, "ending a failed post", [&] {
    VOCLE_LOG_ERROR("post to %1% failed: %2%", uri, reason);
    if (upload_task) {
      upload_task->set_status(task::task_done);
    }
    if (issued) {
      return;
    }
    progress_context context;
    context.task = upload_task;
    const std::int32_t id = upload_task ? upload_task->id() : -1;
    const std::string summary = transfer_summary(&context);
    deliver(callback, FB::VariantList{false, message("ZRV_ERR_NET_HTTP", reason) + ", " + summary,
                                      id, summary});
  });
}

}  // namespace http
}  // namespace vocle
