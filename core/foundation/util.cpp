#include "core/foundation/util.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "core/foundation/log.h"
#include "firebreath/Linux/util_linux.h"
#include "framework/module_path.h"
#include "framework/system.h"

namespace vocle {
namespace util {
namespace {

boost::filesystem::path library_folder() {
  return boost::filesystem::path(utf8_to_ansi(FB::getModulePath())).parent_path();
}

void replace_placeholder(std::string& text, const char* placeholder, std::string (*value)()) {
  // The folder is asked for only when its placeholder occurs.
  if (text.find(placeholder) != std::string::npos) {
    boost::algorithm::replace_all(text, placeholder, value());
  }
}

std::string random_uuid() {
  // A generator of its own for each path, seeded afresh from the system's entropy.
  boost::uuids::random_generator generate;
  return boost::uuids::to_string(generate());
}

}  // namespace

std::string expand_path(const std::string& path) {
  std::string result = path;
  replace_placeholder(result, "@{dlldir}", &dll_dir);
  replace_placeholder(result, "@{appdata}", &appdata_path);
  replace_placeholder(result, "@{desktop}", &desktop_path);
  // One identifier for every occurrence within the path.
  replace_placeholder(result, "@{random-uuid}", &random_uuid);
  return result;
}

std::string dll_dir() {
  return ansi_to_utf8(library_folder().string());
}

std::string dll_relative_path(const std::string& name) {
  return ansi_to_utf8((library_folder() / utf8_to_ansi(name)).string());
}

std::string appdata_path() {
  return FB::System::getLocalAppDataPath("Tarvix");
}

std::string desktop_path() {
  std::string folder = platform::desktop_folder();
  if (folder.empty()) {
    VOCLE_LOG_DEBUG("failed to SHGetFolderPath");
    return std::string();
  }
  return ansi_to_utf8(folder);
}

std::string ansi_to_utf8(const std::string& text) {
  return platform::narrow_to_utf8(text);
}

std::string utf8_to_ansi(const std::string& text) {
  return platform::utf8_to_narrow(text);
}

bool holds_nul(const std::string& text) {
  return text.find('\0') != std::string::npos;
}

}  // namespace util
}  // namespace vocle
