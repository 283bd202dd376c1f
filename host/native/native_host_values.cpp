// native_host: values between the library and the page (the tags are page.js's).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "host/core/variants.h"
#include "host/native/native_host.h"
#include "host/native/remote_object.h"
#include "host/native/value_object.h"

namespace host {

namespace {

nlohmann::json undefined_value() {
  return {{"$", "u"}};
}

nlohmann::json number(double d) {
  if (std::isnan(d)) {
    return {{"$", "d"}, {"v", "NaN"}};
  }
  if (std::isinf(d)) {
    return {{"$", "d"}, {"v", d > 0 ? "Infinity" : "-Infinity"}};
  }
  return d;
}

vh_variant number_variant(double d) {
  vh_variant value = void_variant();
  if (d == std::floor(d) && d >= std::numeric_limits<std::int32_t>::min() &&
      d <= std::numeric_limits<std::int32_t>::max() && !(d == 0 && std::signbit(d))) {
    value.type = VH_INT32;
    value.value.i = static_cast<std::int32_t>(d);
  } else {
    value.type = VH_DOUBLE;
    value.value.d = d;
  }
  return value;
}

}  // namespace

vh_variant native_host::duplicate(const vh_variant& value) {
  if (value.type == VH_STRING) {
    return string_variant(value.value.s.utf8 ? value.value.s.utf8 : "", value.value.s.length);
  }
  if (value.type == VH_OBJECT) {
    return object_variant(value.value.object);
  }
  return value;
}

bool native_host::is_page_function(const vh_variant& value) {
  if (value.type != VH_OBJECT) {
    return false;
  }
  auto* remote = dynamic_cast<remote_object*>(host_object::from_handle(value.value.object));
  return remote != nullptr && remote->is_function();
}

nlohmann::json native_host::encode(const vh_variant& value, int depth) {
  switch (value.type) {
    case VH_VOID:
      return undefined_value();
    case VH_NULL:
      return nullptr;
    case VH_BOOL:
      return value.value.b;
    case VH_INT32:
      return value.value.i;
    case VH_DOUBLE:
      return number(value.value.d);
    case VH_STRING:
      return std::string(value.value.s.utf8 ? value.value.s.utf8 : "", value.value.s.length);
    case VH_OBJECT:
      break;
  }
  // Deeper than k_deepest an object is cut off (the page gets null), and so is an object inside
  // itself.
  vh_object* object = value.type == VH_OBJECT ? value.value.object : nullptr;
  if (object == nullptr || depth > k_deepest ||
      std::find(m_encoding.begin(), m_encoding.end(), object) != m_encoding.end()) {
    return nullptr;
  }
  struct ancestor {
    std::vector<vh_object*>& path;
    ancestor(std::vector<vh_object*>& p, vh_object* object) : path(p) { path.push_back(object); }
    ~ancestor() { path.pop_back(); }
  } in(m_encoding, object);
  return encode_object(object, depth);
}

nlohmann::json native_host::encode_object(vh_object* object, int depth) {
  host_object* mine = host_object::from_handle(object);
  if (auto* remote = dynamic_cast<remote_object*>(mine)) {
    return {{"$", "r"}, {"id", remote->id()}};
  }
  if (auto* local = dynamic_cast<value_object*>(mine)) {
    if (local->kind() == value_object::shape::array) {
      nlohmann::json items = nlohmann::json::array();
      for (const auto& element : local->values()) {
        items.push_back(encode(element.second, depth + 1));
      }
      return items;
    }
    nlohmann::json members = nlohmann::json::array();
    for (const auto& member : local->values()) {
      members.push_back({member.first, encode(member.second, depth + 1)});
    }
    return {{"$", "m"}, {"v", std::move(members)}};
  }
  if (mine != nullptr) {
    return nullptr;
  }
  // One of the library's own objects: the page gets a copy of its members.
  nlohmann::json members = nlohmann::json::array();
  char** names = nullptr;
  uint32_t count = 0;
  if (object->cls->enumerate(object, &names, &count)) {
    for (uint32_t i = 0; names && i < count; ++i) {
      if (names[i] == nullptr) {
        continue;
      }
      vh_variant member = void_variant();
      if (!object->cls->has_method(object, names[i]) &&
          object->cls->get_property(object, names[i], &member)) {
        members.push_back({names[i], encode(member, depth + 1)});
      }
      release_variant(&member);
      std::free(names[i]);
    }
    std::free(names);
  }
  return {{"$", "m"}, {"v", std::move(members)}};
}

bool native_host::too_deep(const nlohmann::json& value, bool copies) {
  // What decode descends into, walked without recursion.
  std::vector<std::pair<const nlohmann::json*, int>> pending{{&value, 0}};
  while (!pending.empty()) {
    const nlohmann::json& next = *pending.back().first;
    const int depth = pending.back().second;
    pending.pop_back();
    if (next.is_array()) {
      if (depth > k_deepest) {
        return true;
      }
      for (const auto& item : next) {
        pending.emplace_back(&item, depth + 1);
      }
      continue;
    }
    const auto tag = next.is_object() ? next.find("$") : next.end();
    if (tag == next.end() || !tag->is_string() || (*tag != "o" && *tag != "f")) {
      continue;
    }
    if (depth > k_deepest) {
      return true;
    }
    const auto members = next.find("s");
    const auto elements = next.find("a");
    if (copies && members != next.end() && members->is_array()) {
      for (const auto& member : *members) {
        if (member.is_array() && member.size() == 2 && member[0].is_string()) {
          pending.emplace_back(&member[1], depth + 1);
        }
      }
    } else if (copies && elements != next.end() && elements->is_array()) {
      for (const auto& element : *elements) {
        pending.emplace_back(&element, depth + 1);
      }
    }
  }
  return false;
}

vh_variant native_host::decode(const nlohmann::json& value, std::int64_t instance, bool copies,
                               int depth) {
  if (depth > k_deepest && value.is_structured()) {
    release_unclaimed(value);  // refused before: see too_deep
    vh_variant out = void_variant();
    out.type = VH_NULL;
    return out;
  }
  switch (value.type()) {
    case nlohmann::json::value_t::null:
      break;
    case nlohmann::json::value_t::boolean: {
      vh_variant out = void_variant();
      out.type = VH_BOOL;
      out.value.b = value.get<bool>();
      return out;
    }
    case nlohmann::json::value_t::number_integer:
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_float:
      return number_variant(value.get<double>());
    case nlohmann::json::value_t::string:
      return string_variant(value.get_ref<const std::string&>());
    case nlohmann::json::value_t::array: {
      // The page script sends arrays as page objects; a bare array is taken as a copy.
      vh_object* array = new_value(instance, true);
      auto* local = dynamic_cast<value_object*>(host_object::from_handle(array));
      if (local == nullptr) {
        release_unclaimed(value);
        break;
      }
      std::size_t index = 0;
      for (const auto& item : value) {
        local->put(std::to_string(index++), decode(item, instance, copies, depth + 1));
      }
      vh_variant out = void_variant();
      out.type = VH_OBJECT;
      out.value.object = array;
      return out;
    }
    case nlohmann::json::value_t::object: {
      const auto tag = value.find("$");
      if (tag == value.end() || !tag->is_string()) {
        break;
      }
      const std::string& kind = tag->get_ref<const std::string&>();
      if (kind == "u") {
        return void_variant();
      }
      if (kind == "d") {
        const auto v = value.find("v");
        const std::string text = v != value.end() && v->is_string() ? v->get<std::string>() : "";
        vh_variant out = void_variant();
        out.type = VH_DOUBLE;
        out.value.d = text == "Infinity"    ? std::numeric_limits<double>::infinity()
                      : text == "-Infinity" ? -std::numeric_limits<double>::infinity()
                                            : std::numeric_limits<double>::quiet_NaN();
        return out;
      }
      if (kind != "o" && kind != "f") {
        break;
      }
      const auto id_field = value.find("id");
      remote_object* remote = id_field != value.end() && id_field->is_number_integer()
                                  ? remote_for(instance, id_field->get<std::int64_t>(), kind == "f")
                                  : nullptr;
      if (remote == nullptr) {
        release_unclaimed(value);
        break;
      }
      remote->count_receipt();
      const auto members = value.find("s");
      const auto elements = value.find("a");
      if (copies && members != value.end() && members->is_array()) {
        remote_object::members copy;
        for (const auto& member : *members) {
          if (member.is_array() && member.size() == 2 && member[0].is_string()) {
            copy.emplace_back(member[0].get<std::string>(),
                              decode(member[1], instance, true, depth + 1));
          }
        }
        remote->set_copy(false, std::move(copy));
        m_copied.insert(remote);
      } else if (copies && elements != value.end() && elements->is_array()) {
        remote_object::members copy;
        std::size_t index = 0;
        for (const auto& element : *elements) {
          copy.emplace_back(std::to_string(index++), decode(element, instance, true, depth + 1));
        }
        remote->set_copy(true, std::move(copy));
        m_copied.insert(remote);
      } else if (!copies) {
        release_unclaimed(members != value.end() ? *members : nlohmann::json());
        release_unclaimed(elements != value.end() ? *elements : nlohmann::json());
      }
      vh_variant out = void_variant();
      out.type = VH_OBJECT;
      out.value.object = remote->handle();
      return out;
    }
    default:
      break;
  }
  vh_variant out = void_variant();
  out.type = VH_NULL;
  return out;
}

}  // namespace host
