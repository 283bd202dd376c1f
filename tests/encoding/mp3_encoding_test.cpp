// "mp3": checked with mpg123, which decodes the stream independently.
#include <portaudio.h>

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/speech_fixture.h"
#include "common/temp_dir.h"
#include "core/encoding/encoding.h"
#include "peer_tools.h"

namespace vocle {
namespace {

// MPEG 2 layer III frames hold 576 samples; LAME's delay and padding add up to a few frames.
constexpr std::size_t frame = 576;
constexpr std::size_t most_added = 4 * frame;

class Mp3Encoding : public testing::Test {
 protected:
  std::string encode_to_file(const std::vector<std::int16_t>& samples, double rate = 16000.0,
                             std::uint32_t format = paInt16, std::uint64_t channels = 1) {
    return peers::write_file(peers::encode("mp3", samples, rate, format, channels),
                             m_dir.file("record.mp3"));
  }

  // The samples mpg123 decodes from the file.
  std::vector<std::int16_t> decode(const std::string& file) {
    const std::string raw = m_dir.file("decoded.raw");
    const peers::result r =
        peers::run("mpg123 -q -m -e s16 -s " + peers::quote(file) + " > " + peers::quote(raw));
    EXPECT_EQ(r.status, 0) << r.output;
    return peers::read_raw(raw);
  }

  testkit::temp_dir m_dir;
};

// The stream is mono at the record's rate, even when the studio's settings claim more channels
// or another sample width than a record holds.
TEST_F(Mp3Encoding, Mpg123SeesMpeg2LayerThreeMonoAtTheRecordsRate) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  const struct {
    std::uint32_t format;
    std::uint64_t channels;
  } configs[] = {{paInt16, 1}, {paInt16, 2}, {paFloat32, 2}, {paInt8, 1}};
  for (const auto& c : configs) {
    SCOPED_TRACE(testing::Message() << "format " << c.format << " channels " << c.channels);
    const std::string file = encode_to_file(speech, 16000.0, c.format, c.channels);
    const peers::result info = peers::run("mpg123 -t -v " + peers::quote(file));
    ASSERT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("MPEG 2.0 L III"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("16000 mono"), std::string::npos) << info.output;

    const std::vector<std::int16_t> decoded = decode(file);
    EXPECT_GE(decoded.size(), speech.size());
    EXPECT_LE(decoded.size(), speech.size() + most_added);
  }
}

// A tone only in the record's last samples, after whole chunks of 4096: it reaches the decoder
// whole only when the remainder is encoded once and the encoder is flushed at the end.
TEST_F(Mp3Encoding, EncodesTheSamplesAfterTheLastWholeChunkAndFlushes) {
  const struct {
    std::size_t samples;
    std::size_t tone_from;
  } cases[] = {
      {10000, 8192},  // two whole chunks, then 1808 samples
      {4096, 2048},   // exactly one chunk, no remainder
      {4100, 4096},   // four samples behind a chunk
      {3000, 1000},   // no whole chunk at all
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.samples << " samples, tone from " << c.tone_from);
    std::vector<std::int16_t> samples(c.samples, 0);
    double energy = 0.0;
    for (std::size_t i = c.tone_from; i < c.samples; ++i) {
      samples[i] = static_cast<std::int16_t>(8000.0 * std::sin(2.0 * M_PI * 440.0 * i / 16000.0));
      energy += double(samples[i]) * samples[i];
    }
    const std::vector<std::int16_t> decoded = decode(encode_to_file(samples));
    ASSERT_GE(decoded.size(), c.samples);
    ASSERT_LE(decoded.size(), c.samples + most_added);
    double decoded_energy = 0.0;
    for (std::int16_t v : decoded) {
      decoded_energy += double(v) * v;
    }
    EXPECT_GT(decoded_energy / energy, 0.7);
    EXPECT_LT(decoded_energy / energy, 1.3);
    // Nothing of the tone sounds before it starts (the decoder only adds delay).
    EXPECT_LT(peers::rms(decoded, 0, c.tone_from / 2), 200.0);
  }
}

TEST_F(Mp3Encoding, AnEmptyRecordIsAShortValidStream) {
  const std::string file = encode_to_file({});
  const peers::result info = peers::run("mpg123 -t -v " + peers::quote(file));
  ASSERT_EQ(info.status, 0) << info.output;
  EXPECT_NE(info.output.find("16000 mono"), std::string::npos) << info.output;
  const std::vector<std::int16_t> decoded = decode(file);
  EXPECT_LE(decoded.size(), most_added);
  EXPECT_LT(peers::rms(decoded, 0, decoded.size()), 50.0);
}

TEST_F(Mp3Encoding, KeepsTheDurationAtOtherRates) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  const struct {
    double rate;
    const char* mode;
  } cases[] = {{8000.0, "8000 mono"}, {22050.0, "22050 mono"}, {44100.0, "44100 mono"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "rate " << c.rate);
    const std::string file = encode_to_file(speech, c.rate);
    const peers::result info = peers::run("mpg123 -t -v " + peers::quote(file));
    ASSERT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find(c.mode), std::string::npos) << info.output;
    const std::vector<std::int16_t> decoded = decode(file);
    // MPEG 1 frames (44100 Hz) hold 1152 samples.
    EXPECT_GE(decoded.size(), speech.size());
    EXPECT_LE(decoded.size(), speech.size() + 2 * most_added);
  }
}

}  // namespace
}  // namespace vocle
