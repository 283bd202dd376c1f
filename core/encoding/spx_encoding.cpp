#include "core/encoding/spx_encoding.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <speex/speex_header.h>

#include "core/encoding/little_endian.h"
#include "core/encoding/narrow_band.h"
#include "core/encoding/ogg_stream.h"

namespace vocle {

namespace {

const char* const failure_text = "failed to encode spx";

std::runtime_error failure() {
  return std::runtime_error(failure_text);
}

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
  narrow_band audio(samples, rate, failure_text);

  // A fresh stream starts from a fresh coder.
  speex_encoder_ctl(m_state, SPEEX_RESET_STATE, nullptr);
  int frame_size = 0;
  int lookahead = 0;
  speex_encoder_ctl(m_state, SPEEX_GET_FRAME_SIZE, &frame_size);
  speex_encoder_ctl(m_state, SPEEX_GET_LOOKAHEAD, &lookahead);

  ogg_stream stream(out, failure_text);

  SpeexHeader header;
  speex_init_header(&header, static_cast<int>(narrow_band::rate), 1, &speex_nb_mode);
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
