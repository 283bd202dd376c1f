// The byte sources an upload streams its parts from: read in pieces of any size, they give
// exactly their bytes, and their size stays what it was before the first read.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/make_shared.hpp>

#include "core/foundation/binary.h"
#include "core/foundation/binary_source.h"
#include "core/foundation/sample_view.h"
#include "core/foundation/sample_view_source.h"

namespace {

using vocle::binary;
using vocle::byte_source;

// Reads the source to its end in pieces of the given size; the last read gives 0.
std::string read_all(byte_source& source, std::size_t piece) {
  std::string bytes;
  std::vector<char> buffer(piece);
  for (;;) {
    const std::size_t n = source.read(buffer.data(), piece);
    EXPECT_LE(n, piece);
    if (!n) {
      return bytes;
    }
    bytes.append(buffer.data(), n);
  }
}

std::string little_endian(const std::vector<std::int16_t>& samples) {
  std::string bytes;
  for (std::int16_t s : samples) {
    bytes += static_cast<char>(static_cast<std::uint16_t>(s) & 0xff);
    bytes += static_cast<char>(static_cast<std::uint16_t>(s) >> 8);
  }
  return bytes;
}

// Pieces that split samples, that end exactly at a span's end, and that hold everything.
const std::size_t pieces[] = {1, 3, 4, 1001, 1 << 16};

TEST(sample_view_source, GivesTheSamplesLittleEndianAcrossSpansInPiecesOfAnySize) {
  std::vector<std::int16_t> samples(1000);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(i * 40503u - 32768);
  }
  // Spans of one sample, of an odd count, and one held by its owner alone.
  auto owned = std::make_shared<std::vector<std::int16_t> >(samples.begin() + 500, samples.end());
  vocle::sample_view view;
  view.add(nullptr, samples.data(), 1);
  view.add(nullptr, samples.data() + 1, 499);
  view.add(owned, owned->data(), owned->size());
  owned.reset();  // the view keeps it

  for (std::size_t piece : pieces) {
    SCOPED_TRACE(piece);
    vocle::sample_view_source source(view);
    EXPECT_EQ(2000u, source.size());
    EXPECT_EQ(little_endian(samples), read_all(source, piece));
    EXPECT_EQ(2000u, source.size());
  }
}

TEST(sample_view_source, AnEmptyViewGivesNothing) {
  vocle::sample_view_source source{vocle::sample_view()};
  char c = 0;
  EXPECT_EQ(0u, source.size());
  EXPECT_EQ(0u, source.read(&c, 1));
}

TEST(binary_source, DrainsTheBinaryAndKeepsTheSizeItHadAtTheStart) {
  const std::string bytes("\0\r\nabc\0de", 9);
  for (std::size_t piece : pieces) {
    SCOPED_TRACE(piece);
    auto data = boost::make_shared<binary>(bytes.data(), bytes.size());
    vocle::binary_source source(data);
    EXPECT_EQ(bytes, read_all(source, piece));
    EXPECT_EQ(0u, data->size());
    EXPECT_EQ(9u, source.size());
  }
  vocle::binary_source none{boost::shared_ptr<binary>()};
  char c = 0;
  EXPECT_EQ(0u, none.size());
  EXPECT_EQ(0u, none.read(&c, 1));
}

}  // namespace
