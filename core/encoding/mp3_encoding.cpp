#include "core/encoding/mp3_encoding.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <vector>

namespace vocle {

namespace {

std::runtime_error failure() {
  return std::runtime_error("failed to encode mp3");
}

// LAME ignores an input rate below 1 Hz and keeps its default of 44100 Hz, and one beyond int
// cannot be given to it: either stream would misstate the record's duration.
bool lame_takes(std::uint32_t rate) {
  return rate != 0 && rate <= static_cast<std::uint32_t>(std::numeric_limits<int>::max());
}

}  // namespace

mp3_encoding::mp3_encoding(double sample_rate, std::uint32_t sample_format, std::uint64_t channels,
                           bool interleaved)
    : encoding(sample_rate, sample_format, channels, interleaved), m_lame(nullptr), m_chunk(4096) {
  m_lame = lame_init();
  // A record holds one channel, whatever "audio.channels" says: the stream must say so too.
  lame_set_num_channels(m_lame, 1);
  const int rate =
      static_cast<int>(std::min<std::uint32_t>(integer_rate(), std::numeric_limits<int>::max()));
  lame_set_in_samplerate(m_lame, rate);
  // An output rate that MPEG audio lacks is refused: LAME then chooses one and resamples.
  lame_set_out_samplerate(m_lame, rate);
  // Parameters LAME cannot work with leave the handle uninitialised; every encoding call then
  // reports an error, which `encode` turns into its failure.
  lame_init_params(m_lame);
}

mp3_encoding::~mp3_encoding() {
  if (m_lame) {
    lame_close(m_lame);
  }
}

void mp3_encoding::encode(binary& out, const sample_view& samples) {
  if (!lame_takes(integer_rate())) {
    throw failure();
  }
  // LAME's documented worst case for one call of m_chunk samples.
  const std::size_t scratch_size = m_chunk * 5 / 4 + 7200;
  std::vector<unsigned char> scratch(scratch_size);

  auto take = [&](int r) {
    if (r < 0) {
      throw failure();
    }
    if (r > 0) {
      out.append(reinterpret_cast<const char*>(scratch.data()), static_cast<std::size_t>(r));
    }
  };

  // Fixed chunks, read across the spans: the calls LAME sees do not depend on how the record
  // lies in memory.
  std::vector<std::int16_t> chunk(static_cast<std::size_t>(m_chunk));
  sample_view::reader reader(samples);
  while (reader.remaining() > 0) {
    const std::size_t count = reader.read(chunk.data(), chunk.size());
    take(lame_encode_buffer(m_lame, chunk.data(), nullptr, static_cast<int>(count), scratch.data(),
                            static_cast<int>(scratch_size)));
  }
  // An error here too must not pass as a finished stream.
  take(lame_encode_flush(m_lame, scratch.data(), static_cast<int>(scratch_size)));
}

}  // namespace vocle
