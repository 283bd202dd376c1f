// "opus": an Ogg Opus file, checked with opusinfo and opusdec.
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

class OpusEncoding : public testing::Test {
 protected:
  std::string encode_to_file(const std::vector<std::int16_t>& samples, double rate,
                             std::uint64_t channels = 1) {
    return peers::write_file(peers::encode("opus", samples, rate, paInt16, channels),
                             m_dir.file("record.opus"));
  }

  // opusdec decodes at the rate the header gives as the original one.
  std::vector<std::int16_t> decode(const std::string& file) {
    const std::string wav = m_dir.file("decoded.wav");
    const peers::result r =
        peers::run("opusdec --quiet " + peers::quote(file) + " " + peers::quote(wav));
    EXPECT_EQ(r.status, 0) << r.output;
    return peers::decode_with_sox(wav, m_dir.file("decoded.raw"));
  }

  testkit::temp_dir m_dir;
};

TEST_F(OpusEncoding, OpusinfoAcceptsAMonoStreamAtTheRecordsRate) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  const struct {
    double rate;
    std::uint64_t channels;
  } cases[] = {{16000.0, 1}, {8000.0, 1}, {48000.0, 1}, {44100.0, 1}, {16000.0, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "rate " << c.rate << " channels " << c.channels);
    const std::string file = encode_to_file(speech, c.rate, c.channels);
    const peers::result info = peers::run("opusinfo " + peers::quote(file));
    ASSERT_EQ(info.status, 0) << info.output;
    EXPECT_EQ(info.output.find("WARNING"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Channels: 1"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Original sample rate: " + std::to_string(int(c.rate)) + " Hz"),
              std::string::npos)
        << info.output;

    const peers::result rate = peers::run("opusdec --quiet " + peers::quote(file) + " " +
                                          peers::quote(m_dir.file("check.wav")) + " && soxi -r " +
                                          peers::quote(m_dir.file("check.wav")));
    EXPECT_EQ(rate.output, std::to_string(int(c.rate)) + "\n");
    // The granule positions trim the codec's delay and padding: the length is the record's.
    EXPECT_EQ(decode(file).size(), speech.size());
  }
}

TEST_F(OpusEncoding, KeepsTheSentenceWhereItWas) {
  const std::vector<std::int16_t>& speech = testkit::speech_samples();
  const std::vector<std::int16_t> decoded = decode(encode_to_file(speech, 16000.0));
  ASSERT_EQ(decoded.size(), speech.size());
  const std::size_t pad = testkit::speech_padding;
  const std::size_t quarter = (speech.size() - 2 * pad) / 4;
  const double original = peers::rms(speech, pad + quarter, speech.size() - pad - quarter);
  const double got = peers::rms(decoded, pad + quarter, speech.size() - pad - quarter);
  EXPECT_LT(peers::rms(decoded, 0, pad * 8 / 10), 100.0);
  EXPECT_LT(peers::rms(decoded, speech.size() - pad * 8 / 10, speech.size()), 100.0);
  EXPECT_GT(got, original * 0.7);
  EXPECT_LT(got, original * 1.4);
}

TEST_F(OpusEncoding, AnEmptyRecordIsAnEmptyValidStream) {
  const std::string file = encode_to_file({}, 16000.0);
  const peers::result info = peers::run("opusinfo " + peers::quote(file));
  ASSERT_EQ(info.status, 0) << info.output;
  EXPECT_EQ(decode(file).size(), 0u);
}

}  // namespace
}  // namespace vocle
