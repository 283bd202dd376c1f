// The upload workers against a real HTTP server on 127.0.0.1: what each upload sends, the
// multi-record body, the recognition form, cancellation, serialised transfers, and uploads that
// fail before their transfer.
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "common/config_dir.h"
#include "common/http_server.h"
#include "common/recording_function.h"
#include "common/speech_fixture.h"
#include "common/temp_dir.h"
#include "core/audio/audio_buffer.h"
#include "core/http/request_factory.h"
#include "core/studio/studio.h"
#include "core/studio/task.h"
#include "framework/script_error.h"
#include "log_capture.h"
#include "record_fixture.h"

namespace {

using vocle::audio::studio;
using vocle::testkit::config_dir;
using vocle::testkit::http_reply;
using vocle::testkit::http_server;
using vocle::testkit::log_capture;
using vocle::testkit::raw_bytes;
using vocle::testkit::read_file;
using vocle::testkit::record_fixture;
using vocle::testkit::recorded_request;
using vocle::testkit::recorder;
using vocle::testkit::recording_function;
using vocle::testkit::samples_of_bytes;
using vocle::testkit::samples_t;
using vocle::testkit::temp_dir;

const char* const lang_conf =
    "[en_US]\n"
    "ZRV_ERR_NET_HTTP=transfer failed: %1%\n"
    "ZRV_ERR_NET_UNKNOWN_STATUS=status %1%: %2%\n";

std::string u32(std::uint32_t v) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) {
    bytes += static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  return bytes;
}

std::uint32_t u32_at(const std::string& bytes, std::size_t offset) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) {
    v = v << 8 | static_cast<unsigned char>(bytes.at(offset + i));
  }
  return v;
}

samples_t ramp(std::size_t n, std::int16_t start) {
  samples_t samples(n);
  for (std::size_t i = 0; i < n; ++i) {
    samples[i] = static_cast<std::int16_t>(start + 3 * static_cast<int>(i));
  }
  return samples;
}

class Uploads : public record_fixture {
 protected:
  http_server m_server;
  temp_dir m_dir;

  Uploads() : record_fixture("", lang_conf) {
    m_server.reply("/upload", http_reply{200, "{\"ok\": true}"});
  }

  // Whatever a test started has left the request factory: its post, the last thing an upload
  // does that logs, is over.
  ~Uploads() override { vocle::http::request_factory::instance(); }

  // The task is no longer in the table: a cancel names it unknown. A transfer delivers its
  // result before its post ends and destroys the task, so by default this waits for the post.
  bool task_gone(std::int32_t id, bool after_post = true) {
    if (after_post) {
      vocle::http::request_factory::instance();
    }
    const std::size_t before = m_log.count("ERROR", "no task(" + std::to_string(id) + ")");
    const bool refused = !m_studio.cancel_upload(id);
    return refused && m_log.count("ERROR", "no task(" + std::to_string(id) + ")") == before + 1;
  }

  // The one request's "data" part.
  std::string posted_data() {
    EXPECT_TRUE(m_server.wait_for_requests(1));
    const std::vector<recorded_request> requests = m_server.requests();
    if (requests.empty()) {
      return std::string();
    }
    const recorded_request& r = requests.front();
    EXPECT_TRUE(r.multipart_valid);
    EXPECT_EQ(std::vector<std::string>{"data"}, r.part_names());
    const vocle::testkit::recorded_part* data = r.part("data");
    return data ? data->content : std::string();
  }

  std::size_t lines_starting(const std::string& level, const std::string& start) const {
    std::size_t n = 0;
    for (const std::string& m : m_log.messages(level)) {
      n += m.compare(0, start.size(), start) == 0;
    }
    return n;
  }
};

// ---- what each upload sends ----

TEST_F(Uploads, ASinglePostSendsTheEncodedRecordAloneAsData) {
  const samples_t record = ramp(300, -400);
  fill(1, record);
  auto done = boost::make_shared<recording_function>();
  auto frames = boost::make_shared<recording_function>();
  studio::task* t = m_studio.create_task(-1);
  const std::int32_t id = t->id();
  const std::string url = m_server.url("/upload");
  m_studio.threaded_post_record(1, "raw", url, "session=s3cr3t", done, frames, t);

  const FB::VariantList result = result_of(done);
  ASSERT_EQ(4u, result.size());
  EXPECT_TRUE(result[0].convert_cast<bool>());
  EXPECT_EQ("{\"ok\": true}", result[1].convert_cast<std::string>());
  EXPECT_EQ(id, result[2].convert_cast<std::int32_t>());

  const recorded_request request = m_server.requests().at(0);
  EXPECT_EQ(raw_bytes(record), posted_data());
  EXPECT_EQ("data", request.part("data")->filename);
  EXPECT_EQ("session=s3cr3t", request.header("Cookie"));
  // Progress goes to the page's listener, tagged with the task.
  ASSERT_TRUE(frames->wait_for(1));
  EXPECT_EQ(id, frames->lists().at(0).at(2).convert_cast<std::int32_t>());

  EXPECT_TRUE(task_gone(id));
  EXPECT_EQ(1u, m_log.count("INFO", "index 1, url " + url + ", cookie <14 bytes>, format raw"));
  EXPECT_EQ(1u, m_log.count("DEBUG", "size 600, url " + url + ", cookie <14 bytes>"));
  EXPECT_EQ(1u, m_log.count("TRACE", "headers prepare ready"));
  for (const std::string& line : m_log.messages("")) {
    EXPECT_EQ(std::string::npos, line.find("s3cr3t")) << line;
  }
}

TEST_F(Uploads, TheMultiRecordBodyPacksDistinctIndexesInAscendingOrder) {
  const samples_t zero = ramp(3, 10);
  const samples_t two = ramp(5, -7);
  struct {
    const char* name;
    std::vector<std::uint64_t> indexes;
    std::string body;
    std::string logged;
  } cases[] = {
      {"repeats keep one entry",
       {2, 0, 2},
       u32(2) + u32(6) + u32(10) + raw_bytes(zero) + raw_bytes(two),
       "2, 0, 2"},
      {"an empty list is a count of zero alone", {}, std::string(4, '\0'), ""},
      {"an empty record has size 0 and no bytes",
       {1, 0},
       u32(2) + u32(6) + u32(0) + raw_bytes(zero),
       "1, 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fill(0, zero);
    fill(2, two);
    fill(1, samples_t());
    http_server server;
    server.reply("/multi", http_reply{200, "ok"});
    auto done = boost::make_shared<recording_function>();
    studio::task* t = m_studio.create_task(-1);
    const std::int32_t id = t->id();
    m_studio.threaded_multi_post_record(c.indexes, "raw", server.url("/multi"), "", done,
                                        vocle::function_ptr(), t);
    const FB::VariantList result = result_of(done);
    ASSERT_EQ(4u, result.size());
    EXPECT_TRUE(result[0].convert_cast<bool>());
    ASSERT_TRUE(server.wait_for_requests(1));
    const recorded_request request = server.requests().at(0);
    EXPECT_EQ(std::vector<std::string>{"data"}, request.part_names());
    EXPECT_EQ(c.body, request.part("data")->content);
    EXPECT_EQ(1u, m_log.count("INFO", "index [" + std::string(c.logged) + "], url " +
                                          server.url("/multi") + ", cookie <0 bytes>, format raw"));
    EXPECT_TRUE(task_gone(id));
  }
}

TEST_F(Uploads, EachRecordOfAMultiRecordBodyIsACompleteFileOfItsOwn) {
  fill(0, ramp(100, 0));
  fill(1, ramp(7, 5));
  auto done = boost::make_shared<recording_function>();
  m_studio.threaded_multi_post_record({0, 1}, "wav", m_server.url("/upload"), "", done,
                                      vocle::function_ptr(), m_studio.create_task(-1));
  ASSERT_TRUE(done->wait_for(1));
  const std::string body = posted_data();
  ASSERT_GE(body.size(), 12u);
  ASSERT_EQ(2u, u32_at(body, 0));
  const std::uint32_t first = u32_at(body, 4);
  const std::uint32_t second = u32_at(body, 8);
  EXPECT_EQ(44u + 200u, first);
  EXPECT_EQ(44u + 14u, second);
  ASSERT_EQ(12u + first + second, body.size());
  EXPECT_EQ("RIFF", body.substr(12, 4));
  EXPECT_EQ(raw_bytes(ramp(100, 0)), body.substr(12 + 44, 200));
  EXPECT_EQ("RIFF", body.substr(12 + first, 4));
  EXPECT_EQ(raw_bytes(ramp(7, 5)), body.substr(12 + first + 44));
}

// The body is written record by record, each size filled in once its record is in: for every
// format, whether its size is known beforehand or only once encoded, the body is the count, the
// sizes and each record as it encodes alone. Records lie across several chunks of their buffer.
TEST_F(Uploads, AMultiRecordBodyHoldsEachRecordAsItEncodesAlone) {
  const samples_t& speech = vocle::testkit::speech_samples();
  samples_t longer(speech);
  longer.insert(longer.end(), speech.begin(), speech.end());
  fill(0, samples_t(speech.begin(), speech.begin() + 1500));
  fill(1, samples_t());
  fill(2, longer);
  std::map<std::int32_t, studio::buffer_ptr> buffers;
  for (std::int32_t i : {2, 0, 1}) {
    buffers[i] = m_studio.get_buffer(static_cast<std::uint64_t>(i));
  }
  // "mp3" stands for the formats whose size is known only once encoded (the Ogg ones give
  // every stream a random serial number, so no two encodings compare).
  for (const char* format : {"raw", "wav", "wav_dvi_adpcm", "mp3"}) {
    SCOPED_TRACE(format);
    std::string expected = u32(3);
    std::string records;
    for (const auto& entry : buffers) {
      const boost::shared_ptr<vocle::binary> alone = m_studio.encode_record(entry.second, format);
      expected += u32(static_cast<std::uint32_t>(alone->size()));
      records += std::string(alone->begin(), alone->size());
    }
    expected += records;
    const boost::shared_ptr<vocle::binary> body = m_studio.concat_records(buffers, format);
    EXPECT_TRUE(expected == std::string(body->begin(), body->size()));
    EXPECT_EQ(0, body->begin()[body->size()]) << "the body stays terminated";
  }
}

// Signal-to-noise ratio of decoded against the original, in dB.
double snr_db(const samples_t& original, const samples_t& decoded) {
  double signal = 0, noise = 0;
  for (std::size_t i = 0; i < original.size() && i < decoded.size(); ++i) {
    const double d = double(decoded[i]) - double(original[i]);
    signal += double(original[i]) * original[i];
    noise += d * d;
  }
  return 10 * std::log10(signal / (noise > 0 ? noise : 1e-9));
}

TEST_F(Uploads, ARecognitionSendsTheAdpcmImageAsFileBeforeTheSentence) {
  const samples_t& speech = vocle::testkit::speech_samples();
  fill(0, speech);
  m_server.reply("/1/assess.wav", http_reply{200, "{\"score\": 80}"});
  auto done = boost::make_shared<recording_function>();
  studio::task* t = m_studio.create_task(-1);
  const std::int32_t id = t->id();
  const std::string url = m_server.url("/1/assess.wav");
  m_studio.threaded_recognize_record(0, "hello world", url, "k=v", done, vocle::function_ptr(), t);

  const FB::VariantList result = result_of(done);
  ASSERT_EQ(4u, result.size());
  EXPECT_TRUE(result[0].convert_cast<bool>());
  EXPECT_EQ("{\"score\": 80}", result[1].convert_cast<std::string>());
  EXPECT_TRUE(task_gone(id));

  ASSERT_TRUE(m_server.wait_for_requests(1));
  const recorded_request request = m_server.requests().at(0);
  EXPECT_TRUE(request.multipart_valid);
  EXPECT_EQ((std::vector<std::string>{"file", "sentence"}), request.part_names());
  EXPECT_EQ("hello world", request.part("sentence")->content);
  const vocle::testkit::recorded_part& file = *request.part("file");
  EXPECT_EQ("file", file.filename);
  EXPECT_EQ("application/wav; codec=\"11\"", file.header("Content-Type"));

  // An independent decoder gets the speech back within what 4-bit ADPCM keeps of it.
  const std::string image = m_dir.file("image.wav");
  std::ofstream(image, std::ios::binary) << file.content;
  const std::string decoded_file = m_dir.file("decoded.raw");
  ASSERT_EQ(0, std::system(("sox '" + image + "' -t raw -e signed-integer -b 16 -L '" +
                            decoded_file + "' 2>/dev/null")
                               .c_str()));
  const samples_t decoded = samples_of_bytes(read_file(decoded_file));
  // sox decodes a short last block in whole 4-byte words of codes: up to 7 samples go missing.
  ASSERT_LE(decoded.size(), speech.size());
  ASSERT_GE(decoded.size() + 7, speech.size());
  const double snr = snr_db(samples_t(speech.begin(), speech.begin() + decoded.size()), decoded);
  EXPECT_GT(snr, 20.0);
  EXPECT_EQ(speech.size(), u32_at(file.content, 48));

  EXPECT_EQ(1u, m_log.count("INFO", "url " + url + ", cookie <3 bytes>, index 0"));
  EXPECT_EQ(1u, m_log.count("DEBUG", "size " + std::to_string(file.content.size()) + ", url " +
                                         url + ", cookie <3 bytes>, sentence hello world"));
}

TEST_F(Uploads, PostsFollowTheStudiosAudioSettingsRecognitionsDoNot) {
  fill(0, ramp(2000, -3000));
  auto upload = [this](bool recognition) {
    http_server server;
    server.reply("/u", http_reply{200, "ok"});
    auto done = boost::make_shared<recording_function>();
    if (recognition) {
      m_studio.threaded_recognize_record(0, "s", server.url("/u"), "", done, vocle::function_ptr(),
                                         m_studio.create_task(-1));
    } else {
      m_studio.threaded_post_record(0, "wav", server.url("/u"), "", done, vocle::function_ptr(),
                                    m_studio.create_task(-1));
    }
    EXPECT_TRUE(done->wait_for(1));
    EXPECT_TRUE(server.wait_for_requests(1));
    const recorded_request request = server.requests().at(0);
    const vocle::testkit::recorded_part* part = request.part(recognition ? "file" : "data");
    return part ? part->content : std::string();
  };
  const std::string wav_16k = upload(false);
  const std::string image_16k = upload(true);
  m_studio.set_sample_rate(8000.0);
  const std::string wav_8k = upload(false);
  const std::string image_8k = upload(true);

  EXPECT_EQ(16000u, u32_at(wav_16k, 24));
  EXPECT_EQ(8000u, u32_at(wav_8k, 24));
  EXPECT_EQ(image_16k, image_8k);
  EXPECT_EQ(16000u, u32_at(image_8k, 24));
}

// ---- "raw" posts: the record's own samples, as they were when the post took them ----

// A progress listener that holds the transfer at its first report until the test lets it go on,
// so that the test can change the record while its post is in flight.
class holding_listener : public vocle::function {
 public:
  FB::variant call(const FB::VariantList&) override { return FB::variant(); }
  void call_async(const FB::VariantList& args) override {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_held) {
      return;
    }
    m_held = true;
    m_first = args;
    m_changed.notify_all();
    m_changed.wait_for(lock, std::chrono::seconds(60), [this] { return m_released; });
  }

  // The first report, once the transfer is held at it; empty when none came.
  FB::VariantList wait_held() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::seconds(30), [this] { return m_held; });
    return m_first;
  }
  void release() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_held = false;
  bool m_released = false;
  FB::VariantList m_first;
};

TEST_F(Uploads, ARawPostSendsTheRecordAsItWasWhenThePostTookIt) {
  // Many storage chunks, the last one partly filled: a recording goes on into that one.
  const samples_t record = ramp(300007, -20000);
  const samples_t more = ramp(40000, 5);
  const samples_t other = ramp(1001, 77);
  const std::string other_file = m_dir.write("other.raw", raw_bytes(other));
  samples_t recorded_on = record;
  recorded_on.insert(recorded_on.end(), more.begin(), more.end());
  struct {
    const char* name;
    std::function<void()> change;
    samples_t after;
  } cases[] = {
      {"recorded on",
       [&] {
         vocle::audio::studio::buffer_ptr buffer = m_studio.get_buffer(0);
         boost::mutex::scoped_lock lock(buffer->m_mutex);
         buffer->append(more.data(), more.size());
       },
       recorded_on},
      {"replaced by a load",
       [&] {
         // The load worker itself: the page's path rule is not what this is about.
         auto loaded = boost::make_shared<recording_function>();
         m_studio.load_record(m_studio.get_buffer(0), other_file, "raw", false, loaded);
         EXPECT_TRUE(result_of(loaded).at(0).convert_cast<bool>());
       },
       other},
      {"cut to its start",
       [&] {
         vocle::audio::studio::buffer_ptr buffer = m_studio.get_buffer(0);
         boost::mutex::scoped_lock lock(buffer->m_mutex);
         buffer->trim(0, 10);
       },
       samples_t(record.begin(), record.begin() + 10)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fill(0, record);
    http_server server;
    server.reply("/raw", http_reply{200, "ok"});
    auto done = boost::make_shared<recording_function>();
    auto listener = boost::make_shared<holding_listener>();
    m_studio.threaded_post_record(0, "raw", server.url("/raw"), "", done, listener,
                                  m_studio.create_task(-1));
    // Whatever fails below, the transfer goes on and ends.
    struct let_go {
      holding_listener& listener;
      ~let_go() { listener.release(); }
    } guard{*listener};

    const FB::VariantList held = listener->wait_held();
    ASSERT_EQ(3u, held.size());
    EXPECT_LT(held[0].convert_cast<std::int64_t>(), held[1].convert_cast<std::int64_t>())
        << "the transfer is held before its end";
    c.change();
    EXPECT_EQ(c.after, samples(0));
    listener->release();

    const FB::VariantList result = result_of(done);
    ASSERT_EQ(4u, result.size());
    EXPECT_TRUE(result[0].convert_cast<bool>());
    ASSERT_TRUE(server.wait_for_requests(1));
    const recorded_request request = server.requests().at(0);
    EXPECT_TRUE(request.multipart_valid);
    const vocle::testkit::recorded_part* data = request.part("data");
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(record.size() * 2, data->content.size());
    EXPECT_TRUE(raw_bytes(record) == data->content);
    EXPECT_EQ(c.after, samples(0));
  }
}

// ---- cancellation and the order of transfers ----

TEST_F(Uploads, ACancelBeforeTheWorkerStartsIsRefusedAndTheUploadRuns) {
  fill(0, ramp(10, 0));
  studio::task* t = m_studio.create_task(-1);
  const std::int32_t id = t->id();
  EXPECT_FALSE(m_studio.cancel_upload(id));
  EXPECT_EQ(1u, m_log.count("ERROR", "invalid task(" + std::to_string(id) + ") status(0)"));

  auto done = boost::make_shared<recording_function>();
  m_studio.threaded_post_record(0, "raw", m_server.url("/upload"), "", done, vocle::function_ptr(),
                                t);
  const FB::VariantList result = result_of(done);
  ASSERT_EQ(4u, result.size());
  EXPECT_TRUE(result[0].convert_cast<bool>());
  EXPECT_EQ(raw_bytes(ramp(10, 0)), posted_data());
}

TEST_F(Uploads, ACancelDuringTheTransferAbortsIt) {
  m_server.on("/held", [this](const recorded_request&) {
    m_server.wait_released("answer");
    return http_reply{200, "too late"};
  });
  fill(0, ramp(1000, 0));
  auto done = boost::make_shared<recording_function>();
  studio::task* t = m_studio.create_task(0);
  const std::int32_t id = t->id();
  m_studio.threaded_post_record(0, "raw", m_server.url("/held"), "", done, vocle::function_ptr(),
                                t);
  // The whole request has arrived, so the worker has marked the task as uploading.
  ASSERT_TRUE(m_server.wait_for_requests(1));
  EXPECT_TRUE(m_studio.cancel_upload(id));
  const FB::VariantList result = result_of(done);
  m_server.release("answer");

  ASSERT_EQ(4u, result.size());
  EXPECT_FALSE(result[0].convert_cast<bool>());
  EXPECT_EQ(
      0u, result[1].convert_cast<std::string>().find(std::string("transfer failed: ") +
                                                     curl_easy_strerror(CURLE_ABORTED_BY_CALLBACK)))
      << result[1].convert_cast<std::string>();
  EXPECT_EQ(id, result[2].convert_cast<std::int32_t>());
  EXPECT_TRUE(task_gone(id));
}

TEST_F(Uploads, TwoUploadsEncodeTogetherAndTransferOneAfterTheOther) {
  std::atomic<int> arrivals{0};
  m_server.on("/queue", [&](const recorded_request&) {
    if (arrivals++ == 0) {
      m_server.wait_released("first");
    }
    return http_reply{200, "ok"};
  });
  const samples_t a = ramp(50, 100);
  const samples_t b = ramp(60, -100);
  fill(0, a);
  fill(1, b);
  auto done_a = boost::make_shared<recording_function>();
  auto done_b = boost::make_shared<recording_function>();
  const std::string url = m_server.url("/queue");
  m_studio.threaded_post_record(0, "raw", url, "", done_a, vocle::function_ptr(),
                                m_studio.create_task(-1));
  m_studio.threaded_post_record(1, "raw", url, "", done_b, vocle::function_ptr(),
                                m_studio.create_task(-1));

  ASSERT_TRUE(m_server.wait_for_requests(1));
  // While the first transfer is held open, the other upload gets its body ready too (a "raw"
  // body is the record's samples as they are, taken without encoding)...
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (lines_starting("DEBUG", "size ") < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(2u, lines_starting("DEBUG", "size "));
  // ...but its transfer waits for the first one.
  EXPECT_EQ(1u, m_server.request_count());
  m_server.release("first");

  ASSERT_TRUE(done_a->wait_for(1));
  ASSERT_TRUE(done_b->wait_for(1));
  const std::vector<recorded_request> requests = m_server.requests();
  ASSERT_EQ(2u, requests.size());
  const bool a_first = requests[0].part("data")->content == raw_bytes(a);
  const recorder& first_done = a_first ? done_a : done_b;
  EXPECT_EQ(raw_bytes(a_first ? b : a), requests[1].part("data")->content);
  EXPECT_GT(requests[1].sequence, first_done->deliveries().at(0).sequence);
}

// ---- uploads that never reach their transfer ----

TEST_F(Uploads, AFailedEncodingStillEndsTheUploadWithItsResult) {
  fill(0, ramp(10, 0));
  struct {
    const char* name;
    bool list;
    std::string format;
  } cases[] = {
      {"single, empty format", false, ""},
      {"single, unknown format", false, "aiff"},
      {"list, empty format", true, ""},
      {"list, format in other letters", true, "RAW"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t errors_before =
        m_log.count("ERROR", "upload not sent: wrong encoding type " + c.format);
    auto done = boost::make_shared<recording_function>();
    studio::task* t = m_studio.create_task(-1);
    const std::int32_t id = t->id();
    if (c.list) {
      m_studio.threaded_multi_post_record({0, 1}, c.format, m_server.url("/upload"), "", done,
                                          vocle::function_ptr(), t);
    } else {
      m_studio.threaded_post_record(0, c.format, m_server.url("/upload"), "", done,
                                    vocle::function_ptr(), t);
    }
    const FB::VariantList result = result_of(done);
    ASSERT_EQ(4u, result.size());
    EXPECT_FALSE(result[0].convert_cast<bool>());
    EXPECT_EQ("wrong encoding type " + c.format, result[1].convert_cast<std::string>());
    EXPECT_EQ(id, result[2].convert_cast<std::int32_t>());
    EXPECT_EQ("", result[3].convert_cast<std::string>());
    // The task left the table before the page heard of the end.
    EXPECT_TRUE(task_gone(id, false));
    EXPECT_EQ(1u, done->count());
    EXPECT_EQ(errors_before + 1,
              m_log.count("ERROR", "upload not sent: wrong encoding type " + c.format));
  }
  EXPECT_EQ(0u, m_server.request_count());
}

TEST_F(Uploads, AStarterThatFailsOnTheBufferLimitDropsItsTask) {
  auto done = boost::make_shared<recording_function>();
  const std::string url = m_server.url("/upload");

  studio::task* t = m_studio.create_task(-1);
  std::int32_t id = t->id();
  EXPECT_THROW(m_studio.threaded_post_record(10, "raw", url, "", done, vocle::function_ptr(), t),
               FB::script_error);
  EXPECT_TRUE(task_gone(id));

  t = m_studio.create_task(-1);
  id = t->id();
  EXPECT_THROW(m_studio.threaded_recognize_record(10, "s", url, "", done, vocle::function_ptr(), t),
               FB::script_error);
  EXPECT_TRUE(task_gone(id));

  // The indexes before the failing one have grown the table.
  t = m_studio.create_task(-1);
  id = t->id();
  EXPECT_THROW(
      m_studio.threaded_multi_post_record({3, 10}, "raw", url, "", done, vocle::function_ptr(), t),
      FB::script_error);
  EXPECT_TRUE(task_gone(id));
  EXPECT_EQ(4u, m_studio.buffer_count());

  EXPECT_EQ(0u, done->count());
  EXPECT_EQ(0u, m_server.request_count());
}

}  // namespace
