// The end of the process: every worker of every studio stops or finishes before the audio system
// and the HTTP client go, and nothing of the library runs once that is over.
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <boost/make_shared.hpp>
#include <boost/thread/locks.hpp>

#include "common/http_server.h"
#include "common/recording_function.h"
#include "common/temp_dir.h"
#include "core/audio/audio_buffer.h"
#include "core/studio/studio.h"
#include "record_fixture.h"
#include "stream_fixture.h"

namespace vocle {
namespace testkit {
namespace {

using audio::studio;

samples_t ramp(std::size_t n) {
  samples_t samples(n);
  for (std::size_t i = 0; i < n; ++i) {
    samples[i] = static_cast<std::int16_t>(i * 5);
  }
  return samples;
}

class ProcessEnd : public record_fixture {
 protected:
  ProcessEnd()
      : record_fixture("[audio]\nupload_timeout=0\n[system]\nfile_permission=all\n",
                       "[en_US]\nZRV_ERR_NET_HTTP=transfer failed: %1%\n") {}

  http_server m_server;
  temp_dir m_dir;
};

// Uploads without a time-out, one waiting for a server that never answers and one waiting for
// its turn: both end as cancelled, the second without being sent. Uploads started afterwards
// run as usual.
TEST_F(ProcessEnd, CancelsEveryTransferAlsoWithoutATimeOut) {
  m_server.on("/silent", [this](const recorded_request&) {
    m_server.wait_released("never");
    return http_reply{200, "too late"};
  });
  m_server.reply("/quick", http_reply{200, "quick"});
  fill(0, ramp(4000));
  const recorder first = boost::make_shared<recording_function>();
  const recorder second = boost::make_shared<recording_function>();
  m_studio.threaded_post_record(0, "raw", m_server.url("/silent"), "", first, function_ptr(),
                                m_studio.create_task(0));
  ASSERT_TRUE(m_server.wait_for_requests(1));
  m_studio.threaded_post_record(0, "raw", m_server.url("/quick"), "", second, function_ptr(),
                                m_studio.create_task(0));

  ASSERT_TRUE(studio::shutdown_workers());
  // Both results were given before the end was over.
  const std::string cancelled =
      std::string("transfer failed: ") + curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK);
  for (const recorder& r : {first, second}) {
    ASSERT_EQ(1u, r->count());
    const FB::VariantList result = r->lists().at(0);
    ASSERT_EQ(4u, result.size());
    EXPECT_EQ(FB::variant(false), result[0]);
    EXPECT_EQ(0u, result[1].convert_cast<std::string>().find(cancelled))
        << result[1].convert_cast<std::string>();
  }
  EXPECT_EQ(1u, m_server.request_count());
  EXPECT_EQ(1u, m_log.count("INFO", "ending every worker, for at most 10 s"));

  const recorder later = boost::make_shared<recording_function>();
  m_studio.threaded_post_record(0, "raw", m_server.url("/quick"), "", later, function_ptr(),
                                m_studio.create_task(0));
  const FB::VariantList result = result_of(later);
  ASSERT_EQ(4u, result.size());
  EXPECT_EQ(FB::variant(true), result[0]);
  EXPECT_EQ(raw_bytes(ramp(4000)), m_server.requests().at(1).part("data")->content);
}

// A save under way is waited for: its file is whole and its result given before the end is over.
TEST_F(ProcessEnd, WaitsForASaveToFinish) {
  const samples_t record = ramp(32000);
  fill(0, record);
  const studio::buffer_ptr buffer = m_studio.get_buffer(0);
  const std::string path = m_dir.file("take.raw");
  const recorder done = boost::make_shared<recording_function>();
  std::future<bool> ended;
  {
    boost::unique_lock<boost::mutex> hold(buffer->m_mutex);
    m_studio.threaded_save_record(0, "raw", path, done);
    ended = std::async(std::launch::async, [] { return studio::shutdown_workers(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (m_log.count("INFO", "ending every worker, for at most 10 s") == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ASSERT_TRUE(ended.get());
  ASSERT_EQ(1u, done->count());
  EXPECT_EQ((FB::VariantList{true, path}), done->lists().at(0));
  EXPECT_EQ(raw_bytes(record), read_file(path));
}

class ProcessEndStreams : public stream_fixture {};

// A page still open at the end: its recording stops as at a close, reports nothing, and its
// stream is closed when the end is over.
TEST_F(ProcessEndStreams, StopsTheRecordingsOfOpenPages) {
  rig().set_microphone(speech_input());
  start();
  const buffer_ptr b = buffer();
  const probe_ptr done = probe(b);
  const probe_ptr volume = pacer(b);
  the_studio().threaded_start_record(0, done, volume, endless());
  ASSERT_TRUE(volume->wait_for(2));

  ASSERT_TRUE(audio::studio::shutdown_workers());
  EXPECT_TRUE(settled(b));
  EXPECT_EQ(0u, done->count());
  const std::size_t heard = volume->count();
  EXPECT_EQ(heard * block, samples_of(b).size());
}

}  // namespace
}  // namespace testkit
}  // namespace vocle
