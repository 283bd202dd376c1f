#include "core/foundation/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace vocle {

regular_file::regular_file() : m_fd(-1), m_size(0), m_read(0) {}

regular_file::~regular_file() {
  if (m_fd >= 0) {
    ::close(m_fd);
  }
}

bool regular_file::open(const std::string& path) {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
  struct stat info;
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  // The name may have been given to something else between the two looks.
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
    ::close(fd);
    return false;
  }
  m_fd = fd;
  m_size = static_cast<std::uint64_t>(info.st_size);
  m_read = 0;
  return true;
}

long regular_file::read(char* to, std::size_t n) {
  if (m_fd < 0) {
    return -1;
  }
  const std::uint64_t left = m_size - m_read;
  n = static_cast<std::size_t>(
      std::min<std::uint64_t>({n, left, std::numeric_limits<long>::max()}));
  if (n == 0) {
    return 0;
  }
  for (;;) {
    const ssize_t got = ::read(m_fd, to, n);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return -1;
    }
    m_read += static_cast<std::uint64_t>(got);
    return static_cast<long>(got);
  }
}

}  // namespace vocle
