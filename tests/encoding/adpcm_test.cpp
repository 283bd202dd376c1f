// The IMA ADPCM coder and the WAV DVI-ADPCM image of a record.
#include <portaudio.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/speech_fixture.h"
#include "common/temp_dir.h"
#include "core/encoding/adpcm.h"
#include "core/encoding/encoding.h"
#include "peer_tools.h"

namespace vocle {
namespace {

using adpcm::state;

TEST(AdpcmEncodeSample, StepsTheCoderFromAGivenState) {
  const struct {
    std::int16_t predictor;
    std::uint8_t index;
    std::int16_t sample;
    std::uint8_t code;
    std::uint8_t next_index;
    std::int16_t next_predictor;
  } cases[] = {
      {0, 0, 32767, 7, 8, 11},
      {0, 0, -32768, 15, 8, -11},
      {0, 0, 0, 0, 0, 0},            // the index stays at its floor
      {0, 0, 3, 2, 0, 3},            // step 7: 7 >> 3 = 0, plus 7 >> 1 = 3
      {0, 88, 32767, 4, 88, 32767},  // the index stays at its ceiling, the predictor clamps
      {32000, 88, 32767, 0, 87, 32767},
      {-32000, 88, -32768, 8, 87, -32768},
      {1000, 40, 1000, 0, 39, 1042},  // step 337: 337 >> 3 = 42 even for no difference
      {1000, 40, 500, 13, 44, 1000 - 42 - 337 - 84},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "predictor " << c.predictor << " index " << int(c.index)
                                    << " sample " << c.sample);
    state s{c.predictor, c.index};
    EXPECT_EQ(int(adpcm::encode_sample(s, c.sample)), int(c.code));
    EXPECT_EQ(int(adpcm::index(s)), int(c.next_index));
    EXPECT_EQ(adpcm::predictor(s), c.next_predictor);
  }
}

// The coder step as the IMA ADPCM reference states it, one compare-and-subtract at a time.
std::uint8_t reference_step(state& s, int x) {
  const int step = adpcm::step_table[s.index];
  int diff = x - s.predictor;
  int code = 0;
  if (x < s.predictor) {
    code = 8;
    diff = s.predictor - x;
  }
  int vpdiff = step >> 3;
  if (diff >= step) {
    code |= 4;
    diff -= step;
    vpdiff += step;
  }
  if (diff >= step >> 1) {
    code |= 2;
    diff -= step >> 1;
    vpdiff += step >> 1;
  }
  if (diff >= step >> 2) {
    code |= 1;
    vpdiff += step >> 2;
  }
  int predictor = (code & 8) ? s.predictor - vpdiff : s.predictor + vpdiff;
  predictor = std::min(32767, std::max(-32768, predictor));
  int index = s.index + adpcm::index_table[code & 7];
  index = std::min(88, std::max(0, index));
  s.predictor = static_cast<std::int16_t>(predictor);
  s.index = static_cast<std::uint8_t>(index);
  return static_cast<std::uint8_t>(code);
}

// Every sample value from every step index; the two extreme predictors give every difference.
TEST(AdpcmEncodeSample, AgreesWithTheReferenceStepEverywhere) {
  for (int index = 0; index <= 88; ++index) {
    for (int predictor : {-32768, 0, 32767}) {
      for (int x = -32768; x <= 32767; ++x) {
        state fast{static_cast<std::int16_t>(predictor), static_cast<std::uint8_t>(index)};
        state slow = fast;
        const std::uint8_t code = adpcm::encode_sample(fast, static_cast<std::int16_t>(x));
        const std::uint8_t expected = reference_step(slow, x);
        if (code != expected || fast.predictor != slow.predictor || fast.index != slow.index) {
          FAIL() << "index " << index << " predictor " << predictor << " sample " << x << ": code "
                 << int(code) << " (expected " << int(expected) << "), predictor " << fast.predictor
                 << " (" << slow.predictor << "), index " << int(fast.index) << " ("
                 << int(slow.index) << ")";
        }
      }
    }
  }
}

TEST(AdpcmState, StartsZeroedAndHasItsAccessors) {
  std::unique_ptr<state> s(adpcm::create_state());
  EXPECT_EQ(adpcm::predictor(*s), 0);
  EXPECT_EQ(adpcm::index(*s), 0);
  adpcm::set_predictor(*s, -1234);
  adpcm::encode_sample(*s, 32767);
  EXPECT_NE(adpcm::index(*s), 0);
  adpcm::reset_index(*s);
  EXPECT_EQ(adpcm::index(*s), 0);
  adpcm::set_predictor(*s, -1234);
  EXPECT_EQ(adpcm::predictor(*s), -1234);
}

TEST(AdpcmEncode, PacksTwoCodesPerByteEarlierLow) {
  const std::int16_t samples[] = {3000, -3000, 12000, 50};
  for (std::size_t n = 0; n <= 4; ++n) {
    SCOPED_TRACE(testing::Message() << n << " samples");
    state expected{100, 10};
    std::vector<std::uint8_t> codes;
    for (std::size_t k = 0; k < n; ++k) {
      codes.push_back(adpcm::encode_sample(expected, samples[k]));
    }
    std::uint8_t out[4];
    std::memset(out, 0xAA, sizeof out);
    state s{100, 10};
    EXPECT_EQ(adpcm::encode(s, samples, n, out), n);
    const std::size_t bytes = (n + 1) / 2;
    for (std::size_t b = 0; b < bytes; ++b) {
      const std::uint8_t low = codes[2 * b];
      const std::uint8_t high = 2 * b + 1 < n ? codes[2 * b + 1] : 0;
      EXPECT_EQ(int(out[b]), int(low | (high << 4))) << "byte " << b;
    }
    for (std::size_t b = bytes; b < sizeof out; ++b) {
      EXPECT_EQ(int(out[b]), 0xAA) << "byte " << b << " past the codes";
    }
    EXPECT_EQ(s.index, expected.index);
    EXPECT_EQ(s.predictor, expected.predictor);
  }
}

TEST(AdpcmWavDataSize, CountsWholeAndLastBlocks) {
  const std::uint32_t cases[][2] = {{0, 0},       {1, 4},       {2, 5},       {3, 5},
                                    {1016, 512},  {1017, 512},  {1018, 516},  {1019, 517},
                                    {2034, 1024}, {2035, 1028}, {16000, 8056}};
  for (const auto& c : cases) {
    EXPECT_EQ(adpcm::wav_data_size(c[0]), c[1]) << c[0] << " samples";
  }
}

void expect_image_header(const binary& image, std::uint32_t samples, std::uint32_t data_size) {
  ASSERT_GE(image.size(), 60u);
  EXPECT_EQ(peers::text(image, 0, 4), "RIFF");
  EXPECT_EQ(peers::le32(image, 4), data_size + 52);
  EXPECT_EQ(peers::text(image, 8, 8), "WAVEfmt ");
  EXPECT_EQ(peers::le32(image, 16), 20u);
  EXPECT_EQ(peers::le16(image, 20), 17u);  // IMA/DVI ADPCM
  EXPECT_EQ(peers::le16(image, 22), 1u);
  EXPECT_EQ(peers::le32(image, 24), 16000u);
  EXPECT_EQ(peers::le32(image, 28), 8055u);
  EXPECT_EQ(peers::le16(image, 32), 512u);
  EXPECT_EQ(peers::le16(image, 34), 4u);
  EXPECT_EQ(peers::le16(image, 36), 2u);
  EXPECT_EQ(peers::le16(image, 38), 1017u);
  EXPECT_EQ(peers::text(image, 40, 4), "fact");
  EXPECT_EQ(peers::le32(image, 44), 4u);
  EXPECT_EQ(peers::le32(image, 48), samples);
  EXPECT_EQ(peers::text(image, 52, 4), "data");
  EXPECT_EQ(peers::le32(image, 56), data_size);
  EXPECT_EQ(image.size(), 60u + data_size);
}

TEST(AdpcmMakeWav, SizesTheImageByBlocks) {
  const struct {
    std::uint32_t samples;
    std::uint32_t data_size;
  } cases[] = {{0, 0}, {1, 4}, {2, 5}, {1017, 512}, {1018, 516}, {3051, 1536}, {3052, 1540}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.samples << " samples");
    std::vector<std::int16_t> samples(c.samples);
    for (std::uint32_t i = 0; i < c.samples; ++i) {
      samples[i] = static_cast<std::int16_t>(8000 * std::sin(i * 0.05));
    }
    boost::shared_ptr<binary> image = adpcm::make_wav(samples);
    ASSERT_TRUE(image);
    expect_image_header(*image, c.samples, c.data_size);
  }
}

TEST(AdpcmMakeWav, TwoSamplesMakeOneFiveByteBlock) {
  boost::shared_ptr<binary> image = adpcm::make_wav({1234, 2000});
  expect_image_header(*image, 2, 5);
  EXPECT_EQ(static_cast<std::int16_t>(peers::le16(*image, 60)), 1234);
  EXPECT_EQ(int(static_cast<unsigned char>(image->begin()[62])), 0);  // index
  EXPECT_EQ(int(static_cast<unsigned char>(image->begin()[63])), 0);
  // 2000 from predictor 1234 at step 7 is a large positive step: code 7, high four bits free.
  EXPECT_EQ(int(static_cast<unsigned char>(image->begin()[64])), 0x07);
}

// A lone last sample is its block's 4-byte header: the sample, and the index the coder reached.
TEST(AdpcmMakeWav, ALastBlockOfOneSampleIsItsHeader) {
  std::vector<std::int16_t> samples(1018);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(12000 * std::sin(i * 0.3));
  }
  samples[1017] = -4321;
  boost::shared_ptr<binary> image = adpcm::make_wav(samples);
  expect_image_header(*image, 1018, 516);

  state s{0, 0};
  std::uint32_t scratch[128];
  adpcm::encode_block(s, samples.data(), 1017, scratch);
  ASSERT_NE(s.index, 0) << "the sine should have moved the index";
  EXPECT_EQ(static_cast<std::int16_t>(peers::le16(*image, 60 + 512)), -4321);
  EXPECT_EQ(int(static_cast<unsigned char>(image->begin()[60 + 514])), int(s.index));
  EXPECT_EQ(int(static_cast<unsigned char>(image->begin()[60 + 515])), 0);
}

// One coder runs through the whole record: each block starts from its own first sample but keeps
// the step index that the block before it ended with.
TEST(AdpcmMakeWav, CarriesTheIndexFromBlockToBlock) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  boost::shared_ptr<binary> image = adpcm::make_wav(speech);
  const std::uint32_t n = static_cast<std::uint32_t>(speech.size());
  expect_image_header(*image, n, adpcm::wav_data_size(n));

  state carried{0, 0};
  std::size_t offset = 60;
  std::size_t nonzero_headers = 0;
  for (std::size_t first = 0; first < speech.size(); first += 1017) {
    const std::size_t count = std::min<std::size_t>(1017, speech.size() - first);
    SCOPED_TRACE(testing::Message() << "block at sample " << first);
    const std::uint8_t header_index = static_cast<unsigned char>(image->begin()[offset + 2]);
    EXPECT_EQ(static_cast<std::int16_t>(peers::le16(*image, offset)), speech[first]);
    EXPECT_EQ(int(header_index), int(carried.index));
    if (first == 0) {
      EXPECT_EQ(int(header_index), 0);
    }
    nonzero_headers += header_index != 0;

    std::uint32_t block[128];
    const std::size_t written = adpcm::encode_block(carried, speech.data() + first, count, block);
    ASSERT_LE(offset + written, image->size());
    EXPECT_EQ(std::memcmp(image->begin() + offset, block, written), 0);
    offset += written;
  }
  EXPECT_EQ(offset, image->size());
  EXPECT_GT(nonzero_headers, 0u) << "speech must carry a non-zero index into some block";
}

double snr_db(const std::vector<std::int16_t>& reference,
              const std::vector<std::int16_t>& decoded) {
  double signal = 0.0;
  double noise = 0.0;
  for (std::size_t i = 0; i < reference.size(); ++i) {
    const double d = double(decoded[i]) - reference[i];
    signal += double(reference[i]) * reference[i];
    noise += d * d;
  }
  return 10.0 * std::log10(signal / std::max(noise, 1.0));
}

// What an IMA ADPCM decoder must give back for the image of the samples: each block's first
// sample as it stands, then, sample by sample, the predictor the coder reached, which is what the
// decoder rebuilds from the codes.
std::vector<std::int16_t> reconstruction(const std::vector<std::int16_t>& samples) {
  std::vector<std::int16_t> out;
  state s{0, 0};
  for (std::size_t k = 0; k < samples.size(); ++k) {
    if (k % 1017 == 0) {
      s.predictor = samples[k];
    } else {
      adpcm::encode_sample(s, samples[k]);
    }
    out.push_back(s.predictor);
  }
  return out;
}

TEST(AdpcmMakeWav, SoxDecodesSpeechCloseToTheOriginal) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  testkit::temp_dir dir;
  const std::string file = dir.file("speech.wav");
  peers::write_file(*adpcm::make_wav(speech), file);

  const peers::result info = peers::run("soxi " + peers::quote(file));
  ASSERT_EQ(info.status, 0) << info.output;
  EXPECT_NE(info.output.find("IMA ADPCM"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("Sample Rate    : 16000"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("Channels       : 1"), std::string::npos) << info.output;

  const std::vector<std::int16_t> decoded = peers::decode_with_sox(file, dir.file("back.raw"));
  // sox reads the codes of a last, shorter block in whole 4-byte groups of eight and drops the
  // up to seven codes behind the last full group; what it returns is the record's start.
  ASSERT_LE(decoded.size(), speech.size());
  ASSERT_GE(decoded.size() + 7, speech.size());
  EXPECT_GE(
      snr_db(std::vector<std::int16_t>(speech.begin(), speech.begin() + decoded.size()), decoded),
      20.0);
  // sox's decoder, with its own tables, rebuilds exactly what our coder tracked: a wrong step or
  // index entry, clamp or nibble order would show here long before it costs 20 dB.
  const std::vector<std::int16_t> expected = reconstruction(speech);
  for (std::size_t k = 0; k < decoded.size(); ++k) {
    ASSERT_EQ(decoded[k], expected[k]) << "sample " << k;
  }
}

// The "wav_dvi_adpcm" format is the recognition image itself, labelled 16000 Hz whatever the
// studio's rate, format or channels are.
TEST(WavDviAdpcmEncoding, IsTheRecognitionImageAtAnyStudioSetting) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  const std::vector<std::int16_t> part(speech.begin() + 16000, speech.begin() + 26000);
  const boost::shared_ptr<binary> image = adpcm::make_wav(part);
  const struct {
    double rate;
    std::uint32_t format;
    std::uint64_t channels;
  } settings[] = {{16000.0, paInt16, 1}, {8000.0, paInt16, 1}, {44100.0, paFloat32, 2}};
  for (const auto& c : settings) {
    SCOPED_TRACE(testing::Message() << "rate " << c.rate);
    binary out(std::size_t(0));
    encoding::create("wav_dvi_adpcm", c.rate, c.format, c.channels, false)->encode(out, part);
    expect_image_header(out, 10000, adpcm::wav_data_size(10000));
    ASSERT_EQ(out.size(), image->size());
    EXPECT_EQ(std::memcmp(out.begin(), image->begin(), out.size()), 0);
  }
}

}  // namespace
}  // namespace vocle
