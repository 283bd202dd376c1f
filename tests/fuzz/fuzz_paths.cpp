// Path placeholders and code-page conversion over any text: expand_path with every placeholder
// the text may hold, and conversions between character sets (also to targets that drop or
// transliterate what they cannot carry), never reading or writing outside the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "core/foundation/util.h"
#include "firebreath/Linux/util_linux.h"
#include "fuzz_support.h"

using vocle::fuzz::check;

namespace {

const char* const charsets[] = {
    "UTF-8",         "CP1252",         "ISO-8859-1",      "GBK",
    "ASCII",         "UTF-16",         "UTF-32",          "SHIFT_JIS",
    "ASCII//IGNORE", "CP1252//IGNORE", "GBK//IGNORE",     "ASCII//TRANSLIT",
    "UTF-7",         "ISO-2022-JP",    "no-such-charset", "ASCII//TRANSLIT//IGNORE",
};

const char* charset(FuzzedDataProvider& in) {
  return charsets[in.ConsumeIntegralInRange<std::size_t>(0,
                                                         sizeof charsets / sizeof *charsets - 1)];
}

bool has_placeholder(const std::string& text) {
  for (const char* p : {"@{dlldir}", "@{appdata}", "@{desktop}", "@{random-uuid}"}) {
    if (text.find(p) != std::string::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vocle::fuzz::quiet();
  const std::string home = vocle::fuzz::folder();
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
  ::unsetenv("XDG_DESKTOP_DIR");
  ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
  vocle::fuzz::configure("", "");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const char* from = charset(in);
  const char* to = charset(in);
  const std::string text = in.ConsumeRemainingBytesAsString();
  const std::string until_zero(text.c_str());

  const std::string expanded = vocle::util::expand_path(text);
  check(has_placeholder(text) || expanded == text, "a path without placeholders stays");

  const std::string converted = vocle::platform::convert(text, from, to);
  if (std::string(from) == to) {
    check(converted == until_zero, "the same set gives the text up to its first zero");
  }
  // Back again, whatever came out.
  vocle::platform::convert(converted, to, from);
  vocle::util::utf8_to_ansi(text);
  vocle::util::ansi_to_utf8(text);
  return 0;
}
