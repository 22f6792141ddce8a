#include "variant.h"

#include <utf8.h>

#include <charconv>
#include <cmath>
#include <system_error>

namespace FB {

bad_variant_cast::bad_variant_cast(std::string fromType, std::string toType)
    : from(std::move(fromType)),
      to(std::move(toType)),
      message_("bad_variant_cast: conversion from " + from + " to " + to +
               " failed") {}

namespace {

const char* const kKindNames[] = {
    "FB::FBVoid",
    "FB::FBNull",
    "bool",
    "signed char",
    "unsigned char",
    "short",
    "unsigned short",
    "int",
    "unsigned int",
    "long",
    "unsigned long",
    "float",
    "double",
    "std::string",
    "std::wstring",
    "FB::VariantList",
    "FB::VariantMap",
    "FB::JSAPIPtr",
    "FB::JSObjectPtr",
};
static_assert(sizeof(kKindNames) / sizeof(kKindNames[0]) ==
              std::variant_size_v<variant::Storage>);

// wchar_t holds UTF-32 on this platform.
bool wideToUtf8(const std::wstring& w, std::string& out) {
  try {
    out.clear();
    for (wchar_t c : w)
      utf8::append(static_cast<uint32_t>(c), std::back_inserter(out));
    return true;
  } catch (const utf8::exception&) {
    return false;
  }
}

// A script number written as text: digits in the C locale, optionally with
// a sign, a fraction and an exponent, and nothing else around it (a NUL
// byte or a space makes it not a number).
bool parseDouble(const std::string& s, double& out) {
  const char* b = s.data();
  const char* e = b + s.size();
  if (b != e && *b == '+') ++b;
  if (b == e || *b == '+') return false;
  auto r = std::from_chars(b, e, out, std::chars_format::general);
  return r.ec == std::errc() && r.ptr == e;
}
template <class I>
bool parseInteger(const std::string& s, I& out) {
  const char* b = s.data();
  const char* e = b + s.size();
  if (b != e && *b == '+') ++b;
  if (b == e || *b == '+' || (*b == '-' && std::is_unsigned_v<I>)) return false;
  auto r = std::from_chars(b, e, out, 10);
  return r.ec == std::errc() && r.ptr == e;
}

template <class F>
std::string floatToString(F v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof(buf), v);
  return std::string(buf, r.ptr);
}

}  // namespace

std::string variant::get_type_name() const { return kKindNames[kind()]; }

void variant::fail(const std::string& target) const {
  throw bad_variant_cast(get_type_name(), target);
}

double variant::toDouble(const std::string& target) const {
  switch (kind()) {
    case kBool:
      return std::get<bool>(value_) ? 1 : 0;
    case kInt8:
      return std::get<int8_t>(value_);
    case kUInt8:
      return std::get<uint8_t>(value_);
    case kInt16:
      return std::get<int16_t>(value_);
    case kUInt16:
      return std::get<uint16_t>(value_);
    case kInt32:
      return std::get<int32_t>(value_);
    case kUInt32:
      return std::get<uint32_t>(value_);
    case kInt64:
      return static_cast<double>(std::get<int64_t>(value_));
    case kUInt64:
      return static_cast<double>(std::get<uint64_t>(value_));
    case kFloat:
      return std::get<float>(value_);
    case kDouble:
      return std::get<double>(value_);
    case kString:
    case kWString: {
      double d;
      if (parseDouble(toString(), d)) return d;
      break;
    }
    default:
      break;
  }
  fail(target);
}

int64_t variant::toInt64(int64_t min, int64_t max,
                         const std::string& target) const {
  int64_t v = 0;
  switch (kind()) {
    case kBool:
      v = std::get<bool>(value_) ? 1 : 0;
      break;
    case kInt8:
      v = std::get<int8_t>(value_);
      break;
    case kUInt8:
      v = std::get<uint8_t>(value_);
      break;
    case kInt16:
      v = std::get<int16_t>(value_);
      break;
    case kUInt16:
      v = std::get<uint16_t>(value_);
      break;
    case kInt32:
      v = std::get<int32_t>(value_);
      break;
    case kUInt32:
      v = std::get<uint32_t>(value_);
      break;
    case kInt64:
      v = std::get<int64_t>(value_);
      break;
    case kUInt64: {
      uint64_t u = std::get<uint64_t>(value_);
      if (u > static_cast<uint64_t>(max)) fail(target);
      v = static_cast<int64_t>(u);
      break;
    }
    case kFloat:
    case kDouble:
    case kString:
    case kWString: {
      if (kind() == kString || kind() == kWString) {
        if (parseInteger(toString(), v)) break;
      }
      // A fraction is dropped toward zero, as script's own integer
      // conversions do; what does not fit 64 bits (NaN too) fails.
      double d = toDouble(target);
      if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0))
        fail(target);
      v = static_cast<int64_t>(d);
      break;
    }
    default:
      fail(target);
  }
  if (v < min || v > max) fail(target);
  return v;
}

uint64_t variant::toUInt64(uint64_t max, const std::string& target) const {
  uint64_t v = 0;
  switch (kind()) {
    case kUInt64:
      v = std::get<uint64_t>(value_);
      break;
    case kString:
    case kWString:
      if (parseInteger(toString(), v)) break;
      [[fallthrough]];
    case kFloat:
    case kDouble: {
      double d = toDouble(target);
      if (!(d > -1.0 && d < 18446744073709551616.0)) fail(target);
      v = static_cast<uint64_t>(d);
      break;
    }
    default: {
      int64_t s = toInt64(0, INT64_MAX, target);
      v = static_cast<uint64_t>(s);
    }
  }
  if (v > max) fail(target);
  return v;
}

bool variant::toBool() const {
  switch (kind()) {
    case kEmpty:
    case kNull:
      return false;
    case kBool:
      return std::get<bool>(value_);
    case kString:
    case kWString: {
      std::string s = toString();
      if (s == "true") return true;
      if (s == "false" || s.empty()) return false;
      double d;
      if (parseDouble(s, d)) return d != 0;
      fail("bool");
    }
    case kFloat:
    case kDouble: {
      double d = toDouble("bool");
      return d == d && d != 0;
    }
    case kList:
    case kMap:
    case kJSAPI:
    case kJSObject:
      fail("bool");
    default:
      return toInt64(INT64_MIN, INT64_MAX, "bool") != 0;
  }
}

std::string variant::toString() const {
  switch (kind()) {
    case kString:
      return std::get<std::string>(value_);
    case kWString: {
      std::string s;
      if (wideToUtf8(std::get<std::wstring>(value_), s)) return s;
      break;
    }
    case kBool:
      return std::get<bool>(value_) ? "true" : "false";
    case kInt8:
      return std::to_string(std::get<int8_t>(value_));
    case kUInt8:
      return std::to_string(std::get<uint8_t>(value_));
    case kInt16:
      return std::to_string(std::get<int16_t>(value_));
    case kUInt16:
      return std::to_string(std::get<uint16_t>(value_));
    case kInt32:
      return std::to_string(std::get<int32_t>(value_));
    case kUInt32:
      return std::to_string(std::get<uint32_t>(value_));
    case kInt64:
      return std::to_string(std::get<int64_t>(value_));
    case kUInt64:
      return std::to_string(std::get<uint64_t>(value_));
    case kFloat:
      return floatToString(std::get<float>(value_));
    case kDouble:
      return floatToString(std::get<double>(value_));
    default:
      break;
  }
  fail("std::string");
}

std::wstring variant::toWString() const {
  if (kind() == kWString) return std::get<std::wstring>(value_);
  std::string s;
  try {
    s = toString();
  } catch (const bad_variant_cast&) {
    fail("std::wstring");
  }
  if (!utf8::is_valid(s.begin(), s.end())) fail("std::wstring");
  std::wstring w;
  utf8::utf8to32(s.begin(), s.end(), std::back_inserter(w));
  return w;
}

}  // namespace FB
