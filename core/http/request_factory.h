// The process-wide HTTP client through which the studio uploads recordings.
//
// post turns a field map into a multipart form, runs one transfer, hands the outcome to the
// page's callback as one result list, frees what it allocated and ends the life of the upload
// task. Every post of the process runs under one mutex, so uploads run one after another.
//
// The work is split over files by concern:
//   request_factory.cpp           the instance, libcurl's global state, post
//   request_factory_form.cpp      the multipart form built from the field map
//   request_factory_transfer.cpp  the options, the stream, header and progress callbacks
//   request_factory_response.cpp  the result list and the network error codes
//
// Result list of every upload, on success and on failure alike:
//   (bool success, string body-or-error-text, int32 task id, string transfer summary)
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <boost/any.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include "core/foundation/binary.h"
#include "core/foundation/byte_source.h"
#include "core/foundation/function.h"
#include "core/http/form_field.h"
#include "core/http/progress_context.h"
#include "core/studio/task.h"

namespace vocle {
namespace http {

// Held by instance while it builds the factory and by post for the whole of each post. Not
// recursive: never call instance or post while holding it. Lock order: this mutex, then a task
// table's lock, then a task's lock.
extern std::mutex request_mutex;

class request_factory : private boost::noncopyable {
 public:
  typedef audio::studio::task task;
  // Response header name (lower-cased) -> value (as received, line break included).
  typedef std::map<std::string, std::string> header_map;
  // One entry per field, in field order: the part's own header list, or null.
  typedef std::vector<curl_slist*> header_lists;
  // What the form's streamed parts are read from, held until the form has been freed.
  typedef std::vector<boost::shared_ptr<byte_source> > part_sources;

  // The single factory, built on first use; building it initialises libcurl's global state and
  // registers its clean-up at exit. Call it before every post.
  static request_factory& instance();

  // Posts fields to uri as a multipart form and issues one result list to callback (when set);
  // on_upload_frame (when set) receives (ulnow, ultotal, task id) as the upload advances.
  // Owns task from the call on: its status ends at 4 and it is destroyed (which takes it out of
  // its table) before post returns. The fields' binaries are drained by the transfer and their
  // byte sources read to their end. Only http and https addresses are fetched. Nothing leaves
  // post: whatever is thrown on the way (a field value of the wrong kind, no memory for the
  // answer) ends the upload as a transfer failure, with the translated "ZRV_ERR_NET_HTTP" and the
  // exception's text, unless the page already has its result; a callback that throws is logged.
  static void post(const std::string& uri, const std::string& cookie, const function_ptr& callback,
                   const function_ptr& on_upload_frame, const form_fields& fields, task* task);

  // Appends one part per field to the form (first, last: both null for a new form), one entry per
  // field to lists, and the source of each streamed part to sources.
  static void build_form(curl_httppost*& first, curl_httppost*& last, const form_fields& fields,
                         header_lists& lists, part_sources& sources);
  // Adds the part of one field; returns the part's header list (the caller frees it after the
  // form), or null.
  static curl_slist* add_form_part(curl_httppost*& first, curl_httppost*& last,
                                   const std::string& type, const std::string& name,
                                   const boost::any& value, part_sources& sources);
  // Adds a part streamed from the binary or byte source that value holds, with the given header
  // list; the source it reads through goes to sources, which must outlive the form.
  static void add_stream_part(curl_httppost*& first, curl_httppost*& last, curl_slist* list,
                              const std::string& name, const boost::any& value,
                              part_sources& sources);

  // Runs one transfer of the form on a new easy handle, sets the task's status to 4 and issues
  // the result list.
  static void perform_post(const std::string& uri, const std::string& cookie, curl_httppost* form,
                           const function_ptr& callback, const function_ptr& on_upload_frame,
                           task* task);
  // perform_post on a given easy handle, which it cleans up. With a null handle no request is
  // made; the task still ends at 4 and the callback gets one failure list.
  static void run_transfer(CURL* handle, const std::string& uri, const std::string& cookie,
                           curl_httppost* form, const function_ptr& callback,
                           const function_ptr& on_upload_frame, task* task);

  // libcurl's callbacks. The last argument is what the matching *DATA option gave: the body
  // (vocle::binary), the streamed part's vocle::byte_source, the header_map, the
  // progress_context. A source that fails to read aborts the transfer (CURL_READFUNC_ABORT):
  // ending the part early would leave the server waiting for the bytes announced.
  static std::size_t write_response_data(char* data, std::size_t size, std::size_t count,
                                         void* body);
  static std::size_t read_request_binary(char* buffer, std::size_t size, std::size_t count,
                                         void* source);
  static std::size_t write_header_data(char* data, std::size_t size, std::size_t count,
                                       void* headers);
  static int progress_callback(void* context, double dltotal, double dlnow, double ultotal,
                               double ulnow);
  // Called before every request of a transfer. A redirect that keeps the POST (307, 308) would
  // send the form again, whose streamed parts are drained by then: a truncated body that the
  // server waits on. Such a redirect is not followed (1); the transfer then ends with the
  // redirect's own answer, as when libcurl has nothing to follow.
  static int prereq_callback(void* context, char* primary_ip, char* local_ip, int primary_port,
                             int local_port);

  // Stores a "Name: value" line as headers[lower-cased name] = value; other lines change nothing.
  static void parse_header(const std::string& line, header_map& headers);
  // 1 aborts the transfer (no task, a cancel was requested, or every transfer was cancelled at
  // the end of the process), 0 lets it go on.
  static int xferinfo(progress_context* context, std::int64_t dltotal, std::int64_t dlnow,
                      std::int64_t ultotal, std::int64_t ulnow);

  // Turns the outcome of a transfer into the result list and issues it to callback.
  static void response_callback(CURLcode result, std::int32_t status, const header_map& headers,
                                const binary& body, const function_ptr& callback,
                                const progress_context* context);
  // The network error code of a libcurl result.
  static std::string curl_error_code(CURLcode result);
  // "ulnow: .., ultotal: .., dlnow: .., dltotal: .., total_time: .."; empty without a context.
  static std::string transfer_summary(const progress_context* context);

  // How a cookie appears in log lines: its length, never its text (it is a credential).
  static std::string cookie_note(const std::string& cookie);

 private:
  request_factory();

  // The text of a message key in the current language, filled with the arguments; the key itself
  // when the settings cannot give it, so a result list always goes out.
  static std::string message(const std::string& key);
  static std::string message(const std::string& key, const std::string& argument);
  static std::string message(const std::string& key, std::int32_t first, const std::string& second);
  // Issues the one result list of an upload to callback (when set); a callback that throws is
  // logged, and post goes on releasing what it holds.
  static void deliver(const function_ptr& callback, const FB::VariantList& list);
  // Ends a post that threw: the task at 4 and, unless a result was issued already, one failure
  // list with the reason. Throws nothing.
  static void fail_post(const std::string& uri, const std::string& reason,
                        const function_ptr& callback, task* upload_task, bool issued);
};

}  // namespace http
}  // namespace vocle
