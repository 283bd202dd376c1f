// Typed binding of member functions to script calls.
//
// Each argument of the page's call is converted to the bound parameter's type with
// variant::convert_cast (a page array to VariantList, a page object to VariantMap or JSObjectPtr
// as the parameter asks). A parameter of type boost::optional<T> may be left out at the end of
// the call (it then arrives as boost::none; so does an undefined value); a parameter of type
// FB::variant takes any value, and an absent one arrives empty. Too few or too many arguments
// fail the call with a script error; a value that does not convert fails it with the
// conversion's bad_variant_cast. The return value becomes a variant (void: an empty one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include <boost/function.hpp>
#include <boost/optional.hpp>

#include "framework/script_error.h"
#include "framework/variant.h"

namespace FB {

typedef boost::function<variant(const VariantList&)> CallMethodFunctor;

struct PropertyFunctors {
  boost::function<variant()> get;
  boost::function<void(const variant&)> set;  // empty: read-only
  // The value's change count: true with a number that only grows, and grows whenever get may
  // give another value than before; false when it cannot be counted now. Empty: never counted
  // (a host then reads the property to know whether it changed).
  boost::function<bool(std::uint64_t*)> revision;
};

namespace detail {

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<boost::optional<T> > : std::true_type {};

// How many trailing parameters may be left out.
template <class... A>
struct required_count;
template <>
struct required_count<> {
  static constexpr std::size_t value = 0;
};
template <class First, class... Rest>
struct required_count<First, Rest...> {
  static constexpr std::size_t rest = required_count<Rest...>::value;
  static constexpr bool optional = is_optional<First>::value || std::is_same<First, variant>::value;
  // A leading optional still counts when a required one follows it.
  static constexpr std::size_t value = (rest > 0 || !optional) ? 1 + rest : 0;
};

template <class T>
struct argument {
  static T get(const VariantList& args, std::size_t i) { return args[i].convert_cast<T>(); }
};
template <>
struct argument<variant> {
  static variant get(const VariantList& args, std::size_t i) {
    return i < args.size() ? args[i] : variant();
  }
};
template <class T>
struct argument<boost::optional<T> > {
  static boost::optional<T> get(const VariantList& args, std::size_t i) {
    if (i >= args.size() || args[i].empty()) {
      return boost::none;
    }
    return argument<T>::get(args, i);
  }
};

// Throws script_error("wrong number of arguments: ...") when given is outside required..most.
void check_argument_count(std::size_t given, std::size_t required, std::size_t most);

template <class R>
struct returning {
  template <class F>
  static variant call(F&& f) {
    return variant(f());
  }
};
template <>
struct returning<void> {
  template <class F>
  static variant call(F&& f) {
    f();
    return variant();
  }
};

template <class C, class R, class M, class... A, std::size_t... I>
variant invoke(C* object, M method, const VariantList& args, std::index_sequence<I...>) {
  check_argument_count(args.size(), required_count<typename std::decay<A>::type...>::value,
                       sizeof...(A));
  // A braced list converts the arguments left to right, so the first one that does not convert
  // is the one the page hears about (the order of a call's arguments is unspecified).
  std::tuple<typename std::decay<A>::type...> converted{
      argument<typename std::decay<A>::type>::get(args, I)...};
  (void)converted;
  return returning<R>::call(
      [&]() -> R { return (object->*method)(std::forward<A>(std::get<I>(converted))...); });
}

}  // namespace detail

template <class C, class R, class... A>
CallMethodFunctor make_method(C* object, R (C::*method)(A...)) {
  return [object, method](const VariantList& args) {
    return detail::invoke<C, R, R (C::*)(A...), A...>(object, method, args,
                                                      std::index_sequence_for<A...>());
  };
}
template <class C, class R, class... A>
CallMethodFunctor make_method(C* object, R (C::*method)(A...) const) {
  return [object, method](const VariantList& args) {
    return detail::invoke<C, R, R (C::*)(A...) const, A...>(object, method, args,
                                                            std::index_sequence_for<A...>());
  };
}

template <class C, class R>
PropertyFunctors make_property(C* object, R (C::*getter)()) {
  PropertyFunctors p;
  p.get = [object, getter]() { return variant((object->*getter)()); };
  return p;
}
template <class C, class R>
PropertyFunctors make_property(C* object, R (C::*getter)() const) {
  PropertyFunctors p;
  p.get = [object, getter]() { return variant((object->*getter)()); };
  return p;
}
template <class C, class G, class S>
PropertyFunctors make_property(C* object, G getter, void (C::*setter)(S)) {
  PropertyFunctors p = make_property(object, getter);
  p.set = [object, setter](const variant& value) {
    (object->*setter)(value.convert_cast<typename std::decay<S>::type>());
  };
  return p;
}

}  // namespace FB
