#include "core/foundation/file_save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include <boost/filesystem.hpp>

namespace vocle {
namespace fs = boost::filesystem;

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

// Gives the new file the old one's owner and mode.
bool take_owner_and_mode(int fd, const struct stat& old) {
  struct stat made;
  const bool same_owner =
      ::fstat(fd, &made) == 0 && made.st_uid == old.st_uid && made.st_gid == old.st_gid;
  // The owner first: changing it clears the set-id bits of the mode.
  return (same_owner || ::fchown(fd, old.st_uid, old.st_gid) == 0) &&
         ::fchmod(fd, old.st_mode & 07777) == 0;
}

// A hidden name beside the target for its new contents; empty when none can be drawn.
fs::path staging_name(const fs::path& target) {
  const std::string name = target.filename().string().substr(0, 200);
  boost::system::error_code ec;
  const fs::path unique = fs::unique_path("%%%%-%%%%-%%%%", ec);
  if (ec) {
    return fs::path();
  }
  return target.parent_path() / ("." + name + "." + unique.string() + ".tmp");
}

// replaced, failed (reported), cannot_replace: no new file can be made here (write in place);
// no_unnamed_file: this file system has none (stage the contents under a name).
enum replacement { replaced, failed, cannot_replace, no_unnamed_file };

// O_TMPFILE missing from the file system (EOPNOTSUPP), or from a kernel that takes it for a
// folder opened for writing (EISDIR) or for a flag it does not know (EINVAL).
bool lacks_unnamed_files(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// Names the unnamed file behind the descriptor; false (errno set) when it cannot be linked.
bool link_unnamed(int fd, const fs::path& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    return true;
  }
  if (errno != ENOENT) {
    return false;
  }
  // Without /proc: the descriptor itself, which the system allows privileged processes only.
  return ::linkat(fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0;
}

// Writes the contents into an unnamed file in the target's folder, which gets a name only once
// every byte is there: a save that fails or is killed part-way leaves no file behind. A new
// target is linked in under its own name at once; an existing one is replaced by linking the
// file beside it and renaming it over the target, which is atomic. (Between that link and the
// rename the new file has a name of its own for a moment.)
replacement save_unnamed(const fs::path& target, const struct stat* old, const char* data,
                         std::size_t size) {
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) {
    return lacks_unnamed_files(errno) ? no_unnamed_file : cannot_replace;
  }
  if (old && !take_owner_and_mode(fd, *old)) {
    ::close(fd);
    return cannot_replace;
  }
  if (!write_all(fd, data, size)) {
    ::close(fd);  // the unnamed file goes with its descriptor
    return failed;
  }
  fs::path linked;
  if (!old && link_unnamed(fd, target)) {
    linked = target;
  } else {
    // A target (also one made since it was looked at) is replaced by a rename. An unnamed
    // file that cannot be linked at all (no /proc, no privilege) is written again under a name.
    linked = staging_name(target);
    if (linked.empty() || !link_unnamed(fd, linked)) {
      ::close(fd);
      return no_unnamed_file;
    }
  }
  if (!close_written(fd)) {
    ::unlink(linked.c_str());
    return failed;
  }
  if (linked != target && ::rename(linked.c_str(), target.c_str()) != 0) {
    report_write_failure(std::strerror(errno));
    ::unlink(linked.c_str());
    return failed;
  }
  return replaced;
}

// Writes the contents to a hidden file beside the target and renames it over the target once
// they are all there; the file is removed again when the write fails.
replacement save_named(const fs::path& target, const struct stat* old, const char* data,
                       std::size_t size) {
  const fs::path temp = staging_name(target);
  if (temp.empty()) {
    return cannot_replace;
  }
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    return cannot_replace;  // a folder where the user may not make a file, for one
  }
  if (old && !take_owner_and_mode(fd, *old)) {
    ::close(fd);
    ::unlink(temp.c_str());
    return cannot_replace;
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

bool save_file(const std::string& path, const char* data, std::size_t size, file_staging staging) {
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
    const struct stat* previous = exists ? &old : nullptr;
    replacement r = staging == file_staging::unnamed ? save_unnamed(target, previous, data, size)
                                                     : no_unnamed_file;
    if (r == no_unnamed_file) {
      r = save_named(target, previous, data, size);
    }
    if (r != cannot_replace) {
      return r == replaced;
    }
  }
  return save_in_place(target, data, size);
}

}  // namespace vocle
