// Helpers for host values (vh_variant) as the host interface owns them: strings allocated with
// malloc, objects holding one reference.
#pragma once

#include <cstddef>
#include <string>

#include "framework/host_interface.h"

namespace host {

vh_variant void_variant();
// A string value owning a malloc'd copy of the bytes.
vh_variant string_variant(const char* utf8, std::size_t length);
vh_variant string_variant(const std::string& utf8);
// An object value holding a new reference of object (retained here).
vh_variant object_variant(vh_object* object);
// The interface's release_variant: frees a string's bytes, releases an object, leaves void.
void release_variant(vh_variant* value);
// The string a value holds, or fallback when it holds none.
std::string variant_text(const vh_variant& value, const std::string& fallback);

// The library makes no list of a page array longer than this, nor a map of a page object with
// more properties, so a host need build no such value for it.
constexpr std::size_t k_most_elements = 1000000;
// Why such an array (or object) of count elements is refused: the library's own words for it.
std::string too_many_elements(bool array, std::size_t count);

}  // namespace host
