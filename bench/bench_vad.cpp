// The voice-activity detector beside the bare Speex preprocessor, in one run: vad::process over
// 60 s of speech in blocks of 1024 samples, and the preprocessor alone (set up by the detector's
// own routine) over the same 160-sample frames, each copied out first as the detector's frames
// are. The detector is built so that it never finishes within the minute, so every frame is
// judged. After the benchmarks it prints the ratio of the medians and the target it is held to.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <speex/speex_preprocess.h>

#include "bench_speech.h"
#include "core/audio/vad.h"
#include "core/foundation/settings.h"
#include "framework/module_path.h"

namespace {

constexpr std::size_t rate = bench::speech_rate;
constexpr std::size_t seconds = bench::speech_seconds;
constexpr std::size_t block = 1024;

// The sentence spoken by espeak-ng again and again, 60 s in all; and an empty configuration for
// the detector's settings, in a folder of the bench's own.
struct fixture {
  bench::scratch_dir dir;
  std::vector<std::int16_t> samples;

  fixture() {
    std::ofstream(dir.file("vocle.conf")) << "; defaults\n";
    std::ofstream(dir.file("lang.conf")) << "[en_US]\nAUDIO_NO_INPUT_DEVICE=no input\n";
    FB::setModulePath(dir.file("libnpvocle.so"));
    vocle::settings::reset();
    samples = bench::speech_minute(dir, "hello world this is a test of the detector");
  }
};

const fixture& speech() {
  static const fixture f;
  return f;
}

void BM_vad_process(benchmark::State& state) {
  const std::vector<std::int16_t>& samples = speech().samples;
  for (auto _ : state) {
    // A gap, wait and maximum beyond the minute: nothing ends it early.
    vocle::audio::vad detector(rate, 100.0, 100.0, 600.0, false);
    std::uint32_t volume = 0;
    bool finished = false;
    for (std::size_t at = 0; at < samples.size(); at += block) {
      const std::size_t n = std::min(block, samples.size() - at);
      finished |= detector.process(samples.data() + at, n, &volume);
    }
    benchmark::DoNotOptimize(finished);
    benchmark::DoNotOptimize(volume);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples.size()));
}
BENCHMARK(BM_vad_process)->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(9);

void BM_bare_preprocessor(benchmark::State& state) {
  const std::vector<std::int16_t>& samples = speech().samples;
  const std::size_t frame = vocle::audio::vad::frame_size;
  for (auto _ : state) {
    SpeexPreprocessState* preprocessor = vocle::audio::vad::start_preprocessor(rate);
    if (!preprocessor) {
      state.SkipWithError("no Speex preprocessor");
      break;
    }
    std::int16_t copy[vocle::audio::vad::frame_size];
    for (std::size_t at = 0; at + frame <= samples.size(); at += frame) {
      std::copy(samples.begin() + at, samples.begin() + at + frame, copy);
      speex_preprocess_run(preprocessor, copy);
      benchmark::DoNotOptimize(copy);
    }
    speex_preprocess_state_destroy(preprocessor);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples.size()));
}
BENCHMARK(BM_bare_preprocessor)->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(9);

// Shows the runs as usual and keeps each benchmark's median CPU seconds per iteration.
class keeping_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" &&
          !run.error_occurred && run.iterations > 0) {
        m_seconds[run.run_name.function_name] =
            run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      }
    }
  }
  std::map<std::string, double> m_seconds;
};

}  // namespace

int main(int argc, char** argv) {
  // Repetitions of the two take turns, so that a busy machine slows both alike; the medians are
  // compared.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  argc = count;
  argv = args.data();
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  speech();
  keeping_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto vad = reporter.m_seconds.find("BM_vad_process");
  const auto bare = reporter.m_seconds.find("BM_bare_preprocessor");
  if (vad != reporter.m_seconds.end() && bare != reporter.m_seconds.end() && bare->second > 0) {
    std::printf("\n60 s of speech at 16 kHz in blocks of %zu samples\n", block);
    std::printf("vad::process: %.0fx real time; bare Speex preprocessor: %.0fx real time\n",
                seconds / vad->second, seconds / bare->second);
    std::printf("vad::process / bare preprocessor: %.3f (target: at most 1.05)\n",
                vad->second / bare->second);
  }
  return 0;
}
