// Collects the parts of a multipart form as cpp-httplib's reader hands them over: each part's
// header, then its bytes in pieces. It keeps at most a given number of bytes (the parts' names,
// file names, content types and contents together); past that it only counts what still comes,
// so a client that sends more is read to the end (it then gets an answer, not a reset) without
// the server holding the body.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/assess-server/assess_server.h"

namespace assess {

class form_reader {
 public:
  explicit form_reader(std::size_t max_body) : m_max_body(max_body) {}

  // A part begins. Always true: reading goes on.
  bool header(const std::string& name, const std::string& file_name,
              const std::string& content_type);
  // Bytes of the current part. False for bytes before any part (a malformed body).
  bool content(const char* data, std::size_t length);

  // The parts kept; once the form is too large, those that began before.
  const std::vector<assess_server::part>& parts() const { return m_parts; }
  // Content bytes received, kept or not.
  std::size_t bytes() const { return m_bytes; }
  // Whether the form held more than max_body bytes.
  bool too_large() const { return m_too_large; }
  std::size_t max_body() const { return m_max_body; }

 private:
  // Counts n more bytes as held; false (and too large from then on) past the limit.
  bool hold(std::size_t n);

  const std::size_t m_max_body;
  std::vector<assess_server::part> m_parts;
  std::size_t m_bytes = 0;
  std::size_t m_held = 0;
  bool m_too_large = false;
};

}  // namespace assess
