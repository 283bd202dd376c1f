// The recording and stop workers under real-time pacing. A private JACK server (dummy driver,
// 16000 Hz, 1024 frames per period) is started as a child process, and the ALSA default device
// is routed to it through plug -> jack, so the stream callbacks come once per block as on real
// hardware. Measured:
//   - the time from threaded_stop to the stop's report and to the recording's report, over
//     recordings stopped at varying points of the block;
//   - the time a page takes to close (its studio to be destroyed) while it records, which
//     includes stopping the stream, and the time until the worker has closed the stream, over
//     closes at varying points of the block;
//   - the CPU time of the whole process per second of recording, over a recording of several
//     seconds, beside the same process idle for as long.
// Every wait is bounded, and a watchdog ends the program if anything hangs. When jackd cannot
// run here, the program says why and exits 0.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>
#include <boost/any.hpp>
#include <boost/make_shared.hpp>
#include <portaudiocpp/PortAudioCpp.hxx>

#include "bench_speech.h"
#include "core/audio/audio_buffer.h"
#include "core/foundation/function.h"
#include "core/foundation/settings.h"
#include "core/studio/studio.h"
#include "framework/module_path.h"

extern char** environ;

namespace {

typedef std::chrono::steady_clock clock_type;

constexpr double rate = 16000.0;
constexpr double block_ms = 1024.0 / rate * 1000.0;
constexpr double poll_ms = 50.0;
constexpr double stop_target_ms = block_ms + poll_ms;
constexpr double cpu_target_percent = 1.0;
constexpr int record_seconds = 5;
const std::chrono::seconds report_deadline(5);

// Private to this process, so that no other server is taken for ours.
const std::string server_name = "vocle-bench-workers-" + std::to_string(::getpid());

double ms_between(clock_type::time_point from, clock_type::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// A page callback that keeps every list it gets and the time it came.
class timed_function : public vocle::function {
 public:
  FB::variant call(const FB::VariantList& args) override {
    record(args);
    return FB::variant();
  }
  void call_async(const FB::VariantList& args) override { record(args); }

  bool wait_for(std::size_t n, std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, deadline, [&] { return m_times.size() >= n; });
  }
  clock_type::time_point time(std::size_t i) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_times.at(i);
  }
  FB::VariantList list(std::size_t i) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lists.at(i);
  }

 private:
  void record(const FB::VariantList& args) {
    const clock_type::time_point now = clock_type::now();
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_times.push_back(now);
      m_lists.push_back(args);
    }
    m_arrived.notify_all();
  }

  std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::vector<clock_type::time_point> m_times;
  std::vector<FB::VariantList> m_lists;
};

// jackd as a child process, ended by its pid.
class jack_server {
 public:
  // Starts the server and waits (bounded) until it takes clients; false with the reason.
  bool start(const std::string& log_file, std::string& why) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> args = {"jackd", "-n",    server_name, "--no-realtime", "-d", "dummy",
                                     "-r",    "16000", "-p",        "1024"};
    std::vector<char*> argv;
    for (std::string& a : args) {
      argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    const int rc = posix_spawnp(&m_pid, "jackd", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      m_pid = -1;
      why = std::string("jackd could not be started: ") + std::strerror(rc);
      return false;
    }
    const std::string wait_command =
        std::string("timeout 10 jack_wait -s ") + server_name + " -w -t 5 >/dev/null 2>&1";
    if (std::system(wait_command.c_str()) != 0 || !alive()) {
      why = "jackd did not come up within 5 s; its output:\n" + read_file(log_file);
      stop();
      return false;
    }
    return true;
  }

  bool alive() {
    if (m_pid <= 0) {
      return false;
    }
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      return false;
    }
    return true;
  }

  // SIGTERM, then SIGKILL if it has not gone within 3 s.
  void stop() {
    if (m_pid <= 0) {
      return;
    }
    kill(m_pid, SIGTERM);
    const clock_type::time_point until = clock_type::now() + std::chrono::seconds(3);
    int status = 0;
    while (waitpid(m_pid, &status, WNOHANG) == 0) {
      if (clock_type::now() > until) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_pid = -1;
  }

  ~jack_server() { stop(); }

  static std::string read_file(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

 private:
  pid_t m_pid = -1;
};

void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}

// The rig: the folder, the server, the configuration and the studio.
struct rig {
  bench::scratch_dir dir;
  jack_server jack;
  std::unique_ptr<vocle::audio::studio> studio;
  std::string device_name;
};

rig* g_rig = nullptr;

// Everything before the first measurement; false with the reason when it cannot run here.
bool set_up(rig& r, std::string& why) {
  setenv("JACK_NO_START_SERVER", "1", 1);
  setenv("JACK_DEFAULT_SERVER", server_name.c_str(), 1);
  if (!r.jack.start(r.dir.file("jackd.log"), why)) {
    return false;
  }

  const std::string alsa = r.dir.file("asound.conf");
  std::ofstream(alsa) << "pcm.!default { type asym\n"
                         "  capture.pcm { type plug; slave.pcm { type jack\n"
                         "    capture_ports { 0 system:capture_1 } } }\n"
                         "  playback.pcm { type plug; slave.pcm { type jack\n"
                         "    playback_ports { 0 system:playback_1 } } } }\n";
  setenv("ALSA_CONFIG_PATH", alsa.c_str(), 1);
  snd_lib_error_set_handler(&quiet_alsa);

  // Defaults throughout (16000 Hz, 1024 frames), no log, no device list in the log; message
  // texts for what the recording and stop workers can report.
  std::ofstream(r.dir.file("vocle.conf")) << "[log]\nlogconfig=false\nlogdevice=false\n";
  std::ofstream(r.dir.file("lang.conf"))
      << "[en_US]\n"
         "AUDIO_NO_INPUT_DEVICE=No microphone was found.\n"
         "AUDIO_INVALID_INPUT_DEVICE=The chosen microphone is not available.\n"
         "AUDIO_OPEN_INPUT_DEVICE_FAILURE=The microphone could not be opened.\n"
         "AUDIO_BUFFER_ALREADY_STOPPED=Nothing is recording or playing on this record.\n";
  FB::setModulePath(r.dir.file("libnpvocle.so"));
  vocle::settings::reset();

  try {
    vocle::audio::studio::initialize();
  } catch (const std::exception& e) {
    why = std::string("the audio system did not start: ") + e.what();
    return false;
  }
  const vocle::audio::studio::device_pair devices = vocle::audio::studio::choose_device();
  if (devices.first < 0) {
    why = "no input device over the JACK server";
    return false;
  }
  for (const auto& d : vocle::audio::studio::device_list()) {
    if (d.index == devices.first) {
      r.device_name = d.name + " (" + d.host_api + ")";
    }
  }
  r.studio.reset(new vocle::audio::studio());
  return true;
}

vocle::audio::studio::options_t long_recording() {
  // Nothing but a stop ends it: no wait for speech, no gap, no maximum within the run.
  vocle::audio::studio::options_t options;
  options["vad_max"] = 600.0;
  options["vad_wait"] = 600.0;
  options["vad_gap"] = 600.0;
  return options;
}

// A recording that runs: started, and at least `blocks` volume reports heard.
struct running_recording {
  boost::shared_ptr<timed_function> done = boost::make_shared<timed_function>();
  boost::shared_ptr<timed_function> volume = boost::make_shared<timed_function>();

  bool start(std::size_t blocks) {
    g_rig->studio->threaded_start_record(0, done, volume, long_recording());
    return volume->wait_for(blocks, report_deadline);
  }
};

// Stops the buffer and waits (bounded) for the stop's report; false when it did not come.
bool stop_and_wait(const boost::shared_ptr<timed_function>& stopped) {
  g_rig->studio->threaded_stop(0, stopped);
  return stopped->wait_for(1, report_deadline);
}

struct latency_figures {
  std::vector<double> stop_ms;
  std::vector<double> record_ms;
  int failures = 0;
};
latency_figures g_latency;

struct cpu_figures {
  bool measured = false;
  double wall_s = 0;
  double record_cpu_ms = 0;
  double idle_cpu_ms = 0;
  double idle_wall_s = 0;
  double blocks_per_s = 0;
};
cpu_figures g_cpu;

double process_cpu_ms() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

void BM_stop_to_reports(benchmark::State& state) {
  int round = 0;
  for (auto _ : state) {
    running_recording recording;
    if (!recording.start(2)) {
      ++g_latency.failures;
      state.SkipWithError("the recording did not start within 5 s");
      break;
    }
    // A different point inside the block each round.
    std::this_thread::sleep_for(std::chrono::microseconds(
        static_cast<long>((round++ * 23) % static_cast<int>(block_ms)) * 1000));
    auto stopped = boost::make_shared<timed_function>();
    const clock_type::time_point asked = clock_type::now();
    const bool stop_reported = stop_and_wait(stopped);
    const bool record_reported = recording.done->wait_for(1, report_deadline);
    if (!stop_reported || !record_reported) {
      ++g_latency.failures;
      state.SkipWithError("a report did not come within 5 s");
      break;
    }
    const FB::VariantList stop_result = stopped->list(0);
    const FB::VariantList record_result = recording.done->list(0);
    if (stop_result.empty() || !stop_result[0].convert_cast<bool>() || record_result.empty() ||
        !record_result[0].convert_cast<bool>()) {
      ++g_latency.failures;
      state.SkipWithError("a report was not [true, ...]");
      break;
    }
    const double stop_ms = ms_between(asked, stopped->time(0));
    const double record_ms = ms_between(asked, recording.done->time(0));
    g_latency.stop_ms.push_back(stop_ms);
    g_latency.record_ms.push_back(record_ms);
    state.SetIterationTime(stop_ms / 1000.0);
  }
  if (!g_latency.stop_ms.empty()) {
    state.counters["stop_ms_max"] =
        *std::max_element(g_latency.stop_ms.begin(), g_latency.stop_ms.end());
    state.counters["record_ms_max"] =
        *std::max_element(g_latency.record_ms.begin(), g_latency.record_ms.end());
  }
}
BENCHMARK(BM_stop_to_reports)->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);

std::vector<double> g_close_ms;
std::vector<double> g_closed_stream_ms;

// The worker has closed the buffer's stream and let the buffer go.
bool stream_closed(const vocle::audio::studio::buffer_ptr& b) {
  boost::mutex::scoped_lock lock(b->m_mutex);
  return b->m_status == vocle::audio::audio_buffer::status_idle && !b->m_owned;
}

void BM_close_during_recording(benchmark::State& state) {
  int round = 0;
  for (auto _ : state) {
    std::unique_ptr<vocle::audio::studio> page(new vocle::audio::studio());
    auto done = boost::make_shared<timed_function>();
    auto volume = boost::make_shared<timed_function>();
    page->threaded_start_record(0, done, volume, long_recording());
    if (!volume->wait_for(2, report_deadline)) {
      state.SkipWithError("the recording did not start within 5 s");
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(
        static_cast<long>((round++ * 23) % static_cast<int>(block_ms)) * 1000));
    const vocle::audio::studio::buffer_ptr b = page->get_buffer(0);
    const clock_type::time_point asked = clock_type::now();
    page.reset();
    const double close_ms = ms_between(asked, clock_type::now());
    const clock_type::time_point until = clock_type::now() + report_deadline;
    while (!stream_closed(b) && clock_type::now() < until) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (!stream_closed(b)) {
      state.SkipWithError("the stream was not closed within 5 s");
      break;
    }
    g_closed_stream_ms.push_back(ms_between(asked, clock_type::now()));
    g_close_ms.push_back(close_ms);
    state.SetIterationTime(close_ms / 1000.0);
  }
  if (!g_close_ms.empty()) {
    state.counters["close_ms_max"] = *std::max_element(g_close_ms.begin(), g_close_ms.end());
  }
}
BENCHMARK(BM_close_during_recording)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

void BM_record_cpu(benchmark::State& state) {
  for (auto _ : state) {
    // The process idle for as long first: what the rig itself costs (the JACK clients).
    const double idle_cpu0 = process_cpu_ms();
    const clock_type::time_point idle0 = clock_type::now();
    std::this_thread::sleep_for(std::chrono::seconds(record_seconds));
    g_cpu.idle_cpu_ms = process_cpu_ms() - idle_cpu0;
    g_cpu.idle_wall_s = ms_between(idle0, clock_type::now()) / 1000.0;

    running_recording recording;
    if (!recording.start(1)) {
      state.SkipWithError("the recording did not start within 5 s");
      break;
    }
    const double cpu0 = process_cpu_ms();
    const clock_type::time_point wall0 = clock_type::now();
    std::this_thread::sleep_for(std::chrono::seconds(record_seconds));
    const double cpu1 = process_cpu_ms();
    const clock_type::time_point wall1 = clock_type::now();
    auto stopped = boost::make_shared<timed_function>();
    if (!stop_and_wait(stopped) || !recording.done->wait_for(1, report_deadline)) {
      state.SkipWithError("a report did not come within 5 s");
      break;
    }
    g_cpu.measured = true;
    g_cpu.wall_s = ms_between(wall0, wall1) / 1000.0;
    g_cpu.record_cpu_ms = cpu1 - cpu0;
    // The volume reports, one per block, over the whole recording.
    std::size_t blocks = 0;
    while (recording.volume->wait_for(blocks + 1, std::chrono::milliseconds(0))) {
      ++blocks;
    }
    if (blocks > 1) {
      g_cpu.blocks_per_s =
          (blocks - 1) * 1000.0 /
          ms_between(recording.volume->time(0), recording.volume->time(blocks - 1));
    }
    state.SetIterationTime(g_cpu.wall_s);
    state.counters["cpu_pct_of_core"] = g_cpu.record_cpu_ms / 10.0 / g_cpu.wall_s;
    state.counters["idle_pct_of_core"] = g_cpu.idle_cpu_ms / 10.0 / g_cpu.idle_wall_s;
  }
}
BENCHMARK(BM_record_cpu)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

double mean(const std::vector<double>& v) {
  return std::accumulate(v.begin(), v.end(), 0.0) / v.size();
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

// One line of latency figures; the target is met when every run is within it.
void print_latency(const char* what, const std::vector<double>& v) {
  const double worst = *std::max_element(v.begin(), v.end());
  const std::size_t within =
      std::count_if(v.begin(), v.end(), [](double ms) { return ms <= stop_target_ms; });
  std::printf(
      "%s (%zu runs): mean %6.1f, median %6.1f, p90 %6.1f, max %6.1f ms; target <= %.0f ms "
      "(one block %.0f ms + one poll %.0f ms): %s (%zu of %zu runs within)\n",
      what, v.size(), mean(v), percentile(v, 0.5), percentile(v, 0.9), worst, stop_target_ms,
      block_ms, poll_ms, worst <= stop_target_ms ? "met" : "MISSED", within, v.size());
}

void print_figures() {
  std::printf("\nReal-time pacing: JACK dummy driver, 16000 Hz, 1024 frames; input device %s\n",
              g_rig->device_name.c_str());
  if (!g_latency.stop_ms.empty()) {
    print_latency("threaded_stop -> stop report     ", g_latency.stop_ms);
    print_latency("threaded_stop -> recording report", g_latency.record_ms);
  } else {
    std::printf("stop latency: not measured (%d failures)\n", g_latency.failures);
  }
  if (!g_close_ms.empty()) {
    print_latency("page close while recording       ", g_close_ms);
    const double closed_max =
        *std::max_element(g_closed_stream_ms.begin(), g_closed_stream_ms.end());
    std::printf("page close -> stream closed by its worker (%zu runs): mean %6.1f, max %6.1f ms\n",
                g_closed_stream_ms.size(), mean(g_closed_stream_ms), closed_max);
  } else {
    std::printf("page close: not measured\n");
  }
  if (g_cpu.measured) {
    const double record_pct = g_cpu.record_cpu_ms / 10.0 / g_cpu.wall_s;
    const double idle_pct = g_cpu.idle_cpu_ms / 10.0 / g_cpu.idle_wall_s;
    std::printf(
        "recording CPU over %.2f s (%.1f blocks/s): %.2f ms per second = %.3f%% of one core "
        "(process idle with the rig: %.3f%%; recording above idle: %.3f%%)  target < %.0f%%: %s\n",
        g_cpu.wall_s, g_cpu.blocks_per_s, g_cpu.record_cpu_ms / g_cpu.wall_s, record_pct, idle_pct,
        record_pct - idle_pct, cpu_target_percent,
        record_pct < cpu_target_percent ? "met" : "MISSED");
  } else {
    std::printf("recording CPU: not measured\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // However the audio system behaves, the program ends: the server is killed and the program
  // leaves after a generous limit.
  static std::atomic<bool> finished{false};
  static rig* watched = nullptr;
  std::thread([] {
    const clock_type::time_point until = clock_type::now() + std::chrono::seconds(180);
    while (!finished && clock_type::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!finished) {
      std::fprintf(stderr, "bench_workers: still running after 180 s, giving up\n");
      if (watched) {
        watched->jack.stop();
      }
      std::fflush(stdout);
      _exit(1);
    }
  }).detach();

  rig r;
  watched = &r;
  g_rig = &r;
  std::string why;
  if (!set_up(r, why)) {
    std::printf("bench_workers: cannot run under real-time pacing here: %s\n", why.c_str());
    r.studio.reset();
    vocle::audio::studio::shutdown_workers();
    if (portaudio::System::exists()) {
      portaudio::System::terminate();
    }
    r.jack.stop();
    finished = true;
    return 0;
  }
  benchmark::RunSpecifiedBenchmarks();
  print_figures();
  // Every recording was stopped above; the workers are over before the audio system goes.
  r.studio.reset();
  vocle::audio::studio::shutdown_workers();
  portaudio::System::terminate();
  r.jack.stop();
  finished = true;
  return 0;
}
