#include "common/http_server.h"

#include <httplib.h>
#include <strings.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "common/recording_function.h"

namespace vocle {
namespace testkit {

namespace {

// cpp-httplib parses a multipart body itself and keeps neither the order of its parts nor their
// headers. The pre-routing hook renames the Content-Type of such a request, so the body arrives
// raw; the handler puts the original back in the record and parses the parts itself.
const char* const hidden_content_type = "X-Testkit-Original-Content-Type";
const char* const raw_content_type = "application/x-testkit-raw-multipart";

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::string trim(const std::string& s) {
  std::string::size_type b = s.find_first_not_of(" \t");
  if (b == std::string::npos) {
    return std::string();
  }
  std::string::size_type e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// The value of a parameter of a header value: boundary=..., name="...".
bool header_parameter(const std::string& value, const std::string& key, std::string& out) {
  std::string::size_type pos = 0;
  while ((pos = value.find(';', pos)) != std::string::npos) {
    ++pos;
    std::string::size_type eq = value.find('=', pos);
    if (eq == std::string::npos) {
      return false;
    }
    if (!same_name(trim(value.substr(pos, eq - pos)), key)) {
      continue;
    }
    std::string rest = value.substr(eq + 1);
    std::string::size_type start = rest.find_first_not_of(" \t");
    if (start == std::string::npos) {
      out.clear();
      return true;
    }
    if (rest[start] == '"') {
      std::string::size_type close = rest.find('"', start + 1);
      if (close == std::string::npos) {
        return false;
      }
      out = rest.substr(start + 1, close - start - 1);
    } else {
      out = trim(rest.substr(start, rest.find(';', start) - start));
    }
    return true;
  }
  return false;
}

bool parse_multipart(const std::string& body, const std::string& boundary,
                     std::vector<recorded_part>& parts) {
  if (boundary.empty()) {
    return false;
  }
  const std::string opening = "--" + boundary;
  const std::string delimiter = "\r\n--" + boundary;
  if (body.compare(0, opening.size(), opening) != 0) {
    return false;
  }
  std::string::size_type pos = opening.size();
  for (;;) {
    if (body.compare(pos, 2, "--") == 0) {
      return body.compare(pos + 2, std::string::npos, "\r\n") == 0 || pos + 2 == body.size();
    }
    if (body.compare(pos, 2, "\r\n") != 0) {
      return false;
    }
    pos += 2;
    std::string::size_type headers_end = body.find("\r\n\r\n", pos);
    if (headers_end == std::string::npos) {
      return false;
    }
    recorded_part part;
    std::string::size_type line_begin = pos;
    while (line_begin < headers_end + 2) {
      std::string::size_type line_end = body.find("\r\n", line_begin);
      std::string line = body.substr(line_begin, line_end - line_begin);
      std::string::size_type colon = line.find(':');
      if (colon == std::string::npos) {
        return false;
      }
      part.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
      line_begin = line_end + 2;
    }
    std::string disposition = part.header("Content-Disposition");
    if (disposition.compare(0, 9, "form-data") != 0 ||
        !header_parameter(disposition, "name", part.name)) {
      return false;
    }
    part.has_filename = header_parameter(disposition, "filename", part.filename);
    part.content_type = part.header("Content-Type");
    std::string::size_type content_begin = headers_end + 4;
    std::string::size_type content_end = body.find(delimiter, content_begin);
    if (content_end == std::string::npos) {
      return false;
    }
    part.content = body.substr(content_begin, content_end - content_begin);
    parts.push_back(std::move(part));
    pos = content_end + delimiter.size();
  }
}

}  // namespace

std::string find_header(const header_list& headers, const std::string& name) {
  for (const auto& h : headers) {
    if (same_name(h.first, name)) {
      return h.second;
    }
  }
  return std::string();
}

bool has_header(const header_list& headers, const std::string& name) {
  for (const auto& h : headers) {
    if (same_name(h.first, name)) {
      return true;
    }
  }
  return false;
}

std::size_t recorded_request::count(const std::string& name) const {
  std::size_t n = 0;
  for (const auto& h : headers) {
    n += same_name(h.first, name) ? 1 : 0;
  }
  return n;
}

const recorded_part* recorded_request::part(const std::string& name) const {
  for (const recorded_part& p : parts) {
    if (p.name == name) {
      return &p;
    }
  }
  return nullptr;
}

std::vector<std::string> recorded_request::part_names() const {
  std::vector<std::string> names;
  for (const recorded_part& p : parts) {
    names.push_back(p.name);
  }
  return names;
}

struct http_server::impl {
  httplib::Server server;
  int port = 0;
  std::thread thread;
  std::atomic<bool> listen_returned{false};

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool stopping = false;
  std::set<std::string> released;
  std::map<std::string, handler> handlers;
  std::vector<recorded_request> requests;

  void serve(const httplib::Request& req, httplib::Response& res);
};

void http_server::impl::serve(const httplib::Request& req, httplib::Response& res) {
  recorded_request record;
  record.method = req.method;
  record.path = req.path;
  record.target = req.target;
  std::string original_type;
  bool hidden = false;
  for (const auto& h : req.headers) {
    if (same_name(h.first, hidden_content_type)) {
      original_type = h.second;
      hidden = true;
    }
  }
  for (const auto& h : req.headers) {
    if (same_name(h.first, hidden_content_type)) {
      continue;
    }
    if (hidden && same_name(h.first, "Content-Type")) {
      record.headers.emplace_back(h.first, original_type);
    } else {
      record.headers.emplace_back(h.first, h.second);
    }
  }
  record.body = req.body;
  if (hidden) {
    record.multipart = true;
    header_parameter(original_type, "boundary", record.boundary);
    record.multipart_valid = parse_multipart(record.body, record.boundary, record.parts);
  }

  handler h;
  {
    std::lock_guard<std::mutex> lock(mutex);
    record.sequence = next_sequence();
    requests.push_back(record);
    auto it = handlers.find(req.path);
    if (it != handlers.end()) {
      h = it->second;
    }
  }
  changed.notify_all();

  http_reply answer;
  if (h) {
    answer = h(record);
  } else {
    answer.status = 404;
    answer.body = "no handler";
  }
  if (answer.delay.count() > 0) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, answer.delay, [this] { return stopping; });
  }
  res.status = answer.status;
  for (const auto& header : answer.headers) {
    res.headers.emplace(header.first, header.second);
  }
  res.set_content(answer.body, answer.content_type.c_str());
}

http_server::http_server() : m_impl(new impl) {
  impl* self = m_impl.get();
  self->server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
    if (req.is_multipart_form_data()) {
      // The request object itself is not const; only the hook's view of it is.
      httplib::Request& writable = const_cast<httplib::Request&>(req);
      std::string type = writable.get_header_value("Content-Type");
      writable.headers.erase("Content-Type");
      writable.headers.emplace("Content-Type", raw_content_type);
      writable.headers.emplace(hidden_content_type, type);
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  auto serve = [self](const httplib::Request& req, httplib::Response& res) {
    self->serve(req, res);
  };
  self->server.Get(".*", serve);
  self->server.Post(".*", serve);
  self->server.Put(".*", serve);
  self->server.Delete(".*", serve);
  self->port = self->server.bind_to_any_port("127.0.0.1");
  if (self->port <= 0) {
    throw std::runtime_error("http_server: cannot listen on 127.0.0.1");
  }
  self->thread = std::thread([self] {
    self->server.listen_after_bind();
    self->listen_returned = true;
  });
  // stop() does nothing before the accept loop runs, so the destructor must not come earlier.
  while (!self->server.is_running() && !self->listen_returned) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

http_server::~http_server() {
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->stopping = true;
  }
  m_impl->changed.notify_all();
  m_impl->server.stop();
  m_impl->thread.join();
}

int http_server::port() const {
  return m_impl->port;
}

std::string http_server::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(m_impl->port) + path;
}

void http_server::on(const std::string& path, handler h) {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  m_impl->handlers[path] = std::move(h);
}

void http_server::reply(const std::string& path, const http_reply& answer) {
  on(path, [answer](const recorded_request&) { return answer; });
}

void http_server::redirect(const std::string& path, int status, const std::string& location) {
  http_reply answer;
  answer.status = status;
  answer.body = "moved";
  answer.headers.emplace_back("Location", location);
  reply(path, answer);
}

std::vector<recorded_request> http_server::requests() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->requests;
}

std::size_t http_server::request_count() const {
  std::lock_guard<std::mutex> lock(m_impl->mutex);
  return m_impl->requests.size();
}

bool http_server::wait_for_requests(std::size_t n, std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(m_impl->mutex);
  return m_impl->changed.wait_for(lock, deadline, [&] { return m_impl->requests.size() >= n; });
}

bool http_server::pause(std::chrono::milliseconds duration) const {
  std::unique_lock<std::mutex> lock(m_impl->mutex);
  return !m_impl->changed.wait_for(lock, duration, [&] { return m_impl->stopping; });
}

bool http_server::wait_released(const std::string& name, std::chrono::milliseconds deadline) const {
  std::unique_lock<std::mutex> lock(m_impl->mutex);
  m_impl->changed.wait_for(lock, deadline,
                           [&] { return m_impl->stopping || m_impl->released.count(name) != 0; });
  return m_impl->released.count(name) != 0 && !m_impl->stopping;
}

void http_server::release(const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->released.insert(name);
  }
  m_impl->changed.notify_all();
}

}  // namespace testkit
}  // namespace vocle
