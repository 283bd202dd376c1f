// Base64 text of bytes, checked against RFC 4648 and against coreutils' base64 as a peer.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "common/temp_dir.h"
#include "core/foundation/base64.h"

namespace {

using vocle::util::base64_encode;

std::string encode(const std::string& bytes) {
  return base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                       static_cast<std::uint32_t>(bytes.size()));
}

TEST(Base64, Rfc4648Vectors) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"a", "YQ=="},
      {"ab", "YWI="},
      {"abc", "YWJj"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.out, encode(c.in)) << '"' << c.in << '"';
  }
}

TEST(Base64, TheLastCharactersOfTheAlphabet) {
  EXPECT_EQ("+/8=", encode("\xfb\xff"));
  EXPECT_EQ("////", encode("\xff\xff\xff"));
  EXPECT_EQ("AAAA", encode(std::string(3, '\0')));
  EXPECT_EQ("AA==", encode(std::string(1, '\0')));
}

TEST(Base64, NoBytesFromANullPointer) {
  EXPECT_EQ("", base64_encode(nullptr, 0));
}

// Every byte value at every position of a group, against an independent encoder.
TEST(Base64, MatchesCoreutils) {
  std::string bytes;
  for (int round = 0; round < 3; ++round) {
    for (int b = 0; b < 256; ++b) {
      bytes.push_back(static_cast<char>((b * 7 + round * 13) & 0xff));
    }
  }
  vocle::testkit::temp_dir dir;
  for (std::size_t n : {bytes.size(), bytes.size() - 1, bytes.size() - 2}) {
    const std::string in = dir.write("in.bin", bytes.substr(0, n));
    const std::string out = dir.file("out.txt");
    ASSERT_EQ(0, std::system(("base64 -w0 '" + in + "' > '" + out + "'").c_str()));
    EXPECT_EQ(vocle::testkit::read_file(out), encode(bytes.substr(0, n))) << n << " bytes";
  }
}

}  // namespace
