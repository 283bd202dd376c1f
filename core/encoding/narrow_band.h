// A record at 8 kHz, the rate of Speex narrow-band, as the floats the encoder takes: exactly as
// long as the record lasts, made a piece at a time as the frames ask for it, so that only a
// chunk of the record is ever held as floats. A record at another rate goes through a resampler
// whose delay is cut at the start and drained with silence at the end; what the filter still
// owes when the record is over is silence, and what it gives is kept within 16 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <speex/speex_resampler.h>

#include "core/foundation/sample_view.h"

namespace vocle {

class narrow_band {
 public:
  static constexpr std::uint32_t rate = 8000;

  // Reads the view, which must outlive this, from its start. Throws failure_text as a
  // std::runtime_error when no resampler can be made for the record's rate.
  narrow_band(const sample_view& samples, std::uint32_t samples_rate, const char* failure_text);
  ~narrow_band();
  narrow_band(const narrow_band&) = delete;
  narrow_band& operator=(const narrow_band&) = delete;

  // Samples in all.
  std::size_t size() const { return m_wanted; }

  // The next n samples; silence past the end.
  void read(float* to, std::size_t n);

 private:
  struct resampler_deleter {
    void operator()(SpeexResamplerState* r) const { speex_resampler_destroy(r); }
  };

  // The record, then the silence that drains the filter, then nothing.
  enum class phase { record, drain, end };

  // At the record's own rate: its samples as they are. Returns how many were written.
  std::size_t direct(float* to, std::size_t n);
  // Through the resampler, until it has given as many samples as the record lasts. Returns how
  // many were written.
  std::size_t resampled(float* to, std::size_t n);
  // Puts the next input before the resampler; false when there is none left.
  bool next_input();
  void start_drain();

  sample_view::reader m_reader;
  std::unique_ptr<SpeexResamplerState, resampler_deleter> m_resampler;
  std::size_t m_wanted;
  std::size_t m_produced;
  std::vector<std::int16_t> m_raw;  // a chunk of the record as read
  std::vector<float> m_input;       // the same chunk as floats
  std::vector<float> m_silence;
  const float* m_pending;  // input not yet taken by the resampler
  std::size_t m_pending_count;
  phase m_phase;
};

}  // namespace vocle
