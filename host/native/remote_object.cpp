#include "host/native/remote_object.h"

#include <cstring>

#include <nlohmann/json.hpp>

#include "host/core/variants.h"
#include "host/native/native_host.h"

namespace host {

remote_object::remote_object(object_table& table, native_host& host, std::int64_t instance,
                             std::int64_t id, bool function)
    : host_object(table), m_host(host), m_instance(instance), m_id(id), m_function(function) {}

remote_object::~remote_object() {
  std::vector<vh_variant> held;
  take_values(&held);
  if (!detached()) {
    m_host.forget(this);
    release_to_page();
  }
  for (vh_variant& value : held) {
    release_variant(&value);
  }
}

void remote_object::set_copy(bool array, members&& copy) {
  std::vector<vh_variant> old;
  take_values(&old);
  m_copy = std::move(copy);
  m_copy_is_array = array;
  m_has_copy = true;
  for (vh_variant& value : old) {
    release_variant(&value);
  }
}

void remote_object::take_values(std::vector<vh_variant>* out) {
  for (auto& member : m_copy) {
    out->push_back(member.second);
  }
  m_copy.clear();
  m_has_copy = false;
}

void remote_object::release_to_page() {
  if (m_released) {
    return;
  }
  m_released = true;
  m_host.release_to_page(m_id, m_received);
}

void remote_object::on_detach() {
  // Only the page is told here: the values held go when the object does, since releasing them
  // now could delete other objects while the host core walks through them.
  release_to_page();
}

const vh_variant* remote_object::copied(const std::string& name) const {
  if (!m_has_copy) {
    return nullptr;
  }
  for (const auto& member : m_copy) {
    if (member.first == name) {
      return &member.second;
    }
  }
  return nullptr;
}

bool remote_object::call(const char* op, const char* name, const vh_variant* args, uint32_t count,
                         vh_variant* result) {
  nlohmann::json request = {{"op", op}, {"o", m_id}};
  if (name != nullptr) {
    request["m"] = name;
  }
  nlohmann::json list = nlohmann::json::array();
  for (uint32_t i = 0; i < count; ++i) {
    list.push_back(m_host.encode(args[i]));
  }
  request["a"] = std::move(list);
  nlohmann::json value;
  std::string error;
  const bool ok = m_host.ask(m_instance, std::move(request), &value, &error);
  m_host.page_code_ran();
  if (!ok) {
    return fail(result, error);
  }
  *result = m_host.decode(value, m_instance, false);
  return true;
}

bool remote_object::has_method(const char* name) {
  if (const vh_variant* member = copied(name)) {
    return native_host::is_page_function(*member);
  }
  nlohmann::json value;
  std::string error;
  return m_host.ask(m_instance, {{"op", "has_method"}, {"o", m_id}, {"m", name}}, &value, &error) &&
         value.is_boolean() && value.get<bool>();
}

bool remote_object::invoke(const char* name, const vh_variant* args, uint32_t count,
                           vh_variant* result) {
  return call("invoke", name, args, count, result);
}

bool remote_object::invoke_default(const vh_variant* args, uint32_t count, vh_variant* result) {
  return call("invoke_default", nullptr, args, count, result);
}

bool remote_object::has_property(const char* name) {
  if (copied(name) != nullptr ||
      (m_has_copy && m_copy_is_array && std::strcmp(name, "length") == 0)) {
    return true;
  }
  nlohmann::json value;
  std::string error;
  return m_host.ask(m_instance, {{"op", "has_property"}, {"o", m_id}, {"m", name}}, &value,
                    &error) &&
         value.is_boolean() && value.get<bool>();
}

bool remote_object::get_property(const char* name, vh_variant* result) {
  if (const vh_variant* member = copied(name)) {
    *result = native_host::duplicate(*member);
    return true;
  }
  if (m_has_copy && m_copy_is_array && std::strcmp(name, "length") == 0) {
    *result = void_variant();
    result->type = VH_DOUBLE;
    result->value.d = static_cast<double>(m_copy.size());
    return true;
  }
  nlohmann::json value;
  std::string error;
  if (!m_host.ask(m_instance, {{"op", "get"}, {"o", m_id}, {"m", name}}, &value, &error)) {
    return fail(result, error);
  }
  *result = m_host.decode(value, m_instance, false);
  return true;
}

bool remote_object::set_property(const char* name, const vh_variant* value, vh_variant* error) {
  nlohmann::json request = {{"op", "set"}, {"o", m_id}, {"m", name}, {"v", m_host.encode(*value)}};
  nlohmann::json answer;
  std::string reason;
  const bool ok = m_host.ask(m_instance, std::move(request), &answer, &reason);
  m_host.page_code_ran();
  return ok || fail(error, reason);
}

bool remote_object::enumerate(std::vector<std::string>* names) {
  names->clear();
  if (m_has_copy) {
    for (const auto& member : m_copy) {
      names->push_back(member.first);
    }
    return true;
  }
  nlohmann::json value;
  std::string error;
  if (!m_host.ask(m_instance, {{"op", "enumerate"}, {"o", m_id}}, &value, &error) ||
      !value.is_array()) {
    return false;
  }
  for (const auto& name : value) {
    if (name.is_string()) {
      names->push_back(name.get<std::string>());
    }
  }
  return true;
}

}  // namespace host
