#include "common/alsa_config.h"

#include <dlfcn.h>

#include <boost/algorithm/string/replace.hpp>

#include <alsa/asoundlib.h>

namespace vocle {
namespace testkit {
namespace {

void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
void quiet_jack(const char*) {}

void silence_jack() {
  typedef void (*hook_setter)(void (*)(const char*));
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
    if (void* symbol = ::dlsym(RTLD_DEFAULT, name)) {
      reinterpret_cast<hook_setter>(symbol)(&quiet_jack);
    }
  }
}

}  // namespace

alsa_config::alsa_config(const std::string& text) {
  m_dir.write("mic.raw", std::string(32000, '\0'));
  m_config =
      m_dir.write("asound.conf", boost::algorithm::replace_all_copy(text, "@DIR@", m_dir.path()));
  m_environment.set("ALSA_CONFIG_PATH", m_config).set("JACK_NO_START_SERVER", "1");
  snd_lib_error_set_handler(&quiet_alsa);
  silence_jack();
}

}  // namespace testkit
}  // namespace vocle
