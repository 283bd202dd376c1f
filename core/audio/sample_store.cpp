#include "core/audio/sample_store.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define VOCLE_HEAP_REGIONS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VOCLE_HEAP_REGIONS 1
#endif

namespace vocle {
namespace audio {

namespace {

// Room for n samples whose pages are present from the start. Touching fresh memory costs a page
// fault per page, and where faults are dear (a virtual machine: several microseconds each) that
// is most of the cost of filling a large record; the kernel makes a whole block present in one
// go instead. Under the sanitizers the block comes from the heap, where they watch it.
std::shared_ptr<std::int16_t> present_block(std::size_t n) {
#if defined(VOCLE_HEAP_REGIONS)
  return std::shared_ptr<std::int16_t>(new std::int16_t[n], std::default_delete<std::int16_t[]>());
#else
  // A block of at least a huge page starts on a huge-page boundary and asks for huge pages: then
  // one fault, or one step of the populating, covers 2 MiB instead of 4 KiB.
  const std::size_t huge = std::size_t(2) << 20;
  const std::size_t bytes = n * sizeof(std::int16_t);
  const std::size_t slack = bytes >= huge ? huge : 0;
  void* mapped =
      mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    throw std::bad_alloc();
  }
  char* const start = static_cast<char*>(mapped);
  char* const memory = slack
                           ? reinterpret_cast<char*>(
                                 (reinterpret_cast<std::uintptr_t>(start) + huge - 1) & ~(huge - 1))
                           : start;
  if (memory != start) {
    munmap(start, static_cast<std::size_t>(memory - start));
  }
  const std::size_t tail = slack - static_cast<std::size_t>(memory - start);
  if (tail) {
    munmap(memory + bytes, tail);
  }
  // Should the shared count fail, the block is unmapped again.
  std::shared_ptr<std::int16_t> block(reinterpret_cast<std::int16_t*>(memory),
                                      [bytes](std::int16_t* p) { munmap(p, bytes); });
  // Either advice may be refused (no huge pages, an older kernel); the pages then come as usual.
  if (slack) {
    madvise(memory, bytes, MADV_HUGEPAGE);
  }
#if defined(MADV_POPULATE_WRITE)
  madvise(memory, bytes, MADV_POPULATE_WRITE);
#endif
  return block;
#endif
}

}  // namespace

sample_store::sample_store() : m_size(0) {}

sample_store::~sample_store() = default;

sample_store::segment& sample_store::tail_with_room() {
  if (m_segments.empty() || !m_segments.back().writable || m_segments.back().end == chunk_samples) {
    std::shared_ptr<std::int16_t> chunk;
    if (!m_spare.empty()) {
      chunk = std::move(m_spare.front());
      m_spare.pop_front();
    } else {
      // Not zeroed: every sample is written before anyone can see it.
      chunk.reset(new std::int16_t[chunk_samples], std::default_delete<std::int16_t[]>());
    }
    m_segments.push_back(segment{std::move(chunk), 0, 0, m_size, true});
  }
  return m_segments.back();
}

void sample_store::append(const std::int16_t* samples, std::size_t n) {
  // A source inside this store lies below its end, and the writes go past it: the two never
  // overlap, and no chunk moves, so the source stays where it was.
  while (n) {
    segment& tail = tail_with_room();
    const std::size_t take = std::min(n, chunk_samples - tail.end);
    std::memcpy(tail.chunk.get() + tail.end, samples, take * sizeof(std::int16_t));
    tail.end += take;
    m_size += take;
    samples += take;
    n -= take;
  }
}

void sample_store::assign(const std::vector<std::int16_t>& samples) {
  clear();
  append(samples.data(), samples.size());
}

void sample_store::clear() {
  m_segments.clear();
  m_spare.clear();
  m_size = 0;
}

void sample_store::reserve(std::size_t n) {
  std::size_t room = m_spare.size() * chunk_samples;
  if (!m_segments.empty() && m_segments.back().writable) {
    room += chunk_samples - m_segments.back().end;
  }
  if (n <= room) {
    return;
  }
  const std::size_t chunks = (n - room + chunk_samples - 1) / chunk_samples;
  const std::shared_ptr<std::int16_t> block = present_block(chunks * chunk_samples);
  for (std::size_t i = 0; i < chunks; ++i) {
    // Each chunk keeps the whole block alive: it goes when its last chunk goes.
    m_spare.emplace_back(block, block.get() + i * chunk_samples);
  }
}

void sample_store::trim(std::size_t first, std::size_t last) {
  if (last < m_size) {
    while (!m_segments.empty() && m_segments.back().start >= last) {
      m_segments.pop_back();
    }
    if (!m_segments.empty()) {
      segment& tail = m_segments.back();
      const std::size_t end = tail.begin + (last - tail.start);
      if (end < tail.end && tail.chunk.use_count() > 1) {
        // A view still shows the samples being cut; writing over them would change it.
        tail.writable = false;
      }
      tail.end = end;
    }
    m_size = last;
  }
  if (first < m_size) {
    while (!m_segments.empty() &&
           m_segments.front().start + (m_segments.front().end - m_segments.front().begin) <=
               first) {
      m_segments.pop_front();
    }
    if (!m_segments.empty()) {
      segment& head = m_segments.front();
      head.begin += first - head.start;
    }
    for (segment& s : m_segments) {
      s.start = s.start > first ? s.start - first : 0;
    }
    m_size -= first;
  }
}

void sample_store::splice(sample_store& other) {
  if (&other == this) {
    return;
  }
  for (segment& s : other.m_segments) {
    s.start = m_size;
    m_size += s.end - s.begin;
    m_segments.push_back(std::move(s));
  }
  other.clear();
}

sample_view sample_store::view() const {
  // Sized first: the view is taken under the lock that both stream callbacks wait for.
  sample_view view;
  view.reserve(m_segments.size());
  for (const segment& s : m_segments) {
    view.add(s.chunk, s.chunk.get() + s.begin, s.end - s.begin);
  }
  return view;
}

std::size_t sample_store::segment_of(std::size_t index) const {
  const auto after = std::upper_bound(m_segments.begin(), m_segments.end(), index,
                                      [](std::size_t i, const segment& s) { return i < s.start; });
  return static_cast<std::size_t>(std::distance(m_segments.begin(), after)) - 1;
}

std::size_t sample_store::copy(std::size_t first, std::int16_t* to, std::size_t n) const {
  if (first >= m_size || n == 0) {
    return 0;
  }
  n = std::min(n, m_size - first);
  std::size_t i = segment_of(first);
  std::size_t offset = m_segments[i].begin + (first - m_segments[i].start);
  std::size_t done = 0;
  while (done < n) {
    const segment& s = m_segments[i];
    const std::size_t take = std::min(n - done, s.end - offset);
    std::memcpy(to + done, s.chunk.get() + offset, take * sizeof(std::int16_t));
    done += take;
    ++i;
    if (i < m_segments.size()) {
      offset = m_segments[i].begin;
    }
  }
  return n;
}

std::int16_t sample_store::at(std::size_t index) const {
  const segment& s = m_segments.at(segment_of(index));
  return s.chunk.get()[s.begin + (index - s.start)];
}

std::vector<std::int16_t> sample_store::to_vector() const {
  std::vector<std::int16_t> samples(m_size);
  copy(0, samples.data(), m_size);
  return samples;
}

}  // namespace audio
}  // namespace vocle
