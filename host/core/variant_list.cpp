#include "host/core/variant_list.h"

#include "host/core/variants.h"

namespace host {

variant_list::variant_list(std::size_t count) : m_values(count, void_variant()) {}

variant_list::~variant_list() {
  for (vh_variant& value : m_values) {
    release_variant(&value);
  }
}

void variant_list::push_back(const vh_variant& value) {
  try {
    m_values.push_back(value);
  } catch (...) {
    vh_variant lost = value;
    release_variant(&lost);
    throw;
  }
}

}  // namespace host
