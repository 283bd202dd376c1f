#include "core/studio/studio.h"

#include <limits>

#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>

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
    : m_buffers_mutex(boost::make_shared<boost::mutex>()),
      m_max_buffer_count(settings::instance().get(keys::audio_max_buffer_count)),
      m_sample_rate(settings::instance().get(keys::audio_sample_rate)),
      m_frames_per_buffer(settings::instance().get(keys::audio_frames_per_buffer)),
      m_channels(settings::instance().get(keys::audio_channels)),
      m_sample_format(sample_format_code(settings::instance().get(keys::audio_sample_format))),
      m_interleaved(settings::instance().get(keys::audio_interleaved)),
      m_upload_timeout(settings::instance().get(keys::audio_upload_timeout)),
      m_tasks(boost::make_shared<task_table>()),
      m_workers(boost::make_shared<worker_count>()) {
  append_buffers(m_buffers, settings::instance().get(keys::audio_buffer_count));
}

studio::~studio() {
  // The page has gone: end what its workers are doing (a running stream completes at its next
  // block, a transfer aborts at its next progress report), then wait for them, since they use
  // this studio. Loads and saves simply finish. The closing flag comes first: it also reaches
  // the workers that take a buffer over or start their stream after the scan below, and those
  // on buffers that have already left the table.
  m_closing.store(true);
  VOCLE_LOG_DEBUG("closing");
  {
    boost::mutex::scoped_lock lock(*m_buffers_mutex);
    for (const buffer_ptr& buffer : m_buffers) {
      if (buffer->m_status.load() != audio_buffer::status_idle) {
        buffer->m_stop_requested.store(true);
      }
    }
  }
  cancel_upload(-1);
  {
    boost::mutex::scoped_lock lock(m_workers->mutex);
    while (m_workers->running != 0) {
      m_workers->idle.wait(lock);
    }
  }
  // Uploads still under way hold the table; their tasks are theirs to free. Only the entries go.
  boost::mutex::scoped_lock lock(m_tasks->mutex);
  m_tasks->tasks.clear();
}

void studio::start_worker(boost::function<void()> work) {
  boost::shared_ptr<worker_count> workers = m_workers;
  {
    boost::mutex::scoped_lock lock(workers->mutex);
    ++workers->running;
  }
  // Counted down however the work ends; the count outlives the studio if it must.
  struct done {
    boost::shared_ptr<worker_count> workers;
    ~done() {
      boost::mutex::scoped_lock lock(workers->mutex);
      if (--workers->running == 0) {
        workers->idle.notify_all();
      }
    }
  };
  try {
    boost::thread thread([workers, work]() mutable {
      done guard{workers};
      // Declared after the guard, so the work and all it holds (buffers, page callbacks) are
      // released before the count drops and the studio may go.
      boost::function<void()> run;
      run.swap(work);
      run();
    });
    thread.detach();
  } catch (...) {
    done guard{workers};
    throw;
  }
}

studio::buffer_ptr studio::get_buffer(std::uint64_t index) {
  boost::mutex::scoped_lock lock(*m_buffers_mutex);
  const std::uint64_t count = m_buffers.size();
  if (index < count) {
    return m_buffers[index];
  }
  // index >= count, so index - count cannot wrap; the + 1 is written out in text for the same
  // reason, and the limit test comes before any slot count is used.
  const std::uint64_t missing_minus_one = index - count;
  VOCLE_LOG_INFO("add more %1% lacked buffers(%2% -> %3%)", successor_text(missing_minus_one),
                 count, successor_text(index));
  if (index >= m_max_buffer_count) {
    throw FB::script_error(limit_error);
  }
  append_buffers(m_buffers, missing_minus_one + 1);
  return m_buffers[index];
}

void studio::set_buffer_count(std::uint64_t count) {
  if (count > m_max_buffer_count) {
    throw FB::script_error(limit_error);
  }
  boost::mutex::scoped_lock lock(*m_buffers_mutex);
  const std::uint64_t old_count = m_buffers.size();
  VOCLE_LOG_INFO("resize audio buffers from %1% to %2%", old_count, count);
  if (count < old_count) {
    // Workers that hold a removed buffer keep it alive until they are done with it.
    m_buffers.resize(count);
  } else if (count > old_count) {
    append_buffers(m_buffers, count - old_count);
  }
}

std::uint64_t studio::buffer_count() const {
  boost::mutex::scoped_lock lock(*m_buffers_mutex);
  return m_buffers.size();
}

std::uint64_t studio::max_buffer_count() const {
  boost::mutex::scoped_lock lock(*m_buffers_mutex);
  return m_max_buffer_count;
}

void studio::set_recognition_url(std::string url) {
  m_recognition_url = std::move(url);
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
