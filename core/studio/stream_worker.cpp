#include "core/studio/stream_worker.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include <boost/make_shared.hpp>
#include <portaudiocpp/PortAudioCpp.hxx>

#include "core/audio/audio_buffer.h"
#include "core/foundation/log.h"
#include "core/foundation/settings.h"

// The worker's lines name the studio member it runs for.
#define WORKER_LOG(level, ...) \
  ::vocle::log::write(::FB::Log::LogLevel_##level, __FILE__, __LINE__, m_function, __VA_ARGS__)

namespace vocle {
namespace audio {
namespace {

// What tells a recording from a playback, apart from the preparation and the ending.
struct direction {
  std::uint32_t status;
  int (audio_buffer::*callback)(const void*, void*, unsigned long, const PaStreamCallbackTimeInfo*,
                                PaStreamCallbackFlags);
  const char* no_device;
  const char* invalid_device;
  const char* open_failure;
  const char* busy_line;
  const char* chosen_line;
  const char* started_line;
};

const direction directions[] = {
    {audio_buffer::status_recording, &audio_buffer::record_callback, "AUDIO_NO_INPUT_DEVICE",
     "AUDIO_INVALID_INPUT_DEVICE", "AUDIO_OPEN_INPUT_DEVICE_FAILURE",
     "manually stop buf %1%, previous status %2%", "choosed input index %1%",
     "audio record %1% started"},
    {audio_buffer::status_playing, &audio_buffer::playback_callback, "AUDIO_NO_OUTPUT_DEVICE",
     "AUDIO_INVALID_OUTPUT_DEVICE", "AUDIO_OPEN_OUTPUT_DEVICE_FAILURE",
     "manually stop %1%, previous status %2%", "choosed output index %1%",
     "audio playback %1% started"},
};

const std::chrono::milliseconds poll_interval(50);
// While the page closes, the worker looks more often: the close waits for the stream to stop.
const std::chrono::milliseconds closing_poll_interval(2);

// Counts beyond the 32 bits of the stream parameters stay out of range instead of wrapping to
// something the device might accept.
int channel_count(std::uint64_t channels) {
  const std::uint64_t largest = static_cast<std::uint64_t>(std::numeric_limits<int>::max());
  return static_cast<int>(channels < largest ? channels : largest);
}

// The most frames a stream callback may carry. PortAudio takes any count and allocates the block
// (per channel) before the first callback, and every block is appended, detected and reported
// under the buffer's mutex, which a stop and a closing studio wait for: a count no device serves
// would only grow memory without end and hold them off. 16384 frames is about a second at 16 kHz.
const std::uint64_t max_frames_per_buffer = 16384;

// Whether a stream of these parameters may be opened at all. A rate that is not a positive
// finite number trips PortAudio's own assertion (NaN) and ends the process, so nothing of it may
// reach PortAudio. 0 frames lets PortAudio choose the block size.
bool servable(double sample_rate, std::uint64_t frames_per_buffer) {
  return std::isfinite(sample_rate) && sample_rate > 0 &&
         frames_per_buffer <= max_frames_per_buffer;
}

unsigned long frame_count(std::uint64_t frames) {
  const std::uint64_t largest = std::numeric_limits<std::uint32_t>::max();
  return static_cast<unsigned long>(frames < largest ? frames : largest);
}

}  // namespace

void stream_worker::start(studio& owner, kind what, std::size_t index, const function_ptr& callback,
                          const function_ptr& volumn, const studio::options_t& options,
                          const char* starter) {
  ::vocle::log::write(FB::Log::LogLevel_Info, __FILE__, __LINE__, starter, "buffer index %1%",
                      index);
  studio::buffer_ptr buffer = owner.get_buffer(index);
  ::vocle::log::write(FB::Log::LogLevel_Debug, __FILE__, __LINE__, starter,
                      "buffer %1% of index %2%", static_cast<const void*>(buffer.get()), index);
  const studio::worker_context context = owner.context();
  // Taken here, on the page's thread: a page that closes from now on waits for this stream too.
  worker_registry::place_ptr place =
      boost::make_shared<worker_registry::place>(context.streams->running);
  studio::options_t copy = options;
  function_ptr result = callback;
  function_ptr listener = volumn;
  // The worker takes the buffer and the callbacks out of the closure, so that they are released
  // when it ends.
  worker_registry::start([context, place, what, buffer, result, listener, copy]() mutable {
    if (what == recording) {
      studio::start_record(context, place, std::move(buffer), std::move(result),
                           std::move(listener), std::move(copy));
    } else {
      studio::playback(context, place, std::move(buffer), std::move(result), std::move(listener),
                       std::move(copy));
    }
    place->give_up();
  });
}

stream_worker::stream_worker(kind what, const studio::worker_context& context,
                             const worker_registry::place_ptr& place, studio::buffer_ptr buffer,
                             function_ptr callback, const char* function)
    : m_kind(what),
      m_context(context),
      m_place(place),
      m_buffer(std::move(buffer)),
      m_callback(std::move(callback)),
      m_function(function),
      m_lock(m_buffer->m_mutex, boost::defer_lock),
      m_owner(false),
      m_reported(false) {}

// Every ending has closed the stream and unlocked already; this only guards against an ending
// that failed halfway. The stream is closed without the mutex: its callback may be waiting for it.
stream_worker::~stream_worker() {
  if (m_lock.owns_lock()) {
    m_lock.unlock();
  }
  close_stream();
  give_up_place();
}

void stream_worker::give_up_place() {
  if (m_place) {
    m_place->give_up();
  }
}

void stream_worker::pause() const {
  studio::page_streams* const streams = m_context.streams.get();
  if (!streams) {
    std::this_thread::sleep_for(poll_interval);
    return;
  }
  const bool was_closing = closing();
  std::unique_lock<std::mutex> lock(streams->wake_mutex);
  streams->wake.wait_for(lock, was_closing ? closing_poll_interval : poll_interval,
                         [&] { return !was_closing && streams->closing.load(); });
}

void stream_worker::run(const function_ptr& volumn, const studio::options_t& options) noexcept {
  WORKER_LOG(Info, "entered");
  try {
    if (take_over() && start(volumn, options)) {
      poll_until_inactive_and_finish();
    }
    return;
  } catch (const std::exception& e) {
    WORKER_LOG(Error, "audio action on %1% failed: %2%", address(), e.what());
  } catch (...) {
    WORKER_LOG(Error, "audio action on %1% failed", address());
  }
  try {
    end_failed(settings::instance().translate(directions[m_kind].open_failure));
  } catch (...) {
    // Not even the failure could be reported; at least give the buffer up.
    try {
      if (m_lock.owns_lock()) {
        m_lock.unlock();
      }
      close_stream();
      m_lock.lock();
      if (m_owner) {
        m_buffer->m_status = audio_buffer::status_idle;
        m_buffer->m_owned = false;
        m_owner = false;
      }
      m_lock.unlock();
    } catch (...) {
    }
  }
}

bool stream_worker::take_over() {
  const direction& d = directions[m_kind];
  m_lock.lock();
  const std::uint32_t status = m_buffer->m_status;
  if (status != audio_buffer::status_idle) {
    WORKER_LOG(Debug, d.busy_line, address(), status);
    m_buffer->m_stop_requested = true;
  }
  m_lock.unlock();
  // The stream callback makes the buffer idle as soon as it sees the flag, while the worker that
  // ran it may still be ending; so the buffer must also be free of its owner.
  for (;;) {
    m_lock.lock();
    if (closing()) {
      // The page has gone: the action never starts, and the record stays as it is.
      WORKER_LOG(Debug, "page closing, %1% not started", address());
      m_reported = true;
      m_lock.unlock();
      return false;
    }
    if (m_buffer->m_status == audio_buffer::status_idle && !m_buffer->m_owned) {
      break;
    }
    m_lock.unlock();
    WORKER_LOG(Trace, "wait previous audio action %1% stopped", address());
    pause();
  }
  // Held from here until the stream runs.
  m_buffer->m_stop_requested = false;
  m_buffer->m_owned = true;
  m_owner = true;
  return true;
}

bool stream_worker::start(const function_ptr& volumn, const studio::options_t& options) {
  const direction& d = directions[m_kind];
  const bool input = m_kind == recording;
  if (input) {
    WORKER_LOG(Debug, "build audio record %1%", address());
  } else {
    WORKER_LOG(Debug, "build audio playback %1% with %2% samples", address(),
               m_buffer->m_samples.size());
  }
  m_buffer->m_listener = volumn;
  if (input) {
    m_buffer->prepare_record(m_context.sample_rate, options);
  } else {
    m_buffer->prepare_playback(m_context.sample_rate, options);
  }

  const studio::device_pair devices = studio::choose_device();
  const std::int32_t index = input ? devices.first : devices.second;
  if (index < 0) {
    fail(d.no_device);
    return false;
  }
  WORKER_LOG(Debug, d.chosen_line, index);
  portaudio::Device* device = nullptr;
  try {
    device = &portaudio::System::instance().deviceByIndex(index);
  } catch (const portaudio::PaException&) {
    // The device list changed under the choice; the device is not there.
  }
  if (!device || device->index() < 0) {
    fail(d.invalid_device);
    return false;
  }

  if (!servable(m_context.sample_rate, m_context.frames_per_buffer)) {
    WORKER_LOG(Warn,
               "stream of %1% not opened: sample rate %2%, frames per buffer %3% (at most %4%)",
               address(), m_context.sample_rate, m_context.frames_per_buffer, max_frames_per_buffer);
    fail(d.open_failure);
    return false;
  }
  try {
    warn_about_layout();
    const portaudio::DirectionSpecificStreamParameters one_way(
        *device, channel_count(m_context.channels), portaudio::INT16, false,
        input ? device->defaultLowInputLatency() : device->defaultLowOutputLatency(), nullptr);
    const portaudio::DirectionSpecificStreamParameters none =
        portaudio::DirectionSpecificStreamParameters::null();
    const portaudio::StreamParameters parameters(
        input ? one_way : none, input ? none : one_way, m_context.sample_rate,
        frame_count(m_context.frames_per_buffer), paClipOff);
    // The constructor opens the stream.
    m_stream = boost::make_shared<stream_t>(parameters, *m_buffer, d.callback);
    m_stream->start();
  } catch (const portaudio::PaException&) {
    fail(d.open_failure);
    return false;
  }
  // Still under the mutex: no block is stored before the status says the stream runs.
  m_buffer->m_status = d.status;
  WORKER_LOG(Debug, d.started_line, address());
  m_lock.unlock();
  return true;
}

void stream_worker::poll_until_inactive_and_finish() {
  const direction& d = directions[m_kind];
  for (;;) {
    m_lock.lock();
    bool active = false;
    try {
      active = m_stream->isActive();
    } catch (const portaudio::PaException&) {
      fail(d.open_failure);
      return;
    }
    if (!active) {
      break;
    }
    if (closing()) {
      // As a stop would: the callback completes the stream at its next block.
      m_buffer->m_stop_requested = true;
    }
    m_lock.unlock();
    WORKER_LOG(Trace, "waiting audio %1% completed", address());
    pause();
  }
  // The stream takes and gives no more blocks: a closing page need not wait for the rest.
  give_up_place();
  finish();
}

void stream_worker::finish() {
  // The status is back and the record clipped before the page hears of the end.
  m_buffer->m_status = audio_buffer::status_idle;
  if (m_kind == recording) {
    m_buffer->clip();
    WORKER_LOG(Info, "audio record %1% completed %2% samples", address(),
               m_buffer->m_samples.size());
    report(FB::VariantList{true, m_buffer->vad_statistics()});
  } else {
    WORKER_LOG(Info, "audio %1% completed", address());
    report(FB::VariantList{true});
  }
  m_lock.unlock();
  close_stream();
  // Only now may the next worker have the buffer.
  m_lock.lock();
  m_buffer->m_owned = false;
  m_owner = false;
  m_lock.unlock();
}

void stream_worker::fail(const char* key) {
  const std::string text = settings::instance().translate(key);
  ::vocle::log::write_text(FB::Log::LogLevel_Error, __FILE__, __LINE__, m_function, text);
  end_failed(text);
}

void stream_worker::end_failed(const std::string& text) {
  if (m_stream) {
    // A stream that may still run stores nothing more once the flag is up. It is closed outside
    // the mutex: its callback may be waiting for it.
    if (!m_lock.owns_lock()) {
      m_lock.lock();
    }
    m_buffer->m_stop_requested = true;
    m_lock.unlock();
    close_stream();
    m_lock.lock();
    m_buffer->m_stop_requested = false;
  } else if (!m_lock.owns_lock()) {
    m_lock.lock();
  }
  if (m_owner) {
    m_buffer->m_status = audio_buffer::status_idle;
  }
  if (!m_reported) {
    report(FB::VariantList{false, text});
  }
  if (m_owner) {
    m_buffer->m_owned = false;
    m_owner = false;
  }
  m_lock.unlock();
}

void stream_worker::close_stream() noexcept {
  if (!m_stream) {
    return;
  }
  try {
    m_stream->close();
  } catch (const std::exception& e) {
    WORKER_LOG(Error, "audio stream of %1% not closed: %2%", address(), e.what());
  }
  m_stream.reset();
}

void stream_worker::report(const FB::VariantList& result) {
  // Counted before the call: a delivery that fails is not tried again.
  m_reported = true;
  if (closing()) {
    WORKER_LOG(Debug, "page closing, no report of %1%", address());
    return;
  }
  if (m_callback) {
    m_callback->call_async(result);
  }
}

void stream_worker::warn_about_layout() const {
  if (m_context.sample_format == paInt16 && !m_context.interleaved) {
    return;
  }
  if (m_context.streams && m_context.streams->layout_warned.exchange(true)) {
    return;
  }
  WORKER_LOG(Warn,
             "streams carry 16-bit non-interleaved samples: sample format %1% and interleaved %2% "
             "are not used",
             m_context.sample_format, m_context.interleaved);
}

}  // namespace audio
}  // namespace vocle
