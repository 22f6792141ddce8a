// Binds native member functions to the script layer: a method becomes a
// callable over the page's argument list, a getter/setter pair a property.
// Arguments are converted in order and every failure names the argument, as
// the page's error text.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "ScriptErrors.h"
#include "variant.h"

namespace FB {

using CallMethodFunctor = std::function<variant(const VariantList&)>;

struct PropertyFunctors {
  std::function<variant()> get;
  std::function<void(const variant&)> set;  // empty: read-only
};

namespace detail {

// Argument `index` (counted from 1) of `count` for a parameter of type P.
template <class P, bool Last>
std::decay_t<P> convertArgument(const VariantList& args, size_t index,
                                size_t count) {
  using U = std::decay_t<P>;
  if (args.size() < index) {
    if constexpr (is_optional<U>::value) {
      return U();
    } else if constexpr (std::is_same_v<U, variant> && Last) {
      return variant();
    } else {
      throw invalid_arguments("Error: Argument " + std::to_string(index) +
                              "is not optional.");
    }
  }
  if (Last && args.size() > count)
    throw invalid_arguments("Too many arguments, expected " +
                            std::to_string(count) + ".");
  try {
    return args[index - 1].convert_cast<U>();
  } catch (const bad_variant_cast& e) {
    throw invalid_arguments("Invalid argument conversion from " + e.from +
                            " to " + e.to + " at index " +
                            std::to_string(index));
  }
}

template <class R, class... Args, class F, size_t... I>
variant callWithArguments(F& f, const VariantList& args,
                          std::index_sequence<I...>) {
  constexpr size_t count = sizeof...(Args);
  if constexpr (count == 0) {
    if (!args.empty())
      throw invalid_arguments("Too many arguments, expected 0.");
  }
  // Braced initialisation converts the arguments left to right, so the
  // first bad argument is the one reported.
  std::tuple<std::decay_t<Args>...> converted{
      convertArgument<Args, I + 1 == count>(args, I + 1, count)...};
  if constexpr (std::is_void_v<R>) {
    f(std::get<I>(converted)...);
    return variant();
  } else {
    return variant(f(std::get<I>(converted)...));
  }
}

template <class R, class... Args, class F>
CallMethodFunctor makeCallable(F f) {
  return [f](const VariantList& args) mutable -> variant {
    return callWithArguments<R, Args...>(f, args,
                                         std::index_sequence_for<Args...>());
  };
}

}  // namespace detail

// A method bound to a member function of `obj`, which must outlive it (the
// object's own member table holds it).
template <class C, class T, class R, class... Args>
CallMethodFunctor make_method(C* obj, R (T::*fn)(Args...)) {
  T* self = obj;
  return detail::makeCallable<R, Args...>(
      [self, fn](Args... a) -> R { return (self->*fn)(a...); });
}
template <class C, class T, class R, class... Args>
CallMethodFunctor make_method(C* obj, R (T::*fn)(Args...) const) {
  const T* self = obj;
  return detail::makeCallable<R, Args...>(
      [self, fn](Args... a) -> R { return (self->*fn)(a...); });
}
// A method bound to any function object of a known signature.
template <class R, class... Args>
CallMethodFunctor make_method(std::function<R(Args...)> fn) {
  return detail::makeCallable<R, Args...>(std::move(fn));
}

namespace detail {
template <class V>
std::function<void(const variant&)> makeSetter(std::function<void(V)> set) {
  return [set](const variant& value) {
    set(value.convert_cast<std::decay_t<V>>());
  };
}
}  // namespace detail

// A read-only property.
template <class C, class T, class R>
PropertyFunctors make_property(C* obj, R (T::*get)()) {
  T* self = obj;
  return {[self, get]() { return variant((self->*get)()); }, nullptr};
}
template <class C, class T, class R>
PropertyFunctors make_property(C* obj, R (T::*get)() const) {
  const T* self = obj;
  return {[self, get]() { return variant((self->*get)()); }, nullptr};
}
// A read and write property; the value written is converted to the setter's
// parameter type, and a value that does not convert throws bad_variant_cast.
template <class C, class T, class R, class G, class V>
PropertyFunctors make_property(C* obj, R (G::*get)(), void (T::*set)(V)) {
  PropertyFunctors p = make_property(obj, get);
  T* self = obj;
  p.set = detail::makeSetter<V>([self, set](V v) { (self->*set)(v); });
  return p;
}
template <class C, class T, class R, class G, class V>
PropertyFunctors make_property(C* obj, R (G::*get)() const, void (T::*set)(V)) {
  PropertyFunctors p = make_property(obj, get);
  T* self = obj;
  p.set = detail::makeSetter<V>([self, set](V v) { (self->*set)(v); });
  return p;
}

}  // namespace FB
