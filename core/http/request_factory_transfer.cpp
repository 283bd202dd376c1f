#include <algorithm>
#include <limits>
#include <locale>

#include <boost/regex.hpp>

#include "core/foundation/keys.h"
#include "core/foundation/log.h"
#include "core/foundation/settings.h"
#include "core/foundation/util.h"
#include "core/http/no_throw.h"
#include "core/http/request_factory.h"

// CURLOPT_HTTPPOST and CURLOPT_PROGRESSFUNCTION are deprecated in favour of the mime and xferinfo
// interfaces but work, and they are the interfaces this client is built on.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace vocle {
namespace http {

namespace {

const char* const user_agent = "vocle/1.1.0.0";
// Later libcurl releases stop at 30 by default; without a limit a redirect loop runs until the
// time-out, or for ever when there is none.
const long max_redirects = 30;
// The page names the address: any other scheme libcurl knows (file://, and others that reach
// further) would hand the page what the upload has no business reading.
const char* const allowed_protocols = "http,https";

// run_transfer is the body of perform_post (apart on its own so that a transfer can be run on a
// given handle), and its lines are perform_post's: they name it.
const char* const perform_post_function =
    "static void vocle::http::request_factory::perform_post()";
#define TRANSFER_LOG(level, ...)                                                              \
  ::vocle::log::write(::FB::Log::LogLevel_##level, __FILE__, __LINE__, perform_post_function, \
                      __VA_ARGS__)

template <class T>
void set_option(CURL* handle, CURLoption option, T value) {
  CURLcode result = curl_easy_setopt(handle, option, value);
  if (result != CURLE_OK) {
    TRANSFER_LOG(Error, "curl_easy_setopt(%1%) failed: %2%", static_cast<int>(option),
                 curl_easy_strerror(result));
  }
}

// Whether libcurl's arguments to a stream callback can be used: a buffer, a target, and a byte
// count size x count that does not overflow.
bool usable(const void* data, std::size_t size, std::size_t count, const void* target) {
  return data && size && count && target && count <= static_cast<std::size_t>(-1) / size;
}

// The answer's body and the transfer it belongs to, for write_bounded_body.
struct bounded_body {
  binary* body;
  progress_context* context;
};

// The body goes to the page as one string, so it may not grow past the transfer's limit: an
// answer that would ends the transfer (libcurl then fails it), marked as too large.
std::size_t write_bounded_body(char* data, std::size_t size, std::size_t count, void* target) {
  bounded_body* sink = static_cast<bounded_body*>(target);
  if (!sink || !usable(data, size, count, sink->body)) {
    return request_factory::write_response_data(data, size, count, sink ? sink->body : nullptr);
  }
  const std::uint64_t limit = sink->context->response_limit;
  const std::uint64_t held = sink->body->size();
  if (held > limit || size * count > limit - held) {
    VOCLE_LOG_ERROR("response larger than %1% bytes, transfer ended", limit);
    sink->context->response_too_large = true;
    return 0;
  }
  if (held == 0 && sink->context->handle) {
    // An answer of announced length is stored in one piece of that size, not in doubling ones.
    curl_off_t announced = -1;
    if (curl_easy_getinfo(sink->context->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
            CURLE_OK &&
        announced > 0 && static_cast<std::uint64_t>(announced) <= limit) {
      no_throw(__PRETTY_FUNCTION__, "making room for the answer",
               [&] { sink->body->reserve(static_cast<std::size_t>(announced)); });
    }
  }
  return request_factory::write_response_data(data, size, count, sink->body);
}

std::uint64_t response_limit() {
  std::uint64_t limit = keys::audio_max_response_size.fallback;
  no_throw(__PRETTY_FUNCTION__, "reading the response limit",
           [&] { limit = settings::instance().get(keys::audio_max_response_size); });
  return limit;
}

}  // namespace

void request_factory::perform_post(const std::string& uri, const std::string& cookie,
                                   curl_httppost* form, const function_ptr& callback,
                                   const function_ptr& on_upload_frame, task* upload_task) {
  VOCLE_LOG_INFO("uri: %1%, cookie: %2%", uri, cookie_note(cookie));
  run_transfer(curl_easy_init(), uri, cookie, form, callback, on_upload_frame, upload_task);
}

void request_factory::run_transfer(CURL* handle, const std::string& uri, const std::string& cookie,
                                   curl_httppost* form, const function_ptr& callback,
                                   const function_ptr& on_upload_frame, task* upload_task) {
  binary body(static_cast<std::size_t>(0));
  header_map headers;
  progress_context context;
  context.handle = handle;
  context.on_upload_frame = on_upload_frame;
  context.task = upload_task;
  context.response_limit = response_limit();
  bounded_body sink{&body, &context};

  CURLcode result = CURLE_FAILED_INIT;
  std::int32_t status = 0;
  if (!handle) {
    TRANSFER_LOG(Error, "curl_easy_init failed, nothing posted to %1%", uri);
  } else {
    set_option(handle, CURLOPT_POST, 1L);
    set_option(handle, CURLOPT_HTTPPOST, form);
    set_option(handle, CURLOPT_URL, uri.c_str());
    set_option(handle, CURLOPT_PROTOCOLS_STR, allowed_protocols);
    set_option(handle, CURLOPT_REDIR_PROTOCOLS_STR, allowed_protocols);
    const std::int32_t timeout = upload_task ? upload_task->timeout() : 0;
    TRANSFER_LOG(Error, "timeout: %1%", timeout);
    if (timeout > 0) {
      set_option(handle, CURLOPT_TIMEOUT, static_cast<long>(timeout));
    }
    // Time-outs by signal are unsafe in a process with other threads.
    set_option(handle, CURLOPT_NOSIGNAL, 1L);
    set_option(handle, CURLOPT_USERAGENT, user_agent);
    set_option(handle, CURLOPT_FOLLOWLOCATION, 1L);
    set_option(handle, CURLOPT_MAXREDIRS, max_redirects);
    // The page gives the cookie, and libcurl sends it as it stands: a line break in it would
    // start headers of the page's choosing. The header ends where the first line does.
    const std::string cookie_line = cookie.substr(0, cookie.find_first_of("\r\n"));
    if (cookie_line.size() != cookie.size()) {
      TRANSFER_LOG(Warn, "cookie cut at its first line break, %1% left", cookie_note(cookie_line));
    }
    set_option(handle, CURLOPT_COOKIE, cookie_line.c_str());
    set_option(handle, CURLOPT_READFUNCTION, &read_request_binary);
    set_option(handle, CURLOPT_HEADERFUNCTION, &write_header_data);
    set_option(handle, CURLOPT_HEADERDATA, static_cast<void*>(&headers));
    set_option(handle, CURLOPT_WRITEFUNCTION, &write_bounded_body);
    set_option(handle, CURLOPT_WRITEDATA, static_cast<void*>(&sink));
    // An answer whose announced length is already too large is refused before its body comes.
    if (context.response_limit > 0 &&
        context.response_limit <=
            static_cast<std::uint64_t>(std::numeric_limits<curl_off_t>::max())) {
      set_option(handle, CURLOPT_MAXFILESIZE_LARGE,
                 static_cast<curl_off_t>(context.response_limit));
    }
    set_option(handle, CURLOPT_PROGRESSFUNCTION, &progress_callback);
    set_option(handle, CURLOPT_PROGRESSDATA, static_cast<void*>(&context));
    set_option(handle, CURLOPT_NOPROGRESS, 0L);
    set_option(handle, CURLOPT_PREREQFUNCTION, &prereq_callback);
    set_option(handle, CURLOPT_PREREQDATA, static_cast<void*>(&context));
    // The empty "Expect:" keeps libcurl from waiting for a 100-continue before a large body.
    curl_slist* request_headers = nullptr;
    for (const char* line : {"Expect:", "Accept: application/json", "Connection: close"}) {
      curl_slist* grown = curl_slist_append(request_headers, line);
      if (grown) {
        request_headers = grown;
      }
    }
    set_option(handle, CURLOPT_HTTPHEADER, request_headers);

    if (upload_task && upload_task->cancelled_by_all() && upload_task->cancel_due()) {
      // The process is ending: a transfer that has not begun is not made at all, as if its
      // first progress report had aborted it.
      TRANSFER_LOG(Error, "task(%1%) canceled", upload_task->id());
      result = CURLE_ABORTED_BY_CALLBACK;
    } else if (util::holds_nul(uri)) {
      // libcurl takes the address as a C string: the request would go to the part before the
      // NUL. It fails as an address libcurl cannot read, and nothing is sent.
      TRANSFER_LOG(Error, "the address holds a NUL character, nothing posted");
      result = CURLE_URL_MALFORMAT;
    } else if (util::holds_nul(cookie)) {
      TRANSFER_LOG(Error, "the cookie holds a NUL character, nothing posted");
      result = CURLE_BAD_FUNCTION_ARGUMENT;
    } else {
      TRANSFER_LOG(Debug, "posting to server");
      result = curl_easy_perform(handle);
    }
    if (result == CURLE_ABORTED_BY_CALLBACK && context.redirect_refused) {
      result = CURLE_OK;  // the transfer ended with the redirect's answer
    }

    long response_code = 0;
    if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response_code) == CURLE_OK) {
      status = static_cast<std::int32_t>(response_code);
    }
    curl_easy_cleanup(handle);
    context.handle = nullptr;
    curl_slist_free_all(request_headers);
  }

  // Also after a cancel: the upload is over whatever its outcome.
  if (upload_task) {
    upload_task->set_status(task::task_done);
  }
  response_callback(result, status, headers, body, callback, &context);
  TRANSFER_LOG(Debug, "request %1% done.", uri);
}

std::size_t request_factory::write_response_data(char* data, std::size_t size, std::size_t count,
                                                 void* body) {
  VOCLE_LOG_TRACE("enters(%1%, %2%, %3%, %4%)", static_cast<const void*>(data), size, count, body);
  if (!usable(data, size, count, body)) {
    VOCLE_LOG_ERROR("arguments error");
    return 0;
  }
  const std::size_t n = size * count;
  // A body that cannot grow ends the transfer, which then reports a failure.
  if (!no_throw(__PRETTY_FUNCTION__, "storing the response body",
                [&] { static_cast<binary*>(body)->append(data, n); })) {
    return 0;
  }
  VOCLE_LOG_TRACE("result %1%.", n);
  return n;
}

std::size_t request_factory::read_request_binary(char* buffer, std::size_t size, std::size_t count,
                                                 void* stream) {
  VOCLE_LOG_TRACE("enters (%1%, %2%, %3%, %4%)", static_cast<const void*>(buffer), size, count,
                  stream);
  if (!usable(buffer, size, count, stream)) {
    VOCLE_LOG_ERROR("arguments error");
    return 0;
  }
  const std::size_t room = size * count;
  std::size_t n = 0;
  if (!no_throw(__PRETTY_FUNCTION__, "reading a streamed part",
                [&] { n = static_cast<byte_source*>(stream)->read(buffer, room); })) {
    return CURL_READFUNC_ABORT;
  }
  n = std::min(n, room);
  VOCLE_LOG_TRACE("%1% -> %2%, %3% bytes written", stream, static_cast<const void*>(buffer), n);
  return n;
}

std::size_t request_factory::write_header_data(char* data, std::size_t size, std::size_t count,
                                               void* headers) {
  VOCLE_LOG_TRACE("enters(%1%, %2%, %3%, %4%)", static_cast<const void*>(data), size, count,
                  headers);
  if (!usable(data, size, count, headers)) {
    VOCLE_LOG_ERROR("arguments error");
    return 0;
  }
  const std::size_t n = size * count;
  if (!no_throw(__PRETTY_FUNCTION__, "storing a response header",
                [&] { parse_header(std::string(data, n), *static_cast<header_map*>(headers)); })) {
    return 0;
  }
  return n;
}

void request_factory::parse_header(const std::string& line, header_map& headers) {
  VOCLE_LOG_TRACE("header: %1%", line);
  // Compiled once; only the single transfer in flight uses it.
  static const boost::regex pattern("^\\s*([^:\\s]+)\\s*:\\s*(.+)\\s*$", boost::regex::perl);
  // The dot matches CR and LF here and the value group is greedy, so the value keeps the line
  // break that ends the line.
  const std::string text(line.c_str());
  boost::smatch match;
  if (!boost::regex_match(text, match, pattern)) {
    return;
  }
  std::string name = match[1].str();
  const std::ctype<char>& ctype = std::use_facet<std::ctype<char> >(std::locale());
  ctype.tolower(&name[0], &name[0] + name.size());
  std::string value = match[2].str();
  VOCLE_LOG_TRACE("%1%: %2%", name, value);
  headers[name] = value;
}

int request_factory::progress_callback(void* context, double dltotal, double dlnow, double ultotal,
                                       double ulnow) {
  // A progress call that fails (the task's lock) cannot tell whether a cancel was asked for; it
  // ends the transfer.
  int result = 1;
  no_throw(__PRETTY_FUNCTION__, "progress", [&] {
    result = xferinfo(static_cast<progress_context*>(context), static_cast<std::int64_t>(dltotal),
                      static_cast<std::int64_t>(dlnow), static_cast<std::int64_t>(ultotal),
                      static_cast<std::int64_t>(ulnow));
  });
  return result;
}

int request_factory::prereq_callback(void* context, char*, char*, int, int) {
  progress_context* transfer = static_cast<progress_context*>(context);
  if (!transfer || !transfer->handle) {
    return CURL_PREREQFUNC_OK;
  }
  // Before the first request no answer is there yet (0); before a followed redirect the
  // redirect's status still is.
  long previous = 0;
  if (curl_easy_getinfo(transfer->handle, CURLINFO_RESPONSE_CODE, &previous) != CURLE_OK) {
    previous = 0;
  }
  if (previous == 307 || previous == 308) {
    VOCLE_LOG_WARN("redirect %1% not followed: the form cannot be sent again", previous);
    transfer->redirect_refused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

int request_factory::xferinfo(progress_context* context, std::int64_t dltotal, std::int64_t dlnow,
                              std::int64_t ultotal, std::int64_t ulnow) {
  if (!context || !context->task) {
    VOCLE_LOG_ERROR("no task, abort");
    return 1;
  }
  if (context->task->cancel_due()) {
    VOCLE_LOG_ERROR("task(%1%) canceled", context->task->id());
    return 1;
  }

  double total_time = 0;
  if (context->handle &&
      curl_easy_getinfo(context->handle, CURLINFO_TOTAL_TIME, &total_time) != CURLE_OK) {
    total_time = 0;
  }

  if (context->on_upload_frame && ultotal != 0 &&
      (ulnow != context->ulnow || ultotal != context->ultotal)) {
    // A listener that fails loses its report; the upload goes on.
    no_throw(__PRETTY_FUNCTION__, "reporting upload progress", [&] {
      context->on_upload_frame->call_async(FB::VariantList{static_cast<std::int32_t>(ulnow),
                                                           static_cast<std::int32_t>(ultotal),
                                                           context->task->id()});
    });
  }

  context->ulnow = ulnow;
  context->ultotal = ultotal;
  context->dlnow = dlnow;
  context->dltotal = dltotal;
  context->total_time = total_time;
  return 0;
}

}  // namespace http
}  // namespace vocle
