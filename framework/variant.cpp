#include "framework/variant.h"

#include <charconv>
#include <cstring>
#include <system_error>
#include <utility>

#include <boost/make_shared.hpp>

#include "framework/JSObject.h"

namespace FB {
namespace {

const char kBlanks[] = " \t\r\n\f\v";

// The text without the blanks around it.
std::string trimmed(const std::string& text) {
  std::string::size_type first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) {
    return std::string();
  }
  std::string::size_type last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

template <class T>
bool parse_whole(const char* begin, const char* end, T& out) {
  std::from_chars_result r = std::from_chars(begin, end, out);
  return r.ec == std::errc() && r.ptr == end;
}

// Reads a whole text as a number: an int64 when it is integer text in that range, else a
// uint64 when it fits there, else a double. An empty variant when the text is no number.
variant parse_number(const std::string& text) {
  std::string t = trimmed(text);
  const char* begin = t.data();
  const char* end = t.data() + t.size();
  // from_chars takes no "+"; a second sign after it stays an error.
  if (begin != end && *begin == '+') {
    ++begin;
    if (begin != end && (*begin == '+' || *begin == '-')) {
      return variant();
    }
  }
  if (begin == end) {
    return variant();
  }
  std::int64_t i = 0;
  if (parse_whole(begin, end, i)) {
    return variant(i);
  }
  std::uint64_t u = 0;
  if (*begin != '-' && parse_whole(begin, end, u)) {
    return variant(u);
  }
  double d = 0;
  if (parse_whole(begin, end, d)) {
    return variant(d);
  }
  return variant();
}

// 2^63 and 2^64, exact in a double.
const double kTwo63 = 9223372036854775808.0;
const double kTwo64 = 18446744073709551616.0;

bool double_equals_int64(double d, std::int64_t i) {
  return d >= -kTwo63 && d < kTwo63 && d == std::trunc(d) && static_cast<std::int64_t>(d) == i;
}

bool double_equals_uint64(double d, std::uint64_t u) {
  return d >= 0 && d < kTwo64 && d == std::trunc(d) && static_cast<std::uint64_t>(d) == u;
}

bool is_number_kind(variant::kind_t k) {
  return k == variant::k_int || k == variant::k_uint || k == variant::k_double;
}

}  // namespace

variant::variant(const char* s) : m_kind(s ? k_string : k_null) {
  if (s) {
    m_string = boost::make_shared<const std::string>(s);
  }
}

variant::variant(const std::string& s)
    : m_kind(k_string), m_string(boost::make_shared<const std::string>(s)) {}

variant::variant(std::string&& s)
    : m_kind(k_string), m_string(boost::make_shared<const std::string>(std::move(s))) {}

variant::variant(const VariantList& l)
    : m_kind(k_list), m_list(boost::make_shared<const VariantList>(l)) {}

variant::variant(const VariantMap& m)
    : m_kind(k_map), m_map(boost::make_shared<const VariantMap>(m)) {}

variant::variant(const JSObjectPtr& o) : m_kind(o ? k_object : k_null), m_object(o) {}

const char* variant::kind_name() const {
  switch (m_kind) {
    case k_empty:
      return "empty";
    case k_null:
      return "null";
    case k_bool:
      return "bool";
    case k_int:
      return "int";
    case k_uint:
      return "uint";
    case k_double:
      return "double";
    case k_string:
      return "string";
    case k_list:
      return "list";
    case k_map:
      return "map";
    case k_object:
      return "object";
  }
  return "unknown";
}

void variant::fail(const std::string& to) const {
  throw bad_variant_cast(kind_name(), to);
}

std::int64_t variant::to_int64(const std::string& target) const {
  switch (m_kind) {
    case k_bool:
      return m_num.b ? 1 : 0;
    case k_int:
      return m_num.i;
    case k_uint:
      if (m_num.u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        fail(target);
      }
      return static_cast<std::int64_t>(m_num.u);
    case k_double:
      // Truncated toward zero; NaN fails both comparisons. Below -2^63 the next double is
      // -2^63 - 2048, so the bound is exact.
      if (!(m_num.d >= -kTwo63 && m_num.d < kTwo63)) {
        fail(target);
      }
      return static_cast<std::int64_t>(m_num.d);
    case k_string: {
      // An empty variant (no number) fails as well; either way the message names the string.
      try {
        return parse_number(*m_string).to_int64(target);
      } catch (const bad_variant_cast&) {
        fail(target);
      }
    }
    default:
      fail(target);
  }
}

std::uint64_t variant::to_uint64(const std::string& target) const {
  switch (m_kind) {
    case k_bool:
      return m_num.b ? 1 : 0;
    case k_int:
      if (m_num.i < 0) {
        fail(target);
      }
      return static_cast<std::uint64_t>(m_num.i);
    case k_uint:
      return m_num.u;
    case k_double:
      // Truncated toward zero, so -0.5 gives 0; NaN fails both comparisons.
      if (!(m_num.d > -1.0 && m_num.d < kTwo64)) {
        fail(target);
      }
      return static_cast<std::uint64_t>(m_num.d);
    case k_string: {
      // An empty variant (no number) fails as well; either way the message names the string.
      try {
        return parse_number(*m_string).to_uint64(target);
      } catch (const bad_variant_cast&) {
        fail(target);
      }
    }
    default:
      fail(target);
  }
}

double variant::to_double(const std::string& target) const {
  switch (m_kind) {
    case k_bool:
      return m_num.b ? 1.0 : 0.0;
    case k_int:
      return static_cast<double>(m_num.i);
    case k_uint:
      return static_cast<double>(m_num.u);
    case k_double:
      return m_num.d;
    case k_string: {
      // An empty variant (no number) fails as well; either way the message names the string.
      try {
        return parse_number(*m_string).to_double(target);
      } catch (const bad_variant_cast&) {
        fail(target);
      }
    }
    default:
      fail(target);
  }
}

bool variant::to_bool() const {
  switch (m_kind) {
    case k_bool:
      return m_num.b;
    case k_int:
      if (m_num.i == 0 || m_num.i == 1) {
        return m_num.i == 1;
      }
      break;
    case k_uint:
      if (m_num.u == 0 || m_num.u == 1) {
        return m_num.u == 1;
      }
      break;
    case k_double:
      if (m_num.d == 0.0 || m_num.d == 1.0) {
        return m_num.d == 1.0;
      }
      break;
    case k_string: {
      std::string t = trimmed(*m_string);
      if (t == "true" || t == "1") {
        return true;
      }
      if (t == "false" || t == "0") {
        return false;
      }
      break;
    }
    default:
      break;
  }
  fail("bool");
}

std::string variant::to_string() const {
  char buffer[64];
  std::to_chars_result r{buffer, std::errc()};
  switch (m_kind) {
    case k_bool:
      return m_num.b ? "true" : "false";
    case k_int:
      r = std::to_chars(buffer, buffer + sizeof buffer, m_num.i);
      break;
    case k_uint:
      r = std::to_chars(buffer, buffer + sizeof buffer, m_num.u);
      break;
    case k_double:
      // The shortest text that reads back as the same double.
      r = std::to_chars(buffer, buffer + sizeof buffer, m_num.d);
      break;
    case k_string:
      return *m_string;
    default:
      fail("string");
  }
  if (r.ec != std::errc()) {
    fail("string");
  }
  return std::string(buffer, r.ptr);
}

VariantList variant::to_list() const {
  if (m_kind == k_object) {
    return m_object->toVariantList();
  }
  return list();
}

VariantMap variant::to_map() const {
  if (m_kind == k_object) {
    return m_object->toVariantMap();
  }
  return map();
}

JSObjectPtr variant::to_object() const {
  return object();
}

const std::string& variant::str() const {
  if (m_kind != k_string) {
    fail("string");
  }
  return *m_string;
}

const VariantList& variant::list() const {
  if (m_kind != k_list) {
    fail("list");
  }
  return *m_list;
}

const VariantMap& variant::map() const {
  if (m_kind != k_map) {
    fail("map");
  }
  return *m_map;
}

const JSObjectPtr& variant::object() const {
  if (m_kind != k_object) {
    fail("object");
  }
  return m_object;
}

bool variant::operator==(const variant& other) const {
  if (is_number_kind(m_kind) && is_number_kind(other.m_kind)) {
    const variant& a = m_kind <= other.m_kind ? *this : other;  // int < uint < double
    const variant& b = m_kind <= other.m_kind ? other : *this;
    switch (a.m_kind) {
      case k_int:
        if (b.m_kind == k_int) {
          return a.m_num.i == b.m_num.i;
        }
        if (b.m_kind == k_uint) {
          return a.m_num.i >= 0 && static_cast<std::uint64_t>(a.m_num.i) == b.m_num.u;
        }
        return double_equals_int64(b.m_num.d, a.m_num.i);
      case k_uint:
        if (b.m_kind == k_uint) {
          return a.m_num.u == b.m_num.u;
        }
        return double_equals_uint64(b.m_num.d, a.m_num.u);
      default:
        return a.m_num.d == b.m_num.d;
    }
  }
  if (m_kind != other.m_kind) {
    return false;
  }
  switch (m_kind) {
    case k_empty:
    case k_null:
      return true;
    case k_bool:
      return m_num.b == other.m_num.b;
    case k_string:
      return *m_string == *other.m_string;
    case k_list:
      return *m_list == *other.m_list;
    case k_map:
      return *m_map == *other.m_map;
    case k_object:
      return m_object == other.m_object;
    default:
      return false;
  }
}

}  // namespace FB
