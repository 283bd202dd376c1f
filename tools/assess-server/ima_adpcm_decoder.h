// The IMA ADPCM decoder: turns 4-bit codes back into 16-bit samples.
//
// Written from the published IMA ADPCM algorithm, on its own, so that what the server hears is
// checked by a decoder that shares nothing with the encoder that made it. Header-only, so the
// tests can run it on images they made themselves.
#pragma once

#include <cstdint>

namespace assess {

class ima_adpcm_decoder {
 public:
  static constexpr std::uint8_t max_index = 88;

  // The published IMA ADPCM step sizes.
  static constexpr std::uint16_t step_table[89] = {
      7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
      25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
      88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
      307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
      1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
      3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
      12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

  // The published IMA ADPCM index adjustments, by the code's magnitude (its low three bits).
  static constexpr std::int8_t index_table[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

  // predictor: the last sample decoded (a block's header sample); index: 0 to max_index.
  ima_adpcm_decoder(std::int16_t predictor, std::uint8_t index)
      : m_predictor(predictor), m_index(index > max_index ? max_index : index) {}

  // The sample of one 4-bit code (the high four bits of code are ignored).
  std::int16_t decode(std::uint8_t code) {
    code &= 0x0F;
    const std::int32_t step = step_table[m_index];
    std::int32_t difference = step >> 3;
    if (code & 4) {
      difference += step;
    }
    if (code & 2) {
      difference += step >> 1;
    }
    if (code & 1) {
      difference += step >> 2;
    }
    std::int32_t sample = (code & 8) ? m_predictor - difference : m_predictor + difference;
    if (sample > 32767) {
      sample = 32767;
    } else if (sample < -32768) {
      sample = -32768;
    }
    m_predictor = static_cast<std::int16_t>(sample);
    const int index = m_index + index_table[code & 7];
    m_index = static_cast<std::uint8_t>(index < 0 ? 0 : (index > max_index ? max_index : index));
    return m_predictor;
  }

  std::int16_t predictor() const { return m_predictor; }
  std::uint8_t index() const { return m_index; }

 private:
  std::int16_t m_predictor;
  std::uint8_t m_index;
};

}  // namespace assess
