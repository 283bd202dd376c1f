#include "firebreath/options.h"

namespace vocle {
namespace {

// The inner layer: the fallback for a missing name, else the framework's conversion, whose
// error goes to the caller.
template <class T>
T read_option(const FB::VariantMap& options, const std::string& name, const T& fallback) {
  const FB::VariantMap::const_iterator found = options.find(name);
  if (found == options.end()) {
    return fallback;
  }
  return found->second.convert_cast<T>();
}

// The outer layer: a value of the wrong kind or out of range counts as missing. Only the
// conversion error is caught; anything else (no memory, say) is a real failure of the call.
template <class T>
T read_option_or_default(const FB::VariantMap& options, const std::string& name,
                         const T& fallback) {
  try {
    return read_option<T>(options, name, fallback);
  } catch (const FB::bad_variant_cast&) {
    return fallback;
  }
}

}  // namespace

std::string get_option_string(const FB::VariantMap& options, const std::string& name,
                              const std::string& fallback) {
  return read_option_or_default<std::string>(options, name, fallback);
}

std::int32_t get_option_int(const FB::VariantMap& options, const std::string& name,
                            std::int32_t fallback) {
  return read_option_or_default<std::int32_t>(options, name, fallback);
}

std::uint64_t get_option_int64(const FB::VariantMap& options, const std::string& name,
                               std::uint64_t fallback) {
  return read_option_or_default<std::uint64_t>(options, name, fallback);
}

double get_option_double(const FB::VariantMap& options, const std::string& name, double fallback) {
  return read_option_or_default<double>(options, name, fallback);
}

bool get_option_bool(const FB::VariantMap& options, const std::string& name, bool fallback) {
  return read_option_or_default<bool>(options, name, fallback);
}

FB::VariantList get_option_list(const FB::VariantMap& options, const std::string& name,
                                const FB::VariantList& fallback) {
  return read_option_or_default<FB::VariantList>(options, name, fallback);
}

std::vector<std::uint64_t> get_option_index_list(const FB::VariantMap& options,
                                                 const std::string& name,
                                                 const std::vector<std::uint64_t>& fallback) {
  const FB::VariantMap::const_iterator found = options.find(name);
  if (found == options.end()) {
    return fallback;
  }
  const FB::VariantList list = found->second.convert_cast<FB::VariantList>();
  std::vector<std::uint64_t> indexes;
  indexes.reserve(list.size());
  for (const FB::variant& index : list) {
    indexes.push_back(index.convert_cast<std::uint64_t>());
  }
  return indexes;
}

FB::VariantMap option_map(const FB::variant& argument) {
  if (argument.empty() || argument.is_null()) {
    return FB::VariantMap();
  }
  return argument.convert_cast<FB::VariantMap>();
}

}  // namespace vocle
