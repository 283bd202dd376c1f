// A page that closes while its uploads, loads and saves are under way: the close returns without
// waiting for any of them, and each runs to its end on what it holds of the studio, as if the
// page were still there (the plug-in's framework then drops the results of a closed page).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>
#include <boost/thread/locks.hpp>

#include "common/config_dir.h"
#include "common/http_server.h"
#include "common/recording_function.h"
#include "common/temp_dir.h"
#include "core/audio/audio_buffer.h"
#include "core/studio/studio.h"
#include "log_capture.h"
#include "record_fixture.h"

namespace {

using vocle::audio::studio;
using vocle::testkit::http_reply;
using vocle::testkit::http_server;
using vocle::testkit::raw_bytes;
using vocle::testkit::read_file;
using vocle::testkit::recorded_request;
using vocle::testkit::recorder;
using vocle::testkit::recording_function;
using vocle::testkit::samples_t;
using vocle::testkit::temp_dir;

samples_t ramp(std::size_t n, int step) {
  samples_t samples(n);
  for (std::size_t i = 0; i < n; ++i) {
    samples[i] = static_cast<std::int16_t>(static_cast<int>(i) * step);
  }
  return samples;
}

void fill(studio& page, std::uint64_t index, const samples_t& samples) {
  studio::buffer_ptr buffer = page.get_buffer(index);
  boost::mutex::scoped_lock lock(buffer->m_mutex);
  buffer->m_samples.assign(samples);
}

recorder make_recorder() {
  return boost::make_shared<recording_function>();
}

// Closes a page (destroys its studio) on a thread of its own, so that a close that waits shows
// as a failure rather than a hang. Declare it before whatever the test holds that the close might
// wait for, so that the hold ends first when the test is left early.
class page_closer {
 public:
  page_closer() = default;
  page_closer(const page_closer&) = delete;
  page_closer& operator=(const page_closer&) = delete;
  ~page_closer() {
    if (m_thread.joinable()) {
      m_thread.join();
    }
  }

  void close(std::unique_ptr<studio>& page) {
    studio* p = page.release();
    m_thread = std::thread([this, p] {
      delete p;
      m_closed = true;
    });
  }

  // True once the close has returned; false when it still waits at a deadline far beyond what
  // a close that waits for nothing takes.
  bool returned() const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!m_closed && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return m_closed;
  }

 private:
  std::thread m_thread;
  std::atomic<bool> m_closed{false};
};

class PageClose : public ::testing::Test {
 protected:
  PageClose()
      : m_cfg("[system]\nfile_permission=all\n", "[en_US]\nSAVE_RECORD_FAILED=not saved\n"),
        m_page(new studio()) {}

  FB::VariantList result_of(const recorder& r) {
    EXPECT_TRUE(r->wait_for(1));
    const std::vector<FB::VariantList> lists = r->lists();
    EXPECT_EQ(1u, lists.size());
    return lists.empty() ? FB::VariantList{} : lists.front();
  }

  // An answer that waits until the test releases the gate of that name.
  void hold_answers(const std::string& path, const std::string& gate, const std::string& body) {
    m_server.on(path, [this, gate, body](const recorded_request&) {
      m_server.wait_released(gate);
      return http_reply{200, body};
    });
  }

  vocle::testkit::config_dir m_cfg;
  vocle::testkit::log_capture m_log;
  http_server m_server;
  temp_dir m_dir;
  vocle::testkit::workers_ended m_workers_ended;
  std::unique_ptr<studio> m_page;
};

// Another page's upload holds the upload lock; this page's upload waits for it. Closing this page
// does not wait, and both uploads then run as they would have.
TEST_F(PageClose, DuringAnotherPagesSlowUploadReturnsAtOnce) {
  hold_answers("/slow", "answer", "slow answer");
  m_server.reply("/quick", http_reply{200, "quick answer"});
  studio other;
  fill(other, 0, ramp(500, 3));
  const recorder other_done = make_recorder();
  other.threaded_post_record(0, "raw", m_server.url("/slow"), "", other_done, vocle::function_ptr(),
                             other.create_task(0));
  ASSERT_TRUE(m_server.wait_for_requests(1));

  const samples_t record = ramp(700, -5);
  fill(*m_page, 0, record);
  const recorder done = make_recorder();
  m_page->threaded_post_record(0, "raw", m_server.url("/quick"), "", done, vocle::function_ptr(),
                               m_page->create_task(0));
  page_closer closer;
  closer.close(m_page);
  EXPECT_TRUE(closer.returned());
  m_server.release("answer");

  const FB::VariantList other_result = result_of(other_done);
  ASSERT_EQ(4u, other_result.size());
  EXPECT_EQ(FB::variant(true), other_result[0]);
  EXPECT_EQ("slow answer", other_result[1].convert_cast<std::string>());
  // The closed page's upload went after it, whole.
  const FB::VariantList result = result_of(done);
  ASSERT_EQ(4u, result.size());
  EXPECT_EQ(FB::variant(true), result[0]);
  EXPECT_EQ("quick answer", result[1].convert_cast<std::string>());
  const std::vector<recorded_request> requests = m_server.requests();
  ASSERT_EQ(2u, requests.size());
  ASSERT_NE(nullptr, requests[1].part("data"));
  EXPECT_EQ(raw_bytes(record), requests[1].part("data")->content);
}

// The page closes right after it started an upload, before the upload's worker has begun: the
// close does not wait for the transfer, and the transfer is not cut short.
TEST_F(PageClose, RightAfterAnUploadStartsTheUploadArrivesWhole) {
  hold_answers("/held", "answer", "stored");
  const samples_t record = ramp(16000, 7);
  fill(*m_page, 0, record);
  const recorder done = make_recorder();
  m_page->threaded_post_record(0, "raw", m_server.url("/held"), "", done, vocle::function_ptr(),
                               m_page->create_task(0));
  page_closer closer;
  closer.close(m_page);
  EXPECT_TRUE(closer.returned());
  ASSERT_TRUE(m_server.wait_for_requests(1));
  m_server.release("answer");

  const FB::VariantList result = result_of(done);
  ASSERT_EQ(4u, result.size());
  EXPECT_EQ(FB::variant(true), result[0]) << result[1].convert_cast<std::string>();
  EXPECT_EQ("stored", result[1].convert_cast<std::string>());
  ASSERT_NE(nullptr, m_server.requests().at(0).part("data"));
  EXPECT_EQ(raw_bytes(record), m_server.requests().at(0).part("data")->content);
}

// The save's worker waits for the record (the test holds it) while the page closes: the close
// does not wait, and the file is written whole afterwards.
TEST_F(PageClose, DuringASaveTheFileIsWrittenWhole) {
  const samples_t record = ramp(48000, 11);
  fill(*m_page, 0, record);
  const studio::buffer_ptr buffer = m_page->get_buffer(0);
  const std::string path = m_dir.file("take.raw");
  const recorder done = make_recorder();
  page_closer closer;
  boost::unique_lock<boost::mutex> hold(buffer->m_mutex);
  m_page->threaded_save_record(0, "raw", path, done);
  closer.close(m_page);
  EXPECT_TRUE(closer.returned());
  hold.unlock();

  EXPECT_EQ((FB::VariantList{true, path}), result_of(done));
  EXPECT_EQ(raw_bytes(record), read_file(path));
}

// A list save looks its records up one by one on its worker, the later ones after the page has
// gone: every record is saved.
TEST_F(PageClose, AListSaveOutlivesItsPage) {
  const samples_t first = ramp(3000, 2);
  const samples_t second = ramp(5000, -3);
  fill(*m_page, 0, first);
  fill(*m_page, 1, second);
  const studio::buffer_ptr buffer = m_page->get_buffer(0);
  const studio::save_record_params records = {{0, m_dir.file("first.raw"), "raw"},
                                              {1, m_dir.file("second.raw"), "raw"}};
  const recorder done = make_recorder();
  page_closer closer;
  boost::unique_lock<boost::mutex> hold(buffer->m_mutex);
  m_page->threaded_save_records(records, done);
  closer.close(m_page);
  EXPECT_TRUE(closer.returned());
  hold.unlock();

  const FB::VariantList result = result_of(done);
  ASSERT_EQ(2u, result.size());
  EXPECT_EQ(FB::variant(true), result[0]);
  EXPECT_EQ(raw_bytes(first), read_file(m_dir.file("first.raw")));
  EXPECT_EQ(raw_bytes(second), read_file(m_dir.file("second.raw")));
}

// A load fills its buffer after the page has gone.
TEST_F(PageClose, DuringALoadTheBufferIsFilled) {
  const samples_t record = ramp(2000, 9);
  const std::string path = m_dir.write("take.raw", raw_bytes(record));
  const studio::buffer_ptr buffer = m_page->get_buffer(0);
  const recorder done = make_recorder();
  page_closer closer;
  boost::unique_lock<boost::mutex> hold(buffer->m_mutex);
  m_page->threaded_load_record(0, "raw", path, false, done);
  closer.close(m_page);
  EXPECT_TRUE(closer.returned());
  hold.unlock();

  EXPECT_EQ((FB::VariantList{true, path}), result_of(done));
  boost::mutex::scoped_lock lock(buffer->m_mutex);
  EXPECT_EQ(record, buffer->m_samples.to_vector());
}

}  // namespace
