#include "tools/assess-server/form_reader.h"

namespace assess {

bool form_reader::header(const std::string& name, const std::string& file_name,
                         const std::string& content_type) {
  if (hold(name.size() + file_name.size() + content_type.size())) {
    m_parts.push_back(assess_server::part{name, file_name, content_type, std::string()});
  }
  return true;
}

bool form_reader::content(const char* data, std::size_t length) {
  if (m_parts.empty() && !m_too_large) {
    return false;
  }
  m_bytes += length;
  if (hold(length)) {
    m_parts.back().content.append(data, length);
  }
  return true;
}

bool form_reader::hold(std::size_t n) {
  if (m_too_large || n > m_max_body - m_held) {
    m_too_large = true;
    return false;
  }
  m_held += n;
  return true;
}

}  // namespace assess
