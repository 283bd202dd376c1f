#include "core/encoding/spx_encoding.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include <speex/speex_header.h>
#include <speex/speex_resampler.h>

#include "core/encoding/little_endian.h"
#include "core/encoding/ogg_stream.h"

namespace vocle {

namespace {

constexpr spx_uint32_t narrow_band_rate = 8000;
const char* const failure_text = "failed to encode spx";

struct resampler_deleter {
  void operator()(SpeexResamplerState* r) const { speex_resampler_destroy(r); }
};

std::runtime_error failure() {
  return std::runtime_error(failure_text);
}

// The record at 8 kHz, as the floats the encoder takes, exactly as long as the record lasts,
// made a piece at a time as the frames ask for it: only a chunk of the record is ever held
// as floats.
class narrow_band {
 public:
  narrow_band(const sample_view& samples, std::uint32_t rate)
      : m_reader(samples),
        m_wanted(samples.size()),
        m_produced(0),
        m_raw(chunk),
        m_pending(nullptr),
        m_pending_count(0),
        m_phase(phase::record) {
    if (rate == narrow_band_rate || samples.empty()) {
      return;
    }
    int error = 0;
    m_resampler.reset(
        speex_resampler_init(1, rate, narrow_band_rate, SPEEX_RESAMPLER_QUALITY_DEFAULT, &error));
    if (!m_resampler) {
      throw failure();
    }
    // The filter's delay is cut at the start and drained with silence at the end.
    speex_resampler_skip_zeros(m_resampler.get());
    m_wanted = static_cast<std::size_t>(
        (std::uint64_t(samples.size()) * narrow_band_rate + rate / 2) / rate);
    m_input.resize(chunk);
    m_silence.assign(
        static_cast<std::size_t>(speex_resampler_get_input_latency(m_resampler.get())) + 1, 0.0f);
  }

  // Samples in all.
  std::size_t size() const { return m_wanted; }

  // The next n samples; silence past the end.
  void read(float* to, std::size_t n) {
    std::size_t done = m_resampler ? resampled(to, n) : direct(to, n);
    std::fill(to + done, to + n, 0.0f);
  }

 private:
  static constexpr std::size_t chunk = 4096;

  // The record, then the silence that drains the filter, then nothing.
  enum class phase { record, drain, end };

  // At the record's own rate: its samples as they are.
  std::size_t direct(float* to, std::size_t n) {
    std::size_t done = 0;
    while (done < n && m_reader.remaining() > 0) {
      const std::size_t count = m_reader.read(m_raw.data(), std::min(n - done, m_raw.size()));
      std::copy(m_raw.begin(), m_raw.begin() + static_cast<std::ptrdiff_t>(count), to + done);
      done += count;
    }
    return done;
  }

  // Through the resampler, until it has given as many samples as the record lasts; anything the
  // filter still owes then is silence.
  std::size_t resampled(float* to, std::size_t n) {
    std::size_t done = 0;
    while (done < n && m_produced < m_wanted && m_phase != phase::end) {
      if (m_pending_count == 0 && !next_input()) {
        continue;
      }
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

  // Puts the next input before the resampler; false when the phase has moved on instead.
  bool next_input() {
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

  void start_drain() {
    m_phase = phase::drain;
    m_pending = m_silence.data();
    m_pending_count = m_silence.size();
  }

  sample_view::reader m_reader;
  std::unique_ptr<SpeexResamplerState, resampler_deleter> m_resampler;
  std::size_t m_wanted;
  std::size_t m_produced;
  std::vector<std::int16_t> m_raw;
  std::vector<float> m_input;
  std::vector<float> m_silence;
  const float* m_pending;
  std::size_t m_pending_count;
  phase m_phase;
};

// A comment packet with the vendor string and no comments.
std::string comment_packet() {
  const char* version = nullptr;
  speex_lib_ctl(SPEEX_LIB_GET_VERSION_STRING, &version);
  std::string vendor = std::string("Encoded with Speex ") + (version ? version : "");
  std::string packet;
  little_endian::append32(packet, static_cast<std::uint32_t>(vendor.size()));
  packet += vendor;
  little_endian::append32(packet, 0);
  return packet;
}

}  // namespace

spx_encoding::spx_encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
                           bool interleaved)
    : encoding(sample_rate, sample_format, channels, interleaved), m_state(nullptr) {
  // Out of memory, the state is null, and Speex would dereference it: `encode` refuses instead.
  m_state = speex_encoder_init(&speex_nb_mode);
  if (m_state) {
    int quality = 8;
    speex_encoder_ctl(m_state, SPEEX_SET_QUALITY, &quality);
  }
  speex_bits_init(&m_bits);
}

spx_encoding::~spx_encoding() {
  if (m_state) {
    speex_encoder_destroy(m_state);
  }
  speex_bits_destroy(&m_bits);
}

void spx_encoding::encode(binary& out, const sample_view& samples) {
  const std::uint32_t rate = resampled_rate();
  if (rate == 0 || !m_state) {
    throw failure();
  }
  narrow_band audio(samples, rate);

  // A fresh stream starts from a fresh coder.
  speex_encoder_ctl(m_state, SPEEX_RESET_STATE, nullptr);
  int frame_size = 0;
  int lookahead = 0;
  speex_encoder_ctl(m_state, SPEEX_GET_FRAME_SIZE, &frame_size);
  speex_encoder_ctl(m_state, SPEEX_GET_LOOKAHEAD, &lookahead);

  ogg_stream stream(out, failure_text);

  SpeexHeader header;
  speex_init_header(&header, static_cast<int>(narrow_band_rate), 1, &speex_nb_mode);
  header.frames_per_packet = 1;
  header.vbr = 0;
  header.nb_channels = 1;
  int header_length = 0;
  char* header_bytes = speex_header_to_packet(&header, &header_length);
  if (!header_bytes) {
    throw failure();
  }
  try {
    stream.packet(header_bytes, static_cast<std::size_t>(header_length), 0, 0, true, false);
  } catch (...) {
    speex_header_free(header_bytes);
    throw;
  }
  speex_header_free(header_bytes);
  // The header and the comments each stand on a page of their own.
  stream.flush();
  const std::string comments = comment_packet();
  stream.packet(comments.data(), comments.size(), 0, 1, false, false);
  stream.flush();

  // The decoder runs `lookahead` samples behind the encoder, so frames continue until the last
  // sample has come out; each packet's granule position counts the samples decoded through it.
  const std::int64_t total = static_cast<std::int64_t>(audio.size());
  const std::int64_t size = frame_size;
  const std::int64_t frames = std::max<std::int64_t>(1, (total + lookahead + size - 1) / size);
  std::vector<float> frame(static_cast<std::size_t>(size));
  // Far more than one frame at quality 8 needs (38 bytes).
  std::vector<char> bytes(2000);
  for (std::int64_t i = 0; i < frames; ++i) {
    // Past the record's end the frames are silence.
    audio.read(frame.data(), frame.size());
    speex_bits_reset(&m_bits);
    speex_encode(m_state, frame.data(), &m_bits);
    const int length = speex_bits_write(&m_bits, bytes.data(), static_cast<int>(bytes.size()));
    const std::int64_t granule = std::min((i + 1) * size - lookahead, total);
    stream.packet(bytes.data(), static_cast<std::size_t>(length),
                  std::max<std::int64_t>(0, granule), 2 + i, false, i + 1 == frames);
    stream.pages();
  }
  stream.flush();
}

}  // namespace vocle
