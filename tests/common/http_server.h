// A real HTTP server for tests: cpp-httplib listening on 127.0.0.1 on a port the system picks,
// serving on threads of the test process. It records every request as it arrived and answers
// with what the test asked for.
//
//   vocle::testkit::http_server server;
//   server.reply("/assess", {200, "{\"score\": 90}"});
//   server.redirect("/old", 301, "/assess");
//   server.on("/slow", [&](const vocle::testkit::recorded_request&) {
//     server.pause(std::chrono::seconds(30));       // cut short when the server stops
//     return vocle::testkit::http_reply{200, "late"};
//   });
//   post_to(server.url("/assess"));
//   ASSERT_TRUE(server.wait_for_requests(1));
//   vocle::testkit::recorded_request r = server.requests().at(0);
//   r.header("User-Agent");                            // header names match in any case
//   r.parts.at(0).name, r.parts.at(0).header("Content-Transfer-Encoding"), r.parts.at(0).content;
//
// What is recorded:
//  - method, path (without the query), target (with it), the headers as received (sorted by
//    name, as cpp-httplib keeps them), the raw body
//    bytes exactly as they came over the wire (after any chunked transfer coding is undone);
//  - for a multipart/form-data body, its parts in body order (cpp-httplib itself keeps them only
//    in a map by name and drops their headers), each with its name, file name, content type,
//    every header line of the part as sent, and its bytes. multipart_valid says whether the body
//    followed the multipart form: a boundary in the Content-Type header, every part opened by the
//    boundary line, headers ended by an empty line, a Content-Disposition of form-data with a
//    name, and the closing boundary;
//  - sequence: testkit::next_sequence() (common/recording_function.h) when the request had fully
//    arrived, just before its handler ran; compare it with a recording_function's deliveries to
//    see what happened first.
//
// Paths without a handler answer 404 "no handler". Handlers run on the server's threads, one per
// request, and may block: pause() and wait_released() return early when the server stops, so a
// test that fails half-way does not hang in the destructor.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vocle {
namespace testkit {

typedef std::vector<std::pair<std::string, std::string> > header_list;

// The value of the first header of that name (compared in any letter case), "" when none.
std::string find_header(const header_list& headers, const std::string& name);
bool has_header(const header_list& headers, const std::string& name);

struct recorded_part {
  std::string name;
  std::string filename;  // "" when the part has none
  bool has_filename = false;
  std::string content_type;  // "" when the part has none
  header_list headers;       // every header line of the part, names and values as sent
  std::string content;       // the part's bytes

  std::string header(const std::string& name) const { return find_header(headers, name); }
  bool has(const std::string& name) const { return has_header(headers, name); }
};

struct recorded_request {
  std::uint64_t sequence = 0;
  std::string method;
  std::string path;
  std::string target;
  header_list headers;  // sorted by name (cpp-httplib keeps them so), names as received
  std::string body;     // raw

  bool multipart = false;  // the Content-Type was multipart/form-data
  bool multipart_valid = false;
  std::string boundary;
  std::vector<recorded_part> parts;  // in body order

  std::string header(const std::string& name) const { return find_header(headers, name); }
  bool has(const std::string& name) const { return has_header(headers, name); }
  // Number of headers of that name (any letter case).
  std::size_t count(const std::string& name) const;
  // The first part of that name, or null.
  const recorded_part* part(const std::string& name) const;
  // The part names in body order.
  std::vector<std::string> part_names() const;
};

struct http_reply {
  http_reply() = default;
  http_reply(int status_code, const std::string& body_text)
      : status(status_code), body(body_text) {}

  int status = 200;
  std::string body;
  std::string content_type = "text/plain";
  // Sent as given, after the status line; a name may carry odd spacing ("Location ").
  header_list headers;
  // Waited before the answer is sent; cut short when the server stops.
  std::chrono::milliseconds delay{0};
};

class http_server {
 public:
  typedef std::function<http_reply(const recorded_request&)> handler;

  // Listening when the constructor returns.
  http_server();
  // Releases blocked handlers, stops and joins the serving thread.
  ~http_server();
  http_server(const http_server&) = delete;
  http_server& operator=(const http_server&) = delete;

  int port() const;
  // "http://127.0.0.1:<port>" + path
  std::string url(const std::string& path) const;

  // The handler of a path (exact match, any method); replaces an earlier one.
  void on(const std::string& path, handler h);
  // A fixed answer.
  void reply(const std::string& path, const http_reply& answer);
  // A redirect answer with "Location: <location>".
  void redirect(const std::string& path, int status, const std::string& location);

  // What has arrived so far, in arrival order.
  std::vector<recorded_request> requests() const;
  std::size_t request_count() const;
  // Waits until at least n requests have arrived; false at the deadline.
  bool wait_for_requests(
      std::size_t n, std::chrono::milliseconds deadline = std::chrono::milliseconds(30000)) const;

  // For handlers: waits for the duration; false when the server began to stop first.
  bool pause(std::chrono::milliseconds duration) const;
  // For handlers: waits until release(name) (true) or until the server stops or the deadline
  // passes (false).
  bool wait_released(const std::string& name,
                     std::chrono::milliseconds deadline = std::chrono::milliseconds(60000)) const;
  // Opens the named gate for every present and future waiter.
  void release(const std::string& name);

 private:
  struct impl;
  std::unique_ptr<impl> m_impl;
};

}  // namespace testkit
}  // namespace vocle
