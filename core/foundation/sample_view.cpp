#include "core/foundation/sample_view.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace vocle {

sample_view::sample_view() : m_size(0) {}

sample_view::sample_view(const std::int16_t* data, std::size_t n) : m_size(0) {
  add(nullptr, data, n);
}

sample_view::sample_view(const std::vector<std::int16_t>& samples)
    : sample_view(samples.data(), samples.size()) {}

sample_view::~sample_view() = default;

void sample_view::add(std::shared_ptr<const void> owner, const std::int16_t* data, std::size_t n) {
  if (n == 0) {
    return;
  }
  m_spans.push_back(span{data, n});
  m_starts.push_back(m_size);
  if (owner && (m_owners.empty() || m_owners.back() != owner)) {
    m_owners.push_back(std::move(owner));
  }
  m_size += n;
}

void sample_view::reserve(std::size_t n) {
  m_spans.reserve(n);
  m_starts.reserve(n);
  m_owners.reserve(n);
}

std::size_t sample_view::span_of(std::size_t index) const {
  const auto after = std::upper_bound(m_starts.begin(), m_starts.end(), index);
  return static_cast<std::size_t>(std::distance(m_starts.begin(), after)) - 1;
}

std::size_t sample_view::copy(std::size_t first, std::int16_t* to, std::size_t n) const {
  if (first >= m_size || n == 0) {
    return 0;
  }
  n = std::min(n, m_size - first);
  std::size_t i = span_of(first);
  std::size_t offset = first - m_starts[i];
  std::size_t done = 0;
  while (done < n) {
    const span& s = m_spans[i];
    const std::size_t take = std::min(n - done, s.size - offset);
    std::memcpy(to + done, s.data + offset, take * sizeof(std::int16_t));
    done += take;
    offset = 0;
    ++i;
  }
  return n;
}

std::size_t sample_view::copy_bytes(std::uint64_t first, char* to, std::size_t n) const {
  const std::uint64_t total = static_cast<std::uint64_t>(m_size) * 2;
  if (first >= total || n == 0) {
    return 0;
  }
  n = static_cast<std::size_t>(std::min<std::uint64_t>(n, total - first));
  std::size_t i = span_of(static_cast<std::size_t>(first / 2));
  std::uint64_t offset = first - 2 * static_cast<std::uint64_t>(m_starts[i]);
  std::size_t done = 0;
  while (done < n) {
    const span& s = m_spans[i];
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(n - done, 2 * s.size - offset));
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The samples already lie in memory as they are sent.
    std::memcpy(to + done, reinterpret_cast<const char*>(s.data) + offset, take);
#else
    for (std::size_t k = 0; k < take; ++k) {
      const std::uint64_t byte = offset + k;
      const std::uint16_t sample = static_cast<std::uint16_t>(s.data[byte / 2]);
      to[done + k] = static_cast<char>(byte % 2 ? sample >> 8 : sample & 0xff);
    }
#endif
    done += take;
    offset = 0;
    ++i;
  }
  return n;
}

std::vector<std::int16_t> sample_view::to_vector() const {
  std::vector<std::int16_t> samples(m_size);
  copy(0, samples.data(), m_size);
  return samples;
}

sample_view::reader::reader(const sample_view& view)
    : m_view(view), m_span(0), m_offset(0), m_remaining(view.size()) {}

std::size_t sample_view::reader::read(std::int16_t* to, std::size_t n) {
  n = std::min(n, m_remaining);
  std::size_t done = 0;
  while (done < n) {
    const span& s = m_view.m_spans[m_span];
    const std::size_t take = std::min(n - done, s.size - m_offset);
    std::memcpy(to + done, s.data + m_offset, take * sizeof(std::int16_t));
    done += take;
    m_offset += take;
    if (m_offset == s.size) {
      ++m_span;
      m_offset = 0;
    }
  }
  m_remaining -= n;
  return n;
}

}  // namespace vocle
