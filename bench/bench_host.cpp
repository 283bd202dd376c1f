// vocle-host's round trip for a cheap call, get_sample_rate, over its pipes as the browser drives
// it (32-bit native-order length, then JSON), with and without a 50 MB text in recognition_url:
// an answer carries only the properties that changed, and finding which must not cost more when
// an unchanged property is large. Prints both and their ratio beside the target (at most 1.1x).
//
// Each benchmark has a host of its own, started and given its page and element before its first
// timed call; the long text is set once, before them. The medians of their repetitions, which
// take turns, make the ratio.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/filesystem.hpp>
#include <nlohmann/json.hpp>

#include "bench_reporter.h"
#include "bench_speech.h"

extern char** environ;

namespace {

const char k_page[] = "http://127.0.0.1:8000/page.html";
const char k_type[] = "application/x-tarvix-vocle";
const std::size_t k_long_text = 50u * 1000 * 1000;

// The virtual microphone and speaker of the host tests: files, no sound card.
const char k_alsa[] =
    "pcm.vocle_mic { type asym; capture.pcm { type plug; slave { pcm { type file; slave.pcm { "
    "type null }; file \"/dev/null\" infile \"/dev/zero\"; format \"raw\" }; format S16_LE; rate "
    "16000; channels 1 } } }\n"
    "pcm.vocle_speaker { type asym; playback.pcm { type plug; slave { pcm { type file; slave.pcm "
    "{ type null } file \"/dev/null\"; format \"raw\" }; format S16_LE; rate 16000; channels 1 } "
    "} }\n"
    "pcm.!default { type asym; capture.pcm \"vocle_mic\"; playback.pcm \"vocle_speaker\" }\n";

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path);
  }
}

// The library in a folder of its own with the configuration beside it (it reads the folder it
// was loaded from): pages of 127.0.0.1 are trusted, nothing is logged.
struct world {
  bench::scratch_dir dir;
  std::string library;

  world() {
    const boost::filesystem::path lib = dir.path / "lib";
    boost::filesystem::create_directories(lib);
    library = (lib / "libnpvocle.so").string();
    boost::filesystem::create_symlink(VOCLE_PLUGIN_LIBRARY, library);
    boost::filesystem::copy_file(std::string(VOCLE_SOURCE_DIR) + "/conf/lang.conf",
                                 lib / "lang.conf");
    write_file((lib / "vocle.conf").string(),
               "[log]\nlogconfig=false\nlogdevice=false\n[system]\n"
               "trusted=http://127\\.0\\.0\\.1:[0-9]+/.*\n");
    write_file(dir.file("asound.conf"), k_alsa);
  }
};

world& the_world() {
  static world w;
  return w;
}

// One vocle-host as the browser starts it, its standard error into the world's folder.
class host {
 public:
  host() {
    int in[2];
    int out[2];
    // Close-on-exec: a host started later must not hold this one's pipes open.
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      throw std::runtime_error("no pipes");
    }
    world& w = the_world();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string log = w.dir.file("host.log");
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      env.emplace_back(*e);
    }
    env.push_back("ALSA_CONFIG_PATH=" + w.dir.file("asound.conf"));
    env.push_back("HOME=" + w.dir.path.string());
    env.push_back("XDG_DATA_HOME=" + w.dir.file("data"));
    env.push_back("JACK_NO_START_SERVER=1");
    std::vector<char*> envp;
    for (std::string& e : env) {
      envp.push_back(&e[0]);
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = {VOCLE_HOST, "--plugin", w.library,
                                     "chrome-extension://bench/"};
    std::vector<char*> argv;
    for (std::string& a : args) {
      argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    m_to = in[1];
    m_from = out[0];
    if (spawned != 0) {
      throw std::runtime_error(std::string("cannot start vocle-host: ") + std::strerror(spawned));
    }
    send({{"t", "hello"}, {"url", k_page}});
    until("ready");
    send({{"t", "create"}, {"i", 1}, {"type", k_type}});
    if (!until("created").value("ok", false)) {
      throw std::runtime_error("vocle-host made no element; see " + log);
    }
  }

  ~host() {
    ::close(m_to);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    ::close(m_from);
  }

  // A call or a write and its answer.
  nlohmann::json ask(nlohmann::json message) {
    message["q"] = ++m_q;
    message["i"] = 1;
    send(message);
    for (;;) {
      nlohmann::json answer = until("ret");
      if (answer.value("q", std::uint64_t(0)) == m_q) {
        return answer;
      }
    }
  }

 private:
  void send(const nlohmann::json& message) {
    const std::string body = message.dump();
    const std::uint32_t length = static_cast<std::uint32_t>(body.size());
    std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
    frame += body;
    for (std::size_t sent = 0; sent < frame.size();) {
      const ssize_t n = ::write(m_to, frame.data() + sent, frame.size() - sent);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        throw std::runtime_error("vocle-host stopped reading");
      }
      sent += static_cast<std::size_t>(n);
    }
  }

  void read_all(char* into, std::size_t size) {
    for (std::size_t got = 0; got < size;) {
      const ssize_t n = ::read(m_from, into + got, size - got);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        throw std::runtime_error("vocle-host ended");
      }
      got += static_cast<std::size_t>(n);
    }
  }

  nlohmann::json receive() {
    std::string joined;
    for (;;) {
      std::uint32_t length = 0;
      read_all(reinterpret_cast<char*>(&length), sizeof length);
      std::string body(length, '\0');
      read_all(&body[0], length);
      nlohmann::json message = nlohmann::json::parse(body);
      if (message.value("t", "") != "part") {
        return message;
      }
      // A message longer than the browser takes comes in parts.
      joined += message.value("d", "");
      if (message.value("end", false)) {
        return nlohmann::json::parse(joined);
      }
    }
  }

  nlohmann::json until(const std::string& type) {
    for (;;) {
      nlohmann::json message = receive();
      if (message.value("t", "") == type) {
        return message;
      }
    }
  }

  pid_t m_pid = 0;
  int m_to = -1;
  int m_from = -1;
  std::uint64_t m_q = 0;
};

// The two hosts live through every run, so that the runs of each may take turns (see main).
host& plain_host() {
  static host h;
  return h;
}

host& long_text_host() {
  static std::unique_ptr<host> h = [] {
    std::unique_ptr<host> made(new host());
    const nlohmann::json set = {
        {"t", "set"}, {"n", "recognition_url"}, {"v", std::string(k_long_text, 'u')}};
    const nlohmann::json answer = made->ask(set);
    if (!answer.value("ok", false) ||
        answer["p"].value("recognition_url", "").size() != k_long_text) {
      throw std::runtime_error("the long text was not set");
    }
    return made;
  }();
  return *h;
}

void round_trips(benchmark::State& state, host& h) {
  const nlohmann::json call = {
      {"t", "call"}, {"m", "get_sample_rate"}, {"a", nlohmann::json::array()}};
  for (auto _ : state) {
    const nlohmann::json answer = h.ask(call);
    if (!answer.value("ok", false) || !answer["p"].empty()) {
      state.SkipWithError("get_sample_rate failed, or its answer carried properties");
      return;
    }
  }
}

// Real time: the work is the host's, in another process. Many short repetitions, whose median
// counts.
void timed(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMicrosecond)->UseRealTime()->MinTime(0.5)->Repetitions(15);
}

void BM_get_sample_rate(benchmark::State& state) {
  round_trips(state, plain_host());
}
BENCHMARK(BM_get_sample_rate)->Apply(timed);

void BM_get_sample_rate_50MB_set(benchmark::State& state) {
  round_trips(state, long_text_host());
}
BENCHMARK(BM_get_sample_rate_50MB_set)->Apply(timed);

// Keeps the median of each benchmark's repetitions besides.
class median_reporter : public bench::keeping_reporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    keeping_reporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" &&
          run.iterations > 0) {
        medians[run.run_name.function_name] =
            run.real_accumulated_time / static_cast<double>(run.iterations);
      }
    }
  }
  std::map<std::string, double> medians;
};

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  // The runs of the two take turns, so that both see the same load of the machine.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
    return 1;
  }
  median_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const auto& s = reporter.medians;
  if (s.count("BM_get_sample_rate") && s.count("BM_get_sample_rate_50MB_set")) {
    const double plain = s.at("BM_get_sample_rate");
    const double long_set = s.at("BM_get_sample_rate_50MB_set");
    std::printf(
        "\nget_sample_rate through vocle-host, median round trip: %.1f us, with a 50 MB "
        "recognition_url set %.1f us, ratio %.2fx (target: at most 1.1x)\n",
        plain * 1e6, long_set * 1e6, long_set / plain);
  }
  return 0;
}
