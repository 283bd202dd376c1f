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

#include "core/foundation/regular_file.h"

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

namespace {

// "Failed to write: " and the reason, on the standard error stream.
void report_write_failure(const std::string& reason) {
  std::cerr << "Failed to write: " << reason << std::endl;
}

// Writes every byte to the descriptor; false (after the report) when the system refuses some.
bool write_all(int fd, const char* data, std::size_t size) {
  while (size) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      report_write_failure(std::strerror(n < 0 ? errno : EIO));
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Closes the descriptor; a file system that reports a failed write only now (a full disk over
// the network) fails the save too.
bool close_written(int fd) {
  if (::close(fd) != 0 && errno != EINTR) {
    report_write_failure(std::strerror(errno));
    return false;
  }
  return true;
}

enum replacement { replaced, failed, cannot_replace };

// Writes the contents to a file of their own beside the target and renames it over the target
// once they are all there. The new file takes the old one's owner and mode, or nothing is
// replaced: cannot_replace when no such file can be made here.
replacement save_by_rename(const fs::path& target, const struct stat* old, const char* data,
                           std::size_t size) {
  const std::string name = target.filename().string().substr(0, 200);
  boost::system::error_code ec;
  const fs::path unique = fs::unique_path("%%%%-%%%%-%%%%", ec);
  if (ec) {
    return cannot_replace;
  }
  const fs::path temp = target.parent_path() / ("." + name + "." + unique.string() + ".tmp");
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    return cannot_replace;  // a folder where the user may not make a file, for one
  }
  if (old) {
    struct stat made;
    const bool same_owner =
        ::fstat(fd, &made) == 0 && made.st_uid == old->st_uid && made.st_gid == old->st_gid;
    // The owner first: changing it clears the set-id bits of the mode.
    if ((!same_owner && ::fchown(fd, old->st_uid, old->st_gid) != 0) ||
        ::fchmod(fd, old->st_mode & 07777) != 0) {
      ::close(fd);
      ::unlink(temp.c_str());
      return cannot_replace;
    }
  }
  const bool written = write_all(fd, data, size);
  if (!close_written(fd) || !written) {
    ::unlink(temp.c_str());
    return failed;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    report_write_failure(std::strerror(errno));
    ::unlink(temp.c_str());
    return failed;
  }
  return replaced;
}

// Opens the target as an ordinary stream would (created or truncated) and writes the contents
// into it. A pipe that nobody reads refuses at once rather than waiting for a reader.
bool save_in_place(const fs::path& target, const char* data, std::size_t size) {
  const int fd =
      ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    return false;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) {
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  const bool written = write_all(fd, data, size);
  return close_written(fd) && written;
}

}  // namespace

bool binary::save(const std::string& path) const {
  boost::system::error_code ec;
  fs::path target(path);
  // Through a symbolic link the file it names is saved, not the link.
  if (fs::is_symlink(target, ec)) {
    fs::path resolved = fs::canonical(target, ec);
    if (!ec) {
      target = resolved;
    }
  }
  struct stat old;
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && S_ISDIR(old.st_mode)) {
    return false;
  }
  // Replacing the file keeps the old one intact until every new byte is written (a full disk
  // leaves it as it was), but it is the same as writing into it only for a plain file with no
  // other name, whose owner and mode the new file takes. A device, a pipe, a file with a second
  // hard link, and a folder where no new file may be made are written in place.
  // (A link still here is one whose file could not be resolved: writing through it is left to
  // the system.)
  const bool unresolved_link = fs::is_symlink(target, ec);
  if (!unresolved_link && (!exists || (S_ISREG(old.st_mode) && old.st_nlink == 1))) {
    // A file the user may not write is refused, as writing in place would be.
    if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
      return false;
    }
    const replacement r = save_by_rename(target, exists ? &old : nullptr, begin(), size());
    if (r != cannot_replace) {
      return r == replaced;
    }
  }
  return save_in_place(target, begin(), size());
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
