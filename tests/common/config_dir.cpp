#include "common/config_dir.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

#include "core/foundation/settings.h"
#include "framework/module_path.h"

namespace vocle {
namespace testkit {
namespace {

std::atomic<bool> g_replaced{false};

std::string read_source_file(const std::string& relative) {
  std::string path = std::string(VOCLE_SOURCE_DIR) + "/" + relative;
  std::string text = read_file(path);
  if (text.empty()) {
    throw std::runtime_error("cannot read " + path);
  }
  return text;
}

}  // namespace

config_dir::config_dir(const std::string& vocle_conf, const std::string& lang_conf) {
  m_dir.write("vocle.conf", vocle_conf);
  m_dir.write("lang.conf", lang_conf);
  m_previous_module_path = FB::getModulePath();
  FB::setModulePath(m_dir.file("libnpvocle.so"));
  g_replaced = true;
  vocle::settings::reset();
}

config_dir::~config_dir() {
  FB::setModulePath(m_previous_module_path);
}

void config_dir::rewrite(const std::string& name, const std::string& contents) const {
  m_dir.write(name, contents);
  vocle::settings::reset();
}

void config_dir::remove(const std::string& name) const {
  std::remove(m_dir.file(name).c_str());
  vocle::settings::reset();
}

std::string config_dir::shipped_lang_conf() {
  return read_source_file("conf/lang.conf");
}

std::string config_dir::shipped_vocle_conf() {
  return read_source_file("conf/vocle.conf");
}

bool module_path_replaced() {
  return g_replaced;
}

}  // namespace testkit
}  // namespace vocle
