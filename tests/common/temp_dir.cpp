#include "common/temp_dir.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem.hpp>

namespace vocle {
namespace testkit {

temp_dir::temp_dir() {
  boost::filesystem::path p = boost::filesystem::temp_directory_path() /
                              boost::filesystem::unique_path("vocle-%%%%-%%%%-%%%%");
  boost::filesystem::create_directories(p);
  m_path = p.string();
}

temp_dir::~temp_dir() {
  boost::system::error_code ec;
  boost::filesystem::remove_all(m_path, ec);
}

std::string temp_dir::file(const std::string& name) const {
  return m_path + "/" + name;
}

std::string temp_dir::write(const std::string& name, const std::string& contents) const {
  std::string p = file(name);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) {
    throw std::runtime_error("cannot write " + p);
  }
  return p;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::set<std::string> names_in(const std::string& folder) {
  std::set<std::string> names;
  for (boost::filesystem::directory_iterator it(folder), end; it != end; ++it) {
    names.insert(it->path().filename().string());
  }
  return names;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

}  // namespace testkit
}  // namespace vocle
