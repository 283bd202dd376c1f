#include "host/core/variants.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace host {

vh_variant void_variant() {
  vh_variant value;
  std::memset(&value, 0, sizeof value);
  value.type = VH_VOID;
  return value;
}

vh_variant string_variant(const char* utf8, std::size_t length) {
  if (length > UINT32_MAX) {
    throw std::length_error("a string of over 4 GiB cannot cross to the plug-in");
  }
  // One byte more, NUL, for readers that treat it as a C string.
  char* bytes = static_cast<char*>(std::malloc(length + 1));
  if (bytes == nullptr) {
    throw std::bad_alloc();
  }
  if (length != 0) {
    std::memcpy(bytes, utf8, length);
  }
  bytes[length] = '\0';
  vh_variant value = void_variant();
  value.type = VH_STRING;
  value.value.s.utf8 = bytes;
  value.value.s.length = static_cast<uint32_t>(length);
  return value;
}

vh_variant string_variant(const std::string& utf8) {
  return string_variant(utf8.data(), utf8.size());
}

vh_variant object_variant(vh_object* object) {
  vh_variant value = void_variant();
  if (object == nullptr) {
    value.type = VH_NULL;
    return value;
  }
  object->cls->retain(object);
  value.type = VH_OBJECT;
  value.value.object = object;
  return value;
}

void release_variant(vh_variant* value) {
  if (value == nullptr) {
    return;
  }
  if (value->type == VH_STRING) {
    std::free(const_cast<char*>(value->value.s.utf8));
  } else if (value->type == VH_OBJECT && value->value.object != nullptr) {
    value->value.object->cls->release(value->value.object);
  }
  *value = void_variant();
}

std::string variant_text(const vh_variant& value, const std::string& fallback) {
  if (value.type == VH_STRING && value.value.s.utf8 != nullptr) {
    return std::string(value.value.s.utf8, value.value.s.length);
  }
  return fallback;
}

std::string too_many_elements(bool array, std::size_t count) {
  return array ? "cannot convert array of length " + std::to_string(count) + " to list"
               : "cannot convert object of " + std::to_string(count) + " properties to map";
}

}  // namespace host
