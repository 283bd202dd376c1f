#include "tools/assess-server/assess_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "tools/assess-server/form_reader.h"
#include "tools/assess-server/wav_dvi_adpcm_image.h"

namespace assess {

namespace {

const std::size_t max_delay_ms = 3600000;

// One line on standard error, written at once so that lines of parallel requests do not mix.
void note(const std::string& text) {
  const std::string line = "assess-server: " + text + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) {
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string json_names(const std::vector<assess_server::part>& parts) {
  std::string out = "[";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    out += (i ? ", " : "") + json_string(parts[i].name);
  }
  return out + "]";
}

assess_server::answer refusal(int status, const std::string& reason,
                              const std::vector<assess_server::part>& parts) {
  return {status, "{\"error\": " + json_string(reason) + ", \"parts\": " + json_names(parts) + "}"};
}

std::string trim(const std::string& s) {
  const std::string::size_type b = s.find_first_not_of(" \t");
  if (b == std::string::npos) {
    return std::string();
  }
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

bool same_text(const std::string& a, const char* b) {
  return ::strcasecmp(a.c_str(), b) == 0;
}

// A whole decimal number no greater than max.
bool whole_number(const std::string& text, std::size_t max, std::size_t& value) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = std::stoull(text);
  return value <= max;
}

struct controls {
  std::size_t delay_ms = 0;
  bool drop = false;
  int status = 0;  // 0: the status of the answer
  bool filler = false;
  std::size_t bytes = 0;  // of filler, when filler is set
  bool chunked = false;
};

// The largest filler answer (bytes=N).
const std::size_t max_filler_bytes = 9999999999;

// Sends n bytes of filler text, made as they go out: with their length announced, or in chunks.
void send_filler(httplib::Response& response, std::size_t n, bool chunked) {
  static const std::string piece = [] {
    std::string text;
    while (text.size() < 65536) {
      text += "0123456789abcdefghijklmnopqrstuvwxyz\n";
    }
    return text.substr(0, 65536);
  }();
  if (!chunked) {
    response.set_content_provider(
        n, "text/plain", [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          return sink.write(piece.data() + offset % 37,
                            std::min(length, piece.size() - offset % 37));
        });
    return;
  }
  auto sent = std::make_shared<std::size_t>(0);
  response.set_chunked_content_provider(
      "text/plain", [n, sent](std::size_t, httplib::DataSink& sink) {
        if (*sent >= n) {
          sink.done();
          return true;
        }
        const std::size_t length = std::min(piece.size(), n - *sent);
        *sent += length;
        return sink.write(piece.data(), length);
      });
}

// Empty when the controls read; else why not.
std::string read_controls(const httplib::Request& request, controls& c) {
  std::size_t value = 0;
  if (request.has_param("delay_ms")) {
    if (!whole_number(request.get_param_value("delay_ms"), max_delay_ms, value)) {
      return "delay_ms must be a whole number of milliseconds up to " +
             std::to_string(max_delay_ms);
    }
    c.delay_ms = value;
  }
  if (request.has_param("drop")) {
    const std::string drop = request.get_param_value("drop");
    if (drop != "0" && drop != "1") {
      return "drop must be 0 or 1";
    }
    c.drop = drop == "1";
  }
  if (request.has_param("status")) {
    if (!whole_number(request.get_param_value("status"), 599, value) || value < 200) {
      return "status must be an HTTP status from 200 to 599";
    }
    c.status = static_cast<int>(value);
  }
  if (request.has_param("bytes")) {
    if (!whole_number(request.get_param_value("bytes"), max_filler_bytes, value)) {
      return "bytes must be a whole number up to " + std::to_string(max_filler_bytes);
    }
    c.filler = true;
    c.bytes = value;
  }
  if (request.has_param("chunked")) {
    const std::string chunked = request.get_param_value("chunked");
    if (chunked != "0" && chunked != "1") {
      return "chunked must be 0 or 1";
    }
    c.chunked = chunked == "1";
  }
  return std::string();
}

std::string address_text(const sockaddr_storage& address, int& port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    const sockaddr_in& in = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    port = ntohs(in.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const sockaddr_in6& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    port = ntohs(in6.sin6_port);
  } else {
    port = -1;
  }
  return text;
}

// cpp-httplib does not hand its handlers the connection's socket. The request's two addresses
// name the connection, so its socket is the one descriptor of the process with both ends
// matching. Shutting it down (not closing: the descriptor stays cpp-httplib's) ends the
// connection before any answer is written; cpp-httplib's write then fails and it closes the
// socket itself.
bool drop_connection(const httplib::Request& request) {
  DIR* fds = ::opendir("/proc/self/fd");
  if (!fds) {
    return false;
  }
  bool dropped = false;
  while (dirent* entry = ::readdir(fds)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == ::dirfd(fds)) {
      continue;
    }
    struct stat info;
    if (::fstat(static_cast<int>(fd), &info) != 0 || !S_ISSOCK(info.st_mode)) {
      continue;
    }
    sockaddr_storage local{}, peer{};
    socklen_t local_size = sizeof local, peer_size = sizeof peer;
    if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &local_size) !=
            0 ||
        ::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peer_size) != 0) {
      continue;
    }
    int local_port = -1, peer_port = -1;
    const std::string local_address = address_text(local, local_port);
    const std::string peer_address = address_text(peer, peer_port);
    if (local_port == request.local_port && peer_port == request.remote_port &&
        local_address == request.local_addr && peer_address == request.remote_addr) {
      dropped = ::shutdown(static_cast<int>(fd), SHUT_RDWR) == 0;
      break;
    }
  }
  ::closedir(fds);
  return dropped;
}

std::string duration_text(double seconds) {
  std::ostringstream out;
  out.precision(10);
  out << seconds;
  return out.str();
}

}  // namespace

assess_server::assess_server(std::size_t max_body) : m_max_body(max_body) {
  // cpp-httplib's default lets a second server share a busy port (SO_REUSEPORT) and take some
  // of its connections. One server per port: reusing an address that only lingers after a
  // restart is all that is allowed.
  m_server.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  m_server.Post(
      R"(/1/assess\.wav)",
      [this](const httplib::Request& request, httplib::Response& response,
             const httplib::ContentReader& reader) { serve(request, response, reader, true); });
  m_server.Post(R"(.*)", [this](const httplib::Request& request, httplib::Response& response,
                                const httplib::ContentReader& reader) {
    serve(request, response, reader, false);
  });
}

int assess_server::bind(const std::string& host, int port) {
  if (port == 0) {
    return m_server.bind_to_any_port(host);
  }
  return m_server.bind_to_port(host, port) ? port : -1;
}

bool assess_server::run() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping) {
      return true;
    }
    m_running = true;
  }
  const bool served = m_server.listen_after_bind();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_running = false;
  m_changed.notify_all();
  return served || m_stopping;
}

void assess_server::stop() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_stopping = true;
  m_changed.notify_all();
  // cpp-httplib's stop does nothing until its accept loop has begun, so ask until run returns.
  while (m_running) {
    lock.unlock();
    m_server.stop();
    lock.lock();
    m_changed.wait_for(lock, std::chrono::milliseconds(10), [this] { return !m_running; });
  }
}

void assess_server::pause(std::size_t milliseconds) {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_stopping; });
}

void assess_server::serve(const httplib::Request& request, httplib::Response& response,
                          const httplib::ContentReader& reader, bool recognition) {
  const bool multipart = request.is_multipart_form_data();
  form_reader form(m_max_body);
  std::size_t bytes = 0;
  bool read = false;
  if (multipart) {
    read = reader(
        [&](const httplib::MultipartFormData& header) {
          return form.header(header.name, header.filename, header.content_type);
        },
        [&](const char* data, std::size_t length) { return form.content(data, length); });
    bytes = form.bytes();
  } else {
    read = reader([&](const char*, std::size_t length) {
      bytes += length;
      return true;
    });
  }
  const std::vector<part>& parts = form.parts();
  const std::string what = request.method + " " + request.target;
  // How the body was framed, for clients' tests: with its length announced, or in chunks.
  const std::string framing = request.has_header("Content-Length")
                                  ? "Content-Length " + request.get_header_value("Content-Length")
                                  : request.get_header_value("Transfer-Encoding");
  note(what + ": received " + std::to_string(parts.size()) +
       (parts.size() == 1 ? " part, " : " parts, ") + std::to_string(bytes) + " bytes (" + framing +
       ")");

  controls c;
  const std::string control_error = read_controls(request, c);
  answer a{0, std::string()};
  const bool too_large = form.too_large();
  if (!control_error.empty()) {
    a = refusal(400, control_error, parts);
  } else if (too_large) {
    a = refusal(413, "the request body is larger than " + std::to_string(m_max_body) + " bytes",
                parts);
  } else {
    if (c.delay_ms) {
      pause(c.delay_ms);
    }
    if (c.drop) {
      if (drop_connection(request)) {
        note(what + ": connection dropped");
        return;
      }
      a = refusal(500, "the connection could not be dropped", parts);
    } else if (!read) {
      a = refusal(400, multipart ? "the multipart body is malformed" : "the body did not arrive",
                  parts);
    } else if (!multipart) {
      a = refusal(400, "the body is not a multipart/form-data form", parts);
    } else {
      a = recognition ? assess(parts) : describe(parts);
    }
    if (c.status && !c.drop) {
      a.status = c.status;
    }
  }
  response.status = a.status;
  if (c.filler && !too_large && control_error.empty()) {
    send_filler(response, c.bytes, c.chunked);
    note(what + ": " + std::to_string(a.status) + ", " + std::to_string(c.bytes) +
         " bytes of filler");
    return;
  }
  response.set_content(a.body, "application/json");
  note(what + ": " + std::to_string(a.status));
}

assess_server::answer assess_server::assess(const std::vector<part>& parts) {
  const std::size_t none = parts.size();
  std::size_t file_at = none, sentence_at = none;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string& name = parts[i].name;
    if (name == "file" || name == "sentence") {
      std::size_t& at = name == "file" ? file_at : sentence_at;
      if (at != none) {
        return refusal(400, "the form has more than one \"" + name + "\" part", parts);
      }
      at = i;
    }
  }
  if (file_at == none) {
    return refusal(400, "the form has no \"file\" part", parts);
  }
  if (sentence_at == none) {
    return refusal(400, "the form has no \"sentence\" part", parts);
  }
  if (sentence_at < file_at) {
    return refusal(400, "the \"file\" part must come before the \"sentence\" part", parts);
  }
  const part* file = &parts[file_at];
  const part* sentence = &parts[sentence_at];
  if (!is_adpcm_wav(file->content_type)) {
    return refusal(400,
                   "the \"file\" part's content type is \"" + file->content_type +
                       "\", not application/wav; codec=\"11\"",
                   parts);
  }
  wav_dvi_adpcm_image image;
  try {
    image = wav_dvi_adpcm_image::read(file->content);
  } catch (const malformed_image& e) {
    return refusal(422, std::string("the \"file\" part is not a WAV DVI-ADPCM image: ") + e.what(),
                   parts);
  }
  return {200, "{\"sentence\": " + json_string(sentence->content) +
                   ", \"samples\": " + std::to_string(image.samples.size()) +
                   ", \"duration\": " + duration_text(image.duration()) + ", \"sample_rate\": " +
                   std::to_string(image.sample_rate) + ", \"parts\": " + json_names(parts) + "}"};
}

assess_server::answer assess_server::describe(const std::vector<part>& parts) {
  std::string body = "{\"parts\": [";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const part& p = parts[i];
    body += std::string(i ? ", " : "") + "{\"name\": " + json_string(p.name) +
            ", \"file_name\": " + json_string(p.file_name) +
            ", \"content_type\": " + json_string(p.content_type) +
            ", \"bytes\": " + std::to_string(p.content.size()) + "}";
  }
  return {200, body + "]}"};
}

bool assess_server::is_adpcm_wav(const std::string& content_type) {
  std::vector<std::string> pieces;
  std::string::size_type begin = 0;
  for (;;) {
    const std::string::size_type semicolon = content_type.find(';', begin);
    pieces.push_back(trim(content_type.substr(begin, semicolon - begin)));
    if (semicolon == std::string::npos) {
      break;
    }
    begin = semicolon + 1;
  }
  if (!same_text(pieces[0], "application/wav")) {
    return false;
  }
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    const std::string::size_type equals = pieces[i].find('=');
    if (equals == std::string::npos || !same_text(trim(pieces[i].substr(0, equals)), "codec")) {
      continue;
    }
    std::string value = trim(pieces[i].substr(equals + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    return value == "11";
  }
  return false;
}

}  // namespace assess
