// vocle-host's message handling over any bytes a browser may send: the framing and the JSON
// reading of native_channel, the limits of message_reader, the value decoding and the dispatch
// of native_host to the real library (create, call, set, answer, destroy), one page per input.
// Every message the host sends must be framed for the browser (at most 1 MiB) and be a JSON
// object of a type the page script knows.
//
// The input is what the browser writes to the host's standard input: frames of a 32-bit length
// in native order and a JSON body. A fake browser plays the page: frames whose body is an
// "answer" are held back and given, in order, as the answers to the host's operations on the
// page (each followed by the page's own answer, {"$":"u"}, which counts when the held one's "q"
// does not match); every other frame goes to the host as it is. When the input's framing is
// whole, a "hello" and a call for no instance follow it, and the page goes once that call is
// answered; otherwise the rest of the bytes follow the frames and the page goes after them.
//
// Methods that would reach beyond the fuzzer's folder (removing files, uploads) are held back.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"
#include "host/core/host_core.h"
#include "host/native/native_channel.h"
#include "host/native/native_host.h"

using vocle::fuzz::check;

namespace {

const std::int64_t k_sentinel = -424242;

std::string frame(const std::string& body) {
  const std::uint32_t length = static_cast<std::uint32_t>(body.size());
  return std::string(reinterpret_cast<const char*>(&length), sizeof length) + body;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// The folder of the library (a link to the build's, with a configuration that trusts the pages
// of 127.0.0.1 and keeps files in the folder), the virtual microphone and speaker.
std::string set_up() {
  vocle::fuzz::quiet();
  ::signal(SIGPIPE, SIG_IGN);
  const std::string& dir = vocle::fuzz::folder();
  const std::string lib = dir + "/lib";
  ::mkdir(lib.c_str(), 0700);
  if (::symlink(VOCLE_PLUGIN_PATH, (lib + "/libnpvocle.so").c_str()) != 0) {
    std::perror("symlink");
    std::abort();
  }
  std::ifstream lang(VOCLE_SOURCE_DIR "/conf/lang.conf", std::ios::binary);
  write_file(lib + "/lang.conf", std::string(std::istreambuf_iterator<char>(lang), {}));
  write_file(lib + "/vocle.conf",
             "[log]\nlogconfig=false\nlogdevice=false\n[system]\n"
             "trusted=http://127\\.0\\.0\\.1:[0-9]+/.*\n"
             "file_permission=sandbox\n[audio]\nrecord_file_prefix=" +
                 dir + "/record.\n");
  write_file(dir + "/asound.conf",
             "pcm.vocle_mic { type asym; capture.pcm { type plug; slave { pcm { type file; "
             "slave.pcm { type null }; file \"/dev/null\" infile \"" +
                 dir +
                 "/mic.raw\"; format \"raw\" }; format S16_LE; rate 16000; channels 1 } } }\n"
                 "pcm.vocle_speaker { type asym; playback.pcm { type plug; slave { pcm { type "
                 "file; slave.pcm { type null }; file \"" +
                 dir +
                 "/speaker.raw\"; format \"raw\" }; format S16_LE; rate 16000; channels 1 } } "
                 "}\npcm.!default { type asym; capture.pcm \"vocle_mic\"; playback.pcm "
                 "\"vocle_speaker\" }\n");
  write_file(dir + "/mic.raw", std::string(32000, '\0'));
  ::setenv("ALSA_CONFIG_PATH", (dir + "/asound.conf").c_str(), 1);
  ::setenv("JACK_NO_START_SERVER", "1", 1);
  ::setenv("HOME", dir.c_str(), 1);
  ::setenv("XDG_DATA_HOME", (dir + "/data").c_str(), 1);
  return lib + "/libnpvocle.so";
}

bool held_back(const nlohmann::json& message) {
  const auto method = message.find("m");
  if (method == message.end() || !method->is_string()) {
    return false;
  }
  std::string name = method->get<std::string>();
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name == "filesystem_remove" || name == "post_record" || name == "recognize_record";
}

// The input cut into frames for the host and answers held back.
struct page_input {
  std::string to_host;
  std::vector<std::string> answers;
  bool whole = true;
};

page_input split(const std::uint8_t* data, std::size_t size) {
  page_input in;
  std::size_t at = 0;
  while (at < size) {
    std::uint32_t length = 0;
    if (size - at < sizeof length) {
      in.whole = false;
      break;
    }
    std::memcpy(&length, data + at, sizeof length);
    if (length > size - at - sizeof length) {
      in.whole = false;
      break;
    }
    const std::string body(reinterpret_cast<const char*>(data + at + sizeof length), length);
    at += sizeof length + length;
    const nlohmann::json message = nlohmann::json::parse(body, nullptr, false);
    if (message.is_object() && message.value("t", nlohmann::json()) == "answer") {
      in.answers.push_back(body);
    } else if (!message.is_object() || !held_back(message)) {
      in.to_host += frame(body);
    }
  }
  in.to_host.append(reinterpret_cast<const char*>(data + at), size - at);
  return in;
}

// The browser's side of one page: writes to the host, and reads and answers what it sends.
class fake_browser {
 public:
  fake_browser(int to_host, int from_host, page_input&& in)
      : m_to_host(to_host), m_from_host(from_host), m_in(std::move(in)) {
    m_writer = std::thread(&fake_browser::write_all, this);
    m_reader = std::thread(&fake_browser::read_all, this);
  }

  // The page may go: the host has answered all it was sent, or has ended. The browser's threads
  // end once the host's descriptors are closed.
  void finish() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
    m_changed.notify_all();
  }

  void join() {
    m_writer.join();
    m_reader.join();
    ::close(m_from_host);
  }

 private:
  void put(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m_write_mutex);
    std::size_t done = 0;
    while (m_to_host >= 0 && done < bytes.size()) {
      const ssize_t put = ::write(m_to_host, bytes.data() + done, bytes.size() - done);
      if (put <= 0) {
        return;  // the host has gone
      }
      done += static_cast<std::size_t>(put);
    }
  }

  void write_all() {
    put(m_in.to_host);
    if (m_in.whole) {
      put(frame(R"({"t":"hello","url":"http://127.0.0.1:8000/page.html"})"));
      put(frame(R"({"t":"call","q":)" + std::to_string(k_sentinel) + R"(,"i":-1,"m":"x"})"));
      std::unique_lock<std::mutex> lock(m_mutex);
      m_changed.wait(lock, [this] { return m_done; });
    }
    std::lock_guard<std::mutex> lock(m_write_mutex);
    ::close(m_to_host);
    m_to_host = -1;
  }

  void read_all() {
    std::string buffer;
    std::string parts;
    char chunk[65536];
    for (;;) {
      const ssize_t got = ::read(m_from_host, chunk, sizeof chunk);
      if (got <= 0) {
        return;
      }
      buffer.append(chunk, static_cast<std::size_t>(got));
      std::uint32_t length = 0;
      while (buffer.size() >= sizeof length) {
        std::memcpy(&length, buffer.data(), sizeof length);
        check(length <= 1024 * 1024, "a message longer than the browser takes from a host");
        if (buffer.size() < sizeof length + length) {
          break;
        }
        nlohmann::json message =
            nlohmann::json::parse(buffer.substr(sizeof length, length), nullptr, false);
        buffer.erase(0, sizeof length + length);
        check(message.is_object() && message["t"].is_string(), "a message without its type");
        if (message["t"] == "part") {
          check(message["d"].is_string(), "a part without its text");
          parts += message["d"].get<std::string>();
          if (!message.value("end", false)) {
            continue;
          }
          message = nlohmann::json::parse(parts, nullptr, false);
          parts.clear();
          check(message.is_object() && message["t"].is_string(), "parts that join to no message");
        }
        take(message);
      }
    }
  }

  void take(const nlohmann::json& message) {
    const std::string type = message["t"].get<std::string>();
    check(type == "ready" || type == "created" || type == "ret" || type == "op" ||
              type == "release" || type == "error",
          "a message of a type the page does not know");
    if (type == "op") {
      if (m_next_answer < m_in.answers.size()) {
        put(frame(m_in.answers[m_next_answer++]));
      }
      put(frame(R"({"t":"answer","q":)" + message["q"].dump() + R"(,"ok":true,"v":{"$":"u"}})"));
    } else if (type == "ret" && message["q"] == k_sentinel) {
      finish();
    }
  }

  std::mutex m_write_mutex;
  int m_to_host;  // guarded by m_write_mutex
  const int m_from_host;
  const page_input m_in;
  std::size_t m_next_answer = 0;  // reader thread
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_done = false;
  std::thread m_writer;
  std::thread m_reader;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string plugin = set_up();
  // One for the process, made on the main thread. It outlives the library's own statics, so the
  // library is shut down by a handler of exit registered once it is loaded (run before those).
  static host::host_core& core = *new host::host_core;
  int to_host[2];
  int from_host[2];
  if (::pipe2(to_host, O_CLOEXEC) != 0 || ::pipe2(from_host, O_CLOEXEC) != 0) {
    std::perror("pipe2");
    std::abort();
  }
  fake_browser browser(to_host[1], from_host[0], split(data, size));
  {
    host::native_host::options opts;
    opts.plugin_path = plugin;
    opts.answer_timeout = std::chrono::milliseconds(2000);
    opts.end_timeout = std::chrono::seconds(15);
    host::native_channel channel(to_host[0], from_host[1]);
    host::native_host host(core, channel, opts);
    host.serve();
    browser.finish();
  }
  browser.join();
  static bool shut_down_at_exit = false;
  if (!shut_down_at_exit && core.library().initialized()) {
    shut_down_at_exit = true;
    std::atexit([] { core.shutdown(); });
  }
  return 0;
}
