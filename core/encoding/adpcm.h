// IMA/DVI ADPCM: four bits per sample, and the WAV DVI-ADPCM image that the recognition upload
// sends. The image always says 16000 Hz mono, blocks of 512 bytes holding 1017 samples each,
// whatever rate the record was made at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "core/foundation/binary.h"
#include "core/foundation/sample_view.h"

namespace vocle {
namespace adpcm {

struct state {
  std::int16_t predictor;
  std::uint8_t index;  // 0 to 88, into step_table
};

constexpr std::size_t header_size = 60;
constexpr std::uint32_t samples_per_block = 1017;
constexpr std::size_t block_size = 512;

// The published IMA ADPCM step sizes, 7 to 32767.
extern const std::uint16_t step_table[89];
// The published IMA ADPCM index adjustments, by 4-bit code (the sign bit does not matter).
extern const std::int8_t index_table[16];

// One encoder step: the 4-bit code of x, with the state moved on.
std::uint8_t encode_sample(state& s, std::int16_t x);

// Encodes n samples and packs their codes two per byte, the earlier sample in the low four bits.
// Clears the first (4 * n + 4) / 8 bytes of out first. Returns n.
std::size_t encode(state& s, const std::int16_t* samples, std::size_t n, std::uint8_t* out);

// Writes one block of n >= 1 samples (at most samples_per_block): the first sample as the
// predictor, the index, a zero byte, then the codes of the other n - 1 samples. out must hold
// block_size bytes. Returns the bytes written (0, and nothing written, for n = 0).
std::size_t encode_block(state& s, const std::int16_t* samples, std::size_t n, std::uint32_t* out);

// Bytes of data in the image of n samples.
std::uint32_t wav_data_size(std::uint32_t n);

// Writes the header_size bytes of the image's header.
void write_wav_header(std::uint8_t* out, std::uint32_t samples, std::uint32_t data_size);

// Bytes of the whole image of n samples, header included. The image counts samples in 32 bits:
// a longer record is cut at 2^32 - 1 samples, so that header and data still agree.
std::uint64_t wav_size(std::size_t n);

// Appends the whole image of a record to out: header, then its blocks, read from the view a
// block at a time. One coder state runs through the record, so each block's header carries the
// index the previous block ended with. Appends exactly wav_size(samples.size()) bytes.
void append_wav(binary& out, const sample_view& samples);

// The image alone, in a buffer of its own.
boost::shared_ptr<binary> make_wav(const sample_view& samples);
boost::shared_ptr<binary> make_wav(const std::vector<std::int16_t>& samples);

// A new zeroed state (predictor 0, index 0); the caller deletes it.
state* create_state();
void reset_index(state& s);
std::uint8_t index(const state& s);
void set_predictor(state& s, std::int16_t predictor);
std::int16_t predictor(const state& s);

}  // namespace adpcm
}  // namespace vocle
