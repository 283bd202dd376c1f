#include "core/audio/vad.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <limits>

#include <boost/format.hpp>

#include "core/audio/dcoffset_training.h"
#include "core/audio/max_average_square_training.h"
#include "core/foundation/log.h"
#include "core/foundation/util.h"

namespace vocle {
namespace audio {

namespace {

constexpr std::size_t history_size = 25;
// Each older decision counts this much less: 1.05 as a float, widened.
constexpr double history_decay = 1.0499999523162842;
constexpr double speech_probability = 5.0;
constexpr std::uint64_t min_zero_cross = 200;
constexpr std::uint64_t min_average_square = 53690;
constexpr double longest_max = 600.0;
// Samples summed 32 bits at a time, so that the loop can run on vector registers: 65536 of them
// cannot overflow (65536 * -32768 is exactly -2^31).
constexpr std::size_t sum_chunk = 65536;

// Truncated toward zero; what no count or index can be (negative, not a number, too large) is
// clamped, not left undefined.
std::uint64_t sample_index(double position) {
  if (!(position > 0)) {
    return 0;
  }
  if (position >= 18446744073709551616.0) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return static_cast<std::uint64_t>(position);
}

// What a voice decision k frames old adds to the probability: 1 / w, w being 1.0 for the newest
// and multiplied by history_decay for each older one. Dividing a decision of 1 by w gives exactly
// this value, and a decision of 0 adds exactly nothing, so the table changes no result.
struct history_weights {
  double share[history_size] = {};
  constexpr history_weights() {
    double w = 1.0;
    for (std::size_t k = 0; k < history_size; ++k) {
      share[k] = 1.0 / w;
      w *= history_decay;
    }
  }
};
constexpr history_weights weights;

std::string marker(const char* pattern, double t0) {
  return (boost::format(pattern) % t0).str();
}

// Copies count samples with the offset removed: a plain loop that the compiler vectorises.
void copy_without_offset(const std::int16_t* from, std::size_t count, std::int32_t dc,
                         std::int16_t* to) {
  for (std::size_t i = 0; i < count; ++i) {
    to[i] = vad::remove_offset(from[i], dc);
  }
}

}  // namespace

constexpr std::size_t vad::frame_size;

vad::vad(double sample_rate, double gap, double wait, double max, bool statistic)
    : m_state(nullptr),
      m_sample_rate(sample_rate),
      m_gap(gap),
      m_wait(wait),
      m_max(max),
      m_voice_begin(0),
      m_voice_end(0),
      m_voice_history(history_size),
      m_status(status_waiting),
      m_gap_begin(0),
      m_total_length(0),
      m_max_average_square(max_average_square_training::instance().value()),
      m_statistic(statistic) {
  // Made here, on the recording's own thread, so that the first block does not read the
  // configuration on the audio thread.
  dcoffset_training::instance();
  VOCLE_LOG_DEBUG(
      "vad initialized with sample rate %1%, gap %2%, wait %3%, max %4%, trained max average "
      "square %5%",
      m_sample_rate, m_gap, m_wait, m_max, m_max_average_square);
  // Room for the part frame that waits between blocks, made here rather than on the audio thread.
  m_pending.reserve(frame_size);
  m_state = start_preprocessor(sample_rate);
  if (!m_state) {
    VOCLE_LOG_ERROR("speex start initialization failed");
    return;
  }
  VOCLE_LOG_DEBUG("speex start initialization succeed");
}

vad::~vad() {
  if (m_state) {
    speex_preprocess_state_destroy(m_state);
  }
  max_average_square_training::instance().train(m_max_average_square);
}

bool vad::process(const std::int16_t* samples, std::size_t n, std::uint32_t* volume) {
  *volume = 0;
  if (n == 0) {
    m_status = status_finished;
    return true;
  }
  const double t0 = m_total_length;
  m_total_length += static_cast<double>(n) / m_sample_rate;

  dcoffset_training& dcoffset = dcoffset_training::instance();
  const std::int32_t dc = dcoffset.average();
  VOCLE_LOG_TRACE("trained dcoffset %1%", dc);

  // Summed in 64 bits: in 32 a block of more than 65536 loud samples would overflow, and its
  // mean, of the wrong sign, would teach every detector of the process a false offset. Each
  // chunk is summed in 32 bits first, in a branch-free loop that also finds the highest and the
  // lowest sample.
  std::int64_t sum = 0;
  std::int16_t highest = 0;
  std::int16_t lowest = 0;
  for (std::size_t begin = 0; begin < n; begin += sum_chunk) {
    const std::size_t end = begin + std::min(sum_chunk, n - begin);
    std::int32_t part = 0;
    for (std::size_t i = begin; i < end; ++i) {
      part += samples[i];
      highest = std::max(highest, samples[i]);
      lowest = std::min(lowest, samples[i]);
    }
    sum += part;
  }
  // The magnitude grows with the distance from zero on either side, so the loudest sample is the
  // highest or the lowest one; both start at 0, the peak of a silent block.
  const unsigned peak = std::max(magnitude(highest), magnitude(lowest));
  const std::int32_t mean = static_cast<std::int32_t>(sum / static_cast<std::int64_t>(n));
  const std::int32_t average = dcoffset.train(mean);
  VOCLE_LOG_TRACE("training dcoffset to %1% by %2%", average, mean);

  *volume = peak * 100 / 32767;

  // Each frame is put together on the stack from the part frame of the last block and the
  // corrected samples of this one, so that no block, however long, makes the detector allocate.
  // m_pending holds less than a frame, except after a block in which the recording finished.
  std::size_t used = 0;
  std::size_t next = 0;
  bool finished = false;
  while (!finished && (m_pending.size() - used) + (n - next) >= frame_size) {
    std::int16_t frame[frame_size];
    const std::size_t kept = std::min(m_pending.size() - used, frame_size);
    const auto from = m_pending.begin() + static_cast<std::ptrdiff_t>(used);
    std::copy(from, from + static_cast<std::ptrdiff_t>(kept), frame);
    used += kept;
    copy_without_offset(samples + next, frame_size - kept, dc, frame + kept);
    next += frame_size - kept;
    finished = judge_frame(frame, t0);
  }
  m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(used));
  // What is left waits for the next call: less than a frame, or the rest of a block in which the
  // recording finished.
  const std::size_t waiting = m_pending.size();
  // Reserved first so that growing takes just the room needed, not the doubling resize may take.
  m_pending.reserve(waiting + (n - next));
  m_pending.resize(waiting + (n - next));
  copy_without_offset(samples + next, n - next, dc, m_pending.data() + waiting);
  if (finished) {
    return true;
  }

  if (m_total_length > m_max) {
    m_status = status_finished;
    m_voice_end = m_total_length;
    return true;
  }
  return false;
}

bool vad::judge_frame(std::int16_t* frame, double t0) {
  if (m_state) {
    speex_preprocess_run(m_state, frame);
  }
  std::uint64_t average_square = 0;
  std::uint64_t zero_cross = 0;
  measure_frame(frame, m_sample_rate, average_square, zero_cross);

  if (average_square > m_max_average_square) {
    m_max_average_square = average_square;
  }
  const std::uint16_t voice = zero_cross > min_zero_cross && average_square > min_average_square &&
                              m_max_average_square / 100 < average_square;
  m_voice_history.push_front(voice);
  double prob = 0;
  std::size_t age = 0;
  for (std::uint16_t decision : m_voice_history) {
    prob += decision * weights.share[age++];
  }
  VOCLE_LOG_TRACE(
      "zero cross %1%, average square %2%, max average square %3%, voice %4%, prob %5%, total "
      "length %6%",
      zero_cross, average_square, m_max_average_square, voice, prob, m_total_length);
  return judge(prob, t0);
}

bool vad::judge(double prob, double t0) {
  const bool speech = prob > speech_probability;
  switch (m_status) {
    case status_waiting:
      if (speech) {
        m_status = status_voice;
        m_voice_begin = t0;
        if (m_statistic) {
          m_statistics += marker("_%1%|", t0);
        }
      } else if (m_total_length > m_wait) {
        m_voice_end = m_total_length;
        m_status = status_finished;
        return true;
      }
      break;
    case status_voice:
      if (!speech) {
        m_status = status_gap;
        m_gap_begin = t0;
        if (m_statistic) {
          m_statistics += marker("|%1%_", t0);
        }
      }
      break;
    case status_gap:
      if (speech) {
        m_status = status_voice;
        if (m_statistic) {
          m_statistics += marker("%1%|", t0);
        }
      } else if (m_total_length - m_gap_begin > m_gap) {
        m_voice_end = m_gap_begin;
        m_status = status_finished;
        return true;
      }
      break;
    default:
      break;
  }
  return false;
}

std::pair<std::uint64_t, std::uint64_t> vad::voice_range() const {
  return std::make_pair(sample_index(m_sample_rate * m_voice_begin),
                        sample_index(m_sample_rate * m_voice_end));
}

SpeexPreprocessState* vad::start_preprocessor(double sample_rate) {
  // Speex divides by the rate: below 1 Hz it would crash instead of failing.
  if (!(sample_rate >= 1 && sample_rate < 2147483648.0)) {
    return nullptr;
  }
  SpeexPreprocessState* state =
      speex_preprocess_state_init(static_cast<int>(frame_size), static_cast<int>(sample_rate));
  if (state) {
    spx_int32_t on = 1;
    spx_int32_t off = 0;
    float level = 8000.0f;
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_AGC, &on);
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
    speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DEREVERB, &off);
  }
  return state;
}

bool vad::validate_args(double gap, double wait, double max) {
  return gap > 0 && max >= gap && max >= wait && max <= longest_max;
}

void vad::measure_frame(const std::int16_t* frame, double sample_rate,
                        std::uint64_t& average_square, std::uint64_t& zero_cross) {
  // Two plain passes that the compiler can vectorise. A square fits 32 bits (32767^2), and a
  // sign change is a sample whose positiveness differs from the one before it.
  std::uint32_t squares = 0;
  for (std::size_t i = 0; i < frame_size; ++i) {
    const std::uint32_t m = magnitude(frame[i]);
    squares += (m * m) / static_cast<std::uint32_t>(frame_size);
  }
  std::uint32_t count = 0;
  for (std::size_t i = 1; i < frame_size; ++i) {
    count += (frame[i] > 0) != (frame[i - 1] > 0);
  }
  average_square = squares;
  zero_cross = sample_index(static_cast<double>(count) * sample_rate / 160.0);
}

void vad::test_preprocess() {
  std::string input_path;
  std::string output_path;
  try {
    input_path = util::utf8_to_ansi(util::expand_path("@{appdata}/vad_test_input.raw"));
    output_path = util::utf8_to_ansi(util::expand_path("@{appdata}/vad_test_output.raw"));
  } catch (const std::exception& e) {
    VOCLE_LOG_WARN("no folder for the preprocessor test: %1%", e.what());
    return;
  }
  std::FILE* input = std::fopen(input_path.c_str(), "rb");
  if (!input) {
    VOCLE_LOG_WARN("cannot open %1%", input_path);
    return;
  }
  std::FILE* output = std::fopen(output_path.c_str(), "wb");
  if (!output) {
    VOCLE_LOG_WARN("cannot open %1%", output_path);
    std::fclose(input);
    return;
  }
  if (SpeexPreprocessState* state = start_preprocessor(16000.0)) {
    std::int16_t frame[frame_size];
    while (std::fread(frame, sizeof frame[0], frame_size, input) == frame_size) {
      speex_preprocess_run(state, frame);
      std::fwrite(frame, sizeof frame[0], frame_size, output);
    }
    speex_preprocess_state_destroy(state);
  }
  std::fclose(output);
  std::fclose(input);
}

}  // namespace audio
}  // namespace vocle
