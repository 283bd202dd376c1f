#include "common/speech_fixture.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "common/raw_samples.h"
#include "common/temp_dir.h"

namespace vocle {
namespace testkit {

const char* const speech_text = "hello world this is a test";

namespace {

void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    throw std::runtime_error("speech fixture: command failed: " + command);
  }
}

std::vector<std::int16_t> make_speech() {
  temp_dir dir;
  const std::string wav = dir.file("speech.wav");
  const std::string raw = dir.file("speech.raw");
  run("espeak-ng -w '" + wav + "' '" + speech_text + "' >/dev/null 2>&1");
  run("sox -D '" + wav + "' -t raw -r 16000 -e signed-integer -b 16 -c 1 -L '" + raw +
      "' pad 1 1 >/dev/null 2>&1");
  std::vector<std::int16_t> samples = read_raw_samples(raw);
  if (samples.size() < 2 * speech_padding + 1) {
    throw std::runtime_error("speech fixture: " + raw + " is too short");
  }
  return samples;
}

}  // namespace

const std::vector<std::int16_t>& speech_samples() {
  // A function-local static: made by the first caller, other threads wait for it.
  static const std::vector<std::int16_t> samples = make_speech();
  return samples;
}

}  // namespace testkit
}  // namespace vocle
