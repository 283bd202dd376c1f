// A long record loaded from a file and posted, as a whole process, beside curl posting the same
// file to the same server:
//  - vocle: this program run again as a child (`--child full FILE URL`): it writes a
//    configuration of its own into a temporary folder, makes a studio, loads the 20 MB "raw"
//    file into record 0 (threaded_load_record), posts the record as "raw" (threaded_post_record),
//    waits for the result and exits;
//  - baseline: the same child doing all of that except the load and the post
//    (`--child baseline FILE URL`), which gives the process's own size;
//  - curl: `curl -F data=@FILE URL`, the file as one form part.
// The server is a blocking POSIX socket loop on 127.0.0.1 (port 0) in a thread of this process:
// it answers "Expect: 100-continue" (curl asks for it with a large body), reads each request's
// headers and body, discards the body, answers 200 and closes.
//
// Each iteration is one process, started by a small process of this program's own (see spawner)
// and timed from its start to its end (wait4); wait4's ru_maxrss is its peak resident size.
// After the runs: the wall time of vocle against curl, and vocle's peak against the record size
// over the baseline's peak, each with its target, and the baseline's own wall time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/make_shared.hpp>

#include "bench_discard_server.h"
#include "bench_reporter.h"
#include "bench_speech.h"
#include "core/foundation/function.h"
#include "core/foundation/settings.h"
#include "core/http/request_factory.h"
#include "core/studio/studio.h"
#include "framework/module_path.h"

namespace {

constexpr std::size_t record_size = 20 * 1000 * 1000;

// ---- the child ----

// A page callback that keeps the first list it gets.
class result_wait : public vocle::function {
 public:
  FB::variant call(const FB::VariantList& args) override {
    keep(args);
    return FB::variant();
  }
  void call_async(const FB::VariantList& args) override { keep(args); }

  // The list, or an empty one after a minute without it.
  FB::VariantList wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_arrived.wait_for(lock, std::chrono::minutes(1), [&] { return m_got; });
    return m_list;
  }

 private:
  void keep(const FB::VariantList& args) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_got) {
        return;
      }
      m_list = args;
      m_got = true;
    }
    m_arrived.notify_all();
  }

  std::mutex m_mutex;
  std::condition_variable m_arrived;
  bool m_got = false;
  FB::VariantList m_list;
};

bool succeeded(const FB::VariantList& list, const char* what) {
  if (!list.empty() && list[0].convert_cast<bool>()) {
    return true;
  }
  std::fprintf(stderr, "%s failed: %s\n", what,
               list.size() > 1 ? list[1].convert_cast<std::string>().c_str() : "no result");
  return false;
}

int run_child(const std::string& mode, const std::string& file, const std::string& url) {
  // The settings announce themselves on the standard output, which the benchmark table uses.
  if (!std::freopen("/dev/null", "w", stdout)) {
    return 2;
  }
  bench::scratch_dir dir;
  std::ofstream(dir.file("vocle.conf"))
      << "[log]\nlogconfig=false\nlogdevice=false\n[system]\nfile_permission=all\n";
  std::ofstream(dir.file("lang.conf"))
      << "[en_US]\nLOAD_RECORD_FAILED=load failed\nZRV_ERR_NET_HTTP=transfer failed: %1%\n";
  FB::setModulePath(dir.file("libnpvocle.so"));
  vocle::settings::reset();
  int code = 0;
  {
    vocle::audio::studio studio;
    vocle::http::request_factory::instance();
    if (mode == "full") {
      auto loaded = boost::make_shared<result_wait>();
      studio.threaded_load_record(0, "raw", file, false, loaded);
      if (!succeeded(loaded->wait(), "load")) {
        code = 1;
      } else {
        auto posted = boost::make_shared<result_wait>();
        studio.threaded_post_record(0, "raw", url, "", posted, vocle::function_ptr(),
                                    studio.create_task(-1));
        if (!succeeded(posted->wait(), "post")) {
          code = 1;
        }
      }
    } else if (mode != "baseline") {
      std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
      code = 2;
    }
  }
  if (!vocle::audio::studio::shutdown_workers()) {
    code = 1;
  }
  return code;
}

// ---- the parent ----

// The folder, the record file and the server, made once for every run.
struct rig {
  bench::scratch_dir dir;
  std::string file = dir.file("record.raw");
  bench::discard_server server;

  rig() {
    // Not all one value, so nothing along the way can shortcut the bytes.
    std::vector<char> bytes(record_size);
    std::uint32_t x = 7;
    for (char& c : bytes) {
      x = x * 1664525u + 1013904223u;
      c = static_cast<char>(x >> 24);
    }
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out.flush()) {
      throw std::runtime_error("cannot write " + file);
    }
  }
};

rig* g_rig = nullptr;

struct process_run {
  bool ok = false;
  double seconds = 0;
  long maxrss_kb = 0;
  std::string error;
};

// Starts the measured processes. A process's peak (ru_maxrss) counts the pages of the process
// that started it, as they were when it did (a vfork also counts that process's own peak): so
// they are started by a small process of their own, forked at the very start of main, before
// this one holds the record, the server and the benchmark library's state.
class spawner {
 public:
  spawner() {
    if (::pipe(m_requests) != 0 || ::pipe(m_replies) != 0) {
      throw std::runtime_error("pipe failed");
    }
    m_pid = ::fork();
    if (m_pid < 0) {
      throw std::runtime_error("fork failed");
    }
    if (m_pid == 0) {
      ::close(m_requests[1]);
      ::close(m_replies[0]);
      serve(m_requests[0], m_replies[1]);
      ::_exit(0);
    }
    ::close(m_requests[0]);
    ::close(m_replies[1]);
  }

  ~spawner() {
    ::close(m_requests[1]);  // the spawner reads the end and leaves
    ::close(m_replies[0]);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }

  spawner(const spawner&) = delete;
  spawner& operator=(const spawner&) = delete;

  // Runs the program to its end with its output on ours.
  process_run run(const std::vector<std::string>& args) {
    std::string request;
    for (const std::string& a : args) {
      request += a;
      request += '\0';
    }
    request += '\0';  // an empty argument ends the list
    process_run result;
    reply r{};
    if (!write_all(m_requests[1], request.data(), request.size()) ||
        !read_all(m_replies[0], &r, sizeof r)) {
      result.error = "the spawner has gone";
      return result;
    }
    result.seconds = r.seconds;
    result.maxrss_kb = r.maxrss_kb;
    result.ok = r.started == 0 && WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0;
    if (r.started != 0) {
      result.error = "cannot start " + args.at(0) + ": " + std::strerror(r.started);
    } else if (!result.ok) {
      result.error = args.at(0) + " ended with status " + std::to_string(r.status);
    }
    return result;
  }

 private:
  struct reply {
    int started;  // 0, or the errno of the failed start
    int status;
    double seconds;
    long maxrss_kb;
  };

  static bool write_all(int fd, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n) {
      const ssize_t done = ::write(fd, p, n);
      if (done < 0 && errno == EINTR) {
        continue;
      }
      if (done <= 0) {
        return false;
      }
      p += done;
      n -= std::size_t(done);
    }
    return true;
  }

  static bool read_all(int fd, void* data, std::size_t n) {
    char* p = static_cast<char*>(data);
    while (n) {
      const ssize_t done = ::read(fd, p, n);
      if (done < 0 && errno == EINTR) {
        continue;
      }
      if (done <= 0) {
        return false;
      }
      p += done;
      n -= std::size_t(done);
    }
    return true;
  }

  // Reads argument lists until the parent closes its end; starts each, waits for it, replies.
  static void serve(int requests, int replies) {
    std::vector<std::string> args;
    std::string current;
    char c = 0;
    while (read_all(requests, &c, 1)) {
      if (c != '\0') {
        current += c;
        continue;
      }
      if (!current.empty()) {
        args.push_back(current);
        current.clear();
        continue;
      }
      std::vector<char*> argv;
      for (std::string& a : args) {
        argv.push_back(&a[0]);
      }
      argv.push_back(nullptr);
      reply r{};
      const auto start = std::chrono::steady_clock::now();
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::execvp(argv[0], argv.data());
        ::_exit(127);
      }
      if (pid < 0) {
        r.started = errno;
      } else {
        rusage usage{};
        while (::wait4(pid, &r.status, 0, &usage) < 0 && errno == EINTR) {
        }
        r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        r.maxrss_kb = usage.ru_maxrss;
      }
      if (!write_all(replies, &r, sizeof r)) {
        return;
      }
      args.clear();
    }
  }

  int m_requests[2] = {-1, -1};
  int m_replies[2] = {-1, -1};
  pid_t m_pid = -1;
};

spawner* g_spawner = nullptr;

// The peak resident sizes seen by each benchmark, for the figures after the runs.
std::map<std::string, std::vector<long> > g_peaks;

void time_process(benchmark::State& state, const std::string& name,
                  const std::vector<std::string>& args, bool posts) {
  for (auto _ : state) {
    const process_run run = g_spawner->run(args);
    if (run.ok && posts && g_rig->server.last_body() < record_size) {
      state.SkipWithError("the record did not reach the server whole");
      break;
    }
    if (!run.ok) {
      state.SkipWithError(run.error.c_str());
      break;
    }
    state.SetIterationTime(run.seconds);
    g_peaks[name].push_back(run.maxrss_kb);
  }
}

std::string own_program() {
  std::vector<char> path(4096);
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (n <= 0) {
    throw std::runtime_error("cannot find this program");
  }
  return std::string(path.data(), std::size_t(n));
}

std::vector<std::string> child(const std::string& mode) {
  return {own_program(), "--child", mode, g_rig->file, g_rig->server.url()};
}

void BM_vocle_load_post(benchmark::State& state) {
  time_process(state, "BM_vocle_load_post", child("full"), true);
}
BENCHMARK(BM_vocle_load_post)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_vocle_baseline(benchmark::State& state) {
  time_process(state, "BM_vocle_baseline", child("baseline"), false);
}
BENCHMARK(BM_vocle_baseline)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_curl(benchmark::State& state) {
  time_process(
      state, "BM_curl",
      {"curl", "-sS", "-f", "-o", "/dev/null", "-F", "data=@" + g_rig->file, g_rig->server.url()},
      true);
}
BENCHMARK(BM_curl)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

double median_mib(const std::vector<long>& kb) {
  std::vector<long> sorted(kb);
  std::sort(sorted.begin(), sorted.end());
  return double(sorted[sorted.size() / 2]) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--child") {
    return run_child(argv[2], argv[3], argv[4]);
  }
  spawner processes;
  g_spawner = &processes;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  rig r;
  g_rig = &r;
  bench::keeping_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& s = reporter.seconds;
  const double record_mib = double(record_size) / (1024.0 * 1024.0);
  std::printf(
      "\n%.0f MB \"raw\" record (%.1f MiB): load_record + post_record in a process of its "
      "own, beside curl -F data=@file, to a discard server on 127.0.0.1\n",
      double(record_size) / 1e6, record_mib);
  if (s.count("BM_vocle_load_post") && s.count("BM_curl")) {
    const double ours = s.at("BM_vocle_load_post");
    const double curl = s.at("BM_curl");
    std::printf("wall time: vocle %.1f ms, curl %.1f ms, ratio %.2fx (target: at most 2x)\n",
                ours * 1e3, curl * 1e3, ours / curl);
    if (s.count("BM_vocle_baseline")) {
      const double base = s.at("BM_vocle_baseline");
      std::printf("wall time of the baseline process (no load, no post): %.1f ms\n", base * 1e3);
    }
  }
  if (g_peaks.count("BM_vocle_load_post") && g_peaks.count("BM_vocle_baseline")) {
    const double peak = median_mib(g_peaks.at("BM_vocle_load_post"));
    const double base = median_mib(g_peaks.at("BM_vocle_baseline"));
    std::printf(
        "peak memory: vocle %.1f MiB, baseline %.1f MiB: baseline + %.2fx the record "
        "(target: at most 1.3x)\n",
        peak, base, (peak - base) / record_mib);
  }
  if (g_peaks.count("BM_curl")) {
    std::printf("peak memory: curl %.1f MiB\n", median_mib(g_peaks.at("BM_curl")));
  }
  g_rig = nullptr;
  g_spawner = nullptr;
  return 0;
}
