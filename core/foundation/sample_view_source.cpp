#include "core/foundation/sample_view_source.h"

#include <utility>

namespace vocle {

sample_view_source::sample_view_source(sample_view view) : m_view(std::move(view)), m_position(0) {}

sample_view_source::~sample_view_source() = default;

std::uint64_t sample_view_source::size() const {
  return static_cast<std::uint64_t>(m_view.size()) * 2;
}

std::size_t sample_view_source::read(char* to, std::size_t n) {
  const std::size_t got = m_view.copy_bytes(m_position, to, n);
  m_position += got;
  return got;
}

}  // namespace vocle
