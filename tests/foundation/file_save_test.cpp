// Saves that keep the file whole: new contents staged in an unnamed file (or, where the file
// system has none, a named one) replace the old only once complete, and nothing is left behind
// by a save that fails or is killed part-way.
#include "core/foundation/file_save.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "common/temp_dir.h"

namespace {

namespace fs = boost::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using vocle::file_staging;
using vocle::save_file;
using vocle::testkit::names_in;
using vocle::testkit::read_file;
using vocle::testkit::temp_dir;

// Files may grow to a limit only while it lives; a write beyond it fails with EFBIG, for root
// as for anyone.
class file_size_limit {
 public:
  explicit file_size_limit(rlim_t bytes) {
    m_old_handler = ::signal(SIGXFSZ, SIG_IGN);  // the failed write is enough of a signal
    ::getrlimit(RLIMIT_FSIZE, &m_old);
    struct rlimit limited = m_old;
    limited.rlim_cur = bytes;
    m_active = ::setrlimit(RLIMIT_FSIZE, &limited) == 0;
  }
  ~file_size_limit() {
    ::setrlimit(RLIMIT_FSIZE, &m_old);
    ::signal(SIGXFSZ, m_old_handler);
  }
  bool active() const { return m_active; }

 private:
  struct rlimit m_old;
  sighandler_t m_old_handler;
  bool m_active = false;
};

ino_t inode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Runs body in a child process and returns its exit status (-1 when it did not exit).
template <class Body>
int in_child(Body body) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit(body());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Staging : public ::testing::TestWithParam<file_staging> {
 protected:
  bool save(const std::string& path, const std::string& contents) {
    return save_file(path, contents.data(), contents.size(), GetParam());
  }

  temp_dir m_dir;
};

INSTANTIATE_TEST_SUITE_P(Both, Staging,
                         ::testing::Values(file_staging::unnamed, file_staging::named),
                         [](const ::testing::TestParamInfo<file_staging>& info) {
                           return info.param == file_staging::unnamed ? "Unnamed" : "Named";
                         });

TEST_P(Staging, NewAndReplacedFilesAreWrittenWholeUnderTheirNameAlone) {
  const std::string target = m_dir.file("take.wav");
  ASSERT_TRUE(save(target, "first"));
  EXPECT_EQ(read_file(target), "first");
  ASSERT_EQ(0, ::chmod(target.c_str(), 0640));

  const ino_t before = inode_of(target);
  ASSERT_TRUE(save(target, std::string("second\0take", 11)));
  EXPECT_EQ(read_file(target), std::string("second\0take", 11));
  EXPECT_NE(inode_of(target), before) << "replaced, not written into";
  EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));

  ASSERT_TRUE(save(target, std::string()));
  EXPECT_EQ(read_file(target), "");
  EXPECT_EQ(names_in(m_dir.path()), (std::set<std::string>{"take.wav"}));
}

TEST_P(Staging, FailedWriteLeavesTheOldFileAndNoTemporary) {
  const std::string old_contents = "the recording saved before";
  m_dir.write("take.wav", old_contents);
  m_dir.write("other.wav", old_contents);
  const std::string big(256 * 1024, 'n');
  bool replaced = true;
  bool made = true;
  std::string err;
  {
    file_size_limit limit(64 * 1024);
    ASSERT_TRUE(limit.active());
    CaptureStderr();
    replaced = save(m_dir.file("take.wav"), big);
    made = save(m_dir.file("new.wav"), big);
    err = GetCapturedStderr();
  }
  EXPECT_FALSE(replaced);
  EXPECT_FALSE(made);
  EXPECT_EQ(err.rfind("Failed to write: " + std::string(std::strerror(EFBIG)), 0), 0u) << err;
  EXPECT_EQ(read_file(m_dir.file("take.wav")), old_contents);
  EXPECT_EQ(names_in(m_dir.path()), (std::set<std::string>{"take.wav", "other.wav"}));
}

// A file system mounted for one test and unmounted at its end; mounted() is false where the
// machine does not allow it (not root, no FUSE), with the reason in why().
class mount_point {
 public:
  // A tmpfs with the options ("size=64k").
  static std::unique_ptr<mount_point> tmpfs(const std::string& path, const std::string& options) {
    std::unique_ptr<mount_point> m(new mount_point(path));
    if (::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0) {
      m->m_mounted = true;
    } else {
      m->m_why = std::string("cannot mount a tmpfs here: ") + std::strerror(errno);
    }
    return m;
  }
  // The folder source seen through bindfs, a FUSE file system, at path.
  static std::unique_ptr<mount_point> bindfs(const std::string& source, const std::string& path) {
    std::unique_ptr<mount_point> m(new mount_point(path));
    const std::string command = "bindfs '" + source + "' '" + path + "' >/dev/null 2>&1";
    struct stat below, above;
    if (::access("/dev/fuse", R_OK | W_OK) != 0 || std::system(command.c_str()) != 0) {
      m->m_why = "cannot mount bindfs here (no FUSE, no bindfs, or not root)";
    } else if (::stat(source.c_str(), &below) != 0 || ::stat(path.c_str(), &above) != 0 ||
               below.st_dev == above.st_dev) {
      m->m_why = "bindfs did not mount";
    } else {
      m->m_mounted = true;
    }
    return m;
  }
  ~mount_point() {
    if (m_mounted && ::umount(m_path.c_str()) != 0) {
      ::umount2(m_path.c_str(), MNT_DETACH);
    }
  }
  bool mounted() const { return m_mounted; }
  const std::string& why() const { return m_why; }

 private:
  explicit mount_point(const std::string& path) : m_path(path) { fs::create_directories(path); }
  std::string m_path;
  bool m_mounted = false;
  std::string m_why;
};

// A really full file system: a small tmpfs, where the last bytes fail only when they are
// flushed at the end.
TEST_P(Staging, FullDiskLeavesTheOldFile) {
  const std::string small = m_dir.file("small");
  const auto mounted = mount_point::tmpfs(small, "size=64k");
  if (!mounted->mounted()) {
    GTEST_SKIP() << mounted->why();
  }
  const std::string target = small + "/take.wav";
  { std::ofstream(target) << "old"; }
  // Fill the disk up to a few bytes.
  ASSERT_TRUE(save(small + "/filler", std::string(60 * 1024, 'f')));
  CaptureStderr();
  const bool saved = save(target, std::string(8 * 1024, 'm'));
  const std::string err = GetCapturedStderr();
  EXPECT_FALSE(saved);
  EXPECT_EQ(err.rfind("Failed to write: ", 0), 0u) << err;
  EXPECT_EQ(read_file(target), "old");
  EXPECT_EQ(names_in(small), (std::set<std::string>{"filler", "take.wav"}));
}

// Where no staging file can be made for want of an inode, the save fails and the old file is
// not touched: writing it in place would truncate it and leave it partly overwritten.
TEST_P(Staging, NoFreeInodeFailsTheSaveAndLeavesTheOldFile) {
  const std::string small = m_dir.file("small");
  const auto mounted = mount_point::tmpfs(small, "size=1m,nr_inodes=8");
  if (!mounted->mounted()) {
    GTEST_SKIP() << mounted->why();
  }
  std::string old_contents(10000, '\0');
  for (std::size_t i = 0; i < old_contents.size(); ++i) {
    old_contents[i] = static_cast<char>(i * 31);
  }
  const std::string target = small + "/take.wav";
  { std::ofstream(target, std::ios::binary) << old_contents; }
  std::set<std::string> names{"take.wav"};
  for (int i = 0;; ++i) {
    const std::string name = "used" + std::to_string(i);
    const int fd = ::open((small + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
      ASSERT_EQ(ENOSPC, errno);
      break;
    }
    ::close(fd);
    names.insert(name);
  }
  for (const std::string& path : {target, small + "/new.wav"}) {
    CaptureStderr();
    const bool saved = save(path, std::string(20000, 'n'));
    const std::string err = GetCapturedStderr();
    EXPECT_FALSE(saved) << path;
    EXPECT_EQ(err, "Failed to write: " + std::string(std::strerror(ENOSPC)) + "\n") << path;
  }
  EXPECT_EQ(read_file(target), old_contents);
  EXPECT_EQ(names_in(small), names);
}

// With no descriptor left (none at all, or one only, for the folder), the save fails, says why,
// and leaves the old file as it was. In a child process: the limit is the whole process's.
TEST_P(Staging, NoDescriptorLeftFailsTheSaveAndLeavesTheOldFile) {
#if defined(__SANITIZE_ADDRESS__)
  // The undefined-behaviour checker opens files of its own to check a call through a virtual
  // table, and with no descriptor left it reports the report line's stream as broken.
  GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
  const std::string old_contents(10000, 'o');
  const std::string target = m_dir.write("take.wav", old_contents);
  temp_dir elsewhere;
  const std::string err_file = elsewhere.file("stderr");
  const file_staging staging = GetParam();
  for (int left : {0, 1}) {
    SCOPED_TRACE(std::to_string(left) + " descriptors left");
    const int status = in_child([&] {
      const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (err < 0 || ::dup2(err, 2) < 0) {
        return 2;
      }
      struct rlimit few;
      ::getrlimit(RLIMIT_NOFILE, &few);
      few.rlim_cur = 256;
      if (::setrlimit(RLIMIT_NOFILE, &few) != 0) {
        return 2;
      }
      std::vector<int> held;
      for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
        held.push_back(fd);
      }
      for (int i = 0; i < left && !held.empty(); ++i) {
        ::close(held.back());
        held.pop_back();
      }
      const std::string contents(20000, 'n');
      return save_file(target, contents.data(), contents.size(), staging) ? 1 : 0;
    });
    EXPECT_EQ(0, status) << "the save did not fail";
    EXPECT_EQ(read_file(err_file), "Failed to write: " + std::string(std::strerror(EMFILE)) + "\n");
    EXPECT_EQ(read_file(target), old_contents);
    EXPECT_EQ(names_in(m_dir.path()), (std::set<std::string>{"take.wav"}));
  }
}

// The descriptor that process pid holds on a file in the folder, "" while it has none.
std::string open_in(pid_t pid, const std::string& folder) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  std::string found;
  if (DIR* dir = ::opendir(fds.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      char link[4096];
      const std::string path = fds + "/" + entry->d_name;
      const ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
      if (n > 0 && std::string(link, n).rfind(folder + "/", 0) == 0) {
        found.assign(link, n);
        break;
      }
    }
    ::closedir(dir);
  }
  return found;
}

// A save killed while it writes: the old file stays whole, and no temporary file is left.
TEST(UnnamedStaging, ASaveKilledPartWayLeavesTheOldFileAndNothingElse) {
  temp_dir dir;
  const std::string target = dir.write("old.wav", "the old take");
  const std::size_t size = 256u << 20;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string big(size, 'n');
    ::_exit(save_file(target, big.data(), big.size()) ? 0 : 1);
  }
  std::string staged;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  while (staged.empty() && std::chrono::steady_clock::now() < give_up &&
         ::waitpid(child, &status, WNOHANG) == 0) {
    staged = open_in(child, dir.path());
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, &status, 0);
  ASSERT_FALSE(staged.empty()) << "the save ended before it could be seen writing";
  EXPECT_NE(staged.find("(deleted)"), std::string::npos) << "staged in a named file: " << staged;
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"old.wav"}));
  const std::string now = read_file(target);
  EXPECT_TRUE(now == "the old take" || now == std::string(size, 'n'))
      << "neither old nor new: " << now.size() << " bytes";
}

// From here on in this process, opening an unnamed file fails with the error, as it does on a
// file system (or a kernel) without them. False when no such filter can be installed here.
bool refuse_unnamed_files(int error) {
#if defined(__x86_64__)
  const __u32 arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  const __u32 arch = AUDIT_ARCH_AARCH64;
#else
  (void)error;
  return false;
#endif
#if defined(__x86_64__) || defined(__aarch64__)
  const __u32 unnamed_flag = O_TMPFILE & ~O_DIRECTORY;
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      // The flags' low half (little-endian).
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[2])),
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, unnamed_flag, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<__u32>(error) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof *filter), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
#endif
}

// Without unnamed files the save stages its contents under a name, and still replaces the
// file rather than writing into it.
TEST(UnnamedStaging, WithoutUnnamedFilesTheSaveFallsBackToANamedOne) {
  for (int error : {EOPNOTSUPP, EISDIR, EINVAL}) {
    SCOPED_TRACE(std::strerror(error));
    temp_dir dir;
    const std::string target = dir.write("take.wav", "old");
    const ino_t before = inode_of(target);
    const int status = in_child([&] {
      if (!refuse_unnamed_files(error)) {
        return 77;
      }
      const int probe = ::open(dir.path().c_str(), O_TMPFILE | O_WRONLY, 0600);
      if (probe >= 0 || errno != error) {
        return 2;
      }
      const std::string contents = "new take";
      return save_file(target, contents.data(), contents.size()) &&
                     save_file(dir.file("fresh.wav"), contents.data(), contents.size())
                 ? 0
                 : 1;
    });
    if (status == 77) {
      GTEST_SKIP() << "no seccomp filter can be installed here";
    }
    ASSERT_EQ(0, status);
    EXPECT_EQ(read_file(target), "new take");
    EXPECT_NE(inode_of(target), before) << "written in place";
    EXPECT_EQ(read_file(dir.file("fresh.wav")), "new take");
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"take.wav", "fresh.wav"}));
  }
}

}  // namespace
