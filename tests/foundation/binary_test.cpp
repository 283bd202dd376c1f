#include "core/foundation/binary.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <boost/filesystem.hpp>

#include "common/temp_dir.h"

namespace {

namespace fs = boost::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using vocle::binary;
using vocle::testkit::read_file;
using vocle::testkit::temp_dir;

// The contents and the byte after them.
std::string storage(const binary& b) {
  return std::string(b.begin(), b.size() + 1);
}

std::string bytes(const char* text, std::size_t n) {
  return std::string(text, n);
}

std::set<std::string> names_in(const std::string& folder) {
  std::set<std::string> names;
  for (fs::directory_iterator it(folder), end; it != end; ++it) {
    names.insert(it->path().filename().string());
  }
  return names;
}

TEST(Binary, ContentsAreFollowedByAZeroByte) {
  binary abc("abc", 3);
  EXPECT_EQ(abc.size(), 3u);
  EXPECT_EQ(storage(abc), bytes("abc\0", 4));
  EXPECT_EQ(abc.data(), abc.begin());

  binary empty("", 0);
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(empty.data(), nullptr);
  ASSERT_NE(empty.begin(), nullptr);
  EXPECT_EQ(*empty.begin(), '\0');

  binary zeros(std::size_t(3));
  EXPECT_EQ(storage(zeros), bytes("\0\0\0\0", 4));
}

TEST(Binary, ThirtyTwoBitValueIsLittleEndian) {
  EXPECT_EQ(storage(binary(std::uint32_t(1))), bytes("\x01\0\0\0\0", 5));
  EXPECT_EQ(storage(binary(std::uint32_t(0x04030201))), bytes("\x01\x02\x03\x04\0", 5));
  EXPECT_EQ(storage(binary(std::uint32_t(0xFFFFFFFF))), bytes("\xFF\xFF\xFF\xFF\0", 5));
}

TEST(Binary, WritePastTheEndLeavesAZeroGap) {
  binary b("abcd", 4);
  b.write(10, "xy", 2);
  EXPECT_EQ(storage(b), bytes("abcd\0\0\0\0\0\0xy\0", 13));

  b.write(1, "Z", 1);  // inside: the rest stays
  EXPECT_EQ(storage(b), bytes("aZcd\0\0\0\0\0\0xy\0", 13));
  b.write(11, "PQ", 2);  // straddling the end
  EXPECT_EQ(storage(b), bytes("aZcd\0\0\0\0\0\0xPQ\0", 14));
  b.write(100, "", 0);  // nothing to write: no growth
  EXPECT_EQ(b.size(), 13u);
}

TEST(Binary, WriteAndAppendFromItsOwnContents) {
  // Growing moves the storage; the source must be read before it goes.
  binary b("0123456789", 10);
  b.append(b.begin(), b.size());
  EXPECT_EQ(storage(b), bytes("01234567890123456789\0", 21));
  b.write(2, b.begin(), 4);  // overlapping copy inside the buffer
  EXPECT_EQ(storage(b), bytes("01012367890123456789\0", 21));
  b.write(1000, b.begin() + 18, 2);
  EXPECT_EQ(b.size(), 1002u);
  EXPECT_EQ(std::string(b.begin() + 1000, 3), bytes("89\0", 3));
}

TEST(Binary, ResizeKeepsTheZeroAndClearsGrownBytes) {
  binary b("abcdef", 6);
  b.resize(2);
  EXPECT_EQ(storage(b), bytes("ab\0", 3));
  b.resize(5);  // the old bytes do not come back
  EXPECT_EQ(storage(b), bytes("ab\0\0\0\0", 6));
  b.resize(0);
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_EQ(storage(b), bytes("\0", 1));
}

TEST(Binary, ConsumeDropsTheFront) {
  struct {
    std::size_t n;
    std::string left;
  } cases[] = {{0, "hello"}, {2, "llo"}, {5, ""}, {100, ""}};
  for (const auto& c : cases) {
    binary b("hello", 5);
    b.consume(c.n);
    EXPECT_EQ(storage(b), c.left + '\0') << c.n;
  }
  binary empty(std::size_t(0));
  empty.consume(3);
  EXPECT_EQ(storage(empty), bytes("\0", 1));
}

TEST(Binary, AssignReplacesTheContents) {
  binary b("hello world", 11);
  b.assign("hi", 2);
  EXPECT_EQ(storage(b), bytes("hi\0", 3));
  b.assign(b.begin() + 1, 1);  // from its own storage
  EXPECT_EQ(storage(b), bytes("i\0", 2));
  b.assign(nullptr, 0);
  EXPECT_EQ(storage(b), bytes("\0", 1));
}

class BinaryFile : public ::testing::Test {
 protected:
  temp_dir m_dir;
};

TEST_F(BinaryFile, SaveAndLoadEveryByteValue) {
  std::string all;
  for (int i = 0; i < 256; ++i) {
    all += static_cast<char>(i);
  }
  binary b(all.data(), all.size());
  ASSERT_TRUE(b.save(m_dir.file("all.bin")));
  EXPECT_EQ(read_file(m_dir.file("all.bin")), all);

  binary loaded("old", 3);
  ASSERT_TRUE(loaded.load(m_dir.file("all.bin")));
  EXPECT_EQ(storage(loaded), all + '\0');
  EXPECT_EQ(names_in(m_dir.path()), (std::set<std::string>{"all.bin"}));
}

TEST_F(BinaryFile, EmptyBufferMakesAnEmptyFile) {
  m_dir.write("f.bin", "previous contents");
  ASSERT_TRUE(binary(std::size_t(0)).save(m_dir.file("f.bin")));
  EXPECT_TRUE(fs::exists(m_dir.file("f.bin")));
  EXPECT_EQ(fs::file_size(m_dir.file("f.bin")), 0u);

  binary loaded("old", 3);
  EXPECT_TRUE(loaded.load(m_dir.file("f.bin")));
  EXPECT_EQ(loaded.size(), 0u);
  EXPECT_EQ(storage(loaded), bytes("\0", 1));
}

TEST_F(BinaryFile, LoadOfWhatIsNoFileFailsAndKeepsTheBuffer) {
  fs::create_directory(m_dir.file("folder"));
  for (const std::string& path : {m_dir.file("missing.bin"), m_dir.file("folder"), std::string()}) {
    binary b("keep", 4);
    EXPECT_FALSE(b.load(path)) << path;
    EXPECT_EQ(storage(b), bytes("keep\0", 5)) << path;
  }
}

TEST_F(BinaryFile, SaveWhereNoFileCanBeFailsQuietly) {
  fs::create_directory(m_dir.file("folder"));
  binary b("data", 4);
  CaptureStderr();
  EXPECT_FALSE(b.save(m_dir.file("no/such/folder/f.bin")));
  EXPECT_FALSE(b.save(m_dir.file("folder")));
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_TRUE(fs::is_directory(m_dir.file("folder")));
  EXPECT_EQ(names_in(m_dir.path()), (std::set<std::string>{"folder"}));
}

TEST_F(BinaryFile, SaveReplacesTheFileAThroughLinkNames) {
  m_dir.write("real.bin", "old contents, longer than the new ones");
  fs::create_symlink(m_dir.file("real.bin"), m_dir.file("link.bin"));
  fs::permissions(m_dir.file("real.bin"), fs::perms(0640));
  ASSERT_TRUE(binary("new", 3).save(m_dir.file("link.bin")));
  EXPECT_TRUE(fs::is_symlink(m_dir.file("link.bin")));
  EXPECT_EQ(read_file(m_dir.file("real.bin")), "new");
  EXPECT_EQ(fs::status(m_dir.file("real.bin")).permissions(), fs::perms(0640));
  EXPECT_EQ(names_in(m_dir.path()), (std::set<std::string>{"link.bin", "real.bin"}));
}

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

TEST_F(BinaryFile, FailedWriteLeavesTheOldFileAndNoTemporary) {
  const std::string old_contents = "the recording saved before";
  m_dir.write("take.wav", old_contents);
  binary big(std::size_t(256 * 1024));
  std::memset(big.begin(), 'n', big.size());
  bool saved = true;
  std::string err;
  {
    file_size_limit limit(64 * 1024);
    ASSERT_TRUE(limit.active());
    CaptureStderr();
    saved = big.save(m_dir.file("take.wav"));
    err = GetCapturedStderr();
  }
  EXPECT_FALSE(saved);
  EXPECT_EQ(err.rfind("Failed to write: ", 0), 0u) << err;
  EXPECT_EQ(read_file(m_dir.file("take.wav")), old_contents);
  EXPECT_EQ(names_in(m_dir.path()), (std::set<std::string>{"take.wav"}));
}

// A really full file system: a small tmpfs, where the last bytes fail only when they are
// flushed at the end.
TEST_F(BinaryFile, FullDiskLeavesTheOldFile) {
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
  binary filler(std::size_t(60 * 1024));
  ASSERT_TRUE(filler.save(mount_point + "/filler"));
  binary more(std::size_t(8 * 1024));
  CaptureStderr();
  bool saved = more.save(target);
  std::string err = GetCapturedStderr();
  EXPECT_FALSE(saved);
  EXPECT_EQ(err.rfind("Failed to write: ", 0), 0u) << err;
  EXPECT_EQ(read_file(target), "old");
  EXPECT_EQ(names_in(mount_point), (std::set<std::string>{"filler", "take.wav"}));
}

}  // namespace
