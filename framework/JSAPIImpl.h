// The common ground of the framework's script objects: a description for the page's
// toString-like needs, and validity (an object whose plug-in has gone refuses every call).
#pragma once

#include <atomic>
#include <string>

#include "framework/JSAPI.h"

namespace FB {

class JSAPIImpl : public JSAPI {
 public:
  explicit JSAPIImpl(const std::string& description) : m_description(description) {}

  const std::string& getDescription() const { return m_description; }
  // Marks the object as gone: later page calls fail with a script error.
  void invalidate() { m_valid = false; }
  bool isValid() const { return m_valid; }

 private:
  std::string m_description;
  std::atomic<bool> m_valid{true};
};

}  // namespace FB
