// Sets or clears environment variables for one test and puts them back afterwards.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vocle {
namespace testkit {

class scoped_env {
 public:
  scoped_env() = default;
  ~scoped_env();
  scoped_env(const scoped_env&) = delete;
  scoped_env& operator=(const scoped_env&) = delete;

  scoped_env& set(const std::string& name, const std::string& value);
  scoped_env& unset(const std::string& name);

 private:
  void remember(const std::string& name);

  // name, had a value, the value
  std::vector<std::pair<std::string, std::pair<bool, std::string> > > m_saved;
};

}  // namespace testkit
}  // namespace vocle
