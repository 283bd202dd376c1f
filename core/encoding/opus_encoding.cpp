#include "core/encoding/opus_encoding.h"

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <opus/opus.h>
#include <opus/opusenc.h>

#include "core/encoding/little_endian.h"
#include "core/encoding/ogg_stream.h"

namespace vocle {

namespace {

using little_endian::append16;
using little_endian::append32;

const char* const failure_text = "failed to encode opus";

std::runtime_error failure() {
  return std::runtime_error(failure_text);
}

struct comments_deleter {
  void operator()(OggOpusComments* c) const { ope_comments_destroy(c); }
};

struct encoder_deleter {
  void operator()(OggOpusEnc* e) const { ope_encoder_destroy(e); }
};

struct raw_encoder_deleter {
  void operator()(OpusEncoder* e) const { opus_encoder_destroy(e); }
};

// Nothing may unwind through the library: a failed append is reported as a failed write.
int write_page(void* user_data, const unsigned char* data, opus_int32 length) {
  try {
    static_cast<binary*>(user_data)->append(reinterpret_cast<const char*>(data),
                                            static_cast<std::size_t>(length));
    return 0;
  } catch (...) {
    return 1;
  }
}

int close_stream(void*) {
  return 0;
}

// The stream of a record without samples. libopusenc reads memory it never wrote when it is
// drained without input, so this one is put together here: the identification and comment
// headers, then a single 20 ms packet of silence that the final granule position (equal to the
// pre-skip) trims away entirely.
void write_empty_stream(binary& out, opus_int32 rate) {
  int error = OPUS_OK;
  std::unique_ptr<OpusEncoder, raw_encoder_deleter> encoder(
      opus_encoder_create(48000, 1, OPUS_APPLICATION_AUDIO, &error));
  if (!encoder || error != OPUS_OK) {
    throw failure();
  }
  opus_int32 pre_skip = 0;
  opus_encoder_ctl(encoder.get(), OPUS_GET_LOOKAHEAD(&pre_skip));
  const std::vector<opus_int16> silence(960, 0);
  unsigned char frame[1500];
  const opus_int32 frame_length =
      opus_encode(encoder.get(), silence.data(), 960, frame, sizeof frame);
  if (frame_length < 0) {
    throw failure();
  }

  std::string head("OpusHead");
  head.push_back(1);  // version
  head.push_back(1);  // channels
  append16(head, static_cast<std::uint32_t>(pre_skip));
  append32(head, static_cast<std::uint32_t>(rate));
  append16(head, 0);  // output gain
  head.push_back(0);  // mapping family: mono or stereo
  const std::string vendor = opus_get_version_string();
  std::string tags("OpusTags");
  append32(tags, static_cast<std::uint32_t>(vendor.size()));
  tags += vendor;
  append32(tags, 0);

  ogg_stream stream(out, failure_text);
  stream.packet(head.data(), head.size(), 0, 0, true, false);
  stream.flush();
  stream.packet(tags.data(), tags.size(), 0, 1, false, false);
  stream.flush();
  stream.packet(frame, static_cast<std::size_t>(frame_length), pre_skip, 2, false, true);
  stream.flush();
}

}  // namespace

opus_encoding::opus_encoding(double sample_rate, std::uint32_t sample_format,
                             std::uint64_t channels, bool interleaved)
    : encoding(sample_rate, sample_format, channels, interleaved) {}

void opus_encoding::encode(binary& out, const sample_view& samples) {
  const std::uint32_t rate = resampled_rate();
  if (rate == 0) {
    throw failure();
  }
  if (samples.empty()) {
    write_empty_stream(out, static_cast<opus_int32>(rate));
    return;
  }
  std::unique_ptr<OggOpusComments, comments_deleter> comments(ope_comments_create());
  if (!comments) {
    throw std::bad_alloc();
  }
  const OpusEncCallbacks callbacks = {write_page, close_stream};
  int error = OPE_OK;
  std::unique_ptr<OggOpusEnc, encoder_deleter> encoder(ope_encoder_create_callbacks(
      &callbacks, &out, comments.get(), static_cast<opus_int32>(rate), 1, 0, &error));
  if (!encoder || error != OPE_OK) {
    throw failure();
  }
  // The library's own default, set explicitly: left unset, libopusenc reads the setting before
  // it has ever written it.
  if (ope_encoder_ctl(encoder.get(), OPUS_SET_EXPERT_FRAME_DURATION(OPUS_FRAMESIZE_20_MS)) !=
      OPE_OK) {
    throw failure();
  }
  // Fixed chunks, read across the spans: the calls the library sees do not depend on how the
  // record lies in memory.
  std::vector<opus_int16> chunk(1 << 16);
  sample_view::reader reader(samples);
  while (reader.remaining() > 0) {
    const std::size_t count = reader.read(chunk.data(), chunk.size());
    if (ope_encoder_write(encoder.get(), chunk.data(), static_cast<int>(count)) != OPE_OK) {
      throw failure();
    }
  }
  if (ope_encoder_drain(encoder.get()) != OPE_OK) {
    throw failure();
  }
}

}  // namespace vocle
