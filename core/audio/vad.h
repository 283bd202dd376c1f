// The voice-activity detector of one recording. Fed every block of the recording, it removes the
// process's trained DC offset, cleans 160-sample frames with the Speex preprocessor (noise
// suppression and automatic gain) and judges each frame by its zero-crossing rate and its average
// square. It decides when the recording is over: no speech within the waiting time, a pause
// after speech longer than the gap, or the maximum length. Times are seconds of audio from the
// first block, stamped per block: every frame of a block carries the time the block began.
//
// A detector holds no lock: its owner serialises every call on it (the buffer's mutex).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <speex/speex_preprocess.h>
#include <boost/circular_buffer.hpp>
#include <boost/noncopyable.hpp>

namespace vocle {
namespace audio {

class vad : private boost::noncopyable {
 public:
  enum {
    status_waiting = 0,  // no speech yet
    status_voice = 1,
    status_gap = 2,  // a pause after speech
    status_finished = 3,
  };
  // Samples per frame judged.
  static constexpr std::size_t frame_size = 160;

  vad(double sample_rate, double gap, double wait, double max, bool statistic);
  // Hands this detector's loudest frame on to the next detector of the process.
  ~vad();

  // Judges one block; true when the recording is finished. *volume gets the block's volume (0 to
  // 100). The samples themselves are not changed. Blocks of any size are cut into frames without
  // allocating: only the part frame left at the end waits for the next block (or, when the
  // recording finished within the block, the rest of it).
  bool process(const std::int16_t* samples, std::size_t n, std::uint32_t* volume);

  std::uint32_t status() const { return m_status; }
  // The voice and gap markers ("_t|" voice start, "|t_" gap, "t|" resumption), when asked for.
  std::string statistics() const { return m_statistics; }
  // The sample indexes of the voice's begin and end.
  std::pair<std::uint64_t, std::uint64_t> voice_range() const;

  // True when gap > 0, max >= gap, max >= wait and max <= 600 seconds.
  static bool validate_args(double gap, double wait, double max);
  // The absolute value, with -32768 counted as 32767.
  static unsigned magnitude(std::int16_t x) {
    return x == -32768 ? 32767u : static_cast<unsigned>(x < 0 ? -x : x);
  }
  // A sample with the DC offset removed, wrapped to 16 bits (not saturated). Defined here because
  // it runs for every sample: inlined, the loops that call it become plain 16-bit subtractions.
  static std::int16_t remove_offset(std::int16_t x, std::int32_t dc) {
    const std::uint32_t difference =
        static_cast<std::uint32_t>(static_cast<std::int32_t>(x)) - static_cast<std::uint32_t>(dc);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(difference & 0xffffu));
  }
  // Of one frame of frame_size samples: the sum of each sample's square divided by the frame size
  // (each term truncated), and the sign changes per second (a zero sample counts as not positive).
  static void measure_frame(const std::int16_t* frame, double sample_rate,
                            std::uint64_t& average_square, std::uint64_t& zero_cross);

  // A Speex preprocessor for frames of frame_size samples at the rate (truncated), set up as every
  // detector's: noise suppression on, automatic gain on at level 8000, dereverberation off. Null
  // when Speex cannot start one; a rate below 1 Hz, which Speex would divide by, gets none.
  static SpeexPreprocessState* start_preprocessor(double sample_rate);

  // Developer routine: runs the preprocessor with the detector's settings over the raw 16 kHz
  // file "@{appdata}/vad_test_input.raw" and writes the cleaned frames to
  // "@{appdata}/vad_test_output.raw". Writes nothing when either file cannot be opened.
  static void test_preprocess();

 private:
  // Cleans and judges one frame of the block that began at t0; true when the recording finished.
  bool judge_frame(std::int16_t* frame, double t0);
  // Follows the status table for one frame judged with prob; true when the recording finished.
  bool judge(double prob, double t0);

  SpeexPreprocessState* m_state;
  double m_sample_rate;
  double m_gap;
  double m_wait;
  double m_max;
  double m_voice_begin;
  double m_voice_end;
  std::vector<std::int16_t> m_pending;
  boost::circular_buffer<std::uint16_t> m_voice_history;
  std::uint32_t m_status;
  double m_gap_begin;
  double m_total_length;
  std::uint64_t m_max_average_square;
  bool m_statistic;
  std::string m_statistics;
};

}  // namespace audio
}  // namespace vocle
