// What the recording and the playback workers share: taking a buffer over from whatever runs on
// it, opening, starting and polling one PortAudio stream over the buffer's callback, and ending
// with exactly one report to the page (none once the page has closed).
//
// Taking over: a busy buffer gets its stop flag raised; then the worker waits, 50 ms at a time
// and with the buffer's mutex released while it sleeps, until the buffer is idle and no other
// worker owns it. The owner keeps the buffer until its own ending is done (status, clip, report,
// stream closed), so a worker that takes over never shares the buffer with the one before it.
//
// The callbacks read 16-bit samples of one channel from the non-interleaved layout, so every
// stream is opened in that form whatever "audio.sample_format" and "audio.interleaved" say (a
// warning says so once per page); the channel count is the configured one, channel 0 is the
// one recorded or played.
//
// A closing page (or the end of the process) ends every action promptly, and the page hears no
// more of it: a worker that would take a buffer over, or is still waiting for one, gives up
// without touching the buffer or opening a stream, and a worker whose stream runs (woken by the
// close) raises the buffer's stop flag, so the stream completes at its next block; the worker
// gives up its place among the page's running streams as soon as it sees the stream stopped,
// then closes it. Such an action reports nothing.
//
// Whatever fails, nothing leaves the worker: a PortAudio failure while the stream is opened,
// started or polled ends as an open failure (the translated "AUDIO_OPEN_INPUT_DEVICE_FAILURE" or
// "AUDIO_OPEN_OUTPUT_DEVICE_FAILURE"), with the buffer idle and no stream left open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/lock_types.hpp>
#include <boost/thread/mutex.hpp>

#include "core/foundation/function.h"
#include "core/studio/studio.h"
#include "framework/variant.h"

namespace portaudio {
template <typename T>
class MemFunCallbackStream;
}

namespace vocle {
namespace audio {

class stream_worker : private boost::noncopyable {
 public:
  enum kind { recording, playback };

  // What a starter does on the page's thread: resolves the buffer (get_buffer's script error
  // passes to the caller, and then no worker starts) and starts a studio worker that runs
  // start_record or playback, by the kind, on it with copies of the callbacks and the options.
  // starter: the __PRETTY_FUNCTION__ of the threaded_ member; its log lines carry its name.
  static void start(studio& owner, kind what, std::size_t index, const function_ptr& callback,
                    const function_ptr& volumn, const studio::options_t& options,
                    const char* starter);

  // context: what the worker keeps of its studio (the stream parameters as they were when it
  // was started, the page's closing flag). place: the worker's place among the page's running
  // streams, given up as soon as its stream has stopped (or when the worker ends); may be null.
  // function: the __PRETTY_FUNCTION__ of the studio member the worker runs for; the worker's
  // log lines carry its name.
  stream_worker(kind what, const studio::worker_context& context,
                const worker_registry::place_ptr& place, studio::buffer_ptr buffer,
                function_ptr callback, const char* function);
  ~stream_worker();

  // The whole action, from the take-over to the report: [true, the detector's statistics] for a
  // recording, [true] for a playback, [false, translated text] when it cannot run. Reports
  // exactly once (nothing without a callback, nothing once the page has closed) and throws
  // nothing.
  void run(const function_ptr& volumn, const studio::options_t& options) noexcept;

 private:
  typedef portaudio::MemFunCallbackStream<audio_buffer> stream_t;

  // False when the action ended before the buffer was taken over (the page is closing).
  bool take_over();
  // From the idle buffer to the running stream; false when the action has already ended (it
  // failed and was reported, or the page is closing).
  bool start(const function_ptr& volumn, const studio::options_t& options);
  void poll_until_inactive_and_finish();
  // The ending of an action that ran: status idle, clip, report, stream closed, buffer given up.
  // Called with the mutex held.
  void finish();
  bool closing() const { return m_context.closing(); }
  // Waits one poll interval, or less: a page that begins to close wakes the worker at once, and
  // a closing page's worker polls often, so that its page's close is over soon after its stream.
  void pause() const;
  void give_up_place();
  // Ends the action as failed with the translated text of the key.
  void fail(const char* key);
  void end_failed(const std::string& text);
  void close_stream() noexcept;
  void report(const FB::VariantList& result);
  void warn_about_layout() const;
  const void* address() const { return m_buffer.get(); }

  const kind m_kind;
  const studio::worker_context m_context;
  worker_registry::place_ptr m_place;
  const studio::buffer_ptr m_buffer;
  const function_ptr m_callback;
  const char* const m_function;
  boost::unique_lock<boost::mutex> m_lock;
  // This worker has taken the buffer over (audio_buffer::m_owned is its).
  bool m_owner;
  bool m_reported;
  boost::shared_ptr<stream_t> m_stream;
};

}  // namespace audio
}  // namespace vocle
