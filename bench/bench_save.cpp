// What a save costs beside the floor of the same durability, in the same run: a plain write,
// fsync and rename of the same bytes over the same file. Two saves: a one-minute record (16 kHz
// mono 16-bit) encoded as "wav" and saved by the studio's save path, and 100 MB of bytes saved
// by the byte buffer. Run on a disk (the temporary folder must not be a tmpfs), so the flushes
// are real.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "bench_speech.h"
#include "core/encoding/encoding.h"
#include "core/foundation/binary.h"
#include "core/studio/studio.h"

namespace {

bench::scratch_dir& scratch() {
  static bench::scratch_dir dir;
  return dir;
}

std::vector<std::int16_t> minute_samples() {
  std::vector<std::int16_t> samples(16000 * 60);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(i * 7);
  }
  return samples;
}

boost::shared_ptr<vocle::binary> encode_wav(const std::vector<std::int16_t>& samples) {
  boost::shared_ptr<vocle::encoding> wav = vocle::encoding::create("wav", 16000, 8, 1, true);
  boost::shared_ptr<vocle::binary> out = boost::make_shared<vocle::binary>(std::size_t(0));
  out->reserve(wav->encoded_size(samples.size()));
  wav->encode(*out, samples);
  return out;
}

// The floor: write, fsync, rename.
void plain_save(const std::string& path, const vocle::binary& bytes) {
  const std::string temp = path + ".plain";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const char* p = bytes.begin();
  std::size_t left = bytes.size();
  while (left) {
    const ssize_t n = ::write(fd, p, left);
    if (n <= 0) {
      break;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  ::fsync(fd);
  ::close(fd);
  ::rename(temp.c_str(), path.c_str());
}

void BM_save_minute_wav(benchmark::State& state) {
  const std::vector<std::int16_t> samples = minute_samples();
  const std::string path = scratch().file("minute.wav");
  for (auto _ : state) {
    if (!vocle::audio::studio::save_file(path, encode_wav(samples))) {
      state.SkipWithError("the save failed");
      break;
    }
  }
}
BENCHMARK(BM_save_minute_wav)->Unit(benchmark::kMillisecond);

void BM_plain_minute_wav(benchmark::State& state) {
  const boost::shared_ptr<vocle::binary> bytes = encode_wav(minute_samples());
  const std::string path = scratch().file("minute-plain.wav");
  for (auto _ : state) {
    plain_save(path, *bytes);
  }
}
BENCHMARK(BM_plain_minute_wav)->Unit(benchmark::kMillisecond);

const std::size_t big_size = 100u * 1000 * 1000;

void BM_save_100MB(benchmark::State& state) {
  vocle::binary bytes(big_size);
  const std::string path = scratch().file("big.bin");
  for (auto _ : state) {
    if (!bytes.save(path)) {
      state.SkipWithError("the save failed");
      break;
    }
  }
}
BENCHMARK(BM_save_100MB)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_plain_100MB(benchmark::State& state) {
  vocle::binary bytes(big_size);
  const std::string path = scratch().file("big-plain.bin");
  for (auto _ : state) {
    plain_save(path, bytes);
  }
}
BENCHMARK(BM_plain_100MB)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// Shows the runs as usual and keeps each one's seconds per iteration for the ratios.
class keeping_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
        seconds[run.run_name.function_name] =
            run.real_accumulated_time / static_cast<double>(run.iterations);
      }
    }
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  keeping_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const auto& s = reporter.seconds;
  const char* pairs[][3] = {{"BM_save_minute_wav", "BM_plain_minute_wav", "one-minute \"wav\""},
                            {"BM_save_100MB", "BM_plain_100MB", "100 MB"}};
  std::printf("\nSave beside write + fsync + rename of the same bytes, in %s\n",
              scratch().path.string().c_str());
  for (const auto& pair : pairs) {
    if (s.count(pair[0]) && s.count(pair[1])) {
      std::printf("%s: save %.1f ms, plain %.1f ms, ratio %.2fx (target: at most 1.5x)\n", pair[2],
                  s.at(pair[0]) * 1e3, s.at(pair[1]) * 1e3, s.at(pair[0]) / s.at(pair[1]));
    }
  }
  return 0;
}
