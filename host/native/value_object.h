// An array or plain object that lives in vocle-host: what the library makes for the page
// (new_array, new_object: result lists, record information, device lists) and the page's window
// with its location. It crosses to the page by value, as a copy (native_host::encode).
//
// Reading a member it lacks gives undefined, as in a page's script; an array's "length" is its
// element count, and setting element n (or "length") grows or shrinks it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "framework/host_interface.h"
#include "host/core/host_object.h"

namespace host {

class native_host;
class object_table;

class value_object : public host_object {
 public:
  enum class shape { array, object };
  typedef std::vector<std::pair<std::string, vh_variant>> members;

  // A new empty value with one reference for the caller.
  value_object(object_table& table, native_host& host, std::int64_t instance, shape kind);

  shape kind() const { return m_kind; }
  std::int64_t instance() const { return m_instance; }
  // An array's elements are named "0".."n-1".
  const members& values() const { return m_members; }
  // Stores the member, taking over value.
  void put(const std::string& name, vh_variant value);
  // Moves out every value the object holds, without releasing any (see native_host).
  void take_values(std::vector<vh_variant>* out);

 protected:
  ~value_object() override;

  bool has_method(const char* name) override;
  bool has_property(const char* name) override;
  bool get_property(const char* name, vh_variant* result) override;
  bool set_property(const char* name, const vh_variant* value, vh_variant* error) override;
  bool enumerate(std::vector<std::string>* names) override;

 private:
  vh_variant* find(const std::string& name);
  // Resizes an array to count elements.
  void resize(std::size_t count);

  native_host& m_host;
  const std::int64_t m_instance;
  const shape m_kind;
  members m_members;
};

}  // namespace host
