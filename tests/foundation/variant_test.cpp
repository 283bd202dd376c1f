#include "framework/variant.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using FB::variant;
using FB::VariantList;
using FB::VariantMap;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

const std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
const std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
const std::uint64_t kUint64Max = std::numeric_limits<std::uint64_t>::max();

// One row: a value, and the result a conversion to T gives (absent: bad_variant_cast).
template <class T>
struct row {
  variant value;
  bool converts;
  T expected;
  const char* what;
};

template <class T>
row<T> gives(const variant& value, T expected, const char* what) {
  return row<T>{value, true, expected, what};
}

template <class T>
row<T> fails(const variant& value, const char* what) {
  return row<T>{value, false, T(), what};
}

template <class T>
void check_rows(const std::vector<row<T>>& rows) {
  for (const row<T>& r : rows) {
    SCOPED_TRACE(r.what);
    if (r.converts) {
      try {
        EXPECT_EQ(r.value.template convert_cast<T>(), r.expected);
      } catch (const FB::bad_variant_cast& e) {
        ADD_FAILURE() << "unexpected bad_variant_cast: " << e.what();
      }
    } else {
      EXPECT_THROW(r.value.template convert_cast<T>(), FB::bad_variant_cast);
    }
  }
}

// A page object stand-in. Only a list or map conversion calls through the pointer, and no test
// here asks for one.
FB::JSObjectPtr fake_object(int& storage) {
  return FB::JSObjectPtr(reinterpret_cast<FB::JSObject*>(&storage), [](FB::JSObject*) {});
}

TEST(VariantNumbers, Int32RangeEdges) {
  check_rows<std::int32_t>({
      gives<std::int32_t>(2147483647, 2147483647, "int32 max"),
      fails<std::int32_t>(std::int64_t(2147483648LL), "int32 max + 1"),
      gives<std::int32_t>(std::int64_t(-2147483648LL), -2147483647 - 1, "int32 min"),
      fails<std::int32_t>(std::int64_t(-2147483649LL), "int32 min - 1"),
      gives<std::int32_t>(2147483647u, 2147483647, "unsigned int32 max"),
      fails<std::int32_t>(2147483648u, "unsigned int32 max + 1"),
      gives<std::int32_t>(2147483647.9, 2147483647, "fraction below max truncates"),
      fails<std::int32_t>(2147483648.0, "double int32 max + 1"),
      gives<std::int32_t>(-2147483648.9, -2147483647 - 1, "fraction above min - 1 truncates"),
      fails<std::int32_t>(-2147483649.0, "double int32 min - 1"),
      gives<std::int32_t>(-2.7, -2, "truncates toward zero"),
      fails<std::int32_t>(kNaN, "NaN"),
      fails<std::int32_t>(kInf, "infinity"),
      fails<std::int32_t>(-kInf, "minus infinity"),
      gives<std::int32_t>(true, 1, "true"),
      gives<std::int32_t>(false, 0, "false"),
  });
}

TEST(VariantNumbers, Int64RangeEdges) {
  check_rows<std::int64_t>({
      gives<std::int64_t>(kInt64Max, kInt64Max, "int64 max"),
      gives<std::int64_t>(kInt64Min, kInt64Min, "int64 min"),
      gives<std::int64_t>(std::uint64_t(kInt64Max), kInt64Max, "unsigned int64 max"),
      fails<std::int64_t>(std::uint64_t(kInt64Max) + 1, "unsigned int64 max + 1"),
      fails<std::int64_t>(kUint64Max, "uint64 max"),
      fails<std::int64_t>(1e20, "1e20"),
      fails<std::int64_t>(-1e20, "-1e20"),
      // 2^63 is the first double above the range; -2^63 is the last one inside it.
      fails<std::int64_t>(9223372036854775808.0, "2^63"),
      gives<std::int64_t>(-9223372036854775808.0, kInt64Min, "-2^63"),
      gives<std::int64_t>(9223372036854774784.0, 9223372036854774784LL,
                          "largest double below 2^63"),
      fails<std::int64_t>(kNaN, "NaN"),
  });
}

TEST(VariantNumbers, UnsignedRangeEdges) {
  check_rows<std::uint64_t>({
      gives<std::uint64_t>(kUint64Max, kUint64Max, "uint64 max"),
      gives<std::uint64_t>(kInt64Max, std::uint64_t(kInt64Max), "int64 max"),
      gives<std::uint64_t>(0, 0, "zero"),
      fails<std::uint64_t>(-1, "-1"),
      fails<std::uint64_t>(kInt64Min, "int64 min"),
      fails<std::uint64_t>(-1.0, "-1.0"),
      gives<std::uint64_t>(-0.5, 0, "-0.5 truncates to zero"),
      fails<std::uint64_t>(18446744073709551616.0, "2^64"),
      gives<std::uint64_t>(18446744073709549568.0, 18446744073709549568ULL,
                           "largest double below 2^64"),
      fails<std::uint64_t>(kNaN, "NaN"),
      fails<std::uint64_t>(kInf, "infinity"),
  });
  check_rows<std::uint32_t>({
      gives<std::uint32_t>(std::int64_t(4294967295LL), 4294967295u, "uint32 max"),
      fails<std::uint32_t>(std::int64_t(4294967296LL), "uint32 max + 1"),
      fails<std::uint32_t>(-1, "-1"),
      fails<std::uint32_t>(variant("-1"), "text -1"),
  });
  check_rows<std::uint8_t>({
      gives<std::uint8_t>(255, 255, "uint8 max"),
      fails<std::uint8_t>(256, "uint8 max + 1"),
  });
  check_rows<std::int16_t>({
      gives<std::int16_t>(-32768, -32768, "int16 min"),
      fails<std::int16_t>(32768, "int16 max + 1"),
      fails<std::int16_t>(variant("40000"), "text beyond int16"),
  });
}

TEST(VariantNumbers, FloatingTargets) {
  check_rows<double>({
      gives<double>(2.5, 2.5, "double"),
      gives<double>(-7, -7.0, "int"),
      gives<double>(kUint64Max, 18446744073709551616.0, "uint64 max rounds"),
      gives<double>(true, 1.0, "true"),
      gives<double>(kInf, kInf, "infinity stays"),
  });
  check_rows<float>({
      gives<float>(0.5, 0.5f, "in range"),
      gives<float>(3.4028234663852886e38, std::numeric_limits<float>::max(), "float max"),
      fails<float>(1e300, "beyond float"),
      fails<float>(-1e300, "below float"),
      gives<float>(kInf, std::numeric_limits<float>::infinity(), "infinity stays"),
  });
  EXPECT_TRUE(std::isnan(variant(kNaN).convert_cast<double>()));
  EXPECT_TRUE(std::isnan(variant(kNaN).convert_cast<float>()));
}

TEST(VariantText, ParsesOnlyWholeNumbers) {
  check_rows<double>({
      gives<double>("12", 12.0, "integer"),
      gives<double>(" 12 ", 12.0, "blanks around"),
      gives<double>("\t-3.5\n", -3.5, "tab and newline around"),
      gives<double>("+2.5", 2.5, "plus sign"),
      gives<double>("1e3", 1000.0, "exponent"),
      gives<double>(".5", 0.5, "no integer part"),
      gives<double>("-0", 0.0, "minus zero"),
      gives<double>("Infinity", kInf, "infinity"),
      fails<double>("12abc", "trailing letters"),
      fails<double>("abc12", "leading letters"),
      fails<double>("1 2", "blank inside"),
      fails<double>("", "empty text"),
      fails<double>("   ", "blanks only"),
      fails<double>("0x10", "hexadecimal"),
      fails<double>("+-1", "two signs"),
      fails<double>("--1", "two minus signs"),
      fails<double>("+", "sign only"),
      fails<double>("1e", "exponent without digits"),
      fails<double>("1e400", "beyond double"),
      fails<double>("1,5", "decimal comma"),
  });
  EXPECT_TRUE(std::isnan(variant("nan").convert_cast<double>()));
}

TEST(VariantText, IntegerTextIsExactAndRangeChecked) {
  check_rows<std::int32_t>({
      gives<std::int32_t>("2147483647", 2147483647, "int32 max"),
      fails<std::int32_t>("2147483648", "int32 max + 1"),
      gives<std::int32_t>("-2147483648", -2147483647 - 1, "int32 min"),
      gives<std::int32_t>(" 42 ", 42, "blanks around"),
      gives<std::int32_t>("+7", 7, "plus sign"),
      gives<std::int32_t>("2.7", 2, "fraction truncates"),
      gives<std::int32_t>("1e3", 1000, "exponent"),
      fails<std::int32_t>("12abc", "trailing letters"),
      fails<std::int32_t>("", "empty text"),
      fails<std::int32_t>("nan", "NaN text"),
  });
  check_rows<std::uint64_t>({
      // Beyond a double's 53 bits: the text must not pass through a double.
      gives<std::uint64_t>("18446744073709551615", kUint64Max, "uint64 max"),
      gives<std::uint64_t>("9007199254740993", 9007199254740993ULL, "2^53 + 1"),
      fails<std::uint64_t>("18446744073709551616", "uint64 max + 1"),
      fails<std::uint64_t>("-1", "minus one"),
      fails<std::uint64_t>(" -1 ", "minus one with blanks"),
  });
  check_rows<std::int64_t>({
      gives<std::int64_t>("-9223372036854775808", kInt64Min, "int64 min"),
      gives<std::int64_t>("9223372036854775807", kInt64Max, "int64 max"),
      fails<std::int64_t>("9223372036854775808", "int64 max + 1"),
      fails<std::int64_t>("1e20", "1e20"),
  });
}

TEST(VariantText, NumbersAndBooleansBecomeText) {
  check_rows<std::string>({
      gives<std::string>(42, "42", "int"),
      gives<std::string>(-7, "-7", "negative int"),
      gives<std::string>(kInt64Min, "-9223372036854775808", "int64 min"),
      gives<std::string>(kUint64Max, "18446744073709551615", "uint64 max"),
      gives<std::string>(2.5, "2.5", "double"),
      gives<std::string>(3.0, "3", "whole double"),
      gives<std::string>(0.1, "0.1", "shortest form of 0.1"),
      gives<std::string>(1.0 / 3.0, "0.3333333333333333", "a third"),
      gives<std::string>(-0.0, "-0", "minus zero"),
      gives<std::string>(1e20, "1e+20", "large double"),
      gives<std::string>(kNaN, "nan", "NaN"),
      gives<std::string>(-kInf, "-inf", "minus infinity"),
      gives<std::string>(true, "true", "true"),
      gives<std::string>(false, "false", "false"),
      gives<std::string>("as it is", "as it is", "string"),
      gives<std::string>(std::string(), "", "empty string"),
  });
}

TEST(VariantText, DoubleTextReadsBackToTheSameDouble) {
  for (double d : {0.1, 1.0 / 3.0, 2.0 / 3.0, 1e-7, 123456.789, 5e-324, 1.7976931348623157e308,
                   -2.2250738585072014e-308, 9007199254740993.0}) {
    SCOPED_TRACE(d);
    const std::string text = variant(d).convert_cast<std::string>();
    EXPECT_EQ(variant(text).convert_cast<double>(), d) << text;
  }
}

TEST(VariantBool, BothWays) {
  check_rows<bool>({
      gives<bool>(true, true, "true"),
      gives<bool>(false, false, "false"),
      gives<bool>("true", true, "text true"),
      gives<bool>("false", false, "text false"),
      gives<bool>("1", true, "text 1"),
      gives<bool>("0", false, "text 0"),
      gives<bool>(" true\n", true, "blanks around"),
      fails<bool>("TRUE", "upper case"),
      fails<bool>("yes", "yes"),
      fails<bool>("2", "text 2"),
      fails<bool>("", "empty text"),
      gives<bool>(1, true, "int 1"),
      gives<bool>(0, false, "int 0"),
      gives<bool>(1u, true, "uint 1"),
      gives<bool>(1.0, true, "double 1"),
      gives<bool>(-0.0, false, "minus zero"),
      fails<bool>(2, "int 2"),
      fails<bool>(-1, "int -1"),
      fails<bool>(0.5, "a fraction"),
      fails<bool>(kNaN, "NaN"),
      fails<bool>(VariantList{variant(true)}, "list"),
  });
  check_rows<int>({
      gives<int>(true, 1, "true to int"),
      gives<int>(false, 0, "false to int"),
  });
}

// Option readers rely on this: a null or missing value never converts, whatever the target.
TEST(VariantNothing, NullAndEmptyConvertToNothing) {
  int storage = 0;
  const std::vector<std::pair<variant, const char*>> nothings = {
      {variant(), "empty"},
      {variant(FB::FBNull()), "null"},
      {variant(static_cast<const char*>(nullptr)), "null char pointer"},
      {variant(FB::JSObjectPtr()), "empty object pointer"},
  };
  const std::vector<std::pair<std::function<void(const variant&)>, const char*>> casts = {
      {[](const variant& v) { v.convert_cast<int>(); }, "int"},
      {[](const variant& v) { v.convert_cast<unsigned>(); }, "unsigned"},
      {[](const variant& v) { v.convert_cast<std::int64_t>(); }, "int64"},
      {[](const variant& v) { v.convert_cast<std::uint64_t>(); }, "uint64"},
      {[](const variant& v) { v.convert_cast<double>(); }, "double"},
      {[](const variant& v) { v.convert_cast<float>(); }, "float"},
      {[](const variant& v) { v.convert_cast<bool>(); }, "bool"},
      {[](const variant& v) { v.convert_cast<std::string>(); }, "string"},
      {[](const variant& v) { v.convert_cast<VariantList>(); }, "VariantList"},
      {[](const variant& v) { v.convert_cast<VariantMap>(); }, "VariantMap"},
      {[](const variant& v) { v.convert_cast<FB::JSObjectPtr>(); }, "JSObjectPtr"},
      {[](const variant& v) { v.list(); }, "list()"},
      {[](const variant& v) { v.map(); }, "map()"},
      {[](const variant& v) { v.object(); }, "object()"},
  };
  for (const auto& nothing : nothings) {
    SCOPED_TRACE(nothing.second);
    for (const auto& cast : casts) {
      SCOPED_TRACE(cast.second);
      EXPECT_THROW(cast.first(nothing.first), FB::bad_variant_cast);
    }
  }
  EXPECT_TRUE(variant().empty());
  EXPECT_TRUE(variant(FB::FBNull()).is_null());
  EXPECT_TRUE(variant(static_cast<const char*>(nullptr)).is_null());
  EXPECT_TRUE(variant(FB::JSObjectPtr()).is_null());
  EXPECT_FALSE(variant(fake_object(storage)).is_null());
}

TEST(VariantNothing, FailureNamesBothKinds) {
  struct message_case {
    std::function<void()> cast;
    std::string expected;
  };
  const std::vector<message_case> cases = {
      {[] { variant(FB::FBNull()).convert_cast<std::string>(); }, "cannot convert null to string"},
      {[] { variant().convert_cast<int>(); }, "cannot convert empty to int32"},
      {[] { variant(-1).convert_cast<unsigned>(); }, "cannot convert int to uint32"},
      {[] { variant("12abc").convert_cast<std::int64_t>(); }, "cannot convert string to int64"},
      {[] { variant("-1").convert_cast<std::uint64_t>(); }, "cannot convert string to uint64"},
      {[] { variant(1e300).convert_cast<float>(); }, "cannot convert double to float"},
      {[] { variant(VariantList()).convert_cast<VariantMap>(); }, "cannot convert list to map"},
  };
  for (const message_case& c : cases) {
    try {
      c.cast();
      ADD_FAILURE() << "no exception, expected: " << c.expected;
    } catch (const FB::bad_variant_cast& e) {
      EXPECT_EQ(std::string(e.what()), c.expected);
    }
  }
}

TEST(VariantContainers, ListsAndMapsConvertOnlyToThemselves) {
  const VariantList list{variant(1), variant("two"), VariantList{variant(3.5)}};
  VariantMap map;
  map["a"] = 1;
  map["b"] = VariantList{variant("x")};
  const variant list_value(list);
  const variant map_value(map);

  EXPECT_EQ(list_value.kind(), variant::k_list);
  EXPECT_EQ(list_value.convert_cast<VariantList>(), list);
  EXPECT_EQ(list_value.list(), list);
  EXPECT_EQ(map_value.kind(), variant::k_map);
  EXPECT_EQ(map_value.convert_cast<VariantMap>(), map);
  EXPECT_EQ(map_value.map(), map);
  EXPECT_TRUE(variant(VariantList()).convert_cast<VariantList>().empty());
  EXPECT_TRUE(variant(VariantMap()).convert_cast<VariantMap>().empty());

  EXPECT_THROW(list_value.convert_cast<VariantMap>(), FB::bad_variant_cast);
  EXPECT_THROW(list_value.convert_cast<std::string>(), FB::bad_variant_cast);
  EXPECT_THROW(list_value.convert_cast<int>(), FB::bad_variant_cast);
  EXPECT_THROW(list_value.map(), FB::bad_variant_cast);
  EXPECT_THROW(map_value.convert_cast<VariantList>(), FB::bad_variant_cast);
  EXPECT_THROW(map_value.convert_cast<std::string>(), FB::bad_variant_cast);
  EXPECT_THROW(map_value.convert_cast<double>(), FB::bad_variant_cast);
  EXPECT_THROW(map_value.list(), FB::bad_variant_cast);
  EXPECT_THROW(variant("1,2").convert_cast<VariantList>(), FB::bad_variant_cast);
  EXPECT_THROW(variant(1).convert_cast<VariantList>(), FB::bad_variant_cast);
  EXPECT_THROW(variant(1).list(), FB::bad_variant_cast);
}

TEST(VariantContainers, ElementsConvertOneByOne) {
  // How a list of indexes from the page becomes numbers: each element by the number rules.
  const variant indexes(VariantList{variant(0), variant("1"), variant(2.0), variant(3u)});
  std::vector<std::uint64_t> out;
  for (const variant& v : indexes.convert_cast<VariantList>()) {
    out.push_back(v.convert_cast<std::uint64_t>());
  }
  EXPECT_EQ(out, (std::vector<std::uint64_t>{0, 1, 2, 3}));
  const VariantList bad = variant(VariantList{variant(0), variant(-1)}).list();
  EXPECT_THROW(bad.at(1).convert_cast<std::uint64_t>(), FB::bad_variant_cast);
}

TEST(VariantContainers, CopiesAreIndependentOfTheValue) {
  VariantList source{variant(1)};
  const variant value(source);
  const variant copy = value;
  source.push_back(2);  // the variant holds its own copy
  VariantList converted = copy.convert_cast<VariantList>();
  converted.push_back(3);
  EXPECT_EQ(value.list().size(), 1u);
  EXPECT_EQ(copy.list().size(), 1u);
  EXPECT_EQ(value, copy);
}

// Lists and maps of a page object ask the page (the framework's tests and the page scripts show
// them); every other conversion is decided here.
TEST(VariantObjects, HoldThePointerAndConvertToNothingElse) {
  int storage = 0;
  int other_storage = 0;
  const FB::JSObjectPtr object = fake_object(storage);
  const variant value(object);
  EXPECT_EQ(value.kind(), variant::k_object);
  EXPECT_EQ(value.object(), object);
  EXPECT_EQ(value.convert_cast<FB::JSObjectPtr>(), object);
  EXPECT_STREQ(value.kind_name(), "object");
  EXPECT_THROW(value.convert_cast<std::string>(), FB::bad_variant_cast);
  EXPECT_THROW(value.convert_cast<int>(), FB::bad_variant_cast);
  EXPECT_THROW(value.convert_cast<double>(), FB::bad_variant_cast);
  EXPECT_THROW(value.convert_cast<bool>(), FB::bad_variant_cast);
  EXPECT_THROW(value.list(), FB::bad_variant_cast);
  EXPECT_EQ(value, variant(object));
  EXPECT_NE(value, variant(fake_object(other_storage)));
  EXPECT_THROW(variant(1).object(), FB::bad_variant_cast);
  EXPECT_THROW(variant(1).convert_cast<FB::JSObjectPtr>(), FB::bad_variant_cast);
  EXPECT_THROW(variant("text").convert_cast<FB::JSObjectPtr>(), FB::bad_variant_cast);
  EXPECT_THROW(variant(VariantMap()).convert_cast<FB::JSObjectPtr>(), FB::bad_variant_cast);
}

TEST(VariantKinds, ConstructorsPickTheKind) {
  struct kind_case {
    variant value;
    variant::kind_t kind;
    const char* name;
  };
  const std::vector<kind_case> cases = {
      {variant(), variant::k_empty, "empty"},
      {variant(FB::FBNull()), variant::k_null, "null"},
      {variant(true), variant::k_bool, "bool"},
      {variant('a'), variant::k_int, "int"},
      {variant(short(-1)), variant::k_int, "int"},
      {variant(-1L), variant::k_int, "int"},
      {variant(std::uint8_t(1)), variant::k_uint, "uint"},
      {variant(std::size_t(1)), variant::k_uint, "uint"},
      {variant(1.5f), variant::k_double, "double"},
      {variant(1.5), variant::k_double, "double"},
      {variant("text"), variant::k_string, "string"},
      {variant(std::string("text")), variant::k_string, "string"},
      {variant(VariantList()), variant::k_list, "list"},
      {variant(VariantMap()), variant::k_map, "map"},
  };
  for (const kind_case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.value.kind(), c.kind);
    EXPECT_STREQ(c.value.kind_name(), c.name);
  }
  // The variant itself is no conversion: it comes back whatever its kind.
  EXPECT_TRUE(variant(FB::FBNull()).convert_cast<variant>().is_null());
}

TEST(VariantEquality, NumbersCompareByValueOtherKindsByKindAndValue) {
  VariantMap a1;
  a1["a"] = 1;
  VariantMap a1u;
  a1u["a"] = 1u;
  VariantMap b1;
  b1["b"] = 1;
  int storage = 0;
  const FB::JSObjectPtr object = fake_object(storage);
  struct equality_case {
    variant left;
    variant right;
    bool equal;
    const char* what;
  };
  const std::vector<equality_case> cases = {
      {3, 3u, true, "int and uint"},
      {3, 3.0, true, "int and double"},
      {3u, 3.0, true, "uint and double"},
      {2, 2.5, false, "fraction"},
      {-1, kUint64Max, false, "-1 and uint64 max"},
      {kUint64Max, 18446744073709551616.0, false, "uint64 max and 2^64"},
      {kInt64Max, 9223372036854775808.0, false, "int64 max and 2^63"},
      {kInt64Min, -9223372036854775808.0, true, "int64 min and -2^63"},
      {kNaN, kNaN, false, "NaN"},
      {0.0, -0.0, true, "zero and minus zero"},
      {true, true, true, "same bool"},
      {true, false, false, "different bools"},
      {true, 1, false, "bool and number"},
      {"3", 3, false, "text and number"},
      {"a", "a", true, "same text"},
      {"a", "b", false, "different text"},
      {variant(), variant(), true, "empty and empty"},
      {variant(FB::FBNull()), variant(FB::FBNull()), true, "null and null"},
      {variant(), variant(FB::FBNull()), false, "empty and null"},
      {variant(), "", false, "empty and empty text"},
      {VariantList{variant(1), variant("a")}, VariantList{variant(1.0), variant("a")}, true,
       "lists compare their elements"},
      {VariantList{variant(1)}, VariantList{variant(1), variant(2)}, false, "longer list"},
      {VariantList(), VariantMap(), false, "list and map"},
      {a1, a1u, true, "maps compare their values"},
      {a1, b1, false, "maps with other keys"},
      {object, object, true, "same object"},
  };
  for (const equality_case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.left == c.right, c.equal);
    EXPECT_EQ(c.right == c.left, c.equal);
    EXPECT_EQ(c.left != c.right, !c.equal);
  }
}

}  // namespace
