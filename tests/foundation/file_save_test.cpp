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
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>

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

// A really full file system: a small tmpfs, where the last bytes fail only when they are
// flushed at the end.
TEST_P(Staging, FullDiskLeavesTheOldFile) {
  const std::string mount_point = m_dir.file("small");
  fs::create_directory(mount_point);
  if (::mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  struct unmount {
    std::string path;
    ~unmount() { ::umount(path.c_str()); }
  } guard{mount_point};

  const std::string target = mount_point + "/take.wav";
  { std::ofstream(target) << "old"; }
  // Fill the disk up to a few bytes.
  ASSERT_TRUE(save(mount_point + "/filler", std::string(60 * 1024, 'f')));
  CaptureStderr();
  const bool saved = save(target, std::string(8 * 1024, 'm'));
  const std::string err = GetCapturedStderr();
  EXPECT_FALSE(saved);
  EXPECT_EQ(err.rfind("Failed to write: ", 0), 0u) << err;
  EXPECT_EQ(read_file(target), "old");
  EXPECT_EQ(names_in(mount_point), (std::set<std::string>{"filler", "take.wav"}));
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
