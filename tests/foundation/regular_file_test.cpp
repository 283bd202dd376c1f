// Opening a file whose path a page may name: only regular files, never waiting, and read up to
// the size the file had when it was opened.
#include "core/foundation/regular_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace {

using vocle::regular_file;
using vocle::testkit::temp_dir;

std::string read_rest(regular_file& file, std::size_t piece) {
  std::string bytes;
  std::string buffer(piece, '\0');
  for (;;) {
    const long n = file.read(&buffer[0], piece);
    EXPECT_GE(n, 0);
    if (n <= 0) {
      return bytes;
    }
    bytes.append(buffer, 0, static_cast<std::size_t>(n));
  }
}

TEST(regular_file, OpensOnlyRegularFilesAndLinksToThem) {
  temp_dir dir;
  const std::string plain = dir.write("plain", "abc");
  const std::string link = dir.file("link");
  ASSERT_EQ(0, ::symlink(plain.c_str(), link.c_str()));
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));  // an open that waited would hang the test

  for (const std::string& path : {plain, link}) {
    regular_file file;
    ASSERT_TRUE(file.open(path)) << path;
    EXPECT_EQ(3u, file.size());
    EXPECT_EQ("abc", read_rest(file, 2));
  }
  for (const std::string& path : {fifo, dir.path(), std::string("/dev/zero"), dir.file("none")}) {
    regular_file file;
    EXPECT_FALSE(file.open(path)) << path;
    char c;
    EXPECT_EQ(-1, file.read(&c, 1)) << path;
  }
}

TEST(regular_file, ReadsUpToTheSizeItHadWhenOpened) {
  temp_dir dir;
  const std::string path = dir.write("f", "0123456789");

  regular_file grown;
  ASSERT_TRUE(grown.open(path));
  std::ofstream(path, std::ios::app) << "more";
  EXPECT_EQ("0123456789", read_rest(grown, 3));

  regular_file shrunk;
  ASSERT_TRUE(shrunk.open(path));
  ASSERT_EQ(0, ::truncate(path.c_str(), 4));
  EXPECT_EQ("0123", read_rest(shrunk, 3));
}

}  // namespace
