// The recording strategy: every block is appended to the buffer and judged by a voice-activity
// detector made afresh for each recording; the detector's end of the utterance ends the stream.
#pragma once

#include <boost/shared_ptr.hpp>

#include "core/audio/audio_input_strategy.h"

namespace vocle {
namespace audio {

class vad;

class audio_input : public audio_input_strategy {
 public:
  audio_input();
  ~audio_input() override;

  // Builds the detector from "audio.vad_gap", "audio.vad_wait", "audio.vad_max" and
  // "audio.vad_statistic", each replaced by the option of the same name without the "audio."
  // ("vad_gap" ... as doubles, "vad_statistic" as a bool); values that fail the detector's check
  // are logged and used. "audio.vad_clip" / "vad_clip" decides whether clip cuts the record.
  // The caller holds the buffer's mutex.
  void prepare(audio_buffer& buffer, double sample_rate,
               const std::map<std::string, boost::any>& options) override;
  void reset() override;
  // Takes the buffer's mutex for the whole block.
  int on_record(audio_buffer& buffer, const std::int16_t* samples, std::uint32_t frames) override;
  // "" before the first preparation.
  std::string vad_statistics() override;
  // Cuts the record to the detected voice when clipping was asked for. A detector that did not
  // finish (the recording was stopped) has no voice end: the record is kept to its end.
  // The caller holds the buffer's mutex.
  void clip(audio_buffer& buffer) override;

 private:
  boost::shared_ptr<vad> m_vad;
  bool m_clip;
};

}  // namespace audio
}  // namespace vocle
