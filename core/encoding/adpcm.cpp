#include "core/encoding/adpcm.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include <boost/make_shared.hpp>

#include "core/encoding/little_endian.h"

namespace vocle {
namespace adpcm {

constexpr std::uint16_t step_table[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr std::int8_t index_table[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

namespace {

using little_endian::put16;
using little_endian::put32;

constexpr std::uint32_t byte_rate = 8055;
constexpr std::uint32_t image_rate = 16000;

// The encoder step's outcomes for each step index, by the code's magnitude m (0 to 7): the
// difference from which m is reached, what the predictor moves by, and the next index. The
// three compare-and-subtract stages of the coder pick the largest m whose threshold the
// difference reaches (the thresholds rise with m, as step >= step / 2 + step / 4), so m can be
// counted from seven independent comparisons instead of a chain of three dependent ones.
struct step_row {
  int threshold[8];
  int vpdiff[8];
  int next[8];
};

constexpr step_row make_row(int index) {
  step_row row{};
  const int size = step_table[index];
  for (int m = 0; m < 8; ++m) {
    const int reached =
        ((m & 4) ? size : 0) + ((m & 2) ? size >> 1 : 0) + ((m & 1) ? size >> 2 : 0);
    row.threshold[m] = reached;
    row.vpdiff[m] = (size >> 3) + reached;
    const int next = index + index_table[m];
    row.next[m] = next < 0 ? 0 : (next > 88 ? 88 : next);
  }
  return row;
}

struct step_rows {
  step_row row[89];
};

constexpr step_rows make_rows() {
  step_rows rows{};
  for (int i = 0; i < 89; ++i) {
    rows.row[i] = make_row(i);
  }
  return rows;
}

constexpr step_rows rows = make_rows();

// The encoder step on a predictor and index held in registers.
inline unsigned step(int& predictor, int& index, int x) {
  const step_row& r = rows.row[index];
  int diff = x - predictor;
  const bool negative = diff < 0;
  diff = negative ? -diff : diff;
  const unsigned m = unsigned(diff >= r.threshold[1]) + unsigned(diff >= r.threshold[2]) +
                     unsigned(diff >= r.threshold[3]) + unsigned(diff >= r.threshold[4]) +
                     unsigned(diff >= r.threshold[5]) + unsigned(diff >= r.threshold[6]) +
                     unsigned(diff >= r.threshold[7]);
  const int moved = negative ? predictor - r.vpdiff[m] : predictor + r.vpdiff[m];
  predictor = moved > 32767 ? 32767 : (moved < -32768 ? -32768 : moved);
  index = r.next[m];
  return m | (negative ? 8u : 0u);
}

}  // namespace

std::uint8_t encode_sample(state& s, std::int16_t x) {
  int predictor = s.predictor;
  int index = s.index;
  const unsigned code = step(predictor, index, x);
  s.predictor = static_cast<std::int16_t>(predictor);
  s.index = static_cast<std::uint8_t>(index);
  return static_cast<std::uint8_t>(code);
}

std::size_t encode(state& s, const std::int16_t* samples, std::size_t n, std::uint8_t* out) {
  std::memset(out, 0, (4 * n + 4) / 8);
  // The state lives in locals during the loop: stores through out could otherwise alias it.
  int predictor = s.predictor;
  int index = s.index;
  std::size_t k = 0;
  for (; k + 1 < n; k += 2) {
    const unsigned low = step(predictor, index, samples[k]);
    const unsigned high = step(predictor, index, samples[k + 1]);
    out[k / 2] = static_cast<std::uint8_t>(low | (high << 4));
  }
  if (k < n) {
    out[k / 2] = static_cast<std::uint8_t>(step(predictor, index, samples[k]));
  }
  s.predictor = static_cast<std::int16_t>(predictor);
  s.index = static_cast<std::uint8_t>(index);
  return n;
}

std::size_t encode_block(state& s, const std::int16_t* samples, std::size_t n, std::uint32_t* out) {
  if (n == 0) {
    return 0;  // no block: there is no first sample to carry the predictor
  }
  std::uint8_t* bytes = reinterpret_cast<std::uint8_t*>(out);
  s.predictor = samples[0];
  put16(bytes, static_cast<std::uint16_t>(s.predictor));
  bytes[2] = s.index;
  bytes[3] = 0;
  encode(s, samples + 1, n - 1, bytes + 4);
  return ((n - 1) * 4 + 4) / 8 + 4;
}

std::uint32_t wav_data_size(std::uint32_t n) {
  std::uint32_t size = block_size * (n / samples_per_block);
  std::uint32_t rest = n % samples_per_block;
  if (rest != 0) {
    size += rest * 4 / 8 + 4;
  }
  return size;
}

void write_wav_header(std::uint8_t* out, std::uint32_t samples, std::uint32_t data_size) {
  std::memcpy(out + 0, "RIFF", 4);
  put32(out + 4, data_size + 52);
  std::memcpy(out + 8, "WAVE", 4);
  std::memcpy(out + 12, "fmt ", 4);
  put32(out + 16, 20);
  put16(out + 20, 17);
  put16(out + 22, 1);
  put32(out + 24, image_rate);
  put32(out + 28, byte_rate);
  put16(out + 32, block_size);
  put16(out + 34, 4);
  put16(out + 36, 2);
  put16(out + 38, samples_per_block);
  std::memcpy(out + 40, "fact", 4);
  put32(out + 44, 4);
  put32(out + 48, samples);
  std::memcpy(out + 52, "data", 4);
  put32(out + 56, data_size);
}

namespace {

std::uint32_t image_samples(std::size_t n) {
  return static_cast<std::uint32_t>(
      std::min<std::size_t>(n, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

std::uint64_t wav_size(std::size_t n) {
  return header_size + wav_data_size(image_samples(n));
}

void append_wav(binary& out, const sample_view& samples) {
  const std::uint32_t n = image_samples(samples.size());
  const std::uint32_t data_size = wav_data_size(n);

  // Sized once and filled in place: the blocks are written where they belong.
  const std::size_t at = out.size();
  out.resize(at + header_size + data_size);
  write_wav_header(reinterpret_cast<std::uint8_t*>(out.begin() + at), n, data_size);

  std::unique_ptr<state> s(create_state());
  sample_view::reader reader(samples);
  std::int16_t block[samples_per_block];
  std::uint32_t scratch[block_size / 4];
  char* to = out.begin() + at + header_size;
  for (std::size_t first = 0; first < n; first += samples_per_block) {
    const std::size_t count =
        reader.read(block, std::min<std::size_t>(samples_per_block, n - first));
    const std::size_t written = encode_block(*s, block, count, scratch);
    std::memcpy(to, scratch, written);
    to += written;
  }
}

boost::shared_ptr<binary> make_wav(const sample_view& samples) {
  boost::shared_ptr<binary> image = boost::make_shared<binary>(std::size_t(0));
  append_wav(*image, samples);
  return image;
}

boost::shared_ptr<binary> make_wav(const std::vector<std::int16_t>& samples) {
  return make_wav(sample_view(samples));
}

state* create_state() {
  return new state{0, 0};
}

void reset_index(state& s) {
  s.index = 0;
}

std::uint8_t index(const state& s) {
  return s.index;
}

void set_predictor(state& s, std::int16_t predictor) {
  s.predictor = predictor;
}

std::int16_t predictor(const state& s) {
  return s.predictor;
}

}  // namespace adpcm
}  // namespace vocle
