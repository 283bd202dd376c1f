#include "core/studio/studio.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <mutex>
#include <utility>

#include <boost/make_shared.hpp>

#include "core/audio/audio_buffer.h"
#include "core/foundation/keys.h"
#include "core/foundation/log.h"
#include "core/foundation/settings.h"
#include "core/studio/task.h"
#include "framework/script_error.h"

namespace vocle {
namespace audio {
namespace {

const char* const limit_error = "reach max_buffer_count limit";
const char* const version_text = "1.1.0.0";

// How long a closing page waits at most for its streams to stop: far beyond one block, which is
// what a device that delivers blocks takes.
const std::chrono::seconds streams_stop_limit(5);
// How long the end of the process waits at most for its workers when uploads have no time-out:
// a cancelled transfer aborts at its next progress report, which libcurl makes at least about
// once a second, so this bound is only reached by a worker stuck elsewhere.
const std::chrono::seconds unlimited_upload_shutdown_limit(10);
// The longest time-out that is waited for as it is (about 68 years).
const std::uint64_t longest_limit = 0x7fffffff;

// PortAudio's sample-format flags by their configuration names; any other text is paInt16.
std::uint32_t sample_format_code(const std::string& text) {
  static const struct {
    const char* name;
    std::uint32_t code;
  } formats[] = {
      {"FLOAT32", 1}, {"INT32", 2}, {"INT24", 4}, {"INT16", 8}, {"INT8", 16}, {"UINT8", 32},
  };
  for (const auto& f : formats) {
    if (text == f.name) {
      return f.code;
    }
  }
  return 8;
}

// index + 1 in decimal, also for the largest index, where the sum needs a 65th bit.
std::string successor_text(std::uint64_t index) {
  if (index == std::numeric_limits<std::uint64_t>::max()) {
    return "18446744073709551616";
  }
  return std::to_string(index + 1);
}

void append_buffers(std::vector<studio::buffer_ptr>& buffers, std::uint64_t n) {
  buffers.reserve(buffers.size() + n);
  for (std::uint64_t i = 0; i < n; ++i) {
    buffers.push_back(boost::make_shared<audio_buffer>());
  }
}

}  // namespace

studio::studio()
    : m_buffers(
          boost::make_shared<buffer_table>(settings::instance().get(keys::audio_max_buffer_count))),
      m_sample_rate(settings::instance().get(keys::audio_sample_rate)),
      m_frames_per_buffer(settings::instance().get(keys::audio_frames_per_buffer)),
      m_channels(settings::instance().get(keys::audio_channels)),
      m_sample_format(sample_format_code(settings::instance().get(keys::audio_sample_format))),
      m_interleaved(settings::instance().get(keys::audio_interleaved)),
      m_upload_timeout(settings::instance().get(keys::audio_upload_timeout)),
      m_tasks(boost::make_shared<task_table>()),
      m_streams(boost::make_shared<page_streams>()) {
  append_buffers(m_buffers->slots, settings::instance().get(keys::audio_buffer_count));
}

studio::~studio() {
  // The page has gone. Its recordings and playbacks stop now, so that the microphone and the
  // speaker are free when the page is: a running stream completes at its next block (the flag
  // raised here for the buffers in the table, by the worker itself, woken now, for those that
  // have left it), and a worker about to open one does not. The page waits until its streams
  // take and give no more blocks; each worker then closes its device on its own. Nothing else is
  // waited for: every other worker runs on what it holds of the studio, never on the studio.
  {
    std::lock_guard<std::mutex> lock(m_streams->wake_mutex);
    m_streams->closing.store(true);
  }
  m_streams->wake.notify_all();
  VOCLE_LOG_DEBUG("closing");
  {
    boost::mutex::scoped_lock lock(m_buffers->mutex);
    for (const buffer_ptr& buffer : m_buffers->slots) {
      if (buffer->m_status.load() != audio_buffer::status_idle) {
        buffer->m_stop_requested.store(true);
      }
    }
  }
  // A device that delivers no block at all would keep its stream running for ever; the page does
  // not wait for it beyond this. The worker ends on its own if the block ever comes.
  if (!m_streams->running->wait_until(std::chrono::steady_clock::now() + streams_stop_limit)) {
    VOCLE_LOG_ERROR("audio streams still running after %1% s", streams_stop_limit.count());
  }
  // Uploads still under way hold the table; their tasks are theirs to free. Only the entries go.
  boost::mutex::scoped_lock lock(m_tasks->mutex);
  m_tasks->tasks.clear();
}

bool studio::shutdown_workers() {
  const std::uint64_t configured = settings::instance().get(keys::audio_upload_timeout);
  const std::chrono::seconds limit =
      configured == 0 ? unlimited_upload_shutdown_limit
                      : std::chrono::seconds(std::min<std::uint64_t>(configured, longest_limit));
  VOCLE_LOG_INFO("ending every worker, for at most %1% s", limit.count());
  task::cancel_all();
  const bool ended = worker_registry::end_all(std::chrono::steady_clock::now() + limit);
  if (ended) {
    VOCLE_LOG_INFO("every worker ended");
  } else {
    VOCLE_LOG_ERROR("workers still running after %1% s", limit.count());
  }
  return ended;
}

void studio::start_worker(boost::function<void()> work) {
  worker_registry::start(std::move(work));
}

studio::worker_context studio::context() const {
  return worker_context{m_sample_rate.load(),
                        m_frames_per_buffer.load(),
                        m_channels,
                        m_sample_format,
                        m_interleaved,
                        m_buffers,
                        m_streams,
                        worker_registry::generation(),
                        settings::shared_instance()};
}

bool studio::worker_context::closing() const {
  return (streams && streams->closing.load()) || ending();
}

bool studio::worker_context::ending() const {
  return worker_registry::generation() != generation;
}

studio::buffer_ptr studio::get_buffer(std::uint64_t index) {
  return get_buffer(*m_buffers, index);
}

studio::buffer_ptr studio::get_buffer(buffer_table& table, std::uint64_t index) {
  boost::mutex::scoped_lock lock(table.mutex);
  const std::uint64_t count = table.slots.size();
  if (index < count) {
    return table.slots[index];
  }
  // index >= count, so index - count cannot wrap; the + 1 is written out in text for the same
  // reason, and the limit test comes before any slot count is used.
  const std::uint64_t missing_minus_one = index - count;
  VOCLE_LOG_INFO("add more %1% lacked buffers(%2% -> %3%)", successor_text(missing_minus_one),
                 count, successor_text(index));
  if (index >= table.max_count) {
    throw FB::script_error(limit_error);
  }
  append_buffers(table.slots, missing_minus_one + 1);
  return table.slots[index];
}

void studio::set_buffer_count(std::uint64_t count) {
  if (count > m_buffers->max_count) {
    throw FB::script_error(limit_error);
  }
  boost::mutex::scoped_lock lock(m_buffers->mutex);
  const std::uint64_t old_count = m_buffers->slots.size();
  VOCLE_LOG_INFO("resize audio buffers from %1% to %2%", old_count, count);
  if (count < old_count) {
    // Workers that hold a removed buffer keep it alive until they are done with it.
    m_buffers->slots.resize(count);
  } else if (count > old_count) {
    append_buffers(m_buffers->slots, count - old_count);
  }
}

std::uint64_t studio::buffer_count() const {
  boost::mutex::scoped_lock lock(m_buffers->mutex);
  return m_buffers->slots.size();
}

std::uint64_t studio::max_buffer_count() const {
  boost::mutex::scoped_lock lock(m_buffers->mutex);
  return m_buffers->max_count;
}

void studio::set_recognition_url(std::string url) {
  m_recognition_url = std::move(url);
  ++m_recognition_url_revision;
}

bool studio::recognition_url_revision(std::uint64_t* revision) const {
  if (m_recognition_url.empty()) {
    return false;
  }
  *revision = m_recognition_url_revision;
  return true;
}

std::string studio::recognition_url() const {
  if (!m_recognition_url.empty()) {
    return m_recognition_url;
  }
  return settings::instance().get(keys::audio_recognition_url);
}

std::string studio::version() const {
  return version_text;
}

std::string studio::version_detail() const {
  return version_text;
}

}  // namespace audio
}  // namespace vocle
