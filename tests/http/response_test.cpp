// What the page's callback receives for each answer of the server.
#include <gmock/gmock.h>

#include <boost/format.hpp>
#include <boost/regex.hpp>

#include "upload_fixture.h"

namespace vocle {
namespace http_test {
namespace {

using testkit::header_list;
using testkit::http_reply;

struct answer_case {
  const char* label;
  int status;
  std::string body;
  header_list headers;
  bool success;
  std::string text;  // element 2 of the list
};

std::ostream& operator<<(std::ostream& out, const answer_case& c) {
  return out << c.label;
}

class answer_test : public upload_test, public ::testing::WithParamInterface<answer_case> {};

TEST_P(answer_test, ResultListFollowsTheStatus) {
  const answer_case& c = GetParam();
  http_reply reply;
  reply.status = c.status;
  reply.body = c.body;
  reply.headers = c.headers;
  server.reply("/answer", reply);
  task* t = make_task();
  const std::int32_t id = t->id();

  FB::VariantList result = post(server.url("/answer"), data_fields(), t);

  ASSERT_EQ(4u, result.size());
  EXPECT_EQ(c.success, result[0].convert_cast<bool>());
  EXPECT_EQ(c.text, result[1].convert_cast<std::string>());
  EXPECT_EQ(id, result[2].convert_cast<std::int32_t>());
  EXPECT_THAT(result[3].convert_cast<std::string>(), ::testing::StartsWith("ulnow: "));
  ASSERT_EQ(1u, server.request_count()) << "libcurl did not follow";
}

INSTANTIATE_TEST_SUITE_P(
    statuses, answer_test,
    ::testing::Values(
        answer_case{"json",
                    200,
                    "{\"score\": 87, \"words\": [\"a\", \"b\"]}",
                    {},
                    true,
                    "{\"score\": 87, \"words\": [\"a\", \"b\"]}"},
        answer_case{"pieces", 200, "A\r\n\r\nB\r\n\r\nC", {}, true, "B"},
        answer_case{"two_pieces", 200, "head\r\n\r\n{\"x\": 1}", {}, true, "{\"x\": 1}"},
        answer_case{"bare_lines", 200, "A\n\nB\r\nC", {}, true, "A\n\nB\r\nC"},
        answer_case{"empty", 200, "", {}, true, ""},
        answer_case{"bad_request", 400, "which arguments", {}, false, "arguments missing"},
        answer_case{"unprocessable", 422, "{}", {}, false, "arguments refused"},
        answer_case{"not_found", 404, "no such page", {}, false, "status 404: [no such page]"},
        answer_case{"server_error_pieces", 500, "x\r\n\r\ny", {}, false, "status 500: [y]"},
        // libcurl follows a 301 or 307 by itself; these arrive only when it has nothing to
        // follow. "Location :" is not a location to libcurl, but it is one to the header map,
        // which keeps the line break.
        answer_case{"moved_nowhere", 301, "", {}, false, "moved to []"},
        answer_case{"moved_odd_header",
                    301,
                    "",
                    {{"Location ", "/elsewhere"}},
                    false,
                    "moved to [/elsewhere\r\n]"},
        answer_case{"redirected_nowhere", 307, "", {}, false, "redirected to []"},
        answer_case{"redirected_odd_header",
                    307,
                    "",
                    {{"Location ", "/other"}},
                    false,
                    "redirected to [/other\r\n]"}),
    [](const ::testing::TestParamInfo<answer_case>& info) {
      return std::string(info.param.label);
    });

TEST_F(upload_test, FollowedRedirectReportsTheFinalAnswer) {
  server.redirect("/old", 301, "/new");
  server.reply("/new", http_reply{200, "arrived"});

  FB::VariantList result = post(server.url("/old"), data_fields());

  EXPECT_TRUE(result.at(0).convert_cast<bool>()) << describe(result);
  EXPECT_EQ("arrived", result.at(1).convert_cast<std::string>());
  std::vector<testkit::recorded_request> requests = server.requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("/old", requests[0].path);
  EXPECT_EQ("/new", requests[1].path);
}

// A redirect that keeps the POST would send the form again, but its streamed parts are drained
// by then: the server would get a truncated body and wait for the rest. The redirect is not
// followed, and its own answer is the result; one that turns the POST into a GET still is.
TEST_F(upload_test, RedirectThatWouldSendTheFormAgainIsNotFollowed) {
  struct redirect_case {
    int status;
    std::string text;
  };
  server.reply("/new", http_reply{200, "arrived"});
  for (const redirect_case& c :
       {redirect_case{307, "redirected to [/new\r\n]"}, redirect_case{308, "status 308: []"}}) {
    SCOPED_TRACE(c.status);
    const std::string from = "/old" + std::to_string(c.status);
    server.redirect(from, c.status, "/new");
    const std::size_t before = server.request_count();
    task* t = make_task(0);  // no time-out: a truncated body would hang the post
    const std::int32_t id = t->id();

    FB::VariantList result = post(server.url(from), data_fields(awkward_bytes(5000)), t);

    ASSERT_EQ(4u, result.size());
    EXPECT_FALSE(result[0].convert_cast<bool>());
    EXPECT_EQ(c.text, result[1].convert_cast<std::string>());
    EXPECT_EQ(id, result[2].convert_cast<std::int32_t>());
    ASSERT_EQ(before + 1, server.request_count());
    EXPECT_EQ(from, server.requests().back().path);
  }
}

// The summary holds what the last progress call saw: the whole request body went up and the
// whole answer came down.
TEST_F(upload_test, SummaryCountsTheWholeTransfer) {
  const std::string answer(12345, 'r');
  server.reply("/answer", http_reply{200, answer});

  FB::VariantList result = post(server.url("/answer"), data_fields(awkward_bytes(100000)));

  ASSERT_EQ(4u, result.size());
  const std::string summary = result[3].convert_cast<std::string>();
  boost::smatch m;
  ASSERT_TRUE(boost::regex_match(
      summary, m,
      boost::regex("ulnow: (\\d+), ultotal: (\\d+), dlnow: (\\d+), dltotal: (\\d+), "
                   "total_time: ([0-9.e+-]+)")))
      << summary;
  const std::string body_size = std::to_string(server.requests().at(0).body.size());
  EXPECT_EQ(body_size, m[1].str());
  EXPECT_EQ(body_size, m[2].str());
  EXPECT_EQ("12345", m[3].str());
  EXPECT_EQ("12345", m[4].str());
  EXPECT_GT(std::stod(m[5].str()), 0.0);
}

// The answer goes to the page as one string, so it has a limit ("audio.max_response_size"): a
// larger answer, whatever its status, ends the transfer with the translated error and the limit,
// as a failed transfer ends.
TEST_F(upload_test, AnswersAboveTheLimitEndTheTransfer) {
  config.rewrite("vocle.conf", "[audio]\nmax_response_size=1000\n");
  struct limit_case {
    int status;
    std::size_t bytes;
    bool refused;
  };
  for (const limit_case& c : {limit_case{200, 1000, false}, limit_case{200, 1001, true},
                              limit_case{500, 1001, true}, limit_case{200, 1000000, true}}) {
    SCOPED_TRACE(std::to_string(c.status) + " with " + std::to_string(c.bytes) + " bytes");
    server.reply("/answer", http_reply{c.status, std::string(c.bytes, 'a')});
    task* t = make_task();
    const std::int32_t id = t->id();

    FB::VariantList result = post(server.url("/answer"), data_fields(), t);

    ASSERT_EQ(4u, result.size());
    EXPECT_EQ(!c.refused, result[0].convert_cast<bool>());
    const std::string text = result[1].convert_cast<std::string>();
    if (c.refused) {
      EXPECT_EQ("answer over 1000 bytes, " + result[3].convert_cast<std::string>(), text);
    } else {
      EXPECT_EQ(std::string(c.bytes, 'a'), text);
    }
    EXPECT_EQ(id, result[2].convert_cast<std::int32_t>());
  }
}

// An error text made from an answer carries only its start, cut between two UTF-8 characters.
TEST_F(upload_test, ErrorTextsCarryOnlyTheStartOfTheAnswer) {
  std::string answer = "a";
  for (int i = 0; i < 5000; ++i) {
    answer += "\xC3\xA9";  // e acute
  }
  server.reply("/answer", http_reply{500, answer});

  FB::VariantList result = post(server.url("/answer"), data_fields());

  ASSERT_EQ(4u, result.size());
  EXPECT_FALSE(result[0].convert_cast<bool>());
  EXPECT_EQ("status 500: [" + answer.substr(0, 1023) + "...]",
            result[1].convert_cast<std::string>());
}

// The handler on its own, with the test's language file.
class response_callback : public ::testing::Test {
 protected:
  testkit::config_dir config{std::string(), test_lang_conf()};
};

TEST_F(response_callback, WithoutContextTheIdIsMinusOneAndTheSummaryEmpty) {
  auto callback = boost::make_shared<testkit::recording_function>();
  http::request_factory::response_callback(CURLE_OK, 200, {}, binary("ok", 2), callback, nullptr);
  ASSERT_EQ(1u, callback->lists().size());
  FB::VariantList list = callback->lists()[0];
  ASSERT_EQ(4u, list.size());
  EXPECT_EQ(-1, list[2].convert_cast<std::int32_t>());
  EXPECT_EQ("", list[3].convert_cast<std::string>());
}

TEST_F(response_callback, EmptyCallbackIsLeftAlone) {
  http::progress_context context;
  http::request_factory::response_callback(CURLE_COULDNT_CONNECT, 0, {}, binary(std::size_t(0)),
                                           function_ptr(), &context);
}

TEST(transfer_summary, PrintsCountersAndSixSignificantDigitsOfTime) {
  http::progress_context context;
  context.ulnow = 5000000000LL;
  context.ultotal = 5000000001LL;
  context.dlnow = 7;
  context.dltotal = 8;
  context.total_time = 12.3456789;
  EXPECT_EQ("ulnow: 5000000000, ultotal: 5000000001, dlnow: 7, dltotal: 8, total_time: 12.3457",
            http::request_factory::transfer_summary(&context));
  context.total_time = 0.25;
  EXPECT_THAT(http::request_factory::transfer_summary(&context),
              ::testing::EndsWith("total_time: 0.25"));
  EXPECT_EQ("", http::request_factory::transfer_summary(nullptr));
}

TEST(curl_error_code, MapsTheFourNetworkFailuresAndEverythingElseToHttp) {
  EXPECT_EQ("ZRV_ERR_NET_BAD_URL",
            http::request_factory::curl_error_code(CURLE_COULDNT_RESOLVE_HOST));
  EXPECT_EQ("ZRV_ERR_NET_CONNECTION",
            http::request_factory::curl_error_code(CURLE_COULDNT_CONNECT));
  EXPECT_EQ("ZRV_ERR_NET_TIMEOUT",
            http::request_factory::curl_error_code(CURLE_OPERATION_TIMEDOUT));
  EXPECT_EQ("ZRV_ERR_NET_MAX_REDIRECTS_EXCEEDED",
            http::request_factory::curl_error_code(CURLE_TOO_MANY_REDIRECTS));
  for (CURLcode other :
       {CURLE_ABORTED_BY_CALLBACK, CURLE_COULDNT_RESOLVE_PROXY, CURLE_URL_MALFORMAT,
        CURLE_SEND_ERROR, CURLE_RECV_ERROR, CURLE_FAILED_INIT}) {
    EXPECT_EQ("ZRV_ERR_NET_HTTP", http::request_factory::curl_error_code(other)) << other;
  }
}

}  // namespace
}  // namespace http_test
}  // namespace vocle
