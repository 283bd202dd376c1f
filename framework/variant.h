// A script value: what page script passes in and what callbacks hand back to it.
//
// Conversions (convert_cast<T>):
//  - numbers (and booleans, as 0 and 1) convert to any arithmetic type whose range holds the
//    value; otherwise bad_variant_cast (-1 to an unsigned type, 1e20 to int64, NaN or an
//    infinity to any integer, 1e300 to float). A fraction converting to an integer is truncated
//    toward zero (so -0.5 gives 0 even for an unsigned type).
//  - to bool: a number converts when it is 0 (false) or 1 (true); any other number fails.
//  - a string converts to a number when its whole text parses as one (leading and trailing
//    blanks allowed, an optional sign, decimal digits with an optional fraction and exponent,
//    or "inf", "infinity", "nan" in any case): "12abc", "", "0x10" and "1e400" fail. Integer text
//    is read exactly, so "18446744073709551615" gives the largest uint64; the number then converts
//    by the rule above ("2.7" to int gives 2). To bool a string converts when it is "true",
//    "false", "1" or "0" (blanks around it allowed, case as written).
//  - numbers and booleans convert to strings ("true"/"false"; integers in decimal; doubles in
//    their shortest round-trip form: 2.5 -> "2.5", 3.0 -> "3", 1e20 -> "1e+20", NaN -> "nan").
//  - empty and null convert to nothing: every convert_cast throws bad_variant_cast, to string
//    too, so option readers fall back to their defaults. (convert_cast<variant> is no
//    conversion: it returns the value itself, whatever its kind.)
//  - a list converts to VariantList and nothing else, a map to VariantMap and nothing else.
//  - a page object converts to JSObjectPtr (itself), to VariantList (an array: its "length" and
//    elements, see JSObject::toVariantList) and to VariantMap (its own enumerable properties);
//    those two ask the page, from any thread. To anything else it converts to nothing (to string
//    too). Only a page object converts to JSObjectPtr: null and empty do not.
//
// A variant built from a null char pointer or an empty object pointer is null.
//
// Equality: int, uint and double values are equal when they hold the same number (3 == 3u ==
// 3.0; -1 != the largest uint64; NaN equals nothing). Every other pair is equal when both have
// the same kind and the same value: a bool is not a number here (true != 1), a string never
// equals a number ("3" != 3), lists and maps compare element by element, objects by identity,
// empty equals empty and null equals null.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "framework/script_error.h"

namespace FB {

class JSObject;
typedef boost::shared_ptr<JSObject> JSObjectPtr;

class variant;
typedef std::vector<variant> VariantList;
typedef std::map<std::string, variant> VariantMap;

struct FBNull {};

template <class T, class Enable = void>
struct variant_converter;

class variant {
 public:
  enum kind_t {
    k_empty,
    k_null,
    k_bool,
    k_int,
    k_uint,
    k_double,
    k_string,
    k_list,
    k_map,
    k_object
  };

  variant() : m_kind(k_empty) {}
  variant(FBNull) : m_kind(k_null) {}
  variant(bool b) : m_kind(k_bool) { m_num.b = b; }
  template <class T,
            typename std::enable_if<std::is_integral<T>::value && std::is_signed<T>::value &&
                                        !std::is_same<T, bool>::value,
                                    int>::type = 0>
  variant(T v) : m_kind(k_int) {
    m_num.i = v;
  }
  template <class T,
            typename std::enable_if<std::is_integral<T>::value && std::is_unsigned<T>::value &&
                                        !std::is_same<T, bool>::value,
                                    int>::type = 0>
  variant(T v) : m_kind(k_uint) {
    m_num.u = v;
  }
  variant(float v) : m_kind(k_double) { m_num.d = v; }
  variant(double v) : m_kind(k_double) { m_num.d = v; }
  variant(const char* s);
  variant(const std::string& s);
  variant(std::string&& s);
  variant(const VariantList& l);
  variant(const VariantMap& m);
  variant(const JSObjectPtr& o);

  kind_t kind() const { return m_kind; }
  bool empty() const { return m_kind == k_empty; }
  bool is_null() const { return m_kind == k_null; }
  // The kind's name, for messages ("empty", "null", "bool", "int", ...).
  const char* kind_name() const;

  // Converts by the rules above; throws bad_variant_cast when the value does not convert.
  template <class T>
  T convert_cast() const;

  // The stored string, list, map or object itself (no conversion, no copy); bad_variant_cast
  // for other kinds.
  const std::string& str() const;
  const VariantList& list() const;
  const VariantMap& map() const;
  const JSObjectPtr& object() const;

  bool operator==(const variant& other) const;
  bool operator!=(const variant& other) const { return !(*this == other); }

 private:
  // target names the type asked for, for the message of a failed conversion.
  std::int64_t to_int64(const std::string& target) const;
  std::uint64_t to_uint64(const std::string& target) const;
  double to_double(const std::string& target) const;
  bool to_bool() const;
  std::string to_string() const;
  VariantList to_list() const;
  VariantMap to_map() const;
  JSObjectPtr to_object() const;
  [[noreturn]] void fail(const std::string& to) const;

  template <class T>
  T to_integral() const;
  template <class T>
  T to_floating() const;
  // "int32", "uint64", ... for messages.
  template <class T>
  static std::string integral_name() {
    return (std::is_signed<T>::value ? "int" : "uint") + std::to_string(sizeof(T) * 8);
  }

  kind_t m_kind;
  union {
    bool b;
    std::int64_t i;
    std::uint64_t u;
    double d;
  } m_num{};
  boost::shared_ptr<const std::string> m_string;
  boost::shared_ptr<const VariantList> m_list;
  boost::shared_ptr<const VariantMap> m_map;
  JSObjectPtr m_object;

  template <class T, class Enable>
  friend struct variant_converter;
};

template <class T>
struct variant_converter<
    T, typename std::enable_if<std::is_integral<T>::value && !std::is_same<T, bool>::value>::type> {
  static T convert(const variant& v) { return v.template to_integral<T>(); }
};
template <class T>
struct variant_converter<T, typename std::enable_if<std::is_floating_point<T>::value>::type> {
  static T convert(const variant& v) { return v.template to_floating<T>(); }
};
template <>
struct variant_converter<bool> {
  static bool convert(const variant& v) { return v.to_bool(); }
};
template <>
struct variant_converter<std::string> {
  static std::string convert(const variant& v) { return v.to_string(); }
};
template <>
struct variant_converter<VariantList> {
  static VariantList convert(const variant& v) { return v.to_list(); }
};
template <>
struct variant_converter<VariantMap> {
  static VariantMap convert(const variant& v) { return v.to_map(); }
};
template <>
struct variant_converter<JSObjectPtr> {
  static JSObjectPtr convert(const variant& v) { return v.to_object(); }
};
template <>
struct variant_converter<variant> {
  static variant convert(const variant& v) { return v; }
};

template <class T>
T variant::convert_cast() const {
  return variant_converter<T>::convert(*this);
}

template <class T>
T variant::to_integral() const {
  if constexpr (std::is_signed<T>::value) {
    const std::string target = integral_name<T>();
    std::int64_t v = to_int64(target);
    if (v < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
        v > static_cast<std::int64_t>(std::numeric_limits<T>::max())) {
      fail(target);
    }
    return static_cast<T>(v);
  } else {
    const std::string target = integral_name<T>();
    std::uint64_t v = to_uint64(target);
    if (v > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) {
      fail(target);
    }
    return static_cast<T>(v);
  }
}

template <class T>
T variant::to_floating() const {
  const std::string target = std::is_same<T, float>::value ? "float" : "double";
  double v = to_double(target);
  // A finite value beyond the type's range has no counterpart (the cast would be undefined).
  if (std::isfinite(v) && std::fabs(v) > static_cast<long double>(std::numeric_limits<T>::max())) {
    fail(target);
  }
  return static_cast<T>(v);
}

}  // namespace FB
