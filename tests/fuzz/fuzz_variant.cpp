// Script values built from any input: every conversion either gives a value or fails with
// bad_variant_cast; numbers, booleans and texts survive a round trip through their text; and
// equality is reflexive (NaN aside) and symmetric.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "framework/variant.h"
#include "fuzz_support.h"

using FB::variant;
using vocle::fuzz::check;

namespace {

variant make(FuzzedDataProvider& in, int depth) {
  switch (in.ConsumeIntegralInRange<int>(0, depth > 0 ? 9 : 7)) {
    case 0:
      return variant();
    case 1:
      return variant(FB::FBNull());
    case 2:
      return variant(in.ConsumeBool());
    case 3:
      return variant(in.ConsumeIntegral<std::int64_t>());
    case 4:
      return variant(in.ConsumeIntegral<std::uint64_t>());
    case 5:
      return variant(in.ConsumeFloatingPoint<double>());
    case 6: {
      // Raw bits: NaNs, infinities and subnormals too.
      const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
      double d;
      static_assert(sizeof d == sizeof bits, "64-bit double");
      __builtin_memcpy(&d, &bits, sizeof d);
      return variant(d);
    }
    case 7:
      return variant(in.ConsumeRandomLengthString(64));
    case 8: {
      FB::VariantList list;
      const int n = in.ConsumeIntegralInRange<int>(0, 6);
      for (int i = 0; i < n; ++i) {
        list.push_back(make(in, depth - 1));
      }
      return variant(list);
    }
    default: {
      FB::VariantMap map;
      const int n = in.ConsumeIntegralInRange<int>(0, 6);
      for (int i = 0; i < n; ++i) {
        map[in.ConsumeRandomLengthString(16)] = make(in, depth - 1);
      }
      return variant(map);
    }
  }
}

bool has_nan(const variant& v) {
  switch (v.kind()) {
    case variant::k_double:
      return std::isnan(v.convert_cast<double>());
    case variant::k_list:
      for (const variant& item : v.list()) {
        if (has_nan(item)) {
          return true;
        }
      }
      return false;
    case variant::k_map:
      for (const auto& item : v.map()) {
        if (has_nan(item.second)) {
          return true;
        }
      }
      return false;
    default:
      return false;
  }
}

template <class T>
void try_convert(const variant& v) {
  try {
    v.convert_cast<T>();
  } catch (const FB::bad_variant_cast&) {
  }
}

void convert_all(const variant& v) {
  try_convert<bool>(v);
  try_convert<std::int8_t>(v);
  try_convert<std::uint8_t>(v);
  try_convert<std::int16_t>(v);
  try_convert<std::uint16_t>(v);
  try_convert<std::int32_t>(v);
  try_convert<std::uint32_t>(v);
  try_convert<std::int64_t>(v);
  try_convert<std::uint64_t>(v);
  try_convert<float>(v);
  try_convert<double>(v);
  try_convert<std::string>(v);
  try_convert<FB::VariantList>(v);
  try_convert<FB::VariantMap>(v);
  check(v.convert_cast<variant>() == v || has_nan(v), "convert_cast<variant> is the value");
}

// The value through its text and back: what a page gets when it reads a number as a string and
// hands the text back.
void round_trip(const variant& v) {
  switch (v.kind()) {
    case variant::k_bool: {
      const variant text(v.convert_cast<std::string>());
      check(text.convert_cast<bool>() == v.convert_cast<bool>(), "bool through text");
      break;
    }
    case variant::k_int: {
      const variant text(v.convert_cast<std::string>());
      check(text.convert_cast<std::int64_t>() == v.convert_cast<std::int64_t>(),
            "int64 through text");
      break;
    }
    case variant::k_uint: {
      const variant text(v.convert_cast<std::string>());
      check(text.convert_cast<std::uint64_t>() == v.convert_cast<std::uint64_t>(),
            "uint64 through text");
      break;
    }
    case variant::k_double: {
      const double d = v.convert_cast<double>();
      const variant text(v.convert_cast<std::string>());
      const double back = text.convert_cast<double>();
      check(std::isnan(d) ? std::isnan(back) : back == d, "double through text");
      check(!(text == v), "a string never equals a number");
      break;
    }
    case variant::k_string: {
      // A text that reads as a number gives a number whose own text reads the same.
      try {
        const double d = v.convert_cast<double>();
        const variant again(variant(d).convert_cast<std::string>());
        const double back = again.convert_cast<double>();
        check(std::isnan(d) ? std::isnan(back) : back == d, "text through double");
      } catch (const FB::bad_variant_cast&) {
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<variant> values;
  while (in.remaining_bytes() > 0 && values.size() < 8) {
    values.push_back(make(in, 3));
  }
  for (const variant& v : values) {
    convert_all(v);
    round_trip(v);
    check(has_nan(v) || v == v, "equal to itself");
    for (const variant& w : values) {
      check((v == w) == (w == v), "equality is symmetric");
      check((v != w) == !(v == w), "!= is not ==");
    }
  }
  return 0;
}
