#include "host/native/value_object.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "host/core/variants.h"
#include "host/native/native_host.h"

namespace host {

namespace {

// "0", "1", ... as an index; false for any other name ("01", "-1", "1.5", "x").
bool index_of(const std::string& name, std::size_t* index) {
  if (name.empty() || name.size() > 9 || (name.size() > 1 && name[0] == '0')) {
    return false;
  }
  std::size_t n = 0;
  for (char c : name) {
    if (c < '0' || c > '9') {
      return false;
    }
    n = n * 10 + static_cast<std::size_t>(c - '0');
  }
  *index = n;
  return true;
}

bool count_of(const vh_variant& value, std::size_t* count) {
  double n = -1;
  if (value.type == VH_INT32) {
    n = value.value.i;
  } else if (value.type == VH_DOUBLE) {
    n = value.value.d;
  }
  if (!(n >= 0 && n <= static_cast<double>(k_most_elements) && n == std::floor(n))) {
    return false;
  }
  *count = static_cast<std::size_t>(n);
  return true;
}

}  // namespace

value_object::value_object(object_table& table, native_host& host, std::int64_t instance,
                           shape kind)
    : host_object(table), m_host(host), m_instance(instance), m_kind(kind) {}

value_object::~value_object() {
  std::vector<vh_variant> held;
  take_values(&held);
  if (!detached()) {
    m_host.forget(this);
  }
  for (vh_variant& value : held) {
    release_variant(&value);
  }
}

void value_object::take_values(std::vector<vh_variant>* out) {
  for (auto& member : m_members) {
    out->push_back(member.second);
  }
  m_members.clear();
}

vh_variant* value_object::find(const std::string& name) {
  for (auto& member : m_members) {
    if (member.first == name) {
      return &member.second;
    }
  }
  return nullptr;
}

void value_object::resize(std::size_t count) {
  while (m_members.size() > count) {
    vh_variant last = m_members.back().second;
    m_members.pop_back();
    release_variant(&last);
  }
  while (m_members.size() < count) {
    m_members.emplace_back(std::to_string(m_members.size()), void_variant());
  }
}

void value_object::put(const std::string& name, vh_variant value) {
  std::size_t index = 0;
  if (m_kind == shape::array && index_of(name, &index)) {
    if (index >= m_members.size()) {
      resize(index + 1);
    }
    vh_variant old = m_members[index].second;
    m_members[index].second = value;
    release_variant(&old);
    return;
  }
  if (vh_variant* member = find(name)) {
    vh_variant old = *member;
    *member = value;
    release_variant(&old);
    return;
  }
  m_members.emplace_back(name, value);
}

bool value_object::has_method(const char* name) {
  vh_variant* member = find(name);
  return member != nullptr && native_host::is_page_function(*member);
}

bool value_object::has_property(const char* name) {
  return find(name) != nullptr || (m_kind == shape::array && std::string(name) == "length");
}

bool value_object::get_property(const char* name, vh_variant* result) {
  if (m_kind == shape::array && std::string(name) == "length") {
    *result = void_variant();
    result->type = VH_INT32;
    result->value.i = static_cast<int32_t>(m_members.size());
    return true;
  }
  vh_variant* member = find(name);
  *result = member ? native_host::duplicate(*member) : void_variant();
  return true;
}

bool value_object::set_property(const char* name, const vh_variant* value, vh_variant* error) {
  const std::string key(name);
  if (m_kind == shape::array) {
    std::size_t n = 0;
    if (key == "length") {
      if (!count_of(*value, &n)) {
        return fail(error, "an array's length must be a whole number from 0 to 1000000");
      }
      resize(n);
      return true;
    }
    if (index_of(key, &n) && n >= k_most_elements) {
      return fail(error, "the array would grow beyond 1000000 elements");
    }
  }
  put(key, native_host::duplicate(*value));
  return true;
}

bool value_object::enumerate(std::vector<std::string>* names) {
  names->clear();
  for (const auto& member : m_members) {
    names->push_back(member.first);
  }
  return true;
}

}  // namespace host
