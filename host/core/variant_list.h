// Host values owned together and released together (release_variant) when the list ends: the
// arguments of a call the host makes, or the result a call fills in.
#pragma once

#include <cstddef>
#include <vector>

#include "framework/host_interface.h"

namespace host {

class variant_list {
 public:
  // count void values.
  explicit variant_list(std::size_t count = 0);
  ~variant_list();
  variant_list(const variant_list&) = delete;
  variant_list& operator=(const variant_list&) = delete;

  // Takes over value.
  void push_back(const vh_variant& value);
  vh_variant& operator[](std::size_t i) { return m_values[i]; }
  vh_variant* data() { return m_values.data(); }
  std::size_t size() const { return m_values.size(); }

 private:
  std::vector<vh_variant> m_values;
};

}  // namespace host
