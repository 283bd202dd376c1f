// A local HTTP server for the upload benchmarks, on a free port of 127.0.0.1, serving one
// connection at a time on a thread of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// Reads each request's headers, lets a client that expects it go on ("100 Continue"), reads
// exactly Content-Length bytes of body, which it counts and throws away, answers 200 and closes.
class discard_server {
 public:
  discard_server() : m_buffer(256 * 1024) {
    m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (m_listener < 0) {
      throw std::runtime_error("socket failed");
    }
    const int on = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 16) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ::close(m_listener);
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
  }

  ~discard_server() {
    m_stopping = true;
    ::shutdown(m_listener, SHUT_RDWR);  // wakes the accept
    m_thread.join();
    ::close(m_listener);
  }

  std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/upload"; }
  // Body bytes of the last request served whole; 0 when it was not.
  std::uint64_t last_body() const { return m_last_body; }

 private:
  void run() {
    while (!m_stopping) {
      const int connection = ::accept(m_listener, nullptr, nullptr);
      if (connection < 0) {
        if (errno == EINTR && !m_stopping) {
          continue;
        }
        return;
      }
      m_last_body = 0;
      serve(connection);
      ::close(connection);
    }
  }

  void serve(int connection) {
    std::string head;
    std::size_t end = std::string::npos;
    std::size_t body_seen = 0;
    while (end == std::string::npos) {
      const ssize_t got = ::recv(connection, m_buffer.data(), m_buffer.size(), 0);
      if (got <= 0 || head.size() > 64 * 1024) {
        return;
      }
      head.append(m_buffer.data(), std::size_t(got));
      end = head.find("\r\n\r\n");
      if (end != std::string::npos) {
        body_seen = head.size() - end - 4;
        head.resize(end + 2);
      }
    }
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    const std::size_t field = lower.find("\r\ncontent-length:");
    if (field == std::string::npos) {
      send_all(connection, "HTTP/1.1 411 Length Required\r\nContent-Length: 0\r\n\r\n");
      return;
    }
    if (lower.find("\r\nexpect: 100-continue") != std::string::npos) {
      send_all(connection, "HTTP/1.1 100 Continue\r\n\r\n");
    }
    const std::uint64_t length = std::strtoull(head.c_str() + field + 17, nullptr, 10);
    std::uint64_t read = body_seen;
    while (read < length) {
      const ssize_t got = ::recv(connection, m_buffer.data(), m_buffer.size(), 0);
      if (got <= 0) {
        return;
      }
      read += std::uint64_t(got);
    }
    m_last_body = read;
    send_all(connection,
             "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 11\r\n"
             "Connection: close\r\n\r\n{\"ok\":true}");
  }

  static void send_all(int connection, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
      const ssize_t n = ::send(connection, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        return;
      }
      sent += std::size_t(n);
    }
  }

  int m_listener = -1;
  int m_port = 0;
  std::vector<char> m_buffer;
  std::atomic<bool> m_stopping{false};
  std::atomic<std::uint64_t> m_last_body{0};
  std::thread m_thread;
};

}  // namespace bench
