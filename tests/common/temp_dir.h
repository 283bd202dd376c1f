// A folder of its own for one test, removed with everything in it when the test ends.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace vocle {
namespace testkit {

class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;

  const std::string& path() const { return m_path; }
  // path() + "/" + name
  std::string file(const std::string& name) const;
  // Writes the text to the named file and returns its path.
  std::string write(const std::string& name, const std::string& contents) const;

 private:
  std::string m_path;
};

// The whole contents of a file ("" when it cannot be read).
std::string read_file(const std::string& path);

// The names of the entries of a folder (one level).
std::set<std::string> names_in(const std::string& folder);

// The lines of a text, without their line ends; a last line without one counts too.
std::vector<std::string> lines_of(const std::string& text);

}  // namespace testkit
}  // namespace vocle
