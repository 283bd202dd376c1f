// The upload client beside plain libcurl, in one run, against one local server:
//  - a 20 MB "binary" part posted through request_factory::post (a new easy handle, the form,
//    the progress callback, the part drained from the caller's vocle::binary, the result list);
//  - plain libcurl posting the same bytes as one streamed form part, its read callback copying
//    from a plain buffer, with the same empty "Expect:" header.
// The server is a blocking POSIX socket loop on 127.0.0.1 (port 0) in a thread of this process:
// it reads each request's headers, reads and discards its body, answers 200 and closes.
// Only the transfer itself is timed; making the 20 MB binary for each post is not.
//
// Before the benchmarks, one post and one plain transfer each show the client's peak memory:
// the growth of the process's peak resident size over its size when the transfer starts (the
// peak is reset to the current size first), and the peak of the bytes held through operator new
// over what was held at the start. A copy of the body anywhere would show as 20 MB more.
#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <boost/make_shared.hpp>

#include "bench_discard_server.h"
#include "bench_reporter.h"
#include "core/foundation/binary.h"
#include "core/foundation/function.h"
#include "core/http/request_factory.h"
#include "core/studio/task.h"

// The form interface is deprecated in favour of the mime one but works; the client is built on
// it, so the peer uses it too.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// Bytes held through operator new, now and at the highest since the last reset.
namespace {
std::atomic<std::int64_t> heap_live{0};
std::atomic<std::int64_t> heap_peak{0};

void* counted_alloc(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) {
    throw std::bad_alloc();
  }
  const std::int64_t live = heap_live.fetch_add(std::int64_t(malloc_usable_size(p))) +
                            std::int64_t(malloc_usable_size(p));
  std::int64_t peak = heap_peak.load();
  while (live > peak && !heap_peak.compare_exchange_weak(peak, live)) {
  }
  return p;
}

void counted_free(void* p) {
  if (p) {
    heap_live.fetch_sub(std::int64_t(malloc_usable_size(p)));
    std::free(p);
  }
}
}  // namespace

void* operator new(std::size_t n) {
  return counted_alloc(n);
}
void* operator new[](std::size_t n) {
  return counted_alloc(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted_alloc(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted_alloc(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept {
  counted_free(p);
}
void operator delete[](void* p) noexcept {
  counted_free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  counted_free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  counted_free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  counted_free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  counted_free(p);
}

namespace {

constexpr std::size_t payload_size = 20 * 1000 * 1000;

bench::discard_server& server() {
  static bench::discard_server s;
  return s;
}

// The bytes both clients send: not all one value, so nothing along the way can shortcut them.
const std::vector<char>& payload() {
  static const std::vector<char> bytes = [] {
    std::vector<char> b(payload_size);
    std::uint32_t x = 7;
    for (char& c : b) {
      x = x * 1664525u + 1013904223u;
      c = static_cast<char>(x >> 24);
    }
    return b;
  }();
  return bytes;
}

// The page callback of the post: keeps the result list.
class result_keeper : public vocle::function {
 public:
  FB::variant call(const FB::VariantList& args) override {
    m_last = args;
    return FB::variant();
  }
  void call_async(const FB::VariantList& args) override { m_last = args; }
  bool succeeded() const { return !m_last.empty() && m_last[0].convert_cast<bool>(); }
  std::string text() const {
    return m_last.size() > 1 ? m_last[1].convert_cast<std::string>() : std::string("no result");
  }

 private:
  FB::VariantList m_last;
};

// One post of the binary through the client; false with a message when it did not go through.
bool post_once(const boost::shared_ptr<vocle::binary>& bytes, std::string& error) {
  static std::int32_t next_id = 0;
  vocle::http::form_fields fields;
  fields["data"] = vocle::http::form_field{"binary", boost::any(bytes)};
  auto keeper = boost::make_shared<result_keeper>();
  // A task outside any table, without a time-out: the post owns and destroys it.
  auto* task = new vocle::audio::studio::task(next_id++, 0, vocle::audio::studio::task_table_ptr());
  task->set_status(vocle::audio::studio::task::task_posting);
  vocle::http::request_factory::post(server().url(), std::string(), keeper, vocle::function_ptr(),
                                     fields, task);
  if (!keeper->succeeded()) {
    error = "post failed: " + keeper->text();
    return false;
  }
  if (bytes->size() != 0 || server().last_body() < payload_size) {
    error = "the part did not reach the server whole";
    return false;
  }
  return true;
}

struct plain_source {
  const char* data;
  std::size_t size;
  std::size_t offset;
};

std::size_t plain_read(char* buffer, std::size_t size, std::size_t count, void* stream) {
  plain_source* source = static_cast<plain_source*>(stream);
  const std::size_t n = std::min(size * count, source->size - source->offset);
  std::memcpy(buffer, source->data + source->offset, n);
  source->offset += n;
  return n;
}

// The same part posted with libcurl alone.
bool plain_once(std::string& error) {
  plain_source source{payload().data(), payload().size(), 0};
  curl_httppost* first = nullptr;
  curl_httppost* last = nullptr;
  curl_formadd(&first, &last, CURLFORM_COPYNAME, "data", CURLFORM_FILENAME, "data", CURLFORM_STREAM,
               &source, CURLFORM_CONTENTSLENGTH, long(source.size), CURLFORM_END);
  curl_slist* headers = curl_slist_append(nullptr, "Expect:");
  CURL* handle = curl_easy_init();
  curl_easy_setopt(handle, CURLOPT_URL, server().url().c_str());
  curl_easy_setopt(handle, CURLOPT_HTTPPOST, first);
  curl_easy_setopt(handle, CURLOPT_READFUNCTION, &plain_read);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(
      handle, CURLOPT_WRITEFUNCTION,
      +[](char*, std::size_t size, std::size_t count, void*) { return size * count; });
  const CURLcode result = curl_easy_perform(handle);
  long status = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(handle);
  curl_slist_free_all(headers);
  curl_formfree(first);
  if (result != CURLE_OK || status != 200) {
    error = std::string("plain libcurl failed: ") + curl_easy_strerror(result);
    return false;
  }
  if (source.offset != source.size || server().last_body() < payload_size) {
    error = "the part did not reach the server whole";
    return false;
  }
  return true;
}

// Times each round of one transfer; the round's set-up is not timed.
template <class Prepare, class Round>
void time_rounds(benchmark::State& state, Prepare prepare, Round round) {
  std::string error;
  for (auto _ : state) {
    auto input = prepare();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = round(input, error);
    const auto end = std::chrono::steady_clock::now();
    if (!ok) {
      state.SkipWithError(error.c_str());
      break;
    }
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t(payload_size));
}

void BM_request_factory_post(benchmark::State& state) {
  time_rounds(
      state, [] { return boost::make_shared<vocle::binary>(payload().data(), payload().size()); },
      [](const boost::shared_ptr<vocle::binary>& bytes, std::string& error) {
        return post_once(bytes, error);
      });
}
BENCHMARK(BM_request_factory_post)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_plain_libcurl(benchmark::State& state) {
  time_rounds(
      state, [] { return 0; }, [](int, std::string& error) { return plain_once(error); });
}
BENCHMARK(BM_plain_libcurl)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

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

struct memory_probe {
  long rss_growth_kb = -1;       // peak resident size over the size at the start
  std::int64_t heap_growth = 0;  // peak bytes held through operator new over those at the start
};

// Runs the transfer with the peak resident size reset to the current size just before it.
template <class Transfer>
memory_probe probe(Transfer transfer) {
  memory_probe result;
  const long before = status_kb("VmRSS:");
  bool reset = false;
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    reset = bool(clear);
  }
  const std::int64_t heap_before = heap_live.load();
  heap_peak.store(heap_before);
  transfer();
  result.heap_growth = heap_peak.load() - heap_before;
  const long peak = status_kb("VmHWM:");
  if (reset && before >= 0 && peak >= 0) {
    result.rss_growth_kb = peak - before;
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  vocle::http::request_factory::instance();
  payload();
  server();

  // A warm-up of each, so the probes see the steady state (libcurl's first-use set-up, the
  // server's buffer), then the probes.
  std::string error;
  memory_probe post_memory;
  memory_probe plain_memory;
  {
    if (!post_once(boost::make_shared<vocle::binary>(payload().data(), payload().size()), error) ||
        !plain_once(error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    auto bytes = boost::make_shared<vocle::binary>(payload().data(), payload().size());
    bool ok = true;
    post_memory = probe([&] { ok = post_once(bytes, error) && ok; });
    plain_memory = probe([&] { ok = plain_once(error) && ok; });
    if (!ok) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
  }

  bench::keeping_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto& s = reporter.seconds;
  const double mb = double(payload_size) / 1e6;
  std::printf("\n%.0f MB \"binary\" part, posted to a discard server on 127.0.0.1\n", mb);
  double ours = 0;
  double plain = 0;
  if (s.count("BM_request_factory_post")) {
    ours = mb / s.at("BM_request_factory_post");
    std::printf("request_factory::post: %.0f MB/s (%.2f ms per post)\n", ours,
                s.at("BM_request_factory_post") * 1e3);
  }
  if (s.count("BM_plain_libcurl")) {
    plain = mb / s.at("BM_plain_libcurl");
    std::printf("plain libcurl:         %.0f MB/s (%.2f ms per post)\n", plain,
                s.at("BM_plain_libcurl") * 1e3);
  }
  if (ours > 0 && plain > 0) {
    std::printf("post / plain libcurl throughput: %.2f (target: at least 0.80)\n", ours / plain);
  }
  const auto show = [mb](const char* who, const memory_probe& m) {
    if (m.rss_growth_kb >= 0) {
      std::printf("%s: peak resident size grew %.2f MB during the transfer", who,
                  double(m.rss_growth_kb) * 1024 / 1e6);
    } else {
      std::printf("%s: peak resident size not measurable here", who);
    }
    std::printf(", operator new peak %+.3f MB (a copy of the body would add %.0f MB)\n",
                double(m.heap_growth) / 1e6, mb);
  };
  show("request_factory::post", post_memory);
  show("plain libcurl        ", plain_memory);
  return 0;
}
