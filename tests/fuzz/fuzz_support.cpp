#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <boost/filesystem.hpp>

#include "core/foundation/settings.h"
#include "firebreath/Linux/util_linux.h"
#include "framework/module_path.h"

namespace vocle {
namespace fuzz {
namespace {

struct owned_folder {
  std::string path;
  owned_folder() {
    char name[] = "/tmp/vocle-fuzz-XXXXXX";
    if (!::mkdtemp(name)) {
      std::perror("mkdtemp");
      std::abort();
    }
    path = name;
  }
  ~owned_folder() {
    boost::system::error_code ec;
    boost::filesystem::remove_all(path, ec);
  }
};

void write(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace

const std::string& folder() {
  static owned_folder f;
  return f.path;
}

void quiet() {
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) {
    std::fflush(stdout);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  platform::set_message_box_handler([](const std::string&, const std::string&) {});
}

void configure(const std::string& vocle_conf, const std::string& lang_conf) {
  write(folder() + "/vocle.conf", vocle_conf);
  write(folder() + "/lang.conf", lang_conf);
  FB::setModulePath(folder() + "/libnpvocle.so");
  settings::reset();
}

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

FB::variant kept_calls::call(const FB::VariantList& args) {
  lists.push_back(args);
  return FB::variant();
}

void kept_calls::call_async(const FB::VariantList& args) {
  lists.push_back(args);
}

}  // namespace fuzz
}  // namespace vocle
