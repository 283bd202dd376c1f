// The assessment stand-in (tools/assess-server) as a child process on 127.0.0.1, posted to by the
// plug-in's own request factory: what it reads from a recognition form, how it refuses forms and
// images that are not what the plug-in sends, how its test controls reach the plug-in's error
// codes, and that it starts and stops the way a test that runs it needs.
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <boost/make_shared.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "common/config_dir.h"
#include "common/recording_function.h"
#include "common/speech_fixture.h"
#include "common/temp_dir.h"
#include "core/encoding/adpcm.h"
#include "core/http/request_factory.h"
#include "core/studio/task.h"
#include "tools/assess-server/wav_dvi_adpcm_image.h"

extern char** environ;

namespace {

using vocle::audio::studio;
using vocle::testkit::read_file;
using vocle::testkit::recording_function;
using vocle::testkit::temp_dir;
typedef studio::task task;
typedef std::vector<std::int16_t> samples_t;
typedef boost::property_tree::ptree json_t;

const std::chrono::seconds deadline(60);

const char* const lang_conf =
    "[en_US]\n"
    "ZRV_ERR_NET_HTTP=transfer failed: %1%\n"
    "ZRV_ERR_NET_TIMEOUT=timed out: %1%\n"
    "ZRV_ERR_NET_CONNECTION=cannot connect: %1%\n"
    "ZRV_ERR_NET_MISSING_ARGS=missing arguments\n"
    "ZRV_ERR_NET_BAD_ARGS=bad arguments\n"
    "ZRV_ERR_NET_UNKNOWN_STATUS=status %1%: %2%\n"
    "ZRV_ERR_NET_RESPONSE_TOO_LARGE=answer over %1% bytes\n";

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The assess-server program, started with the given arguments. Its standard output is read up
// to its first line, its standard error goes to a file.
class server_process {
 public:
  explicit server_process(const std::vector<std::string>& args = {"--port", "0"}) {
    m_error_file = m_dir.file("stderr.txt");
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ADD_FAILURE() << "pipe: " << std::strerror(errno);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, m_error_file.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> words{VOCLE_ASSESS_SERVER};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) {
      argv.push_back(&w[0]);
    }
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&m_pid, VOCLE_ASSESS_SERVER, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
      m_pid = -1;
      ::close(out[0]);
      ADD_FAILURE() << "cannot start " << VOCLE_ASSESS_SERVER << ": " << std::strerror(spawned);
      return;
    }
    m_first_line = read_line(out[0]);
    ::close(out[0]);
    const std::string::size_type colon = m_first_line.rfind(':');
    if (starts_with(m_first_line, "listening on ") && colon != std::string::npos) {
      m_port = std::atoi(m_first_line.c_str() + colon + 1);
    }
  }

  ~server_process() {
    if (m_pid > 0) {
      stop(SIGTERM);
    }
  }

  server_process(const server_process&) = delete;
  server_process& operator=(const server_process&) = delete;

  const std::string& first_line() const { return m_first_line; }
  int port() const { return m_port; }
  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
  }
  std::string error_output() const { return read_file(m_error_file); }
  // The most memory the program held, in KiB; known once it has been reaped.
  long peak_kib() const { return m_usage.ru_maxrss; }

  // Sends the signal and reaps the program; returns its wait status (-1 when it was not
  // running). A program that does not end by the deadline is killed.
  int stop(int signal_number) {
    if (m_pid <= 0) {
      return -1;
    }
    ::kill(m_pid, signal_number);
    return reap();
  }

  // Waits for the program to end by itself.
  int reap() {
    int status = -1;
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (::wait4(m_pid, &status, WNOHANG, &m_usage) == 0) {
      if (std::chrono::steady_clock::now() > until) {
        ADD_FAILURE() << "assess-server did not end; killed";
        ::kill(m_pid, SIGKILL);
        ::wait4(m_pid, &status, 0, &m_usage);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_pid = -1;
    return status;
  }

  // Waits until the program's standard error holds the text.
  bool wait_for_note(const std::string& text) const {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (error_output().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > until) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

 private:
  // Up to the first line break or the end of the output, or the deadline.
  static std::string read_line(int fd) {
    std::string line;
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        return line;
      }
      char c;
      if (::read(fd, &c, 1) != 1 || c == '\n') {
        return line;
      }
      line += c;
    }
  }

  temp_dir m_dir;
  std::string m_error_file;
  pid_t m_pid = -1;
  std::string m_first_line;
  int m_port = 0;
  rusage m_usage{};
};

bool exited_cleanly(int status) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

json_t parse_json(const std::string& text) {
  json_t tree;
  std::istringstream in(text);
  try {
    boost::property_tree::read_json(in, tree);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "not JSON (" << e.what() << "): " << text;
  }
  return tree;
}

// The "parts" list of an answer, empty when it has none. (A default passed to get_child would be
// a temporary that the loop outlives.)
const json_t& parts_of(const json_t& tree) {
  static const json_t none;
  boost::optional<const json_t&> parts = tree.get_child_optional("parts");
  return parts ? *parts : none;
}

// The "parts" list of a recognition answer or a refusal: names.
std::vector<std::string> names_of(const json_t& tree) {
  std::vector<std::string> names;
  for (const auto& p : parts_of(tree)) {
    names.push_back(p.second.get_value<std::string>());
  }
  return names;
}

// The "parts" list of any other answer: objects with their names.
std::vector<std::string> described_names(const json_t& tree) {
  std::vector<std::string> names;
  for (const auto& p : parts_of(tree)) {
    names.push_back(p.second.get<std::string>("name", "?"));
  }
  return names;
}

// A sweep, so that the coder's step moves up and down across blocks.
samples_t sweep(std::size_t n) {
  samples_t samples(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = double(i);
    samples[i] = static_cast<std::int16_t>(
        std::lround(14000.0 * std::sin(0.02 * t + 1e-5 * t * t) * (0.4 + 0.6 * std::sin(t / 900))));
  }
  return samples;
}

std::string bytes_of(const boost::shared_ptr<vocle::binary>& b) {
  return std::string(b->data(), b->size());
}

boost::shared_ptr<vocle::binary> binary_of(const std::string& bytes) {
  return boost::make_shared<vocle::binary>(bytes.data(), bytes.size());
}

// What the encoder's own reconstruction of the samples is: each block starts over at its first
// sample, the step index carries from block to block. A decoder of the image must give exactly
// this.
samples_t predicted_by_encoder(const samples_t& samples) {
  std::unique_ptr<vocle::adpcm::state> s(vocle::adpcm::create_state());
  samples_t out;
  for (std::size_t first = 0; first < samples.size(); first += vocle::adpcm::samples_per_block) {
    const std::size_t end =
        std::min<std::size_t>(samples.size(), first + vocle::adpcm::samples_per_block);
    vocle::adpcm::set_predictor(*s, samples[first]);
    out.push_back(samples[first]);
    for (std::size_t k = first + 1; k < end; ++k) {
      vocle::adpcm::encode_sample(*s, samples[k]);
      out.push_back(vocle::adpcm::predictor(*s));
    }
  }
  return out;
}

void put_u16(std::string& bytes, std::size_t at, std::uint16_t v) {
  bytes[at] = static_cast<char>(v & 0xFF);
  bytes[at + 1] = static_cast<char>(v >> 8);
}

void put_u32(std::string& bytes, std::size_t at, std::uint32_t v) {
  put_u16(bytes, at, static_cast<std::uint16_t>(v & 0xFFFF));
  put_u16(bytes, at + 2, static_cast<std::uint16_t>(v >> 16));
}

void fix_riff_size(std::string& image) {
  put_u32(image, 4, static_cast<std::uint32_t>(image.size() - 8));
}

// Offsets of the plug-in's image: fmt body at 20, fact body at 48, data size at 56, data at 60.
const std::size_t fmt_at = 20, fact_at = 48, data_size_at = 56, data_at = 60;

class AssessServer : public ::testing::Test {
 protected:
  AssessServer()
      : m_config("", lang_conf),
        m_table(boost::make_shared<studio::task_table>()),
        m_callback(boost::make_shared<recording_function>()) {
    vocle::http::request_factory::instance();
  }

  void SetUp() override {
    ASSERT_GT(m_server.port(), 0) << "first line: \"" << m_server.first_line()
                                  << "\", stderr: " << m_server.error_output();
  }

  // Every test leaves a server that stops cleanly, even with answers still delayed.
  void TearDown() override {
    const int status = m_server.stop(SIGTERM);
    EXPECT_TRUE(exited_cleanly(status)) << "wait status " << status << ", stderr:\n"
                                        << m_server.error_output();
  }

  task* make_task(std::int32_t timeout) {
    boost::mutex::scoped_lock lock(m_table->mutex);
    const std::int32_t id = m_table->next_id++;
    task* t = new task(id, timeout, m_table);
    m_table->tasks[id] = t;
    t->set_status(task::task_posting);
    return t;
  }

  // Posts through the plug-in's request factory and returns the one result list.
  FB::VariantList post(const std::string& path_and_query, const vocle::http::form_fields& fields,
                       std::int32_t timeout = 60) {
    return post_to(m_server, path_and_query, fields, timeout);
  }

  FB::VariantList post_to(const server_process& server, const std::string& path_and_query,
                          const vocle::http::form_fields& fields, std::int32_t timeout = 60) {
    const std::size_t before = m_callback->count();
    vocle::http::request_factory::instance();
    vocle::http::request_factory::post(server.url(path_and_query), "", m_callback,
                                       vocle::function_ptr(), fields, make_task(timeout));
    EXPECT_TRUE(m_table->tasks.empty()) << "the post ends its task";
    const std::vector<FB::VariantList> lists = m_callback->lists();
    EXPECT_EQ(before + 1, lists.size());
    if (lists.size() != before + 1 || lists.back().size() != 4) {
      ADD_FAILURE() << "no result list of four";
      return FB::VariantList{false, std::string(), -1, std::string()};
    }
    return lists.back();
  }

  static vocle::http::form_fields recognition_form(const samples_t& samples,
                                                   const std::string& sentence) {
    vocle::http::form_fields fields;
    fields["file"] =
        vocle::http::form_field{"wav_dvi_adpcm", boost::any(vocle::adpcm::make_wav(samples))};
    fields["sentence"] = vocle::http::form_field{"string", boost::any(sentence)};
    return fields;
  }

  static vocle::http::form_fields image_form(const std::string& image) {
    vocle::http::form_fields fields;
    fields["file"] = vocle::http::form_field{"wav_dvi_adpcm", boost::any(binary_of(image))};
    fields["sentence"] = vocle::http::form_field{"string", boost::any(std::string("s"))};
    return fields;
  }

  static std::string text_of(const FB::VariantList& result) {
    return result.at(1).convert_cast<std::string>();
  }

  static bool succeeded(const FB::VariantList& result) { return result.at(0).convert_cast<bool>(); }

  // A direct client, for forms that the plug-in never sends.
  httplib::Result post_direct(const std::string& path,
                              const httplib::MultipartFormDataItems& items) {
    httplib::Client client("127.0.0.1", m_server.port());
    client.set_read_timeout(std::chrono::seconds(60));
    return client.Post(path.c_str(), items);
  }

  vocle::testkit::config_dir m_config;
  server_process m_server;
  studio::task_table_ptr m_table;
  boost::shared_ptr<recording_function> m_callback;
};

TEST_F(AssessServer, SaysWhereItListensOnItsFirstLine) {
  const std::string expected = "listening on 127.0.0.1:" + std::to_string(m_server.port());
  EXPECT_EQ(expected, m_server.first_line());
  EXPECT_LT(m_server.port(), 65536);
}

TEST_F(AssessServer, ARecognitionOfSpeechIsDecodedWhole) {
  const samples_t& speech = vocle::testkit::speech_samples();
  const FB::VariantList result =
      post("/1/assess.wav", recognition_form(speech, vocle::testkit::speech_text));
  ASSERT_TRUE(succeeded(result)) << text_of(result);

  const json_t answer = parse_json(text_of(result));
  EXPECT_EQ(vocle::testkit::speech_text, answer.get<std::string>("sentence", "?"));
  EXPECT_EQ(speech.size(), answer.get<std::size_t>("samples", 0));
  EXPECT_NEAR(double(speech.size()) / 16000.0, answer.get<double>("duration", -1), 1e-6);
  EXPECT_EQ(16000, answer.get<int>("sample_rate", 0));
  EXPECT_EQ((std::vector<std::string>{"file", "sentence"}), names_of(answer));
}

// The server's decoder gives back exactly what the encoder reconstructed, block edges included,
// and that is the speech within what 4-bit ADPCM keeps of it.
TEST_F(AssessServer, TheDecoderRebuildsTheEncodersPrediction) {
  std::vector<samples_t> records{vocle::testkit::speech_samples()};
  for (std::size_t n : {1, 2, 3, 1016, 1017, 1018, 1019, 2034, 2035, 5000}) {
    records.push_back(sweep(n));
  }
  for (const samples_t& record : records) {
    SCOPED_TRACE(record.size());
    const assess::wav_dvi_adpcm_image image =
        assess::wav_dvi_adpcm_image::read(bytes_of(vocle::adpcm::make_wav(record)));
    EXPECT_EQ(16000u, image.sample_rate);
    ASSERT_EQ(record.size(), image.samples.size());
    EXPECT_EQ(predicted_by_encoder(record), image.samples);
  }

  const samples_t& speech = records.front();
  const samples_t decoded =
      assess::wav_dvi_adpcm_image::read(bytes_of(vocle::adpcm::make_wav(speech))).samples;
  double signal = 0, noise = 0;
  for (std::size_t i = 0; i < speech.size(); ++i) {
    signal += double(speech[i]) * speech[i];
    noise += (double(decoded[i]) - speech[i]) * (double(decoded[i]) - speech[i]);
  }
  EXPECT_GT(10 * std::log10(signal / std::max(noise, 1e-9)), 20.0);
}

TEST_F(AssessServer, SampleCountsHoldAtTheBlockEdges) {
  for (std::size_t n : {0, 1, 2, 1016, 1017, 1018, 2035}) {
    SCOPED_TRACE(n);
    const FB::VariantList result = post("/1/assess.wav", recognition_form(sweep(n), "edge"));
    ASSERT_TRUE(succeeded(result)) << text_of(result);
    const json_t answer = parse_json(text_of(result));
    EXPECT_EQ(n, answer.get<std::size_t>("samples", 99999));
    EXPECT_NEAR(double(n) / 16000.0, answer.get<double>("duration", -1), 1e-9);
  }
}

TEST_F(AssessServer, SentencesComeBackAsSent) {
  for (const std::string& sentence :
       {std::string(), std::string("say \"cheese\" \\ now"), std::string("tab\tand\nnewline"),
        std::string("caf\xc3\xa9 \xe4\xbd\xa0\xe5\xa5\xbd"), std::string("bell \x07 { } [ ]")}) {
    SCOPED_TRACE(sentence);
    const FB::VariantList result = post("/1/assess.wav", recognition_form(sweep(100), sentence));
    ASSERT_TRUE(succeeded(result)) << text_of(result);
    EXPECT_EQ(sentence, parse_json(text_of(result)).get<std::string>("sentence", "?"));
  }
}

// What the plug-in could send wrongly: a part missing, the image as another kind of part.
TEST_F(AssessServer, FormsWithoutTheRightPartsAreMissingArguments) {
  const auto image = [] { return boost::any(vocle::adpcm::make_wav(sweep(300))); };
  const auto sentence = boost::any(std::string("hello"));
  const std::vector<std::pair<const char*, vocle::http::form_fields> > cases{
      {"no sentence", {{"file", {"wav_dvi_adpcm", image()}}}},
      {"no file", {{"sentence", {"string", sentence}}}},
      {"the image as plain binary",
       {{"file", {"binary", image()}}, {"sentence", {"string", sentence}}}},
      {"the image's name as text",
       {{"file", {"string", boost::any(std::string("RIFF"))}}, {"sentence", {"string", sentence}}}},
      {"another name", {{"audio", {"wav_dvi_adpcm", image()}}, {"sentence", {"string", sentence}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    const FB::VariantList result = post("/1/assess.wav", c.second);
    EXPECT_FALSE(succeeded(result));
    EXPECT_EQ("missing arguments", text_of(result));
  }
}

// The reasons, read with a client that can also send what the plug-in never does.
TEST_F(AssessServer, RefusedFormsSayWhy) {
  const std::string image = bytes_of(vocle::adpcm::make_wav(sweep(300)));
  const std::string wav_type = "application/wav; codec=\"11\"";
  const httplib::MultipartFormData file{"file", image, "file", wav_type};
  const httplib::MultipartFormData sentence{"sentence", "hello", "", ""};
  struct refusal {
    const char* what;
    httplib::MultipartFormDataItems items;
    const char* reason;
  };
  const std::vector<refusal> cases{
      {"sentence first",
       {sentence, file},
       "the \"file\" part must come before the \"sentence\" part"},
      {"two files", {file, file, sentence}, "the form has more than one \"file\" part"},
      {"two sentences", {file, sentence, sentence}, "the form has more than one \"sentence\" part"},
      {"no file", {sentence}, "the form has no \"file\" part"},
      {"no codec",
       {{"file", image, "file", "application/wav"}, sentence},
       "the \"file\" part's content type is \"application/wav\", not application/wav; "
       "codec=\"11\""},
      {"another codec",
       {{"file", image, "file", "application/wav; codec=\"1\""}, sentence},
       "the \"file\" part's content type is \"application/wav; codec=\"1\"\", not "
       "application/wav; codec=\"11\""},
      {"audio/wav",
       {{"file", image, "file", "audio/wav; codec=\"11\""}, sentence},
       "the \"file\" part's content type is \"audio/wav; codec=\"11\"\", not application/wav; "
       "codec=\"11\""},
  };
  for (const refusal& c : cases) {
    SCOPED_TRACE(c.what);
    const httplib::Result r = post_direct("/1/assess.wav", c.items);
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(400, r->status);
    EXPECT_EQ("application/json", r->get_header_value("Content-Type"));
    const json_t answer = parse_json(r->body);
    EXPECT_EQ(c.reason, answer.get<std::string>("error", ""));
    std::vector<std::string> sent;
    for (const auto& item : c.items) {
      sent.push_back(item.name);
    }
    EXPECT_EQ(sent, names_of(answer));
  }

  // The media type in any letter case, the codec with or without quotes, extra parameters.
  for (const char* type :
       {"Application/WAV;codec=11", "application/wav; rate=16000; codec=\"11\""}) {
    SCOPED_TRACE(type);
    const httplib::Result r =
        post_direct("/1/assess.wav", {{"file", image, "file", type}, sentence});
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status) << r->body;
  }

  httplib::Client client("127.0.0.1", m_server.port());
  const httplib::Result plain = client.Post("/1/assess.wav", "sentence=hello", "text/plain");
  ASSERT_TRUE(plain);
  EXPECT_EQ(400, plain->status);
  EXPECT_EQ("the body is not a multipart/form-data form",
            parse_json(plain->body).get<std::string>("error", ""));
  const httplib::Result broken =
      client.Post("/1/assess.wav", "--b\r\nno headers here", "multipart/form-data; boundary=b");
  ASSERT_TRUE(broken);
  EXPECT_EQ(400, broken->status);
  EXPECT_EQ("the multipart body is malformed",
            parse_json(broken->body).get<std::string>("error", ""));
}

// Each fault is refused with its reason by the reader, and as unprocessable (422, the plug-in's
// ZRV_ERR_NET_BAD_ARGS) by the server.
TEST_F(AssessServer, MalformedImagesAreUnprocessable) {
  const std::string good = bytes_of(vocle::adpcm::make_wav(sweep(3000)));
  ASSERT_EQ(good.size(), data_at + 512 * 2 + (4 + 966 / 2));
  struct fault {
    const char* reason;
    std::function<void(std::string&)> spoil;
  };
  const std::vector<fault> cases{
      {"not a RIFF/WAVE file", [](std::string& b) { b.clear(); }},
      {"not a RIFF/WAVE file", [](std::string& b) { b.replace(0, 4, "RIFX"); }},
      {"not a RIFF/WAVE file", [](std::string& b) { b.replace(8, 4, "AVI "); }},
      {"the RIFF size says", [](std::string& b) { b.resize(b.size() - 10); }},
      {"the \"data\" chunk runs past the end of the file",
       [](std::string& b) {
         b.resize(b.size() - 10);
         fix_riff_size(b);
       }},
      {"stray bytes after the last chunk",
       [](std::string& b) {
         b += std::string(3, '\0');
         fix_riff_size(b);
       }},
      {"two \"fact\" chunks",
       [](std::string& b) {
         b.insert(52, b.substr(40, 12));
         fix_riff_size(b);
       }},
      {"no \"fmt \" chunk", [](std::string& b) { b.replace(12, 4, "fmx "); }},
      {"no \"fact\" chunk", [](std::string& b) { b.replace(40, 4, "facx"); }},
      {"no \"data\" chunk", [](std::string& b) { b.replace(52, 4, "date"); }},
      {"format tag 0x0001 is not IMA/DVI ADPCM", [](std::string& b) { put_u16(b, fmt_at, 1); }},
      {"2 channels, not mono", [](std::string& b) { put_u16(b, fmt_at + 2, 2); }},
      {"8000 samples per second, not 16000", [](std::string& b) { put_u32(b, fmt_at + 4, 8000); }},
      {"8111 bytes per second, not 8055", [](std::string& b) { put_u32(b, fmt_at + 8, 8111); }},
      {"blocks of 256 bytes, not 512", [](std::string& b) { put_u16(b, fmt_at + 12, 256); }},
      {"16 bits per sample, not 4", [](std::string& b) { put_u16(b, fmt_at + 14, 16); }},
      {"the \"fmt \" chunk lacks the samples per block",
       [](std::string& b) { put_u16(b, fmt_at + 16, 0); }},
      {"505 samples per block, not 1017", [](std::string& b) { put_u16(b, fmt_at + 18, 505); }},
      {"the data has 1511 bytes, 4017 samples need 2023",
       [](std::string& b) { put_u32(b, fact_at, 4017); }},
      {"the data has 1511 bytes, more than the 2 blocks of 2000 samples hold",
       [](std::string& b) { put_u32(b, fact_at, 2000); }},
      {"block 1: step index 89 is beyond 88",
       [](std::string& b) { b[data_at + 512 + 2] = static_cast<char>(89); }},
      {"block 2: its reserved header byte is 7, not 0",
       [](std::string& b) { b[data_at + 1024 + 3] = 7; }},
  };
  for (const fault& c : cases) {
    SCOPED_TRACE(c.reason);
    std::string image = good;
    c.spoil(image);
    try {
      assess::wav_dvi_adpcm_image::read(image);
      ADD_FAILURE() << "read";
    } catch (const assess::malformed_image& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(c.reason)) << e.what();
    }
    const FB::VariantList result = post("/1/assess.wav", image_form(image));
    EXPECT_FALSE(succeeded(result));
    EXPECT_EQ("bad arguments", text_of(result));
  }

  // The body says why too.
  std::string image = good;
  put_u16(image, fmt_at + 2, 2);
  const httplib::Result r = post_direct(
      "/1/assess.wav",
      {{"file", image, "file", "application/wav; codec=\"11\""}, {"sentence", "s", "", ""}});
  ASSERT_TRUE(r);
  EXPECT_EQ(422, r->status);
  EXPECT_EQ("the \"file\" part is not a WAV DVI-ADPCM image: 2 channels, not mono",
            parse_json(r->body).get<std::string>("error", ""));
}

// Images of another careful writer read too: a last block padded to its full size, a chunk of
// another kind before the data, an odd-sized chunk with its pad byte.
TEST_F(AssessServer, ImagesWithOtherWellFormedLayoutsRead) {
  const samples_t record = sweep(1500);
  const std::string good = bytes_of(vocle::adpcm::make_wav(record));
  const std::vector<std::pair<const char*, std::function<void(std::string&)> > > cases{
      {"padded last block",
       [](std::string& b) {
         b.resize(data_at + 1024, '\0');
         put_u32(b, data_size_at, 1024);
         fix_riff_size(b);
       }},
      {"a LIST chunk of odd size",
       [](std::string& b) {
         std::string list("LIST\x05\x00\x00\x00INFOx\x00", 14);
         b.insert(data_size_at - 4, list);
         fix_riff_size(b);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    std::string image = good;
    c.second(image);
    const assess::wav_dvi_adpcm_image read = assess::wav_dvi_adpcm_image::read(image);
    EXPECT_EQ(predicted_by_encoder(record), read.samples);
    const FB::VariantList result = post("/1/assess.wav", image_form(image));
    ASSERT_TRUE(succeeded(result)) << text_of(result);
    EXPECT_EQ(1500u, parse_json(text_of(result)).get<std::size_t>("samples", 0));
  }
}

TEST_F(AssessServer, OtherPathsDescribeEachPartInOrder) {
  std::string payload(10000, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<char>(i * 7 + i / 13);
  }
  payload.replace(500, 8, "\r\n--\r\n\r\n");
  vocle::http::form_fields fields;
  fields["data"] = vocle::http::form_field{"binary", boost::any(binary_of(payload))};
  fields["meta"] = vocle::http::form_field{"xml", boost::any(std::string("<a b=\"1\"/>"))};
  fields["note"] = vocle::http::form_field{"string", boost::any(std::string("hi"))};
  const FB::VariantList result = post("/records/upload", fields);
  ASSERT_TRUE(succeeded(result)) << text_of(result);

  struct expected_part {
    std::string name, file_name, content_type;
    std::size_t bytes;
  };
  const std::vector<expected_part> expected{
      {"data", "data", "application/octet-stream", 10000},
      {"meta", "", "application/xml", 10},
      {"note", "", "", 2},
  };
  const json_t answer = parse_json(text_of(result));
  std::vector<expected_part> got;
  for (const auto& p : parts_of(answer)) {
    got.push_back(
        {p.second.get<std::string>("name", "?"), p.second.get<std::string>("file_name", "?"),
         p.second.get<std::string>("content_type", "?"), p.second.get<std::size_t>("bytes", 0)});
  }
  ASSERT_EQ(expected.size(), got.size()) << text_of(result);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].name, got[i].name);
    EXPECT_EQ(expected[i].file_name, got[i].file_name);
    EXPECT_EQ(expected[i].content_type, got[i].content_type);
    EXPECT_EQ(expected[i].bytes, got[i].bytes);
  }

  // A recognition form sent elsewhere is only described.
  const FB::VariantList other = post("/2/assess.wav", recognition_form(sweep(10), "s"));
  ASSERT_TRUE(succeeded(other)) << text_of(other);
  const json_t described = parse_json(text_of(other));
  EXPECT_EQ((std::vector<std::string>{"file", "sentence"}), described_names(described));
  EXPECT_FALSE(described.get_optional<std::size_t>("samples"));
}

// The controls in the query reach the page as the plug-in's network error codes, on the
// recognition path and elsewhere alike.
TEST_F(AssessServer, ControlsReachThePluginsErrorCodes) {
  const std::string nothing = curl_easy_strerror(CURLE_GOT_NOTHING);
  const std::string timed_out = curl_easy_strerror(CURLE_OPERATION_TIMEDOUT);
  struct control {
    std::string query;
    std::int32_t timeout;
    bool ok;
    std::string text_start;  // "{" for the usual answer
  };
  const std::vector<control> cases{
      {"", 60, true, "{"},
      {"?status=200", 60, true, "{"},
      {"?delay_ms=30", 60, true, "{"},
      {"?status=404", 60, false, "status 404: {"},
      {"?status=503&delay_ms=10", 60, false, "status 503: {"},
      {"?status=400", 60, false, "missing arguments"},
      {"?status=422", 60, false, "bad arguments"},
      {"?drop=1", 60, false, "transfer failed: " + nothing},
      {"?drop=1&status=404", 60, false, "transfer failed: " + nothing},
      {"?delay_ms=20&drop=1", 60, false, "transfer failed: " + nothing},
      {"?drop=0", 60, true, "{"},
      {"?delay_ms=3600000", 1, false, "timed out: " + timed_out},
      {"?other=1&status=404", 60, false, "status 404: {"},
      // A control that does not read is a bad request.
      {"?status=abc", 60, false, "missing arguments"},
      {"?status=99", 60, false, "missing arguments"},
      {"?status=600", 60, false, "missing arguments"},
      {"?delay_ms=-5", 60, false, "missing arguments"},
      {"?delay_ms=3600001", 60, false, "missing arguments"},
      {"?drop=yes", 60, false, "missing arguments"},
  };
  for (const bool recognition : {true, false}) {
    for (const control& c : cases) {
      const std::string path = (recognition ? "/1/assess.wav" : "/upload") + c.query;
      SCOPED_TRACE(path);
      vocle::http::form_fields fields = recognition_form(sweep(2000), "hello");
      if (!recognition) {
        fields.erase("sentence");
      }
      const FB::VariantList result = post(path, fields, c.timeout);
      EXPECT_EQ(c.ok, succeeded(result)) << text_of(result);
      EXPECT_TRUE(starts_with(text_of(result), c.text_start)) << text_of(result);
      if (c.text_start.back() == '{') {
        // The answer the request would have had, also under another status.
        const std::string text = text_of(result);
        const json_t answer = parse_json(text.substr(text.find('{')));
        if (recognition) {
          EXPECT_EQ(2000u, answer.get<std::size_t>("samples", 0));
        } else {
          EXPECT_EQ(std::vector<std::string>{"file"}, described_names(answer));
        }
      }
    }
  }
}

// A body larger than the server's limit is read to its end without being kept, and answered 413
// with the reason: the client gets an answer, and the server's memory stays small.
TEST_F(AssessServer, BodiesAboveTheLimitAreRefusedWithoutBeingKept) {
  struct limit_case {
    std::vector<std::string> args;
    std::size_t bytes;
    int status;
    std::string error;
  };
  const std::size_t mib = 1024 * 1024;
  const std::vector<limit_case> cases{
      {{"--max-body", "1048576"}, 256 * mib, 413, "the request body is larger than 1048576 bytes"},
      {{"--max-body", "1048576"}, mib - 100, 200, ""},
      // The default, 64 MiB.
      {{}, 64 * mib + 1, 413, "the request body is larger than 67108864 bytes"},
  };
  const std::string chunk(65536, 'x');
  for (const limit_case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bytes) + " bytes");
    std::vector<std::string> args{"--port", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    server_process server(args);
    ASSERT_GT(server.port(), 0) << server.error_output();
    httplib::Client client("127.0.0.1", server.port());
    client.set_read_timeout(std::chrono::seconds(300));
    client.set_write_timeout(std::chrono::seconds(300));
    const std::size_t total = c.bytes;
    // Made as it goes out: the test holds no more of the upload than a chunk.
    const httplib::MultipartFormDataProviderItems items{
        {"data",
         [&](std::size_t offset, httplib::DataSink& sink) {
           if (offset >= total) {
             sink.done();
             return true;
           }
           return sink.write(chunk.data(), std::min(chunk.size(), total - offset));
         },
         "data", "application/octet-stream"}};
    const httplib::Result r =
        client.Post("/upload", httplib::Headers(), httplib::MultipartFormDataItems(), items);
    ASSERT_TRUE(r) << httplib::to_string(r.error());
    EXPECT_EQ(c.status, r->status) << r->body;
    const json_t answer = parse_json(r->body);
    if (c.status == 413) {
      EXPECT_EQ(c.error, answer.get<std::string>("error", "")) << r->body;
      EXPECT_EQ(std::vector<std::string>{"data"}, names_of(answer));
    } else {
      EXPECT_EQ(total, parts_of(answer).front().second.get<std::size_t>("bytes", 0)) << r->body;
    }
    EXPECT_TRUE(server.wait_for_note("received 1 part, " + std::to_string(total) + " bytes"))
        << server.error_output();
    EXPECT_TRUE(exited_cleanly(server.stop(SIGTERM))) << server.error_output();
    if (c.bytes == 256 * mib) {
      EXPECT_LT(server.peak_kib(), 128 * 1024) << "the server held the body";
    }
  }
}

// An answer larger than "audio.max_response_size" (16 MiB by default) ends the transfer with the
// translated error, also an answer of unknown length (sent in chunks) and one with an error
// status; an answer of the limit itself arrives whole.
TEST_F(AssessServer, AnswersAboveTheClientsLimitEndTheTransfer) {
  const std::size_t limit = 16 * 1024 * 1024;
  struct answer_case {
    std::string query;
    bool whole;
  };
  const std::string at_limit = "?bytes=" + std::to_string(limit);
  const std::string over_limit = "?bytes=" + std::to_string(limit + 1);
  for (const answer_case& c :
       {answer_case{at_limit, true}, answer_case{at_limit + "&chunked=1", true},
        answer_case{over_limit, false}, answer_case{over_limit + "&chunked=1", false},
        answer_case{"?bytes=209715200&status=500&chunked=1", false}}) {
    SCOPED_TRACE(c.query);
    vocle::http::form_fields fields;
    fields["data"] = vocle::http::form_field{"binary", boost::any(binary_of("abc"))};
    const FB::VariantList result = post("/upload" + c.query, fields);
    const std::string text = text_of(result);
    if (c.whole) {
      EXPECT_TRUE(succeeded(result)) << text.substr(0, 200);
      EXPECT_EQ(limit, text.size());
    } else {
      EXPECT_FALSE(succeeded(result));
      EXPECT_EQ("answer over 16777216 bytes, " + result.at(3).convert_cast<std::string>(),
                text.substr(0, 1000));
    }
  }
}

// Runs the work in a child process whose address space may grow by at most `budget` bytes more
// than it has when the child starts; returns the child's exit code, or minus the signal that
// ended it. The sanitizers' allocators report a failed allocation instead of throwing it, so
// there the work is not run (0).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VOCLE_ALLOCATION_FAILURE_THROWS 0
#else
#define VOCLE_ALLOCATION_FAILURE_THROWS 1
#endif

int run_with_address_space(std::size_t budget, const std::function<int()>& work) {
  const pid_t child = ::fork();
  if (child < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return -1;
  }
  if (child == 0) {
    long pages = 0;
    std::istringstream(read_file("/proc/self/statm")) >> pages;
    const rlim_t limit = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + budget;
    const rlimit space{limit, limit};
    // Threads that libcurl may start would each reserve an allocation arena of their own (64 MiB
    // of address space): one arena keeps the space to what is allocated.
    ::mallopt(M_ARENA_MAX, 1);
    if (pages <= 0 || ::setrlimit(RLIMIT_AS, &space) != 0) {
      ::_exit(100);
    }
    ::_exit(work());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// One post from a child process: 0 when it returned and gave exactly one failure list whose
// text starts with `text`; 1 with no list or more than one, 2 when the upload succeeded, 3 with
// another text.
int child_post(const std::string& url, const std::string& text) {
  auto callback = boost::make_shared<recording_function>();
  vocle::http::form_fields fields;
  fields["data"] = vocle::http::form_field{"binary", boost::any(binary_of("abc"))};
  auto table = boost::make_shared<studio::task_table>();
  task* t = new task(0, 60, table);
  table->tasks[0] = t;
  t->set_status(task::task_posting);
  vocle::http::request_factory::post(url, "", callback, vocle::function_ptr(), fields, t);
  const std::vector<FB::VariantList> lists = callback->lists();
  if (lists.size() != 1 || lists[0].size() != 4) {
    return 1;
  }
  if (lists[0][0].convert_cast<bool>()) {
    return 2;
  }
  const std::string got = lists[0][1].convert_cast<std::string>();
  if (!starts_with(got, text)) {
    std::fprintf(stderr, "the post's text: %s\n", got.substr(0, 300).c_str());
    return 3;
  }
  return 0;
}

// The client holds no more of an answer than its limit: a 200 MB error answer of unknown length
// is refused within a small address space.
TEST_F(AssessServer, ALargeErrorAnswerNeedsLittleMemory) {
  if (!VOCLE_ALLOCATION_FAILURE_THROWS) {
    GTEST_SKIP() << "the sanitizer's allocator does not throw on failure";
  }
  const std::string url = m_server.url("/upload?bytes=209715200&status=500&chunked=1");
  EXPECT_EQ(0, run_with_address_space(160 * 1024 * 1024,
                                      [&] { return child_post(url, "answer over 16777216 "); }));
}

// No memory for an answer that the limit allows: the post still ends in exactly one failure list
// with the reason, and returns.
TEST_F(AssessServer, NoMemoryForTheAnswerEndsInOneFailureList) {
  if (!VOCLE_ALLOCATION_FAILURE_THROWS) {
    GTEST_SKIP() << "the sanitizer's allocator does not throw on failure";
  }
  m_config.rewrite("vocle.conf", "[audio]\nmax_response_size=1073741824\n");
  // The 200 MiB of an answer of announced length arrive within the space, but the answer's text,
  // a second copy, does not fit.
  const std::string url = m_server.url("/upload?bytes=209715200");
  EXPECT_EQ(0, run_with_address_space(300 * 1024 * 1024, [&] {
              return child_post(url, "transfer failed: std::bad_alloc, ulnow: ");
            }));
}

// SIGTERM and SIGINT stop the server with status 0 while an answer is still delayed; the
// delayed request is answered before the server goes.
TEST_F(AssessServer, StopsCleanlyOnASignalWithAnAnswerPending) {
  for (const int signal_number : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal_number);
    server_process server;
    ASSERT_GT(server.port(), 0) << server.error_output();
    int answered = -1;
    std::string failure;
    std::thread client([&] {
      httplib::Client c("127.0.0.1", server.port());
      c.set_read_timeout(std::chrono::seconds(120));
      const httplib::Result r = c.Post("/upload?delay_ms=3600000",
                                       httplib::MultipartFormDataItems{{"data", "x", "", ""}});
      answered = r ? r->status : -1;
      failure = r ? std::string() : httplib::to_string(r.error());
    });
    const bool arrived = server.wait_for_note("POST /upload?delay_ms=3600000: received 1 part");
    const int status = server.stop(signal_number);
    client.join();
    EXPECT_TRUE(arrived) << server.error_output();
    EXPECT_TRUE(exited_cleanly(status)) << "wait status " << status << "\n"
                                        << server.error_output();
    EXPECT_EQ(200, answered) << failure;
  }
}

TEST_F(AssessServer, ListensOnTheGivenPortAndRefusesBadArguments) {
  // A port that was free a moment ago.
  int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(0, ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size));
  const int free_port = ntohs(address.sin_port);
  ::close(probe);
  {
    server_process fixed({"--host", "127.0.0.1", "--port=" + std::to_string(free_port)});
    EXPECT_EQ("listening on 127.0.0.1:" + std::to_string(free_port), fixed.first_line());
    EXPECT_EQ(free_port, fixed.port());
    vocle::http::form_fields fields;
    fields["data"] = vocle::http::form_field{"binary", boost::any(binary_of("abc"))};
    const FB::VariantList result = post_to(fixed, "/x", fields);
    EXPECT_TRUE(succeeded(result)) << text_of(result);
    EXPECT_EQ(std::vector<std::string>{"data"}, described_names(parse_json(text_of(result))));
    EXPECT_TRUE(exited_cleanly(fixed.stop(SIGTERM)));
  }

  struct run {
    std::vector<std::string> args;
    int exit_code;
  };
  const std::vector<run> cases{
      {{"--port", std::to_string(m_server.port())}, 1},  // taken
      {{"--port", "abc"}, 2},
      {{"--port", "70000"}, 2},
      {{"--port", "-1"}, 2},
      {{"--port"}, 2},
      {{"--host"}, 2},
      {{"--host="}, 2},
      {{"--verbose"}, 2},
      {{"8080"}, 2},
      {{"--help"}, 0},
  };
  for (const run& c : cases) {
    std::string joined;
    for (const std::string& a : c.args) {
      joined += a + " ";
    }
    SCOPED_TRACE(joined);
    server_process refused(c.args);
    EXPECT_EQ(0, refused.port()) << refused.first_line();
    const int status = refused.reap();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(c.exit_code, WEXITSTATUS(status)) << refused.error_output();
  }
}

}  // namespace
