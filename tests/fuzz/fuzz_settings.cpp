// The settings and language readers over any two files: every typed lookup of the key table,
// every lookup of each key the configuration holds, and every language text translated and
// used as a pattern. A translation may not grow far beyond its pattern.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/foundation/keys.h"
#include "core/foundation/settings.h"
#include "fuzz_support.h"

using vocle::settings;
namespace keys = vocle::keys;
using vocle::fuzz::check;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vocle::fuzz::quiet();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The configuration, a zero byte, the language file.
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string::size_type split = input.find('\0');
  const std::string conf = input.substr(0, split);
  const std::string lang = split == std::string::npos ? std::string() : input.substr(split + 1);
  vocle::fuzz::configure(conf, lang);
  settings& s = settings::instance();

  s.get(keys::audio_sample_rate);
  s.get(keys::audio_frames_per_buffer);
  s.get(keys::audio_max_response_size);
  s.get(keys::audio_sample_format);
  s.get(keys::audio_interleaved);
  s.get(keys::device_blacklist);
  s.get_list_list(keys::system_startup_rm.name, ";", "|");
  s.lang();
  s.log_level();
  s.dump();

  for (const settings::tree::value_type& section : s.config_tree()) {
    for (const settings::tree::value_type& entry : section.second) {
      const std::string key = section.first + "." + entry.first;
      s.get_string(key, "fallback");
      s.get_double(key, 1.5);
      s.get_bool(key, true);
      s.get_int(key, 7);
      s.get_list(key, ";");
      s.get_list_list(key, ";", "|");
    }
  }

  const std::string prefix = s.translate("ERROR_I18N_FORMAT_PREFIX");
  for (const settings::tree::value_type& section : s.lang_tree()) {
    for (const settings::tree::value_type& entry : section.second) {
      const std::string pattern = s.translate(entry.first);
      const std::size_t bound = 128 * (pattern.size() + prefix.size()) + 256;
      check(s.translate_format(entry.first, "word").size() <= bound, "one argument");
      check(s.translate_format(entry.first, -12345678, std::string("two")).size() <= bound,
            "two arguments");
      check(s.translate_format(entry.first, 1.0e300).size() <= bound, "a large double");
    }
  }
  return 0;
}
