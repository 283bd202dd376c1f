// One numbered record slot of the studio: the samples of one recording (or of a loaded file), the
// page's volume listener of the action running on it, whether it is idle, recording or playing,
// and a stop flag. Its two stream callbacks hand every block to its input or output strategy.
// The buffer owns no stream: the studio's workers open a portaudio::MemFunCallbackStream over
// record_callback or playback_callback (16-bit samples, non-interleaved).
//
// m_mutex guards the samples and the strategies' state; the strategies take it for every block
// and the workers while they take the buffer over, prepare, poll and clip. The buffer's own
// operations leave it to their caller, except that both stream callbacks take it to release the
// listener when an action ends. So nobody may hold it while stopping, closing or aborting a
// stream over this buffer: that waits for the callback thread, which may be waiting for the
// mutex. m_status and m_stop_requested are atomic words, also read and written without it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <portaudio.h>

#include <boost/any.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

#include "core/audio/sample_store.h"
#include "core/foundation/function.h"

namespace vocle {
namespace audio {

class audio_input_strategy;
class audio_output_strategy;

class audio_buffer : private boost::noncopyable {
 public:
  enum { status_idle = 0, status_recording = 1, status_playing = 2 };

  // No samples, no listener, idle; a fresh audio_input and audio_output.
  audio_buffer();
  ~audio_buffer();

  // Appends n samples; the source may lie inside m_samples itself. Inside a stream callback this
  // copies the block and allocates at most one chunk.
  void append(const std::int16_t* samples, std::size_t n);
  // Keeps [first, last): drops everything from last on (when last is below the count), then the
  // first `first` samples (when first is below what is left).
  void trim(std::size_t first, std::size_t last);
  // The samples as they are now, taken under m_mutex; no sample is copied. The caller must not
  // hold m_mutex.
  sample_view snapshot();
  // Lets the input strategy cut the record to the detected voice.
  void clip();
  // Empties the samples and prepares the input strategy.
  void prepare_record(double sample_rate, const std::map<std::string, boost::any>& options);
  // Prepares the output strategy; the samples stay.
  void prepare_playback(double sample_rate, const std::map<std::string, boost::any>& options);
  std::string vad_statistics();

  // The stream callbacks (the member-function form of portaudio::MemFunCallbackStream). Each
  // returns paContinue or paComplete; a stop request, a null buffer, a missing strategy or a
  // failure inside the strategy or the listener completes the stream and releases the listener.
  int record_callback(const void* input, void* output, unsigned long frames,
                      const PaStreamCallbackTimeInfo* time, PaStreamCallbackFlags flags);
  int playback_callback(const void* input, void* output, unsigned long frames,
                        const PaStreamCallbackTimeInfo* time, PaStreamCallbackFlags flags);

  // The volume listener of the running action (page option "volumn"); set by the worker while no
  // stream runs, released by the callbacks when the action ends.
  function_ptr m_listener;
  sample_store m_samples;
  std::atomic<bool> m_stop_requested;
  std::atomic<std::uint32_t> m_status;
  boost::mutex m_mutex;
  // Set by the recording or playback worker that has taken the buffer over, until that worker
  // has finished its ending (status, clip, report, stream closed). A stream callback that sees
  // the stop flag makes the buffer idle before that ending, so the next worker waits for this to
  // drop as well: the previous one then never touches the buffer after the next has it.
  // Guarded by m_mutex.
  bool m_owned;
  boost::shared_ptr<audio_input_strategy> m_input;
  boost::shared_ptr<audio_output_strategy> m_output;

 private:
  // Drops the listener under m_mutex: the worker that takes the buffer over next assigns it, and
  // the lock is what orders that assignment after this release. The page callback itself is
  // destroyed outside the lock.
  void release_listener();
};

}  // namespace audio
}  // namespace vocle
