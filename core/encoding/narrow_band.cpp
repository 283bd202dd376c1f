#include "core/encoding/narrow_band.h"

#include <algorithm>
#include <stdexcept>

namespace vocle {

namespace {

// Samples read from the record at a time.
constexpr std::size_t chunk = 4096;

}  // namespace

constexpr std::uint32_t narrow_band::rate;

narrow_band::narrow_band(const sample_view& samples, std::uint32_t samples_rate,
                         const char* failure_text)
    : m_reader(samples),
      m_wanted(samples.size()),
      m_produced(0),
      m_raw(chunk),
      m_pending(nullptr),
      m_pending_count(0),
      m_phase(phase::record) {
  if (samples_rate == rate || samples.empty()) {
    return;
  }
  int error = 0;
  m_resampler.reset(
      speex_resampler_init(1, samples_rate, rate, SPEEX_RESAMPLER_QUALITY_DEFAULT, &error));
  if (!m_resampler) {
    throw std::runtime_error(failure_text);
  }
  speex_resampler_skip_zeros(m_resampler.get());
  m_wanted = static_cast<std::size_t>((std::uint64_t(samples.size()) * rate + samples_rate / 2) /
                                      samples_rate);
  m_input.resize(chunk);
  m_silence.assign(
      static_cast<std::size_t>(speex_resampler_get_input_latency(m_resampler.get())) + 1, 0.0f);
}

narrow_band::~narrow_band() = default;

void narrow_band::read(float* to, std::size_t n) {
  const std::size_t done = m_resampler ? resampled(to, n) : direct(to, n);
  std::fill(to + done, to + n, 0.0f);
}

std::size_t narrow_band::direct(float* to, std::size_t n) {
  std::size_t done = 0;
  while (done < n && m_reader.remaining() > 0) {
    const std::size_t count = m_reader.read(m_raw.data(), std::min(n - done, m_raw.size()));
    std::copy(m_raw.begin(), m_raw.begin() + static_cast<std::ptrdiff_t>(count), to + done);
    done += count;
  }
  return done;
}

std::size_t narrow_band::resampled(float* to, std::size_t n) {
  std::size_t done = 0;
  while (done < n && m_produced < m_wanted && m_phase != phase::end) {
    if (m_pending_count == 0 && !next_input()) {
      continue;
    }
    // Each piece of input and output fits the library's 32-bit counts: a chunk, the silence, a
    // frame.
    spx_uint32_t in_len = static_cast<spx_uint32_t>(m_pending_count);
    spx_uint32_t out_len = static_cast<spx_uint32_t>(std::min(n - done, m_wanted - m_produced));
    speex_resampler_process_float(m_resampler.get(), 0, m_pending, &in_len, to + done, &out_len);
    if (in_len == 0 && out_len == 0) {
      // The filter takes no more of this input: the rest of it is given up.
      if (m_phase == phase::record) {
        start_drain();
      } else {
        m_pending_count = 0;
        m_phase = phase::end;
      }
      continue;
    }
    for (spx_uint32_t k = 0; k < out_len; ++k) {
      to[done + k] = std::min(32767.0f, std::max(-32768.0f, to[done + k]));
    }
    m_pending += in_len;
    m_pending_count -= in_len;
    done += out_len;
    m_produced += out_len;
  }
  return done;
}

bool narrow_band::next_input() {
  if (m_phase == phase::record && m_reader.remaining() > 0) {
    const std::size_t count = m_reader.read(m_raw.data(), m_raw.size());
    std::copy(m_raw.begin(), m_raw.begin() + static_cast<std::ptrdiff_t>(count), m_input.begin());
    m_pending = m_input.data();
    m_pending_count = count;
    return true;
  }
  if (m_phase == phase::record) {
    start_drain();
    return true;
  }
  m_phase = phase::end;
  return false;
}

void narrow_band::start_drain() {
  m_phase = phase::drain;
  m_pending = m_silence.data();
  m_pending_count = m_silence.size();
}

}  // namespace vocle
