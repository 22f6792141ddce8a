// FB::variant: one value crossing between page script and native code.
// Native members take typed parameters; convert_cast<T>() gives those types
// the conversions page script expects ("12" is a number, 1 is true), with a
// range check wherever a value could otherwise be silently changed.
#pragma once

#include <boost/optional.hpp>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <variant>

#include "APITypes.h"

namespace FB {

// The script value undefined (the default) and null.
struct FBVoid {};
struct FBNull {};
inline bool operator==(FBVoid, FBVoid) { return true; }
inline bool operator==(FBNull, FBNull) { return true; }

// A conversion that cannot be made; names both types so the page's error
// text can say what was given and what was wanted.
class bad_variant_cast : public std::bad_cast {
 public:
  bad_variant_cast(std::string from, std::string to);
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string from;
  const std::string to;

 private:
  std::string message_;
};

namespace detail {
template <class T>
struct is_shared_ptr : std::false_type {};
template <class T>
struct is_shared_ptr<std::shared_ptr<T>> : std::true_type {};
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<boost::optional<T>> : std::true_type {};
}  // namespace detail

// The name of a native type as error texts show it.
template <class T>
std::string type_name();

class variant {
 private:
  template <class T>
  static auto normalise(T v) {
    if constexpr (std::is_same_v<T, bool>) {
      return v;
    } else if constexpr (std::is_floating_point_v<T>) {
      if constexpr (sizeof(T) == sizeof(float)) {
        return static_cast<float>(v);
      } else {
        return static_cast<double>(v);
      }
    } else if constexpr (std::is_signed_v<T>) {
      if constexpr (sizeof(T) == 1)
        return static_cast<int8_t>(v);
      else if constexpr (sizeof(T) == 2)
        return static_cast<int16_t>(v);
      else if constexpr (sizeof(T) == 4)
        return static_cast<int32_t>(v);
      else
        return static_cast<int64_t>(v);
    } else {
      if constexpr (sizeof(T) == 1)
        return static_cast<uint8_t>(v);
      else if constexpr (sizeof(T) == 2)
        return static_cast<uint16_t>(v);
      else if constexpr (sizeof(T) == 4)
        return static_cast<uint32_t>(v);
      else
        return static_cast<uint64_t>(v);
    }
  }
  template <class T, bool = std::is_arithmetic_v<std::decay_t<T>>>
  struct stored {
    using type = std::decay_t<T>;
  };
  template <class T>
  struct stored<T, true> {
    using type = decltype(normalise(std::decay_t<T>()));
  };
  template <class T>
  using stored_t = typename stored<T>::type;

 public:
  // The alternatives, in the order of kind().
  using Storage = std::variant<FBVoid, FBNull, bool, int8_t, uint8_t, int16_t,
                               uint16_t, int32_t, uint32_t, int64_t, uint64_t,
                               float, double, std::string, std::wstring,
                               VariantList, VariantMap, JSAPIPtr, JSObjectPtr>;
  enum Kind {
    kEmpty,
    kNull,
    kBool,
    kInt8,
    kUInt8,
    kInt16,
    kUInt16,
    kInt32,
    kUInt32,
    kInt64,
    kUInt64,
    kFloat,
    kDouble,
    kString,
    kWString,
    kList,
    kMap,
    kJSAPI,
    kJSObject,
  };

  variant() = default;
  variant(FBVoid) {}
  variant(FBNull v) : value_(v) {}
  variant(const char* s) : value_(std::string(s ? s : "")) {}
  variant(const wchar_t* s) : value_(std::wstring(s ? s : L"")) {}
  variant(std::string s) : value_(std::move(s)) {}
  variant(std::wstring s) : value_(std::move(s)) {}
  variant(VariantList l) : value_(std::move(l)) {}
  variant(VariantMap m) : value_(std::move(m)) {}
  // Any arithmetic type lands in the alternative of its size and signedness,
  // so long and long long (both 64-bit here) are one kind.
  template <class T, std::enable_if_t<std::is_arithmetic_v<T>, int> = 0>
  variant(T v) : value_(normalise(v)) {}
  // A script object of the plug-in, or a browser-side object.
  template <class T>
  variant(const std::shared_ptr<T>& p) {
    if constexpr (std::is_base_of_v<JSObject, T>) {
      value_ = JSObjectPtr(p);
    } else {
      value_ = JSAPIPtr(p);
    }
  }
  template <class T>
  variant(const boost::optional<T>& o) {
    if (o) *this = variant(*o);
  }

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool empty() const { return kind() == kEmpty; }
  bool is_null() const { return kind() == kNull; }
  void reset() { value_ = FBVoid(); }
  // The name of the held kind, as error texts show it.
  std::string get_type_name() const;
  const Storage& storage() const { return value_; }

  // True when exactly a T is held (long and long long count as int64_t).
  template <class T>
  bool is_of_type() const {
    using S = stored_t<T>;
    return std::holds_alternative<S>(value_);
  }
  // The held value itself; bad_variant_cast when it is not a T.
  template <class T>
  const stored_t<T>& cast() const {
    using S = stored_t<T>;
    if (const S* p = std::get_if<S>(&value_)) return *p;
    throw bad_variant_cast(get_type_name(), type_name<T>());
  }
  // The value as a T, converting where script would; bad_variant_cast when
  // it cannot.
  template <class T>
  std::decay_t<T> convert_cast() const;

  bool operator==(const variant& other) const { return value_ == other.value_; }
  bool operator!=(const variant& other) const { return !(*this == other); }

 private:
  int64_t toInt64(int64_t min, int64_t max, const std::string& target) const;
  uint64_t toUInt64(uint64_t max, const std::string& target) const;
  double toDouble(const std::string& target) const;
  bool toBool() const;
  std::string toString() const;
  std::wstring toWString() const;
  [[noreturn]] void fail(const std::string& target) const;

  Storage value_;
};

template <class T>
std::string type_name() {
  using U = std::decay_t<T>;
  if constexpr (std::is_same_v<U, variant>)
    return "FB::variant";
  else if constexpr (std::is_same_v<U, FBVoid>)
    return "FB::FBVoid";
  else if constexpr (std::is_same_v<U, FBNull>)
    return "FB::FBNull";
  else if constexpr (std::is_same_v<U, bool>)
    return "bool";
  else if constexpr (std::is_same_v<U, char>)
    return "char";
  else if constexpr (std::is_same_v<U, signed char>)
    return "signed char";
  else if constexpr (std::is_same_v<U, unsigned char>)
    return "unsigned char";
  else if constexpr (std::is_same_v<U, short>)
    return "short";
  else if constexpr (std::is_same_v<U, unsigned short>)
    return "unsigned short";
  else if constexpr (std::is_same_v<U, int>)
    return "int";
  else if constexpr (std::is_same_v<U, unsigned int>)
    return "unsigned int";
  else if constexpr (std::is_same_v<U, long>)
    return "long";
  else if constexpr (std::is_same_v<U, unsigned long>)
    return "unsigned long";
  else if constexpr (std::is_same_v<U, long long>)
    return "long long";
  else if constexpr (std::is_same_v<U, unsigned long long>)
    return "unsigned long long";
  else if constexpr (std::is_same_v<U, float>)
    return "float";
  else if constexpr (std::is_same_v<U, double>)
    return "double";
  else if constexpr (std::is_same_v<U, long double>)
    return "long double";
  else if constexpr (std::is_same_v<U, std::string>)
    return "std::string";
  else if constexpr (std::is_same_v<U, std::wstring>)
    return "std::wstring";
  else if constexpr (std::is_same_v<U, VariantList>)
    return "FB::VariantList";
  else if constexpr (std::is_same_v<U, VariantMap>)
    return "FB::VariantMap";
  else if constexpr (std::is_same_v<U, JSAPIPtr>)
    return "FB::JSAPIPtr";
  else if constexpr (std::is_same_v<U, JSObjectPtr>)
    return "FB::JSObjectPtr";
  else if constexpr (detail::is_optional<U>::value)
    return "boost::optional<" + type_name<typename U::value_type>() + ">";
  else
    return typeid(U).name();
}

template <class T>
std::decay_t<T> variant::convert_cast() const {
  using U = std::decay_t<T>;
  if constexpr (std::is_same_v<U, variant>) {
    return *this;
  } else if constexpr (std::is_same_v<U, bool>) {
    return toBool();
  } else if constexpr (std::is_floating_point_v<U>) {
    double d = toDouble(type_name<U>());
    if constexpr (sizeof(U) < sizeof(double)) {
      // NaN and the infinities carry over; finite doubles must fit.
      if (d == d &&
          (d > std::numeric_limits<U>::max() ||
           d < -std::numeric_limits<U>::max()) &&
          d != std::numeric_limits<double>::infinity() &&
          d != -std::numeric_limits<double>::infinity())
        fail(type_name<U>());
    }
    return static_cast<U>(d);
  } else if constexpr (std::is_integral_v<U> && std::is_signed_v<U>) {
    return static_cast<U>(toInt64(std::numeric_limits<U>::min(),
                                  std::numeric_limits<U>::max(),
                                  type_name<U>()));
  } else if constexpr (std::is_integral_v<U>) {
    return static_cast<U>(
        toUInt64(std::numeric_limits<U>::max(), type_name<U>()));
  } else if constexpr (std::is_same_v<U, std::string>) {
    return toString();
  } else if constexpr (std::is_same_v<U, std::wstring>) {
    return toWString();
  } else if constexpr (detail::is_optional<U>::value) {
    if (empty() || is_null()) return U();
    return U(convert_cast<typename U::value_type>());
  } else if constexpr (detail::is_shared_ptr<U>::value) {
    // null and undefined are the null object; any script object converts to
    // a pointer of its own class or a base of it.
    using E = typename U::element_type;
    if (empty() || is_null()) return U();
    if (const JSObjectPtr* o = std::get_if<JSObjectPtr>(&value_)) {
      if (U p = std::dynamic_pointer_cast<E>(*o)) return p;
    } else if (const JSAPIPtr* a = std::get_if<JSAPIPtr>(&value_)) {
      if (U p = std::dynamic_pointer_cast<E>(*a)) return p;
    }
    fail(type_name<U>());
  } else {
    return cast<U>();
  }
}

}  // namespace FB
