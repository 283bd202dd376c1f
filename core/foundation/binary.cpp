#include "core/foundation/binary.h"

#include <cstring>
#include <functional>
#include <stdexcept>

#include "core/foundation/file_save.h"
#include "core/foundation/regular_file.h"

namespace vocle {

namespace {

// The storage for n content bytes and their zero. The largest size_t would wrap round to an
// empty storage, whose size() would then be huge.
std::size_t storage_for(std::size_t n, const char* what) {
  if (n >= std::vector<char>().max_size()) {
    throw std::length_error(what);
  }
  return n + 1;
}

}  // namespace

binary::binary(const char* data, std::size_t length)
    : m_data(storage_for(length, "vocle::binary::binary"), 0) {
  if (length) {
    std::memcpy(m_data.data(), data, length);
  }
}

binary::binary(std::size_t count) : m_data(storage_for(count, "vocle::binary::binary"), 0) {}

binary::binary(std::uint32_t value) : m_data(5, 0) {
  for (int i = 0; i < 4; ++i) {
    m_data[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

binary::~binary() = default;

void binary::resize(std::size_t n) {
  storage_for(n, "vocle::binary::resize");
  reserve_contents(n);
  m_data.resize(m_start + n + 1, 0);
  m_data[m_start + n] = 0;
}

void binary::reserve(std::size_t n) {
  const std::size_t storage = storage_for(n, "vocle::binary::reserve");
  if (storage > m_data.capacity() - m_start) {
    compact();
    m_data.reserve(storage);
  }
}

void binary::write(std::size_t offset, const char* data, std::size_t length) {
  if (!length) {
    return;
  }
  if (offset > m_data.max_size() - 1 || length > m_data.max_size() - 1 - offset) {
    throw std::length_error("vocle::binary::write");
  }
  std::vector<char> copy;
  const bool grows = offset + length > size();
  const char* storage = m_data.data();
  if (grows && std::less_equal<const char*>()(storage, data) &&
      std::less<const char*>()(data, storage + m_data.size())) {
    // The source lies in this buffer, which growing may move or compact.
    copy.assign(data, data + length);
    data = copy.data();
  }
  if (grows) {
    resize(offset + length);
  }
  std::memmove(begin() + offset, data, length);
}

void binary::append(const char* data, std::size_t length) {
  write(size(), data, length);
}

void binary::consume(std::size_t n) {
  if (!n || !size()) {
    return;
  }
  if (n > size()) {
    n = size();
  }
  // Only the start moves: nothing is copied, and the storage stays where it is until it grows.
  m_start += n;
  if (!size()) {
    compact();  // just the zero byte to move
  }
}

void binary::compact() {
  if (!m_start) {
    return;
  }
  const std::size_t kept = m_data.size() - m_start;  // the contents and their zero
  std::memmove(m_data.data(), m_data.data() + m_start, kept);
  m_data.resize(kept);
  m_start = 0;
}

void binary::reserve_contents(std::size_t n) {
  // Compacting moves at most as many bytes as it lets go, so it pays for itself; with more
  // contents than consumed bytes the storage grows as a vector does, taking them along.
  if (m_start && m_start >= size() && n + 1 > m_data.capacity() - m_start) {
    compact();
  }
}

void binary::assign(const char* data, std::size_t length) {
  std::vector<char> contents(storage_for(length, "vocle::binary::assign"), 0);
  if (length) {
    std::memcpy(contents.data(), data, length);
  }
  m_data.swap(contents);
  m_start = 0;
}

bool binary::save(const std::string& path) const {
  return save_file(path, begin(), size());
}

bool binary::load(const std::string& path) {
  regular_file file;
  if (!file.open(path)) {
    return false;
  }
  const std::size_t size = file.size() > std::vector<char>().max_size()
                               ? std::vector<char>().max_size()
                               : static_cast<std::size_t>(file.size());
  std::vector<char> contents(storage_for(size, "vocle::binary::load"), 0);
  std::size_t got = 0;
  while (got < size) {
    const long n = file.read(contents.data() + got, size - got);
    if (n < 0) {
      return false;  // a file that cannot be read has not been loaded
    }
    if (n == 0) {
      break;  // a file that shrank while it was read keeps what was there
    }
    got += static_cast<std::size_t>(n);
  }
  contents.resize(got + 1);
  contents.back() = 0;
  m_data.swap(contents);
  m_start = 0;
  return true;
}

}  // namespace vocle
