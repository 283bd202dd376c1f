// Encoders against their peers, in one run:
//  - adpcm::make_wav over 60 s of speech beside `sox -e ima-adpcm` on the same samples. make_wav
//    is the library call timed in this process; sox is timed as a whole child process (wall time
//    from spawn to exit: start-up, reading the raw input, encoding, writing the WAV file into a
//    temporary folder), and its user + system CPU time is shown beside it.
//  - the "mp3" encoder beside the bare LAME calls (same settings, same 4096-sample chunks, the
//    bytes collected in a growing vector) on the same samples.
// After the benchmarks it prints the ratios and the targets they are held to.
#include <portaudio.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <lame/lame.h>

#include "bench_speech.h"
#include "core/encoding/adpcm.h"
#include "core/encoding/encoding.h"

extern char** environ;

namespace {

constexpr std::size_t rate = bench::speech_rate;
constexpr std::size_t seconds = bench::speech_seconds;

struct fixture {
  bench::scratch_dir dir;
  std::vector<std::int16_t> samples =
      bench::speech_minute(dir, "hello world this is a test of the encoders");
  std::string raw = dir.file("speech60.raw");  // the samples as a raw S16_LE file, sox's input

  fixture() {
    std::ofstream out(raw, std::ios::binary);
    out.write(reinterpret_cast<const char*>(samples.data()),
              static_cast<std::streamsize>(samples.size() * 2));
    if (!out) {
      throw std::runtime_error("cannot write " + raw);
    }
  }
};

fixture& speech() {
  static fixture f;
  return f;
}

void BM_make_wav(benchmark::State& state) {
  const std::vector<std::int16_t>& samples = speech().samples;
  for (auto _ : state) {
    boost::shared_ptr<vocle::binary> image = vocle::adpcm::make_wav(samples);
    benchmark::DoNotOptimize(image->begin());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples.size()));
}
BENCHMARK(BM_make_wav)->Unit(benchmark::kMillisecond);

// One sox process per iteration; the time is its wall time from spawn to exit.
void BM_sox_ima_adpcm(benchmark::State& state) {
  const std::string& input = speech().raw;
  const std::string output = speech().dir.file("sox.wav");
  std::vector<std::string> args = {
      "sox", "-D", "-t", "raw", "-r",  "16000", "-e",        "signed-integer",
      "-b",  "16", "-c", "1",   input, "-e",    "ima-adpcm", output};
  std::vector<char*> argv;
  for (std::string& a : args) {
    argv.push_back(&a[0]);
  }
  argv.push_back(nullptr);
  double cpu = 0.0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "sox", nullptr, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("cannot start sox");
      break;
    }
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("sox failed");
      break;
    }
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    cpu += usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
           usage.ru_stime.tv_usec / 1e6;
  }
  state.counters["child_cpu_ms"] =
      benchmark::Counter(cpu * 1000.0 / std::max<double>(1.0, double(state.iterations())));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(speech().samples.size()));
}
BENCHMARK(BM_sox_ima_adpcm)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_mp3_encoding(benchmark::State& state) {
  const std::vector<std::int16_t>& samples = speech().samples;
  for (auto _ : state) {
    vocle::binary out(std::size_t(0));
    vocle::encoding::create("mp3", double(rate), paInt16, 1, false)->encode(out, samples);
    benchmark::DoNotOptimize(out.begin());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples.size()));
}
BENCHMARK(BM_mp3_encoding)->Unit(benchmark::kMillisecond);

void BM_bare_lame(benchmark::State& state) {
  const std::vector<std::int16_t>& samples = speech().samples;
  const int chunk = 4096;
  const int scratch_size = chunk * 5 / 4 + 7200;
  for (auto _ : state) {
    std::vector<char> out;
    std::vector<unsigned char> scratch(static_cast<std::size_t>(scratch_size));
    lame_t lame = lame_init();
    lame_set_num_channels(lame, 1);
    lame_set_in_samplerate(lame, int(rate));
    lame_set_out_samplerate(lame, int(rate));
    lame_init_params(lame);
    for (std::size_t done = 0; done < samples.size(); done += chunk) {
      const int count = int(std::min<std::size_t>(chunk, samples.size() - done));
      const int r = lame_encode_buffer(lame, samples.data() + done, nullptr, count, scratch.data(),
                                       scratch_size);
      if (r > 0) {
        out.insert(out.end(), scratch.begin(), scratch.begin() + r);
      }
    }
    const int r = lame_encode_flush(lame, scratch.data(), scratch_size);
    if (r > 0) {
      out.insert(out.end(), scratch.begin(), scratch.begin() + r);
    }
    lame_close(lame);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples.size()));
}
BENCHMARK(BM_bare_lame)->Unit(benchmark::kMillisecond);

// Shows the runs as usual and keeps each one's wall and CPU seconds per iteration for the ratios.
// The CPU time of the sox run is its child's (user + system), not this process's.
class keeping_reporter : public benchmark::ConsoleReporter {
 public:
  keeping_reporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  struct times {
    double wall;
    double cpu;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
        const double n = static_cast<double>(run.iterations);
        times t{run.real_accumulated_time / n, run.cpu_accumulated_time / n};
        const auto child = run.counters.find("child_cpu_ms");
        if (child != run.counters.end()) {
          t.cpu = child->second.value / 1000.0;
        }
        seconds[run.run_name.function_name] = t;
      }
    }
  }
  std::map<std::string, times> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  speech();  // the fixture is made before any timing starts
  keeping_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& s = reporter.seconds;
  const auto has = [&](const char* name) { return s.count(name) != 0; };
  const double samples = double(rate * seconds);
  std::printf("\n60 s of speech at 16 kHz (%.0f samples); ratios by wall time, then CPU time\n",
              samples);
  if (has("BM_make_wav")) {
    const auto& m = s.at("BM_make_wav");
    std::printf("make_wav: %.1f M samples/s wall, %.1f M samples/s CPU (target: at least 80)\n",
                samples / m.wall / 1e6, samples / m.cpu / 1e6);
  }
  if (has("BM_make_wav") && has("BM_sox_ima_adpcm")) {
    const auto& m = s.at("BM_make_wav");
    const auto& x = s.at("BM_sox_ima_adpcm");
    std::printf(
        "sox -e ima-adpcm (whole child process) / make_wav (call in process): %.1fx wall, %.1fx "
        "CPU (target: at least 10x)\n",
        x.wall / m.wall, x.cpu / m.cpu);
  }
  if (has("BM_mp3_encoding") && has("BM_bare_lame")) {
    const auto& e = s.at("BM_mp3_encoding");
    const auto& l = s.at("BM_bare_lame");
    std::printf(
        "\"mp3\" encoder / bare LAME: %.3f wall, %.3f CPU (target: at most 1.05); %.0fx real "
        "time\n",
        e.wall / l.wall, e.cpu / l.cpu, double(seconds) / e.cpu);
  }
  return 0;
}
