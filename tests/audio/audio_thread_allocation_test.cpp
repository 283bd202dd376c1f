// What runs on the audio thread for every block must not allocate where it need not: a malloc
// there can wait on a lock that another thread holds. This program's operator new counts the
// allocations of the thread that asks it to, while it asks.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <boost/any.hpp>
#include <boost/thread/lock_guard.hpp>
#include <portaudiocpp/PortAudioCpp.hxx>

#include "audio_test_support.h"
#include "common/alsa_rig.h"
#include "common/config_dir.h"
#include "core/audio/audio_buffer.h"
#include "core/audio/vad.h"

namespace {

thread_local bool counting = false;
thread_local std::size_t allocations = 0;
thread_local std::size_t largest = 0;

void* allocate(std::size_t n) {
  if (counting) {
    ++allocations;
    largest = std::max(largest, n);
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
    largest = 0;
    counting = true;
  }
  ~allocation_count() { counting = false; }
  allocation_count(const allocation_count&) = delete;
  allocation_count& operator=(const allocation_count&) = delete;
  std::size_t value() const { return allocations; }
  std::size_t largest_size() const { return largest; }
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
  // No listener (its one-element list is the one allocation a block makes on purpose). The first
  // block starts the record's first chunk, which the blocks after it fill.
  const unsigned long block = 1024;
  audio_buffer buffer;
  {
    boost::lock_guard<boost::mutex> lock(buffer.m_mutex);
    buffer.prepare_record(16000.0, std::map<std::string, boost::any>());
  }
  std::vector<std::vector<std::int16_t> > blocks;
  for (std::uint32_t i = 0; i < 8; ++i) {
    blocks.push_back(testkit::zero_mean_noise(block, i + 1));
  }
  const std::int16_t* first[] = {blocks[0].data()};
  ASSERT_EQ(buffer.record_callback(first, nullptr, block, nullptr, 0), paContinue);
  blocks.erase(blocks.begin());
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

// Stands between a real PortAudio capture stream and the buffer, and counts what the buffer's
// record callback allocates on the stream's thread.
struct counted_recording {
  int callback(const void* input, void* output, unsigned long frames,
               const PaStreamCallbackTimeInfo* time, PaStreamCallbackFlags flags) {
    allocation_count count;
    const int result = buffer.record_callback(input, output, frames, time, flags);
    ++blocks;
    total_allocations += count.value();
    largest_allocation = std::max(largest_allocation, count.largest_size());
    return result;
  }

  audio_buffer buffer;
  std::size_t blocks = 0;
  std::size_t total_allocations = 0;
  std::size_t largest_allocation = 0;
};

TEST_F(audio_thread_allocation, a_long_recording_allocates_at_most_a_chunk_at_a_time) {
  // Large blocks, as a page may ask for, over many chunks: the record grows a chunk at a time and
  // never moves what it holds.
  const unsigned long block = 8192;
  const std::size_t wanted = 24 * sample_store::chunk_samples;
  testkit::alsa_rig rig;  // before PortAudio starts
  rig.set_microphone(testkit::zero_mean_noise(wanted + 4 * block, 9));
  portaudio::System::initialize();
  {
    const int microphone = testkit::alsa_rig::device_index(testkit::alsa_rig::microphone);
    ASSERT_GE(microphone, 0);
    portaudio::Device& device = portaudio::System::instance().deviceByIndex(microphone);
    const portaudio::DirectionSpecificStreamParameters input(
        device, 1, portaudio::INT16, false, device.defaultHighInputLatency(), nullptr);
    const portaudio::StreamParameters parameters(
        input, portaudio::DirectionSpecificStreamParameters::null(), 16000.0, block, paClipOff);
    counted_recording recording;
    std::map<std::string, boost::any> options;
    options["vad_wait"] = 600.0;
    options["vad_gap"] = 600.0;
    options["vad_max"] = 600.0;
    portaudio::MemFunCallbackStream<counted_recording> stream;
    {
      boost::lock_guard<boost::mutex> lock(recording.buffer.m_mutex);
      recording.buffer.prepare_record(16000.0, options);
      stream.open(parameters, recording, &counted_recording::callback);
      stream.start();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      {
        boost::lock_guard<boost::mutex> lock(recording.buffer.m_mutex);
        if (recording.buffer.m_samples.size() >= wanted || !stream.isActive()) {
          break;
        }
      }
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the recording did not go on";
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    recording.buffer.m_stop_requested = true;
    stream.stop();
    stream.close();
    const std::size_t stored = recording.buffer.m_samples.size();
    EXPECT_GE(stored, wanted);
    EXPECT_LE(recording.largest_allocation, sample_store::chunk_samples * sizeof(std::int16_t))
        << "over " << recording.blocks << " blocks";
    // A chunk, its shared count and now and then a step of the chunk list: a few per chunk, not
    // one per block.
    const std::size_t chunks = stored / sample_store::chunk_samples + 1;
    EXPECT_LE(recording.total_allocations, 4 * chunks) << "over " << recording.blocks << " blocks";
  }
  portaudio::System::terminate();
}

}  // namespace
}  // namespace audio
}  // namespace vocle
