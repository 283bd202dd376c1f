#include "core/foundation/binary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <stdexcept>

#include <boost/filesystem.hpp>

namespace vocle {
namespace fs = boost::filesystem;

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
  boost::system::error_code ec;
  fs::path target(path);
  // Through a symbolic link the file it names is replaced, not the link.
  if (fs::is_symlink(target, ec)) {
    fs::path resolved = fs::canonical(target, ec);
    if (!ec) {
      target = resolved;
    }
  }
  // What could not be opened for writing in place is refused as before: a folder, or a file
  // the user may not write.
  fs::file_status old_status = fs::status(target, ec);
  const bool replacing = fs::exists(old_status);
  if (fs::is_directory(old_status) || (replacing && ::access(target.c_str(), W_OK) != 0)) {
    return false;
  }

  // The contents go to a file of their own beside the target and replace it only once they are
  // all written, so a failed write (a full disk) leaves the old file as it was.
  std::string name = target.filename().string().substr(0, 200);
  boost::system::error_code unique_ec;
  fs::path unique = fs::unique_path("%%%%-%%%%-%%%%", unique_ec);
  if (unique_ec) {
    return false;
  }
  fs::path temp = target.parent_path() / ("." + name + "." + unique.string() + ".tmp");
  std::ofstream out(temp.string(), std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out.is_open()) {
    return false;
  }
  try {
    out.exceptions(std::ios::failbit | std::ios::badbit);
    if (size()) {
      out.write(begin(), static_cast<std::streamsize>(size()));
    }
    out.close();  // the last bytes reach the disk here, and a full disk shows here
  } catch (const std::ios_base::failure& e) {
    std::cerr << "Failed to write: " << e.what() << std::endl;
    // Closing again writes nothing more: the stream is failed already.
    out.exceptions(std::ios::goodbit);
    out.close();
    fs::remove(temp, ec);
    return false;
  }
  if (replacing) {
    fs::permissions(temp, old_status.permissions(), ec);
  }
  fs::rename(temp, target, ec);
  if (ec) {
    std::cerr << "Failed to write: " << ec.message() << std::endl;
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

bool binary::load(const std::string& path) {
  // The path may come from a page. Opening a FIFO waits for a writer and a device may never end,
  // so only a regular file (or a link to one) is read, and the open itself never waits.
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct closer {
    int fd;
    ~closer() { ::close(fd); }
  } guard{fd};
  // The name may have been given to something else between the two looks.
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
    return false;
  }
  const std::size_t size = static_cast<std::size_t>(info.st_size);
  std::vector<char> contents(storage_for(size, "vocle::binary::load"), 0);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, contents.data() + got, size - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
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
