// The typed binding of member functions: how a page's arguments reach a C++ method.
#include "framework/method_binding.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/optional.hpp>

#include "framework/JSObject.h"

namespace {

using FB::variant;
using FB::VariantList;

struct target {
  int add(int a, int b) { return a + b; }
  std::string greet(const std::string& name, boost::optional<std::string> greeting) {
    return (greeting ? *greeting : std::string("hello")) + " " + name;
  }
  // A variant parameter takes any value; an absent one arrives empty.
  std::string kind_of(const variant& value) const { return value.kind_name(); }
  // An optional parameter before a required one still counts.
  std::string middle(boost::optional<int> a, int b) {
    return std::to_string(a ? *a : -1) + "/" + std::to_string(b);
  }
  std::size_t count(const VariantList& items, boost::optional<variant> callback) {
    return items.size() + (callback ? 100 : 0);
  }
  void touch() { ++touched; }
  int touched = 0;
};

struct binding_case {
  const char* what;
  FB::CallMethodFunctor method;
  VariantList args;
  variant result;     // when error is null
  const char* error;  // the page's message, or null
};

TEST(MethodBinding, ArgumentsResultsAndErrors) {
  target t;
  const FB::CallMethodFunctor add = FB::make_method(&t, &target::add);
  const FB::CallMethodFunctor greet = FB::make_method(&t, &target::greet);
  const FB::CallMethodFunctor kind_of = FB::make_method(&t, &target::kind_of);
  const FB::CallMethodFunctor middle = FB::make_method(&t, &target::middle);
  const FB::CallMethodFunctor count = FB::make_method(&t, &target::count);
  const std::vector<binding_case> cases = {
      {"numbers convert", add, {2, 3.0}, 5, nullptr},
      {"a numeric string converts", add, {"40", 2}, 42, nullptr},
      {"too few", add, {1}, variant(), "wrong number of arguments: 1 given, 2 expected"},
      {"too many", add, {1, 2, 3}, variant(), "wrong number of arguments: 3 given, 2 expected"},
      {"first bad argument is reported",
       add,
       {"x", VariantList()},
       variant(),
       "cannot convert string to int32"},
      {"second bad argument", add, {1, 1e12}, variant(), "cannot convert double to int32"},
      {"null does not convert", add, {FB::FBNull(), 1}, variant(), "cannot convert null to int32"},
      {"optional left out", greet, {"ann"}, "hello ann", nullptr},
      {"optional given", greet, {"ann", "hi"}, "hi ann", nullptr},
      {"optional undefined", greet, {"ann", variant()}, "hello ann", nullptr},
      {"optional range",
       greet,
       {},
       variant(),
       "wrong number of arguments: 0 given, 1 to 2 expected"},
      {"optional bad value",
       greet,
       {"ann", VariantList()},
       variant(),
       "cannot convert list to string"},
      {"variant absent", kind_of, {}, "empty", nullptr},
      {"variant keeps the kind", kind_of, {VariantList()}, "list", nullptr},
      {"variant too many",
       kind_of,
       {1, 2},
       variant(),
       "wrong number of arguments: 2 given, 0 to 1 expected"},
      {"leading optional given", middle, {1, 2}, "1/2", nullptr},
      {"leading optional undefined", middle, {variant(), 2}, "-1/2", nullptr},
      {"leading optional is not trailing",
       middle,
       {2},
       variant(),
       "wrong number of arguments: 1 given, 2 expected"},
      {"list parameter", count, {VariantList{1, 2, 3}}, 3u, nullptr},
      {"optional variant given", count, {VariantList{}, "cb"}, 100u, nullptr},
      {"list from a string", count, {"1,2"}, variant(), "cannot convert string to list"},
  };
  for (const binding_case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.error) {
      try {
        EXPECT_EQ(c.method(c.args), c.result);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected error: " << e.what();
      }
      continue;
    }
    try {
      c.method(c.args);
      ADD_FAILURE() << "no error";
    } catch (const std::exception& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
  }
}

TEST(MethodBinding, VoidMethodsReturnEmptyAndRunOnce) {
  target t;
  variant result = FB::make_method(&t, &target::touch)(VariantList());
  EXPECT_TRUE(result.empty());
  EXPECT_EQ(t.touched, 1);
  EXPECT_THROW(FB::make_method(&t, &target::touch)(VariantList{1}), FB::script_error);
  EXPECT_EQ(t.touched, 1);
}

struct settings {
  double rate() const { return m_rate; }
  void set_rate(double rate) { m_rate = rate; }
  double m_rate = 16000;
};

TEST(MethodBinding, PropertySetterConvertsBeforeItStores) {
  settings s;
  FB::PropertyFunctors rate = FB::make_property(&s, &settings::rate, &settings::set_rate);
  FB::PropertyFunctors read_only = FB::make_property(&s, &settings::rate);
  EXPECT_FALSE(read_only.set);
  rate.set(variant("8000"));
  EXPECT_EQ(rate.get(), variant(8000.0));
  EXPECT_THROW(rate.set(variant("fast")), FB::bad_variant_cast);
  EXPECT_THROW(rate.set(variant()), FB::bad_variant_cast);
  EXPECT_EQ(s.m_rate, 8000.0);
}

}  // namespace
