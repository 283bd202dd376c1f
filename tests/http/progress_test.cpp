// Upload progress, cancellation and the one-at-a-time rule.
#include <atomic>
#include <thread>

#include <gmock/gmock.h>

#include "common/temp_dir.h"
#include "framework/logging.h"
#include "upload_fixture.h"

namespace vocle {
namespace http_test {
namespace {

using ::testing::HasSubstr;
using testkit::http_reply;

// A result callback that also notes the task's status at the moment of delivery: the task must
// still exist then, and be done.
class status_probe : public testkit::recording_function {
 public:
  explicit status_probe(task* t) : m_task(t) {}
  void call_async(const FB::VariantList& args) override {
    m_status = m_task->status();
    recording_function::call_async(args);
  }
  std::uint32_t status() const { return m_status; }

 private:
  task* m_task;
  std::atomic<std::uint32_t> m_status{99};
};

TEST_F(upload_test, ProgressIsReportedOnlyWhenTheUploadCountersChange) {
  server.reply("/upload", http_reply{200, "ok"});
  auto frames = boost::make_shared<testkit::recording_function>();
  task* t = make_task();
  const std::int32_t id = t->id();

  FB::VariantList result =
      post(server.url("/upload"), data_fields(awkward_bytes(600000)), t, "", frames);
  ASSERT_TRUE(result.at(0).convert_cast<bool>()) << describe(result);

  const std::int32_t total = static_cast<std::int32_t>(server.requests().at(0).body.size());
  std::vector<FB::VariantList> reports = frames->lists();
  ASSERT_FALSE(reports.empty());
  std::int32_t previous = -1;
  for (const FB::VariantList& report : reports) {
    ASSERT_EQ(3u, report.size());
    const std::int32_t now = report[0].convert_cast<std::int32_t>();
    EXPECT_EQ(total, report[1].convert_cast<std::int32_t>()) << "never while the total is 0";
    EXPECT_EQ(id, report[2].convert_cast<std::int32_t>());
    EXPECT_GT(now, previous) << "each report shows new counters";
    previous = now;
  }
  EXPECT_EQ(total, previous) << "the last report shows the whole body sent";
}

// A listener that fails loses its reports, not the upload.
TEST_F(upload_test, FailingProgressListenerDoesNotStopTheUpload) {
  server.reply("/upload", http_reply{200, "ok"});
  auto frames = boost::make_shared<throwing_function>();
  const std::string bytes = awkward_bytes(300000);

  FB::VariantList result = post(server.url("/upload"), data_fields(bytes), make_task(), "", frames);

  ASSERT_EQ(4u, result.size());
  EXPECT_TRUE(result[0].convert_cast<bool>()) << describe(result);
  EXPECT_GE(frames->count(), 1u) << "the listener was called, and failed";
  ASSERT_EQ(1u, server.request_count());
  const testkit::recorded_request r = server.requests()[0];
  ASSERT_EQ(1u, r.parts.size());
  EXPECT_TRUE(r.parts[0].content == bytes);
}

struct progress_step {
  std::int64_t ulnow, ultotal;
  bool reported;
};

// A progress context of an uploading task with a listener.
class xferinfo_test : public ::testing::Test {
 protected:
  xferinfo_test() {
    t.set_status(task::task_posting);
    context.on_upload_frame = frames;
    context.task = &t;
  }

  audio::studio::task_table_ptr table = boost::make_shared<audio::studio::task_table>();
  task t{5, 30, table};
  recorder_ptr frames = boost::make_shared<testkit::recording_function>();
  http::progress_context context;
};

TEST_F(xferinfo_test, ReportsChangedPairsOnlyAndStoresEveryCounter) {
  const progress_step steps[] = {{0, 0, false},    {0, 0, false},     {0, 100, true},
                                 {0, 100, false},  {40, 100, true},   {40, 100, false},
                                 {100, 100, true}, {100, 100, false}, {100, 0, false}};
  std::size_t expected = 0;
  for (const progress_step& s : steps) {
    EXPECT_EQ(0, http::request_factory::xferinfo(&context, 77, 11, s.ultotal, s.ulnow));
    expected += s.reported ? 1 : 0;
    ASSERT_EQ(expected, frames->count()) << s.ulnow << "/" << s.ultotal;
    if (s.reported) {
      FB::VariantList last = frames->lists().back();
      EXPECT_EQ(s.ulnow, last.at(0).convert_cast<std::int64_t>());
      EXPECT_EQ(s.ultotal, last.at(1).convert_cast<std::int64_t>());
      EXPECT_EQ(5, last.at(2).convert_cast<std::int32_t>());
    }
    EXPECT_EQ(s.ulnow, context.ulnow);
    EXPECT_EQ(s.ultotal, context.ultotal);
    EXPECT_EQ(11, context.dlnow);
    EXPECT_EQ(77, context.dltotal);
  }
}

TEST_F(xferinfo_test, EmptyListenerGetsNothingAndTheTransferGoesOn) {
  context.on_upload_frame.reset();
  EXPECT_EQ(0, http::request_factory::xferinfo(&context, 0, 0, 100, 50));
  EXPECT_EQ(50, context.ulnow);
}

TEST_F(xferinfo_test, WithoutTaskAborts) {
  context.task = nullptr;
  EXPECT_EQ(1, http::request_factory::xferinfo(&context, 0, 0, 100, 50));
  EXPECT_EQ(0u, frames->count());
}

TEST_F(xferinfo_test, RequestedCancelBecomesCanceledAndAborts) {
  t.set_status(task::task_cancel_requested);
  EXPECT_EQ(1, http::request_factory::xferinfo(&context, 0, 0, 100, 10));
  EXPECT_EQ(task::task_canceled, t.status());
  EXPECT_EQ(0u, frames->count());
  EXPECT_EQ(0, context.ulnow) << "an aborting call stores nothing";
}

TEST_F(xferinfo_test, FailingListenerLetsTheTransferGoOn) {
  auto failing = boost::make_shared<throwing_function>();
  context.on_upload_frame = failing;
  EXPECT_EQ(0, http::request_factory::xferinfo(&context, 0, 0, 100, 10));
  EXPECT_EQ(1u, failing->count());
  EXPECT_EQ(10, context.ulnow) << "the counters are stored all the same";
  EXPECT_EQ(0, http::request_factory::progress_callback(&context, 0, 0, 100, 20));
  EXPECT_EQ(2u, failing->count());
}

TEST_F(xferinfo_test, ProgressCallbackTruncatesTheCountersTowardZero) {
  EXPECT_EQ(0, http::request_factory::progress_callback(&context, 9.99, 4.5, 100.7, 50.2));
  EXPECT_EQ(50, context.ulnow);
  EXPECT_EQ(100, context.ultotal);
  EXPECT_EQ(4, context.dlnow);
  EXPECT_EQ(9, context.dltotal);
}

TEST_F(upload_test, CancelBeforeTheTransferAbortsAtTheFirstProgressCall) {
  server.reply("/upload", http_reply{200, "should not matter"});
  testkit::temp_dir logs;
  const std::string log_file = logs.file("cancel.log");
  FB::Log::initLogging({{FB::Log::LogMethod_File, log_file}}, FB::Log::LogLevel_Error);

  task* t = make_task();
  const std::int32_t id = t->id();
  ASSERT_TRUE(request_cancel(id));
  auto probe = boost::make_shared<status_probe>(t);
  auto frames = boost::make_shared<testkit::recording_function>();
  http::request_factory::post(server.url("/upload"), "", probe, frames, data_fields(), t);
  FB::Log::stopLogging();

  ASSERT_EQ(1u, probe->lists().size());
  FB::VariantList result = probe->lists()[0];
  ASSERT_EQ(4u, result.size());
  EXPECT_FALSE(result[0].convert_cast<bool>());
  const std::string summary = result[3].convert_cast<std::string>();
  EXPECT_EQ(std::string("transfer failed: ") + curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK) +
                ", " + summary,
            result[1].convert_cast<std::string>());
  EXPECT_EQ(id, result[2].convert_cast<std::int32_t>());
  EXPECT_EQ("ulnow: 0, ultotal: 0, dlnow: 0, dltotal: 0, total_time: 0", summary)
      << "aborted at the first call, before any counter was stored";
  EXPECT_EQ(task::task_done, probe->status()) << "2, then 3 at the abort, then 4";
  EXPECT_THAT(testkit::read_file(log_file), HasSubstr("task(" + std::to_string(id) + ") canceled"));
  EXPECT_EQ(0u, frames->count());
  EXPECT_FALSE(in_table(id));
  EXPECT_EQ(0u, server.request_count());
}

TEST_F(upload_test, CancelDuringTheTransferAbortsIt) {
  server.on("/upload", [this](const testkit::recorded_request&) {
    server.wait_released("answer");
    return http_reply{200, "too late"};
  });
  task* t = make_task(0);
  const std::int32_t id = t->id();
  std::thread poster([&] {
    http::request_factory::post(server.url("/upload"), "", callback, function_ptr(),
                                data_fields(awkward_bytes(50000)), t);
  });
  ASSERT_TRUE(server.wait_for_requests(1));
  // The whole body has arrived and the server holds its answer back: the transfer is waiting.
  EXPECT_TRUE(request_cancel(id));
  ASSERT_TRUE(callback->wait_for(1));
  poster.join();
  server.release("answer");

  FB::VariantList result = callback->lists().at(0);
  ASSERT_EQ(4u, result.size());
  EXPECT_FALSE(result[0].convert_cast<bool>());
  EXPECT_THAT(result[1].convert_cast<std::string>(),
              ::testing::StartsWith(std::string("transfer failed: ") +
                                    curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK) + ", ulnow: "));
  EXPECT_EQ(id, result[2].convert_cast<std::int32_t>());
  EXPECT_FALSE(in_table(id));
}

// While one post runs, another thread's post waits for it: its request reaches the server only
// after the first result has been delivered.
TEST_F(upload_test, PostsFromTwoThreadsRunOneAfterTheOther) {
  server.on("/first", [this](const testkit::recorded_request&) {
    // Hold the first transfer open until the second thread is about to post, and a little
    // longer, so an unserialised second request would arrive meanwhile.
    server.wait_released("second posting");
    server.pause(std::chrono::milliseconds(300));
    return http_reply{200, "first"};
  });
  server.reply("/second", http_reply{200, "second"});
  auto first_done = boost::make_shared<testkit::recording_function>();
  auto second_done = boost::make_shared<testkit::recording_function>();
  task* first_task = make_task();
  task* second_task = make_task();

  std::thread first([&] {
    http::request_factory::post(server.url("/first"), "", first_done, function_ptr(),
                                data_fields("one"), first_task);
  });
  ASSERT_TRUE(server.wait_for_requests(1));
  std::thread second([&] {
    server.release("second posting");
    http::request_factory::instance();
    http::request_factory::post(server.url("/second"), "", second_done, function_ptr(),
                                data_fields("two"), second_task);
  });
  first.join();
  second.join();

  ASSERT_EQ(1u, first_done->count());
  ASSERT_EQ(1u, second_done->count());
  std::vector<testkit::recorded_request> requests = server.requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ("/first", requests[0].path);
  EXPECT_EQ("/second", requests[1].path);
  EXPECT_GT(requests[1].sequence, first_done->deliveries()[0].sequence);
  EXPECT_TRUE(first_done->lists()[0].at(0).convert_cast<bool>());
  EXPECT_TRUE(second_done->lists()[0].at(0).convert_cast<bool>());
}

}  // namespace
}  // namespace http_test
}  // namespace vocle
