// Readers of a script call's option object. A page that leaves an option out, or gives it a value
// that does not convert to the option's type, gets the default: a wrong option never fails a call.
// The one exception is get_option_index_list, whose conversion error tells post_record that
// "index" is not a list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/variant.h"

namespace vocle {

std::string get_option_string(const FB::VariantMap& options, const std::string& name,
                              const std::string& fallback);
std::int32_t get_option_int(const FB::VariantMap& options, const std::string& name,
                            std::int32_t fallback);
std::uint64_t get_option_int64(const FB::VariantMap& options, const std::string& name,
                               std::uint64_t fallback);
double get_option_double(const FB::VariantMap& options, const std::string& name, double fallback);
bool get_option_bool(const FB::VariantMap& options, const std::string& name, bool fallback);
FB::VariantList get_option_list(const FB::VariantMap& options, const std::string& name,
                                const FB::VariantList& fallback);
// The fallback when the name is missing; a present value that is not a list of record indexes
// raises FB::bad_variant_cast.
std::vector<std::uint64_t> get_option_index_list(const FB::VariantMap& options,
                                                 const std::string& name,
                                                 const std::vector<std::uint64_t>& fallback);

// The option object of a call: a page object or map as a map; no argument, undefined or null as
// no options at all. Any other value fails the call with FB::bad_variant_cast.
FB::VariantMap option_map(const FB::variant& argument);

}  // namespace vocle
