// "spx": an Ogg Speex file, checked with speexdec and ffprobe.
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

// speexdec trims the codec's delay page by page from the granule positions and may be off by
// the encoder's look-ahead of 40 samples (5 ms at 8 kHz); speexenc's files fare the same.
constexpr std::size_t lookahead = 40;
constexpr std::size_t frame = 160;

class SpxEncoding : public testing::Test {
 protected:
  std::string encode_to_file(const std::vector<std::int16_t>& samples, double rate) {
    return peers::write_file(peers::encode("spx", samples, rate), m_dir.file("record.spx"));
  }

  // What speexdec plays from the file, and what it said (its banner names rate and mode).
  std::vector<std::int16_t> decode(const std::string& file, std::string* said = nullptr) {
    const std::string wav = file + ".wav";
    const peers::result r = peers::run("speexdec " + peers::quote(file) + " " + peers::quote(wav));
    EXPECT_EQ(r.status, 0) << r.output;
    if (said) {
      *said = r.output;
    }
    return peers::decode_with_sox(wav, file + ".raw");
  }

  testkit::temp_dir m_dir;
};

TEST_F(SpxEncoding, SpeexdecPlaysNarrowBandSpeechOfTheRecordsDuration) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  for (double rate : {16000.0, 8000.0, 44100.0, 11025.0}) {
    SCOPED_TRACE(testing::Message() << "rate " << rate);
    const std::string file = encode_to_file(speech, rate);
    std::string said;
    const std::vector<std::int16_t> decoded = decode(file, &said);
    EXPECT_NE(said.find("Decoding 8000 Hz audio using narrowband mode (mono)"), std::string::npos)
        << said;

    const double seconds = speech.size() / rate;
    const std::size_t expected = static_cast<std::size_t>(std::lround(seconds * 8000.0));
    EXPECT_GE(decoded.size() + lookahead, expected);
    EXPECT_LE(decoded.size(), expected + lookahead);
    const std::string stream = peers::ffprobe_stream(file);
    EXPECT_NE(stream.find("codec_name=speex\n"), std::string::npos) << stream;
    EXPECT_NE(stream.find("sample_rate=8000\n"), std::string::npos) << stream;
    EXPECT_NE(stream.find("channels=1\n"), std::string::npos) << stream;

    // The sentence sits where it was: silence for most of the first second of the record,
    // speech in the middle.
    const double to_decoded = 8000.0 / rate;
    const std::size_t pad = testkit::speech_padding;
    const std::size_t mid_first = pad + (speech.size() - 2 * pad) / 4;
    const std::size_t mid_last = speech.size() - pad - (speech.size() - 2 * pad) / 4;
    const double original_speech = peers::rms(speech, mid_first, mid_last);
    const double decoded_speech = peers::rms(decoded, std::size_t(mid_first * to_decoded),
                                             std::size_t(mid_last * to_decoded));
    EXPECT_LT(peers::rms(decoded, 0, std::size_t(pad * 0.8 * to_decoded)), 100.0);
    EXPECT_GT(decoded_speech, original_speech / 2);
    EXPECT_LT(decoded_speech, original_speech * 2);
  }
}

// One frame of silence whose granule position says no samples: speexdec takes a position of 0
// as unknown and plays the frame, ffprobe reads the stream.
TEST_F(SpxEncoding, AnEmptyRecordIsAPlayableStream) {
  const std::string file = encode_to_file({}, 16000.0);
  EXPECT_NE(peers::ffprobe_stream(file).find("codec_name=speex\n"), std::string::npos);
  const std::vector<std::int16_t> decoded = decode(file);
  EXPECT_LE(decoded.size(), frame);
  EXPECT_EQ(peers::rms(decoded, 0, decoded.size()), 0.0);
}

// Each call writes a whole stream of its own, from a fresh coder.
TEST_F(SpxEncoding, EncodingTwiceWithOneEncoderGivesTheSameFrames) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  boost::shared_ptr<encoding> e = encoding::create("spx", 16000.0, paInt16, 1, false);
  binary first(std::size_t(0));
  binary second(std::size_t(0));
  e->encode(first, speech);
  e->encode(second, speech);
  // The streams differ in their serial numbers, so compare what they decode to.
  ASSERT_EQ(first.size(), second.size());
  EXPECT_EQ(decode(peers::write_file(first, m_dir.file("first.spx"))),
            decode(peers::write_file(second, m_dir.file("second.spx"))));
}

}  // namespace
}  // namespace vocle
