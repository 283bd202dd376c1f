// What the load, save and upload tests share: a configuration of the test's own, the log lines
// the test causes, one studio, and records put into its buffers and read back, as samples or as
// the bytes of a "raw" file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

#include "common/config_dir.h"
#include "common/recording_function.h"
#include "core/audio/audio_buffer.h"
#include "core/studio/studio.h"
#include "framework/variant.h"
#include "log_capture.h"

namespace vocle {
namespace testkit {

typedef std::vector<std::int16_t> samples_t;
typedef boost::shared_ptr<recording_function> recorder;

// Little-endian 16-bit, as a "raw" file holds samples.
inline std::string raw_bytes(const samples_t& samples) {
  std::string bytes;
  for (std::int16_t s : samples) {
    bytes += static_cast<char>(static_cast<std::uint16_t>(s) & 0xFF);
    bytes += static_cast<char>(static_cast<std::uint16_t>(s) >> 8);
  }
  return bytes;
}

// The samples of a "raw" file's bytes; an odd last byte is left out.
inline samples_t samples_of_bytes(const std::string& bytes) {
  samples_t samples;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    samples.push_back(static_cast<std::int16_t>(static_cast<unsigned char>(bytes[i]) |
                                                static_cast<unsigned char>(bytes[i + 1]) << 8));
  }
  return samples;
}

// Ends every worker, as at the end of the process, when it goes: placed before a studio in a
// fixture, after the configuration and the log, so that no worker outlives those.
struct workers_ended {
  workers_ended() = default;
  workers_ended(const workers_ended&) = delete;
  workers_ended& operator=(const workers_ended&) = delete;
  ~workers_ended() { EXPECT_TRUE(audio::studio::shutdown_workers()); }
};

class record_fixture : public ::testing::Test {
 protected:
  record_fixture(const std::string& vocle_conf, const std::string& lang_conf)
      : m_cfg(vocle_conf, lang_conf) {}

  void fill(std::uint64_t index, const samples_t& samples) {
    audio::studio::buffer_ptr buffer = m_studio.get_buffer(index);
    boost::mutex::scoped_lock lock(buffer->m_mutex);
    buffer->m_samples.assign(samples);
  }

  samples_t samples(std::uint64_t index) {
    audio::studio::buffer_ptr buffer = m_studio.get_buffer(index);
    boost::mutex::scoped_lock lock(buffer->m_mutex);
    return buffer->m_samples.to_vector();
  }

  // The one result a worker reports.
  static FB::VariantList result_of(const recorder& r) {
    EXPECT_TRUE(r->wait_for(1));
    const std::vector<FB::VariantList> lists = r->lists();
    return lists.empty() ? FB::VariantList{} : lists.front();
  }

  config_dir m_cfg;
  log_capture m_log;
  workers_ended m_workers_ended;
  audio::studio m_studio;
};

}  // namespace testkit
}  // namespace vocle
