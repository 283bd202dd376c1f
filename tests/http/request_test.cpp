// The upload request as the server receives it.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <string>

#include <gmock/gmock.h>
#include <boost/any.hpp>
#include <boost/regex.hpp>

#include "common/temp_dir.h"
#include "core/foundation/sample_view.h"
#include "core/foundation/sample_view_source.h"
#include "framework/logging.h"
#include "upload_fixture.h"

namespace vocle {
namespace http_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testkit::header_list;
using testkit::recorded_part;
using testkit::recorded_request;

class request_test : public upload_test {
 protected:
  request_test() { server.reply("/upload", testkit::http_reply{200, "{\"ok\": true}"}); }

  // The one request of a post, parsed as a valid multipart form.
  recorded_request only_request() {
    std::vector<recorded_request> all = server.requests();
    EXPECT_EQ(1u, all.size());
    if (all.empty()) {
      return recorded_request();
    }
    EXPECT_TRUE(all[0].multipart);
    EXPECT_TRUE(all[0].multipart_valid) << all[0].body;
    return all[0];
  }

  static std::vector<std::string> header_names(const recorded_part& part) {
    std::vector<std::string> names;
    for (const auto& h : part.headers) {
      names.push_back(h.first);
    }
    return names;
  }
};

TEST_F(request_test, RecognitionFormSendsFileBeforeSentence) {
  const std::string image = awkward_bytes(5000);
  http::form_fields fields;
  fields["sentence"] = field("string", std::string("the quick brown fox"));
  fields["file"] = field("wav_dvi_adpcm", make_binary(image));

  FB::VariantList result = post(server.url("/upload"), fields);
  ASSERT_EQ(4u, result.size());
  EXPECT_TRUE(result[0].convert_cast<bool>()) << describe(result);

  recorded_request r = only_request();
  EXPECT_EQ("POST", r.method);
  EXPECT_EQ("/upload", r.path);
  EXPECT_THAT(r.part_names(), ElementsAre("file", "sentence"));

  const recorded_part& file = r.parts.at(0);
  EXPECT_TRUE(file.has_filename);
  EXPECT_EQ("file", file.filename);
  EXPECT_EQ("application/wav; codec=\"11\"", file.content_type);
  EXPECT_THAT(header_names(file), ElementsAre("Content-Disposition", "Content-Type"));
  EXPECT_TRUE(file.content == image) << "the image's bytes, exactly";

  const recorded_part& sentence = r.parts.at(1);
  EXPECT_FALSE(sentence.has_filename);
  EXPECT_FALSE(sentence.has("Content-Type"));
  EXPECT_EQ("the quick brown fox", sentence.content);
}

TEST_F(request_test, BinaryPartCarriesItsNameHeadersAndExactBytes) {
  const std::string bytes = awkward_bytes(3001);
  FB::VariantList result = post(server.url("/upload"), data_fields(bytes));
  EXPECT_TRUE(result.at(0).convert_cast<bool>()) << describe(result);

  recorded_request r = only_request();
  ASSERT_EQ(1u, r.parts.size());
  const recorded_part& data = r.parts[0];
  EXPECT_EQ("data", data.name);
  EXPECT_TRUE(data.has_filename);
  EXPECT_EQ("data", data.filename);
  EXPECT_THAT(header_names(data),
              ElementsAre("Content-Disposition", "Content-Type", "Content-Transfer-Encoding"));
  EXPECT_EQ("application/octet-stream", data.header("Content-Type"));
  EXPECT_EQ("binary", data.header("Content-Transfer-Encoding"));
  EXPECT_EQ(bytes.size(), data.content.size()) << "no trailing zero byte";
  EXPECT_TRUE(data.content == bytes);
  // The part's header block byte for byte, as a strict server would parse it.
  EXPECT_THAT(r.body,
              HasSubstr("Content-Disposition: form-data; name=\"data\"; filename=\"data\"\r\n"
                        "Content-Type: application/octet-stream\r\n"
                        "Content-Transfer-Encoding: binary\r\n\r\n"));
}

// An empty streamed part is still a part of known length: the body goes with its
// Content-Length, not chunked (which many servers refuse), and the part looks as a part of
// one byte would, its bytes aside.
TEST_F(request_test, EmptyStreamedPartKeepsTheLengthOfTheBody) {
  struct empty_source : byte_source {
    std::uint64_t size() const override { return 0; }
    std::size_t read(char*, std::size_t) override { return 0; }
  };
  struct {
    const char* what;
    const char* type;
    boost::any value;
    bool with_sentence;
  } cases[] = {
      {"empty binary", "binary", boost::any(make_binary(std::string())), false},
      {"empty binary before a text", "binary", boost::any(make_binary(std::string())), true},
      {"empty image", "wav_dvi_adpcm", boost::any(make_binary(std::string())), false},
      {"empty byte source", "binary",
       boost::any(boost::shared_ptr<byte_source>(boost::make_shared<empty_source>())), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t before = server.request_count();
    for (const std::string& bytes : {std::string(), std::string("x")}) {
      http::form_fields fields;
      fields["data"] =
          bytes.empty() ? http::form_field{c.type, c.value} : field(c.type, make_binary(bytes));
      if (c.with_sentence) {
        fields["sentence"] = field("string", std::string("after"));
      }
      FB::VariantList result = post(server.url("/upload"), fields);
      EXPECT_TRUE(result.at(0).convert_cast<bool>()) << describe(result);
    }
    std::vector<recorded_request> all = server.requests();
    ASSERT_EQ(before + 2, all.size());
    const recorded_request& empty = all[before];
    const recorded_request& one_byte = all[before + 1];
    EXPECT_FALSE(empty.has("Transfer-Encoding")) << empty.header("Transfer-Encoding");
    EXPECT_EQ(std::to_string(empty.body.size()), empty.header("Content-Length"));
    ASSERT_TRUE(empty.multipart_valid) << empty.body;
    ASSERT_EQ(c.with_sentence ? 2u : 1u, empty.parts.size());
    EXPECT_EQ("", empty.parts[0].content);
    EXPECT_EQ("data", empty.parts[0].filename);
    EXPECT_EQ(one_byte.parts.at(0).headers, empty.parts[0].headers);
    if (c.with_sentence) {
      EXPECT_EQ("after", empty.parts.at(1).content);
    }
  }
}

// The samples of a record reach the form as a byte source over its spans: the part is their
// little-endian bytes, announced and sent exactly as the same bytes in a binary would be.
TEST_F(request_test, ByteSourcePartIsSentAsTheSameBytesInABinaryWouldBe) {
  std::vector<std::int16_t> samples(3001);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(i * 2654435761u >> 16);
  }
  samples[7] = 0x0a0d;  // CR LF
  std::string bytes;
  for (std::int16_t s : samples) {
    bytes += static_cast<char>(static_cast<std::uint16_t>(s) & 0xff);
    bytes += static_cast<char>(static_cast<std::uint16_t>(s) >> 8);
  }
  for (const char* type : {"binary", "wav_dvi_adpcm"}) {
    SCOPED_TRACE(type);
    const std::size_t before = server.request_count();
    sample_view view;
    view.add(nullptr, samples.data(), 1);
    view.add(nullptr, samples.data() + 1, 1500);
    view.add(nullptr, samples.data() + 1501, 1500);
    http::form_fields by_source;
    by_source["data"] = http::form_field{
        type,
        boost::any(boost::shared_ptr<byte_source>(boost::make_shared<sample_view_source>(view)))};
    http::form_fields by_binary;
    by_binary["data"] = field(type, make_binary(bytes));

    for (const http::form_fields* fields : {&by_binary, &by_source}) {
      FB::VariantList result = post(server.url("/upload"), *fields);
      EXPECT_TRUE(result.at(0).convert_cast<bool>()) << describe(result);
    }
    std::vector<recorded_request> all = server.requests();
    ASSERT_EQ(before + 2, all.size());
    const recorded_request& binary_post = all[before];
    const recorded_request& source_post = all[before + 1];
    ASSERT_TRUE(source_post.multipart_valid);
    ASSERT_EQ(1u, source_post.parts.size());
    EXPECT_TRUE(source_post.parts[0].content == bytes);
    EXPECT_EQ(binary_post.parts.at(0).headers, source_post.parts[0].headers);
    EXPECT_EQ(binary_post.header("Content-Length"), source_post.header("Content-Length"));
  }
}

// A source that fails half-way ends the upload as a failed transfer, at once: the part is not
// cut short of the length already announced, which would leave the server waiting for the rest.
TEST_F(request_test, SourceThatFailsHalfWayEndsTheUploadAsAFailure) {
  struct failing_source : byte_source {
    std::uint64_t m_sent = 0;
    std::uint64_t size() const override { return 1 << 20; }
    std::size_t read(char* to, std::size_t n) override {
      if (m_sent >= size() / 2) {
        throw std::runtime_error("the disk has gone");
      }
      n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size() - m_sent));
      std::memset(to, 'x', n);
      m_sent += n;
      return n;
    }
  };
  http::form_fields fields;
  fields["data"] = http::form_field{
      "binary", boost::any(boost::shared_ptr<byte_source>(boost::make_shared<failing_source>()))};
  task* t = make_task(0);  // no time-out: only the abort can end it
  const std::int32_t id = t->id();

  FB::VariantList result = post(server.url("/upload"), fields, t);
  ASSERT_EQ(4u, result.size());
  EXPECT_FALSE(result[0].convert_cast<bool>());
  EXPECT_THAT(result[1].convert_cast<std::string>(),
              ::testing::StartsWith(std::string("transfer failed: ") +
                                    curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK)));
  EXPECT_EQ(id, result[2].convert_cast<std::int32_t>());
  EXPECT_FALSE(in_table(id));
}

TEST_F(request_test, XmlPartHasItsContentType) {
  const std::string xml = "<?xml version=\"1.0\"?>\n<score value=\"3\"/>";
  http::form_fields fields;
  fields["meta"] = field("xml", xml);
  post(server.url("/upload"), fields);

  recorded_request r = only_request();
  ASSERT_EQ(1u, r.parts.size());
  EXPECT_EQ("meta", r.parts[0].name);
  EXPECT_FALSE(r.parts[0].has_filename);
  EXPECT_EQ("application/xml", r.parts[0].content_type);
  EXPECT_EQ(xml, r.parts[0].content);
}

// The page's text goes whole, with its length: a zero byte inside it does not end it.
TEST_F(request_test, TextPartsKeepTheirZeroBytes) {
  const std::string sentence("before\0after", 12);
  const std::string xml("<a>\0</a>", 8);
  http::form_fields fields;
  fields["sentence"] = field("string", sentence);
  fields["meta"] = field("xml", xml);
  fields["empty"] = field("string", std::string());
  post(server.url("/upload"), fields);

  recorded_request r = only_request();
  ASSERT_EQ(3u, r.parts.size());
  EXPECT_EQ(std::string(), r.part("empty")->content);
  EXPECT_EQ(xml, r.part("meta")->content);
  EXPECT_EQ(sentence, r.part("sentence")->content);
}

TEST_F(request_test, FieldsOfUnknownTypeAddNoPart) {
  http::form_fields fields;
  fields["a"] = field("String", std::string("capital S"));
  fields["b"] = field("string", std::string("kept"));
  fields["c"] = field("json", std::string("{}"));
  fields["d"] = field("Binary", make_binary("xyz"));
  fields["e"] = field("", std::string("no type"));
  FB::VariantList result = post(server.url("/upload"), fields);
  EXPECT_TRUE(result.at(0).convert_cast<bool>()) << describe(result);

  recorded_request r = only_request();
  EXPECT_THAT(r.part_names(), ElementsAre("b"));
  EXPECT_EQ("kept", r.parts.at(0).content);
}

TEST_F(request_test, SendsTheThreeHeadersTheUserAgentAndTheCookie) {
  post(server.url("/upload"), data_fields(), nullptr, "session=4f2a9; lang=en");

  recorded_request r = only_request();
  EXPECT_EQ("application/json", r.header("Accept"));
  EXPECT_EQ("close", r.header("Connection"));
  EXPECT_EQ("vocle/1.1.0.0", r.header("User-Agent"));
  EXPECT_EQ("session=4f2a9; lang=en", r.header("Cookie"));
  EXPECT_FALSE(r.has("Expect"));
  EXPECT_EQ(1u, r.count("Accept"));
  EXPECT_THAT(r.header("Content-Type"), HasSubstr("multipart/form-data; boundary="));
  EXPECT_EQ(std::to_string(r.body.size()), r.header("Content-Length"));
}

// The cookie comes from the page: a line break in it must not add headers to the request.
TEST_F(request_test, CookieEndsAtItsFirstLineBreak) {
  for (const std::string& cookie :
       {std::string("sid=1\r\nX-Injected: yes"), std::string("sid=1\nX-Injected: yes"),
        std::string("sid=1\rX-Injected: yes")}) {
    post(server.url("/upload"), data_fields(), nullptr, cookie);
  }
  std::vector<recorded_request> requests = server.requests();
  ASSERT_EQ(3u, requests.size());
  for (const recorded_request& r : requests) {
    EXPECT_EQ("sid=1", r.header("Cookie"));
    EXPECT_FALSE(r.has("X-Injected"));
    EXPECT_TRUE(r.multipart_valid);
  }
}

TEST_F(request_test, LargeBodyIsSentWithoutWaitingForContinue) {
  // Over 1 MB libcurl would announce "Expect: 100-continue" unless told not to.
  const std::string bytes = awkward_bytes(1536 * 1024);
  post(server.url("/upload"), data_fields(bytes));

  recorded_request r = only_request();
  EXPECT_FALSE(r.has("Expect"));
  ASSERT_EQ(1u, r.parts.size());
  EXPECT_TRUE(r.parts[0].content == bytes);
}

TEST_F(request_test, PostDrainsStreamedBinariesAndEndsTheTask) {
  boost::shared_ptr<binary> data = make_binary(awkward_bytes(20000));
  boost::shared_ptr<binary> image = make_binary(awkward_bytes(300, 3));
  http::form_fields fields;
  fields["data"] = field("binary", data);
  fields["file"] = field("wav_dvi_adpcm", image);
  task* t = make_task();
  const std::int32_t id = t->id();
  ASSERT_TRUE(in_table(id));

  FB::VariantList result = post(server.url("/upload"), fields, t);

  EXPECT_TRUE(result.at(0).convert_cast<bool>()) << describe(result);
  EXPECT_EQ(0u, data->size());
  EXPECT_EQ(0u, image->size());
  EXPECT_FALSE(in_table(id)) << "the task leaves its table when the post ends";
  EXPECT_EQ(id, result.at(2).convert_cast<std::int32_t>());
}

// A map with nothing that makes a part sends no request, yet ends like any other upload.
TEST_F(request_test, NothingToPostSendsNoRequestAndReportsOneFailure) {
  http::form_fields unknown_only;
  unknown_only["x"] = field("String", std::string("ignored"));
  for (const http::form_fields& fields : {http::form_fields(), unknown_only}) {
    task* t = make_task();
    const std::int32_t id = t->id();
    FB::VariantList result = post(server.url("/upload"), fields, t);

    ASSERT_EQ(4u, result.size());
    EXPECT_FALSE(result[0].convert_cast<bool>());
    EXPECT_EQ("arguments missing", result[1].convert_cast<std::string>());
    EXPECT_EQ(id, result[2].convert_cast<std::int32_t>());
    EXPECT_EQ("ulnow: 0, ultotal: 0, dlnow: 0, dltotal: 0, total_time: 0",
              result[3].convert_cast<std::string>());
    EXPECT_FALSE(in_table(id));
  }
  // post returns only after its transfer has been answered, so a request would be recorded.
  EXPECT_EQ(0u, server.request_count());
}

// Whatever is thrown inside a post, here a value of the wrong kind for its field, the post ends
// like a failed transfer: one failure list, the task gone, the request lock released.
TEST_F(request_test, ValueOfTheWrongKindEndsInOneFailureList) {
  http::form_fields fields;
  fields["data"] = field("binary", std::string("not a binary"));
  task* t = make_task();
  const std::int32_t id = t->id();

  FB::VariantList failed;
  EXPECT_NO_THROW(failed = post(server.url("/upload"), fields, t));
  ASSERT_EQ(4u, failed.size());
  EXPECT_FALSE(failed[0].convert_cast<bool>());
  EXPECT_THAT(failed[1].convert_cast<std::string>(),
              ::testing::StartsWith("transfer failed: boost::bad_any_cast"));
  EXPECT_THAT(failed[1].convert_cast<std::string>(), HasSubstr(", ulnow: 0, ultotal: 0"));
  EXPECT_EQ(id, failed[2].convert_cast<std::int32_t>());
  EXPECT_EQ("ulnow: 0, ultotal: 0, dlnow: 0, dltotal: 0, total_time: 0",
            failed[3].convert_cast<std::string>());
  EXPECT_FALSE(in_table(id)) << "post owns the task whatever the outcome";
  EXPECT_EQ(0u, server.request_count());

  // The request lock was released: the next post runs.
  FB::VariantList result = post(server.url("/upload"), data_fields());
  EXPECT_TRUE(result.at(0).convert_cast<bool>()) << describe(result);
  EXPECT_EQ(1u, server.request_count());
}

// A result callback that fails is the page's affair: post still releases everything and returns.
TEST_F(request_test, FailingResultCallbackDoesNotEscapeThePost) {
  auto failing = boost::make_shared<throwing_function>();
  http::form_fields unknown_only;
  unknown_only["x"] = field("String", std::string("ignored"));
  for (const http::form_fields& fields : {data_fields(), unknown_only}) {
    task* t = make_task();
    const std::int32_t id = t->id();
    const std::size_t before = failing->count();
    EXPECT_NO_THROW(
        http::request_factory::post(server.url("/upload"), "", failing, function_ptr(), fields, t));
    EXPECT_EQ(before + 1, failing->count()) << "the result was offered once";
    EXPECT_FALSE(in_table(id));
  }
  EXPECT_EQ(1u, server.request_count());
}

TEST_F(request_test, LogsShowTheCookieLengthButNeverItsText) {
  testkit::temp_dir logs;
  const std::string log_file = logs.file("upload.log");
  FB::Log::initLogging({{FB::Log::LogMethod_File, log_file}}, FB::Log::LogLevel_Trace);
  post(server.url("/upload"), data_fields(), nullptr, "sid=TopSecret42");
  FB::Log::stopLogging();

  const std::string text = testkit::read_file(log_file);
  EXPECT_THAT(text, HasSubstr("uri: " + server.url("/upload") + ", cookie: <15 bytes>"));
  EXPECT_THAT(text, Not(HasSubstr("TopSecret42")));
}

// Each line of a post names the operation it belongs to, whichever helper writes it: the form's
// release belongs to post, the transfer's lines to perform_post.
TEST_F(request_test, LogLinesNameThePostAndTheTransfer) {
  testkit::temp_dir logs;
  const std::string log_file = logs.file("upload.log");
  FB::Log::initLogging({{FB::Log::LogMethod_File, log_file}}, FB::Log::LogLevel_Trace);
  post(server.url("/upload"), data_fields(), make_task(30));
  FB::Log::stopLogging();

  // "2024-01-01 10:00:00.123 [INFO ] core/http/x.cpp:42 vocle::http::f - vocle[thread:7] text"
  static const boost::regex line(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d+ \[\w+ *\] \S+:\d+ (\S+) - vocle\[thread:\d+\] (.*))");
  std::multimap<std::string, std::string> function_of;
  for (const std::string& text : testkit::lines_of(testkit::read_file(log_file))) {
    boost::smatch m;
    if (boost::regex_match(text, m, line)) {
      std::string message = m[2];
      if (message.compare(0, 11, "curl_slist ") == 0) {
        message = "curl_slist <list> freed";
      }
      function_of.emplace(message, m[1]);
    }
  }
  const std::string factory = "vocle::http::request_factory::";
  const struct {
    std::string message;
    std::string function;
  } expected[] = {
      {"timeout: 30", "perform_post"},
      {"posting to server", "perform_post"},
      {"request " + server.url("/upload") + " done.", "perform_post"},
      {"post freed", "post"},
      {"curl_slist <list> freed", "post"},
  };
  for (const auto& e : expected) {
    const auto found = function_of.equal_range(e.message);
    ASSERT_EQ(1, std::distance(found.first, found.second)) << e.message;
    EXPECT_EQ(factory + e.function, found.first->second) << e.message;
  }
}

}  // namespace
}  // namespace http_test
}  // namespace vocle
