#include "core/foundation/binary_source.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vocle {

binary_source::binary_source(boost::shared_ptr<binary> bytes)
    : m_bytes(std::move(bytes)), m_size(m_bytes ? m_bytes->size() : 0) {}

binary_source::~binary_source() = default;

std::size_t binary_source::read(char* to, std::size_t n) {
  if (!m_bytes) {
    return 0;
  }
  n = std::min(n, m_bytes->size());
  if (n) {
    std::memcpy(to, m_bytes->begin(), n);
    m_bytes->consume(n);
  }
  return n;
}

}  // namespace vocle
