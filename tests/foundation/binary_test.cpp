#include "core/foundation/binary.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <limits>
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
using vocle::binary;
using vocle::testkit::names_in;
using vocle::testkit::read_file;
using vocle::testkit::temp_dir;

// The contents and the byte after them.
std::string storage(const binary& b) {
  return std::string(b.begin(), b.size() + 1);
}

std::string bytes(const char* text, std::size_t n) {
  return std::string(text, n);
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

// The largest count has no room for the zero byte after it: it must fail, not wrap round to an
// empty storage that claims to hold everything (or copy from beyond the caller's bytes).
TEST(Binary, CountWithoutRoomForTheZeroByteIsRefused) {
  const std::size_t largest = std::numeric_limits<std::size_t>::max();
  const char byte = 'x';
  EXPECT_THROW(binary{largest}, std::length_error);
  EXPECT_THROW(binary(&byte, largest), std::length_error);
  binary b("abc", 3);
  EXPECT_THROW(b.assign(&byte, largest), std::length_error);
  EXPECT_THROW(b.resize(largest), std::length_error);
  EXPECT_EQ(storage(b), bytes("abc\0", 4)) << "a refused change leaves the buffer";
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

// A buffer from which the front has been consumed behaves like one built from what is left.
TEST(BinaryAfterConsume, OperationsSeeOnlyWhatIsLeft) {
  struct {
    const char* what;
    void (*op)(binary&);
    std::string expected;  // contents and zero byte
  } cases[] = {
      {"nothing", [](binary&) {}, bytes("6789\0", 5)},
      {"write inside", [](binary& b) { b.write(1, "X", 1); }, bytes("6X89\0", 5)},
      {"write straddling the end", [](binary& b) { b.write(3, "XY", 2); }, bytes("678XY\0", 6)},
      {"write past the end", [](binary& b) { b.write(6, "XY", 2); }, bytes("6789\0\0XY\0", 9)},
      {"append", [](binary& b) { b.append("ab", 2); }, bytes("6789ab\0", 7)},
      {"append its own contents", [](binary& b) { b.append(b.begin(), b.size()); },
       bytes("67896789\0", 9)},
      {"append its last byte", [](binary& b) { b.append(b.begin() + 3, 1); }, bytes("67899\0", 6)},
      {"overlapping write inside", [](binary& b) { b.write(1, b.begin(), 3); }, bytes("6678\0", 5)},
      {"write from itself past the end", [](binary& b) { b.write(6, b.begin() + 1, 2); },
       bytes("6789\0\0"
             "78\0",
             9)},
      // The consumed bytes lie just before the contents: growing must not bring them back.
      {"grow", [](binary& b) { b.resize(7); }, bytes("6789\0\0\0\0", 8)},
      {"shrink", [](binary& b) { b.resize(2); }, bytes("67\0", 3)},
      {"shrink then grow", [](binary& b) { b.resize(1), b.resize(3); }, bytes("6\0\0\0", 4)},
      {"grow far", [](binary& b) { b.resize(100000); },
       bytes("6789", 4) + std::string(100000 - 4 + 1, '\0')},
      {"assign", [](binary& b) { b.assign("new", 3); }, bytes("new\0", 4)},
      {"assign from its own contents", [](binary& b) { b.assign(b.begin() + 1, 2); },
       bytes("78\0", 3)},
      {"consume again", [](binary& b) { b.consume(3); }, bytes("9\0", 2)},
      {"consume the rest, then append", [](binary& b) { b.consume(4), b.append("xy", 2); },
       bytes("xy\0", 3)},
  };
  for (const auto& c : cases) {
    binary b("0123456789", 10);
    b.consume(6);
    c.op(b);
    EXPECT_EQ(storage(b), c.expected) << c.what;
    EXPECT_EQ(b.data(), b.size() ? b.begin() : nullptr) << c.what;
  }
}

TEST(BinaryAfterConsume, DrainedBufferIsEmptyAndGrowsAgain) {
  binary b("0123456789", 10);
  for (std::size_t left : {6u, 2u, 0u}) {  // libcurl's reads of 4 bytes
    b.consume(4);
    EXPECT_EQ(b.size(), left);
    EXPECT_EQ(std::string(b.begin(), left), std::string("0123456789").substr(10 - left));
  }
  EXPECT_EQ(b.data(), nullptr);
  ASSERT_NE(b.begin(), nullptr);
  EXPECT_EQ(storage(b), bytes("\0", 1));
  b.consume(1);  // nothing left to drop
  EXPECT_EQ(storage(b), bytes("\0", 1));
  b.resize(3);
  EXPECT_EQ(storage(b), bytes("\0\0\0\0", 4));
}

// Appending and consuming in turn, as a queue, with every other operation mixed in, against a
// plain string that does the same: whatever the buffer does with its storage, the contents and
// the zero byte after them stay right.
TEST(BinaryAfterConsume, MixedOperationsMatchAPlainString) {
  binary b(std::size_t(0));
  std::string model;
  std::uint32_t x = 12345;
  const auto next = [&x](std::uint32_t bound) {
    x = x * 1664525u + 1013904223u;
    return (x >> 8) % bound;
  };
  for (int step = 0; step < 20000; ++step) {
    const std::uint32_t kind = next(100);
    std::string text(next(300), '\0');
    for (char& ch : text) {
      ch = static_cast<char>(next(256));
    }
    if (kind < 40) {
      b.append(text.data(), text.size());
      model += text;
    } else if (kind < 80) {
      const std::size_t n = next(400);
      b.consume(n);
      model.erase(0, std::min(n, model.size()));
    } else if (kind < 88) {
      const std::size_t offset = next(static_cast<std::uint32_t>(model.size() + 50));
      b.write(offset, text.data(), text.size());
      if (!text.empty()) {
        model.resize(std::max(model.size(), offset + text.size()), '\0');
        model.replace(offset, text.size(), text);
      }
    } else if (kind < 92 && !model.empty()) {
      // From its own contents, to an offset that may lie past the end.
      const std::size_t from = next(static_cast<std::uint32_t>(model.size()));
      const std::size_t length = 1 + next(static_cast<std::uint32_t>(model.size() - from));
      const std::size_t offset = next(static_cast<std::uint32_t>(model.size() + 20));
      const std::string source = model.substr(from, length);
      b.write(offset, b.begin() + from, length);
      model.resize(std::max(model.size(), offset + length), '\0');
      model.replace(offset, length, source);
    } else if (kind < 97) {
      const std::size_t n = next(static_cast<std::uint32_t>(model.size() * 2 + 10));
      b.resize(n);
      model.resize(n, '\0');
    } else if (kind < 99 && !model.empty()) {
      const std::size_t from = next(static_cast<std::uint32_t>(model.size()));
      b.assign(b.begin() + from, model.size() - from);
      model.erase(0, from);
    } else {
      b.assign(text.data(), text.size());
      model = text;
    }
    ASSERT_EQ(b.size(), model.size()) << "step " << step;
    ASSERT_EQ(storage(b), model + '\0') << "step " << step;
    ASSERT_EQ(b.data(), model.empty() ? nullptr : b.begin()) << "step " << step;
  }
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

// Room made ahead keeps the contents, also behind consumed bytes, and growing into it moves
// nothing.
TEST(Binary, ReserveMakesRoomWithoutChangingTheContents) {
  binary b("xxabc", 5);
  b.consume(2);
  b.reserve(1000);
  EXPECT_EQ(storage(b), bytes("abc\0", 4));
  const char* before = b.begin();
  b.append(std::string(997, 'd').data(), 997);
  EXPECT_EQ(b.begin(), before);
  EXPECT_EQ(b.size(), 1000u);
  b.reserve(10);  // less than held: nothing changes
  EXPECT_EQ(b.begin(), before);
  EXPECT_EQ(std::string(b.begin(), 4), "abcd");
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

TEST_F(BinaryFile, SaveAndLoadAfterConsume) {
  binary b("headerpayload", 13);
  b.consume(6);
  ASSERT_TRUE(b.save(m_dir.file("payload.bin")));
  EXPECT_EQ(read_file(m_dir.file("payload.bin")), "payload");

  m_dir.write("other.bin", "0123456789");
  ASSERT_TRUE(b.load(m_dir.file("other.bin")));
  EXPECT_EQ(storage(b), bytes("0123456789\0", 11));
  b.consume(8);
  b.append("!", 1);
  EXPECT_EQ(storage(b), bytes("89!\0", 4));

  binary drained("abc", 3);
  drained.consume(3);
  ASSERT_TRUE(drained.save(m_dir.file("empty.bin")));
  EXPECT_EQ(fs::file_size(m_dir.file("empty.bin")), 0u);
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

// A page may name the path: whatever is not a regular file is refused at once, also where the
// open would wait (a FIFO without a writer) or the reading would never end (a device). Should a
// load wait all the same, the test gives the FIFO a writer so that the load returns, and fails.
TEST_F(BinaryFile, LoadReadsOnlyRegularFilesAndNeverWaits) {
  const std::string fifo = m_dir.file("fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  fs::create_symlink(fifo, m_dir.file("link-to-fifo"));
  m_dir.write("file.bin", "contents");
  fs::create_symlink(m_dir.file("file.bin"), m_dir.file("link-to-file"));

  for (const std::string& path :
       {fifo, m_dir.file("link-to-fifo"), std::string("/dev/zero"), std::string("/dev/null")}) {
    binary b("keep", 4);
    std::future<bool> loaded = std::async(std::launch::async, [&] { return b.load(path); });
    if (loaded.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << "the load of " << path << " waits";
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) {
        ::close(writer);
      }
    }
    EXPECT_FALSE(loaded.get()) << path;
    EXPECT_EQ(storage(b), bytes("keep\0", 5)) << path;
  }

  binary linked("old", 3);
  ASSERT_TRUE(linked.load(m_dir.file("link-to-file")));
  EXPECT_EQ(storage(linked), bytes("contents\0", 9));
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

// ---- saves that cannot be done by replacing the file ----

struct stat stat_of(const std::string& path) {
  struct stat st;
  std::memset(&st, 0, sizeof st);
  EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path << ": " << std::strerror(errno);
  return st;
}

// A pipe or a device at the path is written into, never replaced by a file: the reader of the
// pipe gets the bytes, and the node stays what it was.
TEST_F(BinaryFile, SaveWritesIntoAPipeOrADeviceAndKeepsTheNode) {
  const std::string pipe = m_dir.file("pipe");
  ASSERT_EQ(0, ::mkfifo(pipe.c_str(), 0600));
  // Read and write: the save finds a reader, and the test reads what it wrote without waiting.
  const int fd = ::open(pipe.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(binary("through the pipe", 16).save(pipe));
  char got[64] = {0};
  const ssize_t n = ::read(fd, got, sizeof got);
  ::close(fd);
  EXPECT_EQ("through the pipe", std::string(got, n > 0 ? static_cast<std::size_t>(n) : 0));
  EXPECT_TRUE(S_ISFIFO(stat_of(pipe).st_mode));

  // A pipe that nobody reads: the save fails at once instead of waiting for a reader.
  EXPECT_FALSE(binary("nobody listens", 14).save(pipe));
  EXPECT_TRUE(S_ISFIFO(stat_of(pipe).st_mode));

  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can make a device node";
  }
  // A node of the null device: what a page path of /dev/null would reach.
  const std::string device = m_dir.file("null");
  ASSERT_EQ(0, ::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)));
  EXPECT_TRUE(binary("into nothing", 12).save(device));
  const struct stat st = stat_of(device);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(makedev(1, 3), st.st_rdev);
  EXPECT_EQ(names_in(m_dir.path()), (std::set<std::string>{"null", "pipe"}));
}

// A file with a second name stays one file: both names read the new contents.
TEST_F(BinaryFile, SaveOverAFileWithASecondHardLinkKeepsThemOneFile) {
  m_dir.write("take.wav", "old contents");
  fs::create_hard_link(m_dir.file("take.wav"), m_dir.file("copy.wav"));
  ASSERT_TRUE(binary("new", 3).save(m_dir.file("take.wav")));
  EXPECT_EQ(read_file(m_dir.file("take.wav")), "new");
  EXPECT_EQ(read_file(m_dir.file("copy.wav")), "new");
  EXPECT_EQ(2u, stat_of(m_dir.file("take.wav")).st_nlink);
  EXPECT_EQ(names_in(m_dir.path()), (std::set<std::string>{"copy.wav", "take.wav"}));
}

// A file of another user, saved over by root: it stays that user's, with its mode.
TEST_F(BinaryFile, SaveKeepsTheOwnerAndTheModeOfTheFile) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "only root can save over another user's file";
  }
  const std::string target = m_dir.write("take.wav", "old contents");
  ASSERT_EQ(0, ::chown(target.c_str(), 65534, 65534));
  ASSERT_EQ(0, ::chmod(target.c_str(), 0640));
  ASSERT_TRUE(binary("new", 3).save(target));
  EXPECT_EQ(read_file(target), "new");
  const struct stat st = stat_of(target);
  EXPECT_EQ(65534u, st.st_uid);
  EXPECT_EQ(65534u, st.st_gid);
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(names_in(m_dir.path()), (std::set<std::string>{"take.wav"}));
}

// A file the user may write, in a folder where the user may not make a file: the save writes
// it in place. Root may make files anywhere, so as root the test runs itself again as the
// unprivileged user nobody, on a file of nobody's in a folder of root's.
TEST_F(BinaryFile, SaveInPlaceWhereNoFileMayBeMade) {
  if (const char* given = std::getenv("VOCLE_UNPRIVILEGED_SAVE")) {
    ASSERT_NE(0u, ::geteuid());
    ASSERT_TRUE(binary("new contents", 12).save(given));
    return;
  }
  const std::string target = m_dir.write("take.wav", "the old contents");
  if (::geteuid() == 0) {
    ASSERT_EQ(0, ::chown(target.c_str(), 65534, 65534));
    char self[4096] = {0};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string output = m_dir.file("output.txt");
    const std::string command = "VOCLE_UNPRIVILEGED_SAVE='" + target +
                                "' setpriv --reuid=65534 --regid=65534 --clear-groups '" + self +
                                "' --gtest_filter=BinaryFile.SaveInPlaceWhereNoFileMayBeMade >'" +
                                output + "' 2>&1";
    ASSERT_EQ(0, std::system(command.c_str())) << read_file(output);
    fs::remove(output);
  } else {
    fs::permissions(m_dir.path(), fs::perms(0555));
    const bool saved = binary("new contents", 12).save(target);
    fs::permissions(m_dir.path(), fs::perms(0755));
    ASSERT_TRUE(saved);
  }
  EXPECT_EQ(read_file(target), "new contents");
  EXPECT_EQ(names_in(m_dir.path()), (std::set<std::string>{"take.wav"}));
}

// A pipe has no size to read ahead: a load refuses it at once instead of waiting for a writer.
TEST_F(BinaryFile, LoadOfAPipeFailsWithoutWaiting) {
  const std::string pipe = m_dir.file("pipe");
  ASSERT_EQ(0, ::mkfifo(pipe.c_str(), 0600));
  std::atomic<int> loaded{-1};
  std::thread loader([&] {
    binary b("keep", 4);
    loaded = b.load(pipe) ? 1 : 0;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (loaded < 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const bool waited = loaded < 0;
  if (waited) {
    // Let a loader that waits for a writer go, so that the failure is reported and not a hang.
    const int fd = ::open(pipe.c_str(), O_WRONLY);
    ::close(fd);
  }
  loader.join();
  EXPECT_FALSE(waited);
  EXPECT_EQ(0, loaded.load());
}

}  // namespace
