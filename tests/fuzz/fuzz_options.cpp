// The option readers over any option object a page can build: a missing name gives the fallback,
// a value the framework's conversion accepts gives exactly that value, one it rejects gives the
// fallback, and no reader throws, except get_option_index_list with bad_variant_cast for a value
// that is not a list of record indexes. option_map takes every value a page may pass.
//
// The input is a small text so that seeds can be written by hand; anything that does not parse
// is skipped, so every input is an option object. The object's body is a run of `name: value`
// (name: the bytes up to the colon, or a quoted string), where a value is
//   _ empty   n null   t f bools   i-12 int   u12 uint   d2.5 dnan d-inf d1e400 double
//   "text" (a backslash takes the next byte as it is)   [value ...] list   {name: value ...} map
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <string>
#include <vector>

#include "firebreath/options.h"
#include "framework/variant.h"
#include "fuzz_support.h"

using FB::variant;
using vocle::fuzz::check;

namespace {

// Lists and maps nested deeper than this are read as empty, so the reader's recursion stays
// short.
constexpr int max_depth = 24;

class reader {
 public:
  explicit reader(const std::string& text) : m_text(text) {}

  // The entries up to the closing byte (none at the top: there the text ends the object).
  FB::VariantMap body(int depth, int close) {
    FB::VariantMap map;
    while (skip_blanks() && static_cast<unsigned char>(m_text[m_at]) != close) {
      std::string name;
      if (m_text[m_at] == '"') {
        name = quoted();
      } else {
        const std::string::size_type colon = m_text.find(':', m_at);
        const std::string::size_type end = colon == std::string::npos ? m_text.size() : colon;
        name = m_text.substr(m_at, end - m_at);
        m_at = end;
      }
      skip_blanks();
      if (m_at < m_text.size() && m_text[m_at] == ':') {
        ++m_at;
      }
      map[name] = value(depth);
    }
    step();
    return map;
  }

 private:
  // Past a closing byte, when the text has not ended before it.
  void step() {
    if (m_at < m_text.size()) {
      ++m_at;
    }
  }

  bool skip_blanks() {
    while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\n' ||
                                    m_text[m_at] == '\t' || m_text[m_at] == ',')) {
      ++m_at;
    }
    return m_at < m_text.size();
  }

  std::string quoted() {
    std::string text;
    ++m_at;
    while (m_at < m_text.size() && m_text[m_at] != '"') {
      if (m_text[m_at] == '\\' && m_at + 1 < m_text.size()) {
        ++m_at;
      }
      text += m_text[m_at++];
    }
    step();
    return text;
  }

  // The bytes up to a blank or a bracket: the text of a number.
  std::string word() {
    const std::string::size_type end = m_text.find_first_of(" \n\t,[]{}\"", m_at);
    const std::string w =
        m_text.substr(m_at, (end == std::string::npos ? m_text.size() : end) - m_at);
    m_at += w.size();
    return w;
  }

  // Digits into an unsigned number that wraps round, so that every bit pattern is reachable.
  std::uint64_t digits() {
    std::uint64_t n = 0;
    while (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9') {
      n = n * 10 + static_cast<std::uint64_t>(m_text[m_at++] - '0');
    }
    return n;
  }

  variant value(int depth) {
    if (!skip_blanks()) {
      return variant();
    }
    const char c = m_text[m_at++];
    switch (c) {
      case 'n':
        return variant(FB::FBNull());
      case 't':
        return variant(true);
      case 'f':
        return variant(false);
      case 'i': {
        const bool negative = m_at < m_text.size() && m_text[m_at] == '-';
        m_at += negative ? 1 : 0;
        const std::uint64_t n = digits();
        return variant(static_cast<std::int64_t>(negative ? 0 - n : n));
      }
      case 'u':
        return variant(digits());
      case 'd':
        // strtod takes what the page's numbers can be: nan, inf, overflow to inf, subnormals.
        return variant(std::strtod(word().c_str(), nullptr));
      case '"':
        --m_at;
        return variant(quoted());
      case '[': {
        FB::VariantList list;
        if (depth >= max_depth) {
          return variant(list);
        }
        while (skip_blanks() && m_text[m_at] != ']') {
          list.push_back(value(depth + 1));
        }
        step();
        return variant(list);
      }
      case '{':
        if (depth >= max_depth) {
          return variant(FB::VariantMap());
        }
        return variant(body(depth + 1, '}'));
      default:
        return variant();
    }
  }

  const std::string& m_text;
  std::string::size_type m_at = 0;
};

// The same value, bit for bit where it matters: NaN is NaN, -0 is not 0.
bool same(double a, double b) {
  return std::isnan(a) ? std::isnan(b) : a == b && std::signbit(a) == std::signbit(b);
}
bool same(const variant& a, const variant& b);
template <class T>
bool same(const T& a, const T& b) {
  return a == b;
}
bool same(const FB::VariantList& a, const FB::VariantList& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same(a[i], b[i])) {
      return false;
    }
  }
  return true;
}
bool same(const FB::VariantMap& a, const FB::VariantMap& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (FB::VariantMap::const_iterator i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i->first != j->first || !same(i->second, j->second)) {
      return false;
    }
  }
  return true;
}
bool same(const variant& a, const variant& b) {
  if (a.kind() != b.kind()) {
    return false;
  }
  switch (a.kind()) {
    case variant::k_double:
      return same(a.convert_cast<double>(), b.convert_cast<double>());
    case variant::k_list:
      return same(a.list(), b.list());
    case variant::k_map:
      return same(a.map(), b.map());
    default:
      return a == b;
  }
}

// What a reader must give: the fallback for a missing name or a rejected value, else the
// conversion's own result.
template <class T>
T expected(const FB::VariantMap& options, const std::string& name, const T& fallback) {
  const FB::VariantMap::const_iterator found = options.find(name);
  if (found == options.end()) {
    return fallback;
  }
  try {
    return found->second.convert_cast<T>();
  } catch (const FB::bad_variant_cast&) {
    return fallback;
  }
}

template <class T, class Reader>
void check_reader(Reader read, const FB::VariantMap& options, const std::string& name,
                  const T& fallback, const char* what) {
  try {
    check(same(read(options, name, fallback), expected<T>(options, name, fallback)), what);
  } catch (const std::exception&) {
    check(false, "an option reader other than the index list threw");
  }
}

// Two sets of fallbacks, so that a reader which gives some constant of its own instead of the
// fallback differs from the expectation under one of them.
struct fallbacks {
  std::string text;
  std::int32_t int32;
  std::uint64_t int64;
  double number;
  bool flag;
  FB::VariantList list;
  std::vector<std::uint64_t> indexes;
};

const fallbacks fallback_sets[] = {
    {"fallback", 7, 9, 1.5, true, {variant("x")}, {4, 2}},
    {"", -3, 0, std::nan(""), false, {}, {}},
};

void check_index_list(const FB::VariantMap& options, const std::string& name,
                      const std::vector<std::uint64_t>& fallback) {
  const FB::VariantMap::const_iterator found = options.find(name);
  // The expectation: a list whose every item converts to a record index, else the error.
  bool convertible = true;
  std::vector<std::uint64_t> indexes = fallback;
  if (found != options.end()) {
    indexes.clear();
    try {
      for (const variant& item : found->second.convert_cast<FB::VariantList>()) {
        indexes.push_back(item.convert_cast<std::uint64_t>());
      }
    } catch (const FB::bad_variant_cast&) {
      convertible = false;
    }
  }
  try {
    const std::vector<std::uint64_t> got = vocle::get_option_index_list(options, name, fallback);
    check(convertible, "the index list reader accepted what does not convert");
    check(got == indexes, "the index list is the items converted, in order");
  } catch (const FB::bad_variant_cast&) {
    check(!convertible, "the index list reader rejected a list of indexes");
  } catch (const std::exception&) {
    check(false, "the index list reader threw something other than bad_variant_cast");
  }
}

// What follows from the value's kind alone, without asking the conversion.
void check_by_kind(const FB::VariantMap& options, const std::string& name) {
  const variant& v = options.at(name);
  const fallbacks& f = fallback_sets[0];
  switch (v.kind()) {
    case variant::k_empty:
    case variant::k_null:
      check(vocle::get_option_string(options, name, f.text) == f.text, "empty or null string");
      check(vocle::get_option_int(options, name, f.int32) == f.int32, "empty or null int");
      check(same(vocle::get_option_double(options, name, f.number), f.number),
            "empty or null double");
      check(vocle::get_option_list(options, name, f.list) == f.list, "empty or null list");
      break;
    case variant::k_bool:
      check(
          vocle::get_option_bool(options, name, !v.convert_cast<bool>()) == v.convert_cast<bool>(),
          "a bool reads as itself");
      break;
    case variant::k_int: {
      const std::int64_t i = v.convert_cast<std::int64_t>();
      if (i >= std::numeric_limits<std::int32_t>::min() &&
          i <= std::numeric_limits<std::int32_t>::max()) {
        check(vocle::get_option_int(options, name, f.int32) == i, "an int32 reads as itself");
      } else {
        check(vocle::get_option_int(options, name, f.int32) == f.int32, "an int out of range");
      }
      check(vocle::get_option_int64(options, name, f.int64) ==
                (i < 0 ? f.int64 : static_cast<std::uint64_t>(i)),
            "a negative int is no uint64");
      break;
    }
    case variant::k_double: {
      const double d = v.convert_cast<double>();
      check(same(vocle::get_option_double(options, name, f.number), d), "a double reads as itself");
      if (!std::isfinite(d)) {
        check(vocle::get_option_int(options, name, f.int32) == f.int32, "NaN or inf as int");
        check(vocle::get_option_int64(options, name, f.int64) == f.int64, "NaN or inf as int64");
      }
      break;
    }
    case variant::k_string:
      check(vocle::get_option_string(options, name, f.text) == v.convert_cast<std::string>(),
            "a string reads as itself");
      check(vocle::get_option_list(options, name, f.list) == f.list, "a string is no list");
      break;
    case variant::k_list:
      check(same(vocle::get_option_list(options, name, f.list), v.list()),
            "a list reads as itself");
      check(vocle::get_option_string(options, name, f.text) == f.text, "a list is no string");
      break;
    case variant::k_map:
      check(vocle::get_option_list(options, name, f.list) == f.list, "a map is no list");
      check(vocle::get_option_bool(options, name, f.flag) == f.flag, "a map is no bool");
      break;
    default:
      break;
  }
}

void check_option_map(const variant& argument) {
  try {
    const FB::VariantMap map = vocle::option_map(argument);
    if (argument.empty() || argument.is_null()) {
      check(map.empty(), "no argument is no options");
    } else {
      check(argument.kind() == variant::k_map && same(map, argument.map()), "a map is the options");
    }
  } catch (const FB::bad_variant_cast&) {
    check(!argument.empty() && !argument.is_null() && argument.kind() != variant::k_map,
          "option_map rejected a map or no argument");
  } catch (const std::exception&) {
    check(false, "option_map threw something other than bad_variant_cast");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const FB::VariantMap options = reader(text).body(0, -1);

  // Every name the object holds, and one it does not.
  std::vector<std::string> names;
  for (const auto& option : options) {
    names.push_back(option.first);
  }
  std::string missing = "missing";
  while (options.count(missing) != 0) {
    missing += '_';
  }
  names.push_back(missing);

  for (const std::string& name : names) {
    for (const fallbacks& f : fallback_sets) {
      check_reader<std::string>(vocle::get_option_string, options, name, f.text, "string");
      check_reader<std::int32_t>(vocle::get_option_int, options, name, f.int32, "int");
      check_reader<std::uint64_t>(vocle::get_option_int64, options, name, f.int64, "int64");
      check_reader<double>(vocle::get_option_double, options, name, f.number, "double");
      check_reader<bool>(vocle::get_option_bool, options, name, f.flag, "bool");
      check_reader<FB::VariantList>(vocle::get_option_list, options, name, f.list, "list");
      check_index_list(options, name, f.indexes);
    }
    if (name != missing) {
      check_by_kind(options, name);
      check_option_map(options.at(name));
    }
  }
  check_option_map(variant(options));
  return 0;
}
