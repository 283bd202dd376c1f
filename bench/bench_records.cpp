// What reading a long record out costs in memory, beside how long it takes:
//  - get_record of a 10 MB record (5 M samples) in "raw": the page receives Base64 text, so the
//    text itself (4/3 of the record) and the encoded bytes it is made from are the floor.
//  - concat_records of 20 records of 30 s at 16 kHz in "wav": the multi-record body of one upload.
// The memory figures are peak resident growth: the high-water mark is reset (clear_refs) to the
// size just before the call and read back after it. They are taken before the timed runs, with
// malloc's mmap threshold pinned, so that blocks freed by earlier work cannot hide an allocation
// that a first call in a fresh page process would pay for.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/shared_ptr.hpp>

#include "bench_speech.h"
#include "core/audio/audio_buffer.h"
#include "core/foundation/binary.h"
#include "core/foundation/settings.h"
#include "core/studio/studio.h"
#include "framework/module_path.h"

namespace {

using vocle::audio::studio;

constexpr std::size_t long_record_samples = 5000000;  // 10 MB
constexpr std::size_t body_records = 20;
constexpr std::size_t body_record_samples = 30 * 16000;  // 30 s at 16 kHz
const char* const body_format = "wav";

// The studio with its records filled: slot 0 holds the long record, slots 0 to 19 the records of
// the body (slot 0 is the body's first record only for its own figure: the long record is
// replaced by a record of 30 s before the body is measured).
struct rig {
  bench::scratch_dir dir;
  std::unique_ptr<studio> s;

  rig() {
    std::ofstream(dir.file("vocle.conf"))
        << "[log]\nlogconfig=false\nlogdevice=false\n[audio]\nbuffer_count=" << body_records
        << "\nmax_buffer_count=" << body_records << "\n";
    std::ofstream(dir.file("lang.conf")) << "[en_US]\n";
    FB::setModulePath(dir.file("libnpvocle.so"));
    vocle::settings::reset();
    s.reset(new studio());
  }
};

rig& the_rig() {
  static rig r;
  return r;
}

// Fills a slot with n samples of a ramp that starts at `seed`, appended in pieces of a stream
// block as a recording appends them.
void fill(std::uint64_t index, std::size_t n, std::int16_t seed) {
  const studio::buffer_ptr buffer = the_rig().s->get_buffer(index);
  boost::mutex::scoped_lock lock(buffer->m_mutex);
  buffer->trim(0, 0);
  std::vector<std::int16_t> block(1024);
  for (std::size_t done = 0; done < n;) {
    const std::size_t count = std::min(block.size(), n - done);
    for (std::size_t i = 0; i < count; ++i) {
      block[i] = static_cast<std::int16_t>(seed + static_cast<std::int16_t>((done + i) * 7));
    }
    buffer->append(block.data(), count);
    done += count;
  }
}

void fill_long_record() {
  fill(0, long_record_samples, 0);
}

void fill_body_records() {
  for (std::size_t i = 0; i < body_records; ++i) {
    fill(i, body_record_samples, static_cast<std::int16_t>(i));
  }
}

std::map<std::int32_t, studio::buffer_ptr> body_buffers() {
  std::map<std::int32_t, studio::buffer_ptr> buffers;
  for (std::size_t i = 0; i < body_records; ++i) {
    buffers[static_cast<std::int32_t>(i)] = the_rig().s->get_buffer(i);
  }
  return buffers;
}

// Kilobytes of a "VmRSS:" or "VmHWM:" line of /proc/self/status; -1 when missing.
long status_kb(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) {
      return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
    }
  }
  return -1;
}

// Bytes by which the peak resident size rose above the size just before the work; -1 when the
// high-water mark cannot be reset or read here. What the work returns is held until the peak has
// been read, so the result counts too.
template <class Work>
long long peak_growth(Work work) {
  const long before = status_kb("VmRSS:");
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    if (!clear) {
      return -1;
    }
  }
  // The reset took: the mark now stands at the present size.
  if (status_kb("VmHWM:") > before + 64) {
    return -1;
  }
  auto result = work();
  benchmark::DoNotOptimize(result);
  const long peak = status_kb("VmHWM:");
  if (before < 0 || peak < 0) {
    return -1;
  }
  return static_cast<long long>(peak - before) * 1024;
}

// The largest growth of a few calls: each should cost the same.
template <class Work>
long long worst_growth(Work work) {
  long long worst = -1;
  for (int i = 0; i < 3; ++i) {
    const long long g = peak_growth(work);
    if (g < 0) {
      return -1;
    }
    worst = std::max(worst, g);
  }
  return worst;
}

void BM_get_record_raw_10MB(benchmark::State& state) {
  fill_long_record();
  for (auto _ : state) {
    std::string text = the_rig().s->get_record(0, "raw");
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(2 * long_record_samples));
}
BENCHMARK(BM_get_record_raw_10MB)->Unit(benchmark::kMillisecond);

void BM_concat_records_20x30s_wav(benchmark::State& state) {
  fill_body_records();
  const auto buffers = body_buffers();
  for (auto _ : state) {
    boost::shared_ptr<vocle::binary> body = the_rig().s->concat_records(buffers, body_format);
    benchmark::DoNotOptimize(body->begin());
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(2 * body_records * body_record_samples));
}
BENCHMARK(BM_concat_records_20x30s_wav)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  // Large blocks always come from mmap and go back when freed: a fixed threshold also stops
  // glibc from raising it after the first large free.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);

  fill_long_record();
  const double record_bytes = 2.0 * long_record_samples;
  const long long record_growth = worst_growth([] { return the_rig().s->get_record(0, "raw"); });

  fill_body_records();
  const auto buffers = body_buffers();
  std::size_t body_size = 0;
  const long long body_growth = worst_growth([&] {
    boost::shared_ptr<vocle::binary> body = the_rig().s->concat_records(buffers, body_format);
    body_size = body->size();
    return body;
  });

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\nPeak resident growth of one call (the worst of three), its result included\n");
  if (record_growth < 0) {
    std::printf("get_record 10 MB: peak growth not measurable here (no clear_refs)\n");
  } else {
    std::printf("get_record 10 MB: peak growth %.2fx the record (target: at most 2.5x)\n",
                double(record_growth) / record_bytes);
  }
  if (body_growth < 0) {
    std::printf("multi-record body: peak growth not measurable here (no clear_refs)\n");
  } else {
    std::printf(
        "multi-record body of %zu records of 30 s at 16 kHz (\"%s\", %.1f MB): peak growth %.2fx "
        "the body (target: at most 1.2x)\n",
        body_records, body_format, double(body_size) / 1e6,
        double(body_growth) / double(body_size));
  }
  return 0;
}
