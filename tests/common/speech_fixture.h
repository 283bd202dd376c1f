// A spoken sentence for tests that need real speech: espeak-ng says it, sox turns it into 16 kHz
// mono signed 16-bit samples (no dither, so the padding stays exactly zero) with one second of
// silence before and after it. Made once per process; later calls return the same samples.
//
//   const std::vector<int16_t>& speech = vocle::testkit::speech_samples();
//
// Throws std::runtime_error when espeak-ng or sox fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vocle {
namespace testkit {

// The sentence spoken.
extern const char* const speech_text;
// Samples per second of the fixture.
constexpr double speech_sample_rate = 16000.0;
// Samples of silence on each side of the sentence.
constexpr std::size_t speech_padding = 16000;

const std::vector<std::int16_t>& speech_samples();

}  // namespace testkit
}  // namespace vocle
