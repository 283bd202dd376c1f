// A configuration of its own for one test: vocle.conf and lang.conf in a temporary folder that
// stands for the library's folder, read by vocle::settings.
//
//   vocle::testkit::config_dir cfg("[audio]\nsample_rate=8000\n");  // the shipped lang.conf
//   vocle::testkit::config_dir cfg(vocle_text, lang_text);
#pragma once

#include <string>

#include "common/temp_dir.h"

namespace vocle {
namespace testkit {

class config_dir {
 public:
  // Writes both files, points the library's folder here (FB::setModulePath) and makes the next
  // vocle::settings::instance() read them.
  explicit config_dir(const std::string& vocle_conf = std::string(),
                      const std::string& lang_conf = shipped_lang_conf());
  // Points the library's folder back. The settings keep what they read (a worker thread that a
  // test left behind may still be reading them); the next config_dir replaces them.
  ~config_dir();
  config_dir(const config_dir&) = delete;
  config_dir& operator=(const config_dir&) = delete;

  // The folder, which dll_dir() and "@{dlldir}" name.
  const std::string& path() const { return m_dir.path(); }
  std::string file(const std::string& name) const { return m_dir.file(name); }
  // Replaces (or adds) a file of the folder and makes the settings read both files again.
  void rewrite(const std::string& name, const std::string& contents) const;
  // Removes a file of the folder and makes the settings read both files again.
  void remove(const std::string& name) const;

  // The files of the source tree's conf/ folder.
  static std::string shipped_lang_conf();
  static std::string shipped_vocle_conf();

 private:
  temp_dir m_dir;
  std::string m_previous_module_path;
};

// True once a config_dir has replaced the library path in this process.
bool module_path_replaced();

}  // namespace testkit
}  // namespace vocle
