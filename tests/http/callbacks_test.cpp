// libcurl's stream and header callbacks, called the way libcurl calls them.
#include <limits>

#include <gmock/gmock.h>

#include "core/foundation/binary_source.h"
#include "upload_fixture.h"

namespace vocle {
namespace http_test {
namespace {

using header_map = http::request_factory::header_map;

struct header_case {
  const char* label;
  std::string line;
  header_map expected;  // starting from {"x-old": "kept\r\n"}
};

std::ostream& operator<<(std::ostream& out, const header_case& c) {
  return out << c.label;
}

class parse_header_test : public ::testing::TestWithParam<header_case> {};

TEST_P(parse_header_test, StoresNameLowerCasedAndValueWithItsLineBreak) {
  header_map headers{{"x-old", "kept\r\n"}};
  http::request_factory::parse_header(GetParam().line, headers);
  EXPECT_EQ(GetParam().expected, headers);
}

INSTANTIATE_TEST_SUITE_P(
    lines, parse_header_test,
    ::testing::Values(
        header_case{"location",
                    "Location: /next/step\r\n",
                    {{"x-old", "kept\r\n"}, {"location", "/next/step\r\n"}}},
        header_case{"space_before_colon",
                    "Content-Type : text/html\r\n",
                    {{"x-old", "kept\r\n"}, {"content-type", "text/html\r\n"}}},
        header_case{"leading_blanks_and_colons_in_value",
                    "  X-Url:\thttp://a:8/b \r\n",
                    {{"x-old", "kept\r\n"}, {"x-url", "http://a:8/b \r\n"}}},
        header_case{"replaces_earlier_value", "X-OLD: new\r\n", {{"x-old", "new\r\n"}}},
        header_case{"stops_at_zero_byte",
                    std::string("X-Z: ab\0cd\r\n", 11),
                    {{"x-old", "kept\r\n"}, {"x-z", "ab"}}},
        header_case{"status_line", "HTTP/1.1 200 OK\r\n", {{"x-old", "kept\r\n"}}},
        header_case{"end_of_headers", "\r\n", {{"x-old", "kept\r\n"}}},
        header_case{"no_value", "X-Empty:\r\n", {{"x-old", "kept\r\n"}, {"x-empty", "\n"}}},
        header_case{"no_name", ": value\r\n", {{"x-old", "kept\r\n"}}}),
    [](const ::testing::TestParamInfo<header_case>& info) {
      return std::string(info.param.label);
    });

// A binary part is read through the source that the form makes for it, which drains the binary.
TEST(read_request_binary, TenThousandBytesInCallsOf4096) {
  const std::string bytes = awkward_bytes(10000);
  boost::shared_ptr<binary> data = make_binary(bytes);
  binary_source source(data);
  std::vector<std::size_t> sizes;
  std::string sent;
  char buffer[4096];
  for (;;) {
    std::size_t n = http::request_factory::read_request_binary(buffer, 1, sizeof buffer,
                                                               static_cast<byte_source*>(&source));
    sizes.push_back(n);
    sent.append(buffer, n);
    if (!n) {
      break;
    }
  }
  EXPECT_THAT(sizes, ::testing::ElementsAre(4096u, 4096u, 1808u, 0u));
  EXPECT_TRUE(sent == bytes);
  EXPECT_EQ(0u, data->size());
  EXPECT_EQ(10000u, source.size()) << "the size announced stays that of the whole part";
}

TEST(read_request_binary, BadArgumentsEndThePartAndLeaveTheBinary) {
  boost::shared_ptr<binary> data = make_binary("abc");
  binary_source bytes(data);
  byte_source* source = &bytes;
  char buffer[8];
  EXPECT_EQ(0u, http::request_factory::read_request_binary(nullptr, 1, 8, source));
  EXPECT_EQ(0u, http::request_factory::read_request_binary(buffer, 0, 8, source));
  EXPECT_EQ(0u, http::request_factory::read_request_binary(buffer, 1, 0, source));
  EXPECT_EQ(0u, http::request_factory::read_request_binary(buffer, 1, 8, nullptr));
  EXPECT_EQ(3u, data->size());
  // size x count is the room libcurl offers.
  EXPECT_EQ(2u, http::request_factory::read_request_binary(buffer, 2, 1, source));
  EXPECT_EQ("ab", std::string(buffer, 2));
  EXPECT_EQ("c", std::string(data->begin(), data->size()));
}

// The callback runs inside libcurl: a source that fails must abort the transfer, neither throw
// through libcurl's frames nor end the part short of the length announced for it.
TEST(read_request_binary, SourceThatFailsAbortsTheTransfer) {
  struct failing_source : byte_source {
    std::uint64_t size() const override { return 10; }
    std::size_t read(char*, std::size_t) override { throw std::runtime_error("disk gone"); }
  } source;
  char buffer[8];
  EXPECT_EQ(
      static_cast<std::size_t>(CURL_READFUNC_ABORT),
      http::request_factory::read_request_binary(buffer, 1, 8, static_cast<byte_source*>(&source)));
}

TEST(write_response_data, AppendsEveryChunkAndRefusesBadArguments) {
  binary body(std::size_t(0));
  char chunk[] = "abcdef";
  EXPECT_EQ(6u, http::request_factory::write_response_data(chunk, 2, 3, &body));
  EXPECT_EQ(2u, http::request_factory::write_response_data(chunk, 1, 2, &body));
  EXPECT_EQ("abcdefab", std::string(body.begin(), body.size()));
  EXPECT_EQ(0u, http::request_factory::write_response_data(nullptr, 1, 2, &body));
  EXPECT_EQ(0u, http::request_factory::write_response_data(chunk, 0, 2, &body));
  EXPECT_EQ(0u, http::request_factory::write_response_data(chunk, 1, 0, &body));
  EXPECT_EQ(0u, http::request_factory::write_response_data(chunk, 1, 2, nullptr));
  EXPECT_EQ(8u, body.size());
}

// The callback runs inside libcurl, which is C: a body that cannot take the bytes must end the
// transfer (0), not throw through libcurl's frames.
TEST(write_response_data, BodyThatCannotGrowEndsTheTransfer) {
  binary body("kept", 4);
  char chunk[] = "abcdef";
  EXPECT_EQ(0u, http::request_factory::write_response_data(
                    chunk, 1, std::numeric_limits<std::size_t>::max(), &body));
  EXPECT_EQ("kept", std::string(body.begin(), body.size()));
}

TEST(write_header_data, ParsesTheLineAndTakesAllOfIt) {
  header_map headers;
  char line[] = "Location: /x\r\n";
  const std::size_t n = sizeof line - 1;
  EXPECT_EQ(n, http::request_factory::write_header_data(line, 1, n, &headers));
  EXPECT_EQ((header_map{{"location", "/x\r\n"}}), headers);
  EXPECT_EQ(0u, http::request_factory::write_header_data(line, 1, n, nullptr));
  EXPECT_EQ(0u, http::request_factory::write_header_data(nullptr, 1, n, &headers));
}

}  // namespace
}  // namespace http_test
}  // namespace vocle
