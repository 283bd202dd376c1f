// Transfers that fail: each reports its translated network code with libcurl's text, ", " and the
// transfer summary.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <boost/format.hpp>

#include "common/temp_dir.h"
#include "upload_fixture.h"

namespace vocle {
namespace http_test {
namespace {

using testkit::http_reply;

class network_error_test : public upload_test {
 protected:
  // Checks the failure list of a transfer that ended with result.
  void expect_failure(const FB::VariantList& result, const std::string& text_pattern, CURLcode code,
                      std::int32_t id) {
    ASSERT_EQ(4u, result.size());
    EXPECT_FALSE(result[0].convert_cast<bool>());
    const std::string summary = result[3].convert_cast<std::string>();
    EXPECT_THAT(summary, ::testing::StartsWith("ulnow: "));
    const std::string expected =
        (boost::format(text_pattern) % curl_easy_strerror(code)).str() + ", " + summary;
    EXPECT_EQ(expected, result[1].convert_cast<std::string>());
    EXPECT_EQ(id, result[2].convert_cast<std::int32_t>());
    EXPECT_FALSE(in_table(id));
  }
};

// A port bound but not listening refuses connections, and no one else can take it meanwhile.
class refusing_port {
 public:
  refusing_port() : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t n = sizeof a;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
      throw std::runtime_error("cannot bind a local port");
    }
    m_port = ntohs(a.sin_port);
  }
  ~refusing_port() { ::close(m_fd); }
  int port() const { return m_port; }

 private:
  int m_fd;
  int m_port = 0;
};

TEST_F(network_error_test, RefusedConnection) {
  refusing_port closed;
  task* t = make_task();
  const std::int32_t id = t->id();
  FB::VariantList result =
      post("http://127.0.0.1:" + std::to_string(closed.port()) + "/upload", data_fields(), t);
  expect_failure(result, "cannot connect: %1%", CURLE_COULDNT_CONNECT, id);
}

// The resolver refuses a label of more than 63 characters before it asks any name server (seen
// with strace: no socket beyond the local ones), so this fails here without leaving the machine.
TEST_F(network_error_test, HostNameThatDoesNotResolve) {
  const std::string label(64, 'a');
  task* t = make_task();
  const std::int32_t id = t->id();
  FB::VariantList result = post("http://" + label + ".invalid/upload", data_fields(), t);
  expect_failure(result, "bad address: %1%", CURLE_COULDNT_RESOLVE_HOST, id);
}

TEST_F(network_error_test, ServerThatAnswersTooLate) {
  http_reply late{200, "late"};
  late.delay = std::chrono::minutes(2);  // cut short when the server stops
  server.reply("/slow", late);
  task* t = make_task(1);
  const std::int32_t id = t->id();
  FB::VariantList result = post(server.url("/slow"), data_fields(), t);
  expect_failure(result, "no answer in time: %1%", CURLE_OPERATION_TIMEDOUT, id);
}

// A time-out of 0 or below sets no limit: an answer that takes longer than a second still counts.
TEST_F(network_error_test, TimeoutOfZeroOrBelowSetsNoLimit) {
  http_reply slow{200, "slow but fine"};
  slow.delay = std::chrono::milliseconds(1500);
  server.reply("/slow", slow);
  for (std::int32_t timeout : {0, -1}) {
    FB::VariantList result = post(server.url("/slow"), data_fields(), make_task(timeout));
    EXPECT_TRUE(result.at(0).convert_cast<bool>()) << timeout << ": " << describe(result);
    EXPECT_EQ("slow but fine", result.at(1).convert_cast<std::string>());
  }
}

TEST_F(network_error_test, RedirectLoopEndsAtTheLimit) {
  server.redirect("/loop", 302, "/loop");
  task* t = make_task(0);  // no time-out: only the limit ends the loop
  const std::int32_t id = t->id();
  FB::VariantList result = post(server.url("/loop"), data_fields(), t);
  expect_failure(result, "too many redirects: %1%", CURLE_TOO_MANY_REDIRECTS, id);
  EXPECT_EQ(31u, server.request_count()) << "the first request and 30 redirects";
}

// The page names the address; only HTTP and HTTPS may be fetched, or a page could read local
// files (or reach other services) through the upload's answer.
TEST_F(network_error_test, SchemesOtherThanHttpAreRefused) {
  testkit::temp_dir dir;
  const std::string secret = dir.write("secret.txt", "the contents of a local file");
  server.redirect("/to-file", 302, "file://" + secret);
  for (const std::string& uri : {"file://" + secret, server.url("/to-file")}) {
    SCOPED_TRACE(uri);
    task* t = make_task();
    const std::int32_t id = t->id();
    FB::VariantList result = post(uri, data_fields(), t);
    expect_failure(result, "transfer failed: %1%", CURLE_UNSUPPORTED_PROTOCOL, id);
    EXPECT_THAT(describe(result), ::testing::Not(::testing::HasSubstr("contents of a local")));
  }
}

// No easy handle: nothing is sent, and the upload still ends with its task done and one failure.
TEST_F(network_error_test, MissingEasyHandle) {
  task* t = make_task();
  const std::int32_t id = t->id();
  std::unique_ptr<task> owned(t);
  http::request_factory::run_transfer(nullptr, server.url("/upload"), "", nullptr, callback,
                                      function_ptr(), t);
  EXPECT_EQ(task::task_done, t->status());
  ASSERT_EQ(1u, callback->lists().size());
  FB::VariantList result = callback->lists()[0];
  owned.reset();
  expect_failure(result, "transfer failed: %1%", CURLE_FAILED_INIT, id);
  EXPECT_EQ("ulnow: 0, ultotal: 0, dlnow: 0, dltotal: 0, total_time: 0",
            result.at(3).convert_cast<std::string>());
  EXPECT_EQ(0u, server.request_count());
}

// libcurl takes the address and the cookie as C strings, which end at a NUL: the request would go
// to another address, or carry another cookie. Either is refused, and nothing is sent.
TEST_F(network_error_test, AddressOrCookieWithANulSendsNothing) {
  server.reply("/upload", {200, "taken"});
  const std::string nul(1, '\0');
  struct {
    const char* what;
    std::string uri;
    std::string cookie;
    CURLcode code;
  } cases[] = {
      {"NUL in the path", server.url("/upload") + nul + "/elsewhere", "", CURLE_URL_MALFORMAT},
      {"NUL at the end", server.url("/upload") + nul, "a=1", CURLE_URL_MALFORMAT},
      {"NUL after the port", server.url("") + nul + ".example/upload", "", CURLE_URL_MALFORMAT},
      {"NUL inside the cookie", server.url("/upload"), "a=1" + nul + "; b=2",
       CURLE_BAD_FUNCTION_ARGUMENT},
      {"NUL as the cookie", server.url("/upload"), nul, CURLE_BAD_FUNCTION_ARGUMENT},
      {"NUL past the cookie's line break", server.url("/upload"), "a=1\r\n" + nul,
       CURLE_BAD_FUNCTION_ARGUMENT},
  };
  const auto frames = boost::make_shared<testkit::recording_function>();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    task* t = make_task();
    const std::int32_t id = t->id();
    FB::VariantList result = post(c.uri, data_fields(), t, c.cookie, frames);
    expect_failure(result, "transfer failed: %1%", c.code, id);
    EXPECT_EQ("ulnow: 0, ultotal: 0, dlnow: 0, dltotal: 0, total_time: 0",
              result.at(3).convert_cast<std::string>());
  }
  EXPECT_EQ(0u, server.request_count());
  EXPECT_EQ(0u, frames->count()) << "no progress without a transfer";

  // The same server takes a sound upload.
  FB::VariantList result = post(server.url("/upload"), data_fields(), make_task(), "a=1");
  EXPECT_TRUE(result.at(0).convert_cast<bool>()) << describe(result);
  ASSERT_EQ(1u, server.request_count());
  EXPECT_EQ("a=1", server.requests()[0].header("Cookie"));
}

}  // namespace
}  // namespace http_test
}  // namespace vocle
