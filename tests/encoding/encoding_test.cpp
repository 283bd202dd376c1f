// The encoder factory, "raw" and the PCM WAV header, and what every encoder shares.
#include <portaudio.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeindex>
#include <vector>

#include <gtest/gtest.h>

#include "common/speech_fixture.h"
#include "common/temp_dir.h"
#include "core/encoding/encoding.h"
#include "core/encoding/mp3_encoding.h"
#include "core/encoding/opus_encoding.h"
#include "core/encoding/raw_encoding.h"
#include "core/encoding/spx_encoding.h"
#include "core/encoding/wav_dvi_adpcm_encoding.h"
#include "core/encoding/wav_encoding.h"
#include "core/foundation/sample_view.h"
#include "framework/script_error.h"
#include "peer_tools.h"

namespace vocle {
namespace {

const char* const all_names[] = {"raw", "wav", "wav_dvi_adpcm", "spx", "opus", "mp3"};

using peers::encode;

TEST(EncodingFactory, CreatesTheClassOfEachName) {
  const struct {
    const char* name;
    std::type_index type;
  } cases[] = {
      {"raw", typeid(raw_encoding)},
      {"wav", typeid(wav_encoding)},
      {"wav_dvi_adpcm", typeid(wav_dvi_adpcm_encoding)},
      {"spx", typeid(spx_encoding)},
      {"opus", typeid(opus_encoding)},
      {"mp3", typeid(mp3_encoding)},
  };
  for (const auto& c : cases) {
    boost::shared_ptr<encoding> e = encoding::create(c.name, 16000.0, paInt16, 1, false);
    ASSERT_TRUE(e) << c.name;
    EXPECT_EQ(std::type_index(typeid(*e)), c.type) << c.name;
  }
}

TEST(EncodingFactory, RefusesEveryOtherNameAsGiven) {
  const char* const names[] = {"WAV", "Raw",           "wav ", " wav",    "mp3\n",
                               "",    "Wav_Dvi_Adpcm", "ogg",  "wav_dvi", "100%d %1%"};
  for (const char* name : names) {
    try {
      encoding::create(name, 16000.0, paInt16, 1, false);
      ADD_FAILURE() << "created an encoder for \"" << name << "\"";
    } catch (const FB::script_error& e) {
      EXPECT_EQ(std::string(e.what()), std::string("wrong encoding type ") + name);
    }
  }
}

TEST(RawEncoding, WritesEachSampleAsTwoLittleEndianBytes) {
  for (std::size_t n : {std::size_t(0), std::size_t(1), std::size_t(3), std::size_t(16000)}) {
    std::vector<std::int16_t> samples(n);
    for (std::size_t i = 0; i < n; ++i) {
      samples[i] = static_cast<std::int16_t>(i * 2654435761u);
    }
    const binary out = encode("raw", samples);
    ASSERT_EQ(out.size(), 2 * n);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(static_cast<std::int16_t>(peers::le16(out, 2 * i)), samples[i]) << i;
    }
  }
}

// The header always describes the 16-bit mono samples a record holds, whatever sample format
// and channel count the studio was configured with.
TEST(WavEncoding, HeaderFieldsDescribeTheSamples) {
  const struct {
    double rate;
    std::uint32_t format;
    std::uint64_t channels;
    std::size_t samples;
    std::uint32_t riff_size, sample_rate, byte_rate, data_size;
  } cases[] = {
      {16000.0, paInt16, 1, 0, 36, 16000, 32000, 0},
      {16000.0, paInt16, 1, 16000, 32036, 16000, 32000, 32000},
      {8000.0, paInt16, 1, 1, 38, 8000, 16000, 2},
      {22050.9, paInt16, 1, 10, 56, 22050, 44100, 20},
      {44100.0, paFloat32, 2, 100, 236, 44100, 88200, 200},
      {16000.0, paInt32, 1, 16000, 32036, 16000, 32000, 32000},
      {16000.0, paInt8, 6, 5, 46, 16000, 32000, 10},
      {16000.0, paUInt8, 1, 5, 46, 16000, 32000, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "rate " << c.rate << " format " << c.format << " channels "
                                    << c.channels << " samples " << c.samples);
    const std::vector<std::int16_t> samples(c.samples, 0x1234);
    const binary out = encode("wav", samples, c.rate, c.format, c.channels);
    ASSERT_EQ(out.size(), 44 + c.data_size);
    EXPECT_EQ(peers::text(out, 0, 4), "RIFF");
    EXPECT_EQ(peers::le32(out, 4), c.riff_size);
    EXPECT_EQ(peers::text(out, 8, 8), "WAVEfmt ");
    EXPECT_EQ(peers::le32(out, 16), 16u);
    EXPECT_EQ(peers::le16(out, 20), 1u);  // PCM
    EXPECT_EQ(peers::le16(out, 22), 1u);  // channels
    EXPECT_EQ(peers::le32(out, 24), c.sample_rate);
    EXPECT_EQ(peers::le32(out, 28), c.byte_rate);
    EXPECT_EQ(peers::le16(out, 32), 2u);   // block align
    EXPECT_EQ(peers::le16(out, 34), 16u);  // bits per sample
    EXPECT_EQ(peers::text(out, 36, 4), "data");
    EXPECT_EQ(peers::le32(out, 40), c.data_size);
    for (std::size_t i = 0; i < c.samples; ++i) {
      ASSERT_EQ(peers::le16(out, 44 + 2 * i), 0x1234u) << i;
    }
  }
}

TEST(WavEncoding, RatesOutsideTheFieldDoNotWrap) {
  const struct {
    double rate;
    std::uint32_t field;
  } cases[] = {
      {0.0, 0},
      {-16000.0, 0},
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {1e12, std::numeric_limits<std::uint32_t>::max()},
  };
  for (const auto& c : cases) {
    const binary out = encode("wav", std::vector<std::int16_t>(4), c.rate);
    EXPECT_EQ(peers::le32(out, 24), c.field) << c.rate;
  }
}

TEST(WavEncoding, SoxReadsBackTheSameSamples) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  testkit::temp_dir dir;
  const struct {
    std::uint32_t format;
    std::uint64_t channels;
  } configs[] = {{paInt16, 1}, {paFloat32, 2}, {paInt24, 1}};
  for (const auto& c : configs) {
    SCOPED_TRACE(testing::Message() << "format " << c.format << " channels " << c.channels);
    const std::string file = dir.file("speech.wav");
    peers::write_file(encode("wav", speech, 16000.0, c.format, c.channels), file);
    const peers::result info = peers::run("soxi " + peers::quote(file));
    ASSERT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("Channels       : 1"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Sample Rate    : 16000"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Precision      : 16-bit"), std::string::npos) << info.output;
    EXPECT_EQ(peers::decode_with_sox(file, dir.file("back.raw")), speech);
  }
}

// Every encoder appends: bytes the caller already had stay in front, and something follows.
TEST(EveryEncoding, AppendsBehindWhatTheBufferHeld) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  const std::vector<std::int16_t> second(speech.begin(), speech.begin() + 16000);
  for (const char* name : all_names) {
    binary out("held", 4);
    encoding::create(name, 16000.0, paInt16, 1, false)->encode(out, second);
    ASSERT_GT(out.size(), 4u) << name;
    EXPECT_EQ(std::string(out.begin(), 4), "held") << name;
    EXPECT_EQ(out.begin()[out.size()], '\0') << name;
  }
}

// Only "raw" has nothing to say about an empty record; every container still writes its
// headers, so the page never receives an empty file that claims success.
TEST(EveryEncoding, AnEmptyRecordGivesAFileOfItsFormat) {
  for (const char* name : all_names) {
    const binary out = encode(name, {});
    if (std::string(name) == "raw") {
      EXPECT_EQ(out.size(), 0u);
    } else {
      EXPECT_GT(out.size(), 0u) << name;
    }
  }
}

// A rate that a container cannot carry fails the encoding before anything is written. The
// resampling encoders take 100 Hz to 768 kHz: below, libopusenc aborts the process (under about
// 90 Hz); far above, a resampler works for minutes. LAME quietly takes 44100 Hz for a rate below
// 1 Hz.
TEST(EveryEncoding, ContainersRefuseARateTheyCannotDescribe) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    const char* name;
    double rate;
    const char* message;  // null: the rate is taken
  } cases[] = {
      {"spx", 0.0, "failed to encode spx"},
      {"spx", -8000.0, "failed to encode spx"},
      {"spx", nan, "failed to encode spx"},
      {"spx", 99.9, "failed to encode spx"},
      {"spx", 768001.0, "failed to encode spx"},
      {"spx", 2e9, "failed to encode spx"},
      {"spx", 100.0, nullptr},
      {"spx", 768000.0, nullptr},
      {"opus", 0.0, "failed to encode opus"},
      {"opus", 0.5, "failed to encode opus"},
      {"opus", 50.0, "failed to encode opus"},
      {"opus", 800000.0, "failed to encode opus"},
      {"opus", 1e12, "failed to encode opus"},
      {"opus", 100.0, nullptr},
      {"opus", 768000.0, nullptr},
      {"mp3", 0.0, "failed to encode mp3"},
      {"mp3", -16000.0, "failed to encode mp3"},
      {"mp3", nan, "failed to encode mp3"},
      {"mp3", 3e9, "failed to encode mp3"},
      {"mp3", 1.0, "failed to encode mp3"},  // refused by LAME itself
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " at " << c.rate << " Hz");
    binary out("held", 4);
    boost::shared_ptr<encoding> e = encoding::create(c.name, c.rate, paInt16, 1, false);
    try {
      e->encode(out, std::vector<std::int16_t>(1600, 100));
      if (c.message) {
        ADD_FAILURE() << "encoded";
      } else {
        EXPECT_GT(out.size(), 4u);
      }
    } catch (const std::runtime_error& error) {
      if (c.message) {
        EXPECT_EQ(std::string(error.what()), c.message);
        EXPECT_EQ(std::string(out.begin(), out.size()), "held");
      } else {
        ADD_FAILURE() << "refused: " << error.what();
      }
    }
  }
}

// A record lies in many pieces of memory, cut anywhere: inside an ADPCM block, a Speex or Opus
// frame, a chunk the encoders hand their libraries, down to pieces of one sample. Every encoder
// writes the same bytes for it as for the same samples in one piece (the Ogg formats but for
// their random serial numbers), at the rate of the studio and at one the Speex encoder resamples.
// Each piece is an allocation of its own, so reading past a piece's end is caught.
TEST(EveryEncoding, ARecordInPiecesEncodesAsInOnePiece) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  std::vector<std::int16_t> record(speech);
  record.insert(record.end(), speech.begin(), speech.end());
  ASSERT_GT(record.size(), std::size_t(70000));

  // Where each layout cuts the record (the last piece runs to its end).
  std::vector<std::size_t> per_sample;  // 40 pieces of one sample, then the rest
  for (std::size_t i = 1; i <= 40; ++i) {
    per_sample.push_back(i);
  }
  std::vector<std::size_t> odd_steps;  // a piece every 997 samples
  for (std::size_t at = 997; at < record.size(); at += 997) {
    odd_steps.push_back(at);
  }
  const struct {
    const char* layout;
    std::vector<std::size_t> cuts;
  } layouts[] = {
      {"one sample, then the rest", {1}},
      {"inside the first ADPCM blocks and on their edges", {500, 1016, 1017, 1018, 2035}},
      {"inside Speex frames and LAME and Opus chunks", {77, 237, 4095, 4097, 65535, 65537}},
      {"one-sample pieces", per_sample},
      {"every 997 samples", odd_steps},
  };
  const auto comparable = [](const std::string& name, const binary& data) {
    return name == "spx" || name == "opus" ? peers::without_ogg_serials(data) : data;
  };
  for (const double rate : {16000.0, 44100.0}) {
    for (const char* name : all_names) {
      const binary whole = comparable(name, encode(name, record, rate));
      for (const auto& l : layouts) {
        SCOPED_TRACE(testing::Message() << name << " at " << rate << " Hz, cut " << l.layout);
        sample_view view;
        std::size_t from = 0;
        std::vector<std::size_t> ends(l.cuts);
        ends.push_back(record.size());
        for (const std::size_t to : ends) {
          const auto piece = std::make_shared<const std::vector<std::int16_t>>(
              record.begin() + static_cast<std::ptrdiff_t>(from),
              record.begin() + static_cast<std::ptrdiff_t>(to));
          view.add(piece, piece->data(), piece->size());
          from = to;
        }
        ASSERT_EQ(view.size(), record.size());
        ASSERT_EQ(view.spans().size(), ends.size());

        binary out(std::size_t(0));
        encoding::create(name, rate, paInt16, 1, false)->encode(out, view);
        const binary got = comparable(name, out);
        EXPECT_TRUE(got.size() == whole.size() &&
                    std::equal(got.begin(), got.begin() + got.size(), whole.begin()));
      }
    }
  }
}

// The formats whose size follows from the sample count say it exactly beforehand, so a caller can
// size a buffer once; the compressed ones cannot and say 0.
TEST(EveryEncoding, EncodedSizeIsExactWhereItIsKnown) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  for (const char* name : all_names) {
    const bool known = std::string(name) == "raw" || std::string(name) == "wav" ||
                       std::string(name) == "wav_dvi_adpcm";
    for (const std::size_t n : {std::size_t(0), std::size_t(1), std::size_t(2), std::size_t(1017),
                                std::size_t(1018), std::size_t(3 * 1017 + 5)}) {
      SCOPED_TRACE(testing::Message() << name << ", " << n << " samples");
      const boost::shared_ptr<encoding> e = encoding::create(name, 16000.0, paInt16, 1, false);
      const std::uint64_t said = e->encoded_size(n);
      if (!known) {
        EXPECT_EQ(said, 0u);
        continue;
      }
      binary out("held", 4);
      e->encode(out, std::vector<std::int16_t>(speech.begin(), speech.begin() + n));
      EXPECT_EQ(said, out.size() - 4);
    }
  }
}

// Encoders share nothing: running at once on several threads, each writes what it writes alone
// (the Ogg formats but for their random serial numbers).
TEST(EveryEncoding, EncodersOnSeveralThreadsWriteWhatOneWritesAlone) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  const auto comparable = [](const std::string& name, const binary& data) {
    return name == "spx" || name == "opus" ? peers::without_ogg_serials(data) : data;
  };
  std::vector<binary> alone;
  for (const char* name : all_names) {
    alone.push_back(comparable(name, encode(name, speech)));
  }

  constexpr std::size_t threads = 4;
  const std::size_t formats = alone.size();
  std::vector<std::vector<binary>> together(threads);
  std::vector<std::string> errors(threads);
  std::vector<std::thread> workers;
  for (std::size_t t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      try {
        // Each thread takes the formats in another order, so different encoders overlap.
        for (std::size_t k = 0; k < formats; ++k) {
          const char* name = all_names[(k + t) % formats];
          together[t].push_back(comparable(name, encode(name, speech)));
        }
      } catch (const std::exception& e) {
        errors[t] = e.what();
      }
    });
  }
  for (std::thread& w : workers) {
    w.join();
  }
  for (std::size_t t = 0; t < threads; ++t) {
    ASSERT_EQ(errors[t], "") << "thread " << t;
    ASSERT_EQ(together[t].size(), formats);
    for (std::size_t k = 0; k < formats; ++k) {
      const std::size_t f = (k + t) % formats;
      const binary& got = together[t][k];
      EXPECT_TRUE(got.size() == alone[f].size() &&
                  std::equal(got.begin(), got.begin() + got.size(), alone[f].begin()))
          << all_names[f] << " on thread " << t;
    }
  }
}

}  // namespace
}  // namespace vocle
