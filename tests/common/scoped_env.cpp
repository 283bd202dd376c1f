#include "common/scoped_env.h"

#include <cstdlib>

namespace vocle {
namespace testkit {

scoped_env::~scoped_env() {
  for (auto it = m_saved.rbegin(); it != m_saved.rend(); ++it) {
    if (it->second.first) {
      ::setenv(it->first.c_str(), it->second.second.c_str(), 1);
    } else {
      ::unsetenv(it->first.c_str());
    }
  }
}

void scoped_env::remember(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  m_saved.emplace_back(name, std::make_pair(value != nullptr, value ? value : ""));
}

scoped_env& scoped_env::set(const std::string& name, const std::string& value) {
  remember(name);
  ::setenv(name.c_str(), value.c_str(), 1);
  return *this;
}

scoped_env& scoped_env::unset(const std::string& name) {
  remember(name);
  ::unsetenv(name.c_str());
  return *this;
}

}  // namespace testkit
}  // namespace vocle
