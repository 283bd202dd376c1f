// A folder of its own for one test, removed with everything in it when the test ends.
#pragma once

#include <string>

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

}  // namespace testkit
}  // namespace vocle
