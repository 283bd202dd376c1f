#include "core/foundation/file_save.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

void report_error(int error) {
  report_write_failure(std::strerror(error));
}

// Writes every byte to the descriptor; false (after the report) when the system refuses some.
bool write_all(int fd, const char* data, std::size_t size) {
  while (size) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      report_error(n < 0 ? errno : EIO);
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Puts the file's contents on the disk, so that they survive a power cut; false (after the
// report) when the disk refuses them, which is also where a file system that writes back late
// (a full disk over the network) reports a failed write.
bool flush_contents(int fd) {
  if (::fdatasync(fd) != 0) {
    report_error(errno);
    return false;
  }
  return true;
}

// A file closed after its contents were flushed: whatever close reports then has lost nothing.
void close_quietly(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
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

// The target's folder, open for the names made in it and for flushing them. A folder this user
// may enter but not read is opened for its names alone (flushable false): its entries cannot be
// flushed by this user.
class folder {
 public:
  explicit folder(const fs::path& path) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fd < 0 && errno == EACCES) {
      m_fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      m_flushable = false;
    }
    m_error = m_fd < 0 ? errno : 0;
  }
  ~folder() {
    if (m_fd >= 0) {
      close_quietly(m_fd);
    }
  }
  folder(const folder&) = delete;
  folder& operator=(const folder&) = delete;

  int fd() const { return m_fd; }
  // Why the folder could not be opened (fd() < 0).
  int error() const { return m_error; }
  bool readable() const { return m_flushable; }

  // Puts the folder's entries (a new name, a rename) on the disk; false (after the report) when
  // the disk refuses. A file system without flushing of folders (EINVAL) has nothing to flush.
  bool flush() const {
    if (!m_flushable || ::fsync(m_fd) == 0 || errno == EINVAL) {
      return true;
    }
    report_error(errno);
    return false;
  }

 private:
  int m_fd = -1;
  int m_error = 0;
  bool m_flushable = true;
};

// The staging names of a target: "." + its name (at most 200 bytes of it) + "." + 4-4-4 hex
// digits + ".tmp".
const char staging_pattern[] = "%%%%-%%%%-%%%%";

std::string staging_prefix(const std::string& name) {
  return "." + name.substr(0, 200) + ".";
}

// A new staging name for the target; empty when none can be drawn.
std::string staging_name(const std::string& name) {
  boost::system::error_code ec;
  const fs::path unique = fs::unique_path(staging_pattern, ec);
  if (ec) {
    return std::string();
  }
  return staging_prefix(name) + unique.string() + ".tmp";
}

bool is_staging_name_of(const std::string& entry, const std::string& name) {
  const std::string prefix = staging_prefix(name);
  const std::size_t drawn = sizeof staging_pattern - 1;
  if (entry.size() != prefix.size() + drawn + 4 || entry.compare(0, prefix.size(), prefix) != 0 ||
      entry.compare(prefix.size() + drawn, 4, ".tmp") != 0) {
    return false;
  }
  for (std::size_t i = 0; i < drawn; ++i) {
    const char c = entry[prefix.size() + i];
    const bool fits =
        staging_pattern[i] == '-' ? c == '-' : (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    if (!fits) {
      return false;
    }
  }
  return true;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True while the name in the folder is the file behind the descriptor.
bool still_named(int dir, const std::string& name, int fd) {
  struct stat by_name, held;
  return ::fstatat(dir, name.c_str(), &by_name, AT_SYMLINK_NOFOLLOW) == 0 &&
         ::fstat(fd, &held) == 0 && same_file(by_name, held);
}

// Removes what earlier saves of the target left under its staging names when they were killed
// while writing: a save holds the lock of its staging file until the file has its name or is
// gone, so a file whose lock can be taken belongs to no running save.
void remove_abandoned_staging(const folder& dir, const std::string& name) {
  if (!dir.readable()) {
    return;
  }
  const int listing = ::openat(dir.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* entries = listing < 0 ? nullptr : ::fdopendir(listing);
  if (!entries) {
    if (listing >= 0) {
      close_quietly(listing);
    }
    return;
  }
  while (const dirent* entry = ::readdir(entries)) {
    const std::string staged = entry->d_name;
    if (!is_staging_name_of(staged, name)) {
      continue;
    }
    // Not following a link, and not waiting on a pipe; a write-only file is opened for writing
    // (which changes nothing in it).
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::openat(dir.fd(), staged.c_str(), O_RDONLY | flags);
    if (fd < 0 && errno == EACCES) {
      fd = ::openat(dir.fd(), staged.c_str(), O_WRONLY | flags);
    }
    if (fd < 0) {
      continue;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        still_named(dir.fd(), staged, fd)) {
      ::unlinkat(dir.fd(), staged.c_str(), 0);
    }
    close_quietly(fd);
  }
  ::closedir(entries);
}

// replaced; failed (reported, the old file as it was); in_place: no new file may be made here
// (write in place); no_unnamed_file: this file system has none, or they cannot be named here
// (stage the contents under a name).
enum replacement { replaced, failed, in_place, no_unnamed_file };

// What a refused staging file means: where this user may not make a file (EACCES, EPERM) the
// file is written in place, as an ordinary stream would write it. Anything else (no space, no
// free inode, no descriptor left, a read-only file system) fails the save and leaves the old
// file, which writing in place would tear.
replacement refused_staging(int error) {
  if (error == EACCES || error == EPERM) {
    return in_place;
  }
  report_error(error);
  return failed;
}

// O_TMPFILE missing from the file system (EOPNOTSUPP), or from a kernel that takes it for a
// folder opened for writing (EISDIR) or for a flag it does not know (EINVAL).
bool lacks_unnamed_files(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

// Names the unnamed file behind the descriptor; false (errno set) when it cannot be linked.
bool link_unnamed(int fd, const folder& dir, const std::string& name) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, self.c_str(), dir.fd(), name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
    return true;
  }
  if (errno != ENOENT) {
    return false;
  }
  // Without /proc: the descriptor itself, which the system allows privileged processes only.
  return ::linkat(fd, "", dir.fd(), name.c_str(), AT_EMPTY_PATH) == 0;
}

// A link of the unnamed file refused where a named file may still be made: no /proc and no
// privilege (ENOENT), or no right to link it (EPERM, EACCES). The named staging then finds
// whether a file may be made here at all.
bool cannot_link_unnamed(int error) {
  return error == ENOENT || error == EPERM || error == EACCES;
}

// How often a staging name is drawn again when the one drawn is taken.
constexpr int staging_draws = 8;

// Writes the contents into an unnamed file in the target's folder, which gets a name only once
// every byte is there and on the disk: a save that fails or is killed part-way leaves no file
// behind. A new target is linked in under its own name at once; an existing one is replaced by
// linking the file under a staging name and renaming it over the target, which is atomic.
// (Between that link and the rename the new file has a name of its own for a moment; it is
// locked as a named staging file is.)
replacement save_unnamed(const folder& dir, const std::string& name, const struct stat* old,
                         const char* data, std::size_t size) {
  const int fd = ::openat(dir.fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) {
    return lacks_unnamed_files(errno) ? no_unnamed_file : refused_staging(errno);
  }
  // The lock goes with the file description: it lasts until the descriptor is closed.
  ::flock(fd, LOCK_EX | LOCK_NB);
  if (old && !take_owner_and_mode(fd, *old)) {
    const replacement r = refused_staging(errno);
    ::close(fd);
    return r;
  }
  if (!write_all(fd, data, size) || !flush_contents(fd)) {
    ::close(fd);  // the unnamed file goes with its descriptor
    return failed;
  }
  // A target (also one made since it was looked at) is replaced by a rename. An unnamed file
  // that cannot be linked at all is written again under a name.
  std::string linked;
  if (!old) {
    if (link_unnamed(fd, dir, name)) {
      linked = name;
    } else if (errno != EEXIST) {
      const replacement r = cannot_link_unnamed(errno) ? no_unnamed_file : refused_staging(errno);
      ::close(fd);
      return r;
    }
  }
  for (int draw = 0; linked.empty() && draw < staging_draws; ++draw) {
    const std::string staged = staging_name(name);
    if (staged.empty()) {
      report_write_failure("no staging name can be drawn");
      ::close(fd);
      return failed;
    }
    if (link_unnamed(fd, dir, staged)) {
      linked = staged;
    } else if (errno != EEXIST) {
      const replacement r = cannot_link_unnamed(errno) ? no_unnamed_file : refused_staging(errno);
      ::close(fd);
      return r;
    }
  }
  if (linked.empty()) {
    report_error(EEXIST);
    ::close(fd);
    return failed;
  }
  if (linked != name && ::renameat(dir.fd(), linked.c_str(), dir.fd(), name.c_str()) != 0) {
    report_error(errno);
    ::unlinkat(dir.fd(), linked.c_str(), 0);
    ::close(fd);
    return failed;
  }
  // Flushed: the new name (or the rename) survives a power cut too. A new file whose name
  // cannot be flushed is taken back; a replaced one cannot be, the old contents are gone.
  const bool flushed = dir.flush();
  if (!flushed && linked == name) {
    ::unlinkat(dir.fd(), name.c_str(), 0);
  }
  close_quietly(fd);
  return flushed ? replaced : failed;
}

// Makes a new staging file for the target, locked; -1 (errno set) when none can be made.
int make_staging_file(const folder& dir, const std::string& name, std::string& staged) {
  for (int draw = 0; draw < staging_draws; ++draw) {
    staged = staging_name(name);
    if (staged.empty()) {
      errno = EIO;
      return -1;
    }
    const int fd = ::openat(dir.fd(), staged.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) {
        continue;
      }
      return -1;
    }
    // Between its making and its lock another save may have taken the file for abandoned and
    // removed it: then it is made again under a new name. A file system without locks (ENOLCK)
    // stages unlocked, and its staging files are never taken for abandoned either.
    if (::flock(fd, LOCK_EX) == 0 && !still_named(dir.fd(), staged, fd)) {
      ::close(fd);
      continue;
    }
    return fd;
  }
  errno = EEXIST;
  return -1;
}

// Writes the contents to a locked, hidden file beside the target and renames it over the target
// once they are all there and on the disk; the file is removed again when the save fails. A
// save killed while it writes leaves the file, unlocked, for a later save of the target.
replacement save_named(const folder& dir, const std::string& name, const struct stat* old,
                       const char* data, std::size_t size) {
  std::string staged;
  const int fd = make_staging_file(dir, name, staged);
  if (fd < 0) {
    return refused_staging(errno);
  }
  replacement r = replaced;
  if (old && !take_owner_and_mode(fd, *old)) {
    r = refused_staging(errno);
  } else if (!write_all(fd, data, size) || !flush_contents(fd)) {
    r = failed;
  } else if (::renameat(dir.fd(), staged.c_str(), dir.fd(), name.c_str()) != 0) {
    report_error(errno);
    r = failed;
  }
  if (r != replaced) {
    ::unlinkat(dir.fd(), staged.c_str(), 0);
    ::close(fd);
    return r;
  }
  close_quietly(fd);
  return dir.flush() ? replaced : failed;
}

// Opens the target as an ordinary stream would (created or truncated) and writes the contents
// into it; a file's contents are flushed to the disk. A pipe that nobody reads refuses at once
// rather than waiting for a reader.
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
  struct stat st;
  const bool stored = ::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
  // A pipe or a character device has nothing to flush.
  const bool written = write_all(fd, data, size) && (!stored || flush_contents(fd));
  close_quietly(fd);
  return written;
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
  // hard link, and a folder where this user may not make a file are written in place.
  // (A link still here is one whose file could not be resolved: writing through it is left to
  // the system.)
  const bool unresolved_link = fs::is_symlink(target, ec);
  if (!unresolved_link && (!exists || (S_ISREG(old.st_mode) && old.st_nlink == 1))) {
    const std::string name = target.filename().string();
    if (name.empty() || name == "." || name == "..") {
      return false;  // a folder's path ("dir/"), which no file can have
    }
    // A file the user may not write is refused, as writing in place would be.
    if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
      return false;
    }
    const folder dir(target.has_parent_path() ? target.parent_path() : fs::path("."));
    if (dir.fd() < 0) {
      // No such folder: no file can be made there, as the stream would find. Anything else
      // (no descriptor left) fails the save as a failed staging does.
      if (dir.error() != ENOENT && dir.error() != ENOTDIR) {
        report_error(dir.error());
      }
      return false;
    }
    const struct stat* previous = exists ? &old : nullptr;
    // A save that stages under a name first removes what killed saves of the target left there.
    if (exists || staging == file_staging::named) {
      remove_abandoned_staging(dir, name);
    }
    replacement r = staging == file_staging::unnamed ? save_unnamed(dir, name, previous, data, size)
                                                     : no_unnamed_file;
    if (r == no_unnamed_file) {
      if (!exists && staging == file_staging::unnamed) {
        remove_abandoned_staging(dir, name);
      }
      r = save_named(dir, name, previous, data, size);
    }
    if (r != in_place) {
      return r == replaced;
    }
  }
  return save_in_place(target, data, size);
}

}  // namespace vocle
