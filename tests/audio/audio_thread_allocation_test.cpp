// What runs on the audio thread for every block must not allocate where it need not: a malloc
// there can wait on a lock that another thread holds. This program's operator new counts the
// allocations of the thread that asks it to, while it asks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/any.hpp>
#include <boost/thread/lock_guard.hpp>

#include "audio_test_support.h"
#include "common/config_dir.h"
#include "core/audio/audio_buffer.h"
#include "core/audio/vad.h"

namespace {

thread_local bool counting = false;
thread_local std::size_t allocations = 0;

void* allocate(std::size_t n) {
  if (counting) {
    ++allocations;
  }
  if (void* p = std::malloc(n == 0 ? 1 : n)) {
    return p;
  }
  throw std::bad_alloc();
}

void* allocate(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return allocate(n);
  } catch (...) {
    return nullptr;
  }
}

// The allocations that the calling thread makes while it lives.
class allocation_count {
 public:
  allocation_count() {
    allocations = 0;
    counting = true;
  }
  ~allocation_count() { counting = false; }
  allocation_count(const allocation_count&) = delete;
  allocation_count& operator=(const allocation_count&) = delete;
  std::size_t value() const { return allocations; }
};

}  // namespace

void* operator new(std::size_t n) {
  return allocate(n);
}
void* operator new[](std::size_t n) {
  return allocate(n);
}
void* operator new(std::size_t n, const std::nothrow_t& tag) noexcept {
  return allocate(n, tag);
}
void* operator new[](std::size_t n, const std::nothrow_t& tag) noexcept {
  return allocate(n, tag);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace vocle {
namespace audio {
namespace {

class audio_thread_allocation : public ::testing::Test {
 protected:
  void SetUp() override { testkit::reset_training(); }
  void TearDown() override { testkit::reset_training(); }

  testkit::config_dir m_config;
  // Debug, not trace: the per-block trace lines are built only when someone reads them.
  testkit::log_capture m_log{FB::Log::LogLevel_Debug};
};

TEST_F(audio_thread_allocation, the_detector_judges_blocks_of_any_size_without_allocating) {
  for (const std::size_t size : {1024u, 7u, 100000u}) {
    // Made on the worker's thread, as the input strategy makes it; nothing ends it here.
    vad detector(16000.0, 100.0, 100.0, 600.0, false);
    std::vector<std::vector<std::int16_t> > blocks;
    for (std::uint32_t i = 0; i < 4; ++i) {
      blocks.push_back(testkit::zero_mean_noise(size, i + 1));
    }
    allocation_count count;
    for (const std::vector<std::int16_t>& samples : blocks) {
      std::uint32_t volume = 0;
      ASSERT_FALSE(detector.process(samples.data(), samples.size(), &volume));
    }
    EXPECT_EQ(count.value(), 0u) << "blocks of " << size;
  }
}

TEST_F(audio_thread_allocation, recording_and_playback_blocks_allocate_nothing_of_their_own) {
  // No listener (its one-element list is the one allocation a block makes on purpose), and room
  // for the record made beforehand (the record grows by whole blocks otherwise).
  const unsigned long block = 1024;
  audio_buffer buffer;
  {
    boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
    buffer.prepare_record(16000.0, std::map<std::string, boost::any>());
    buffer.m_samples.reserve(8 * block);
  }
  std::vector<std::vector<std::int16_t> > blocks;
  for (std::uint32_t i = 0; i < 8; ++i) {
    blocks.push_back(testkit::zero_mean_noise(block, i + 1));
  }
  std::vector<std::int16_t> out(block);
  std::int16_t* out_channels[] = {out.data()};
  allocation_count count;
  for (const std::vector<std::int16_t>& samples : blocks) {
    const std::int16_t* channels[] = {samples.data()};
    ASSERT_EQ(buffer.record_callback(channels, nullptr, block, nullptr, 0), paContinue);
  }
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_EQ(buffer.playback_callback(nullptr, out_channels, block, nullptr, 0), paContinue);
  }
  EXPECT_EQ(count.value(), 0u);
}

}  // namespace
}  // namespace audio
}  // namespace vocle
