#include "text/text.h"

#include <utf8.h>

#include <iterator>

namespace tavrix::provider::text {

namespace {

bool IsScalar(uint32_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

std::string Hex(const uint8_t* p, size_t n, const char* digits) {
  std::string s;
  s.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

}  // namespace

// Hand-written rather than utfcpp's replace_invalid: the lenient form
// replaces one octet at a time (a truncated sequence costs one U+FFFD per
// octet, never the characters after it), which names in stored certificates
// have always been shown with.
bool Utf8ToWide(const uint8_t* p, size_t n, bool strict, std::wstring* out) {
  size_t i = 0;
  while (i < n) {
    uint8_t c = p[i];
    uint32_t cp;
    size_t extra;
    if (c < 0x80) {
      cp = c, extra = 0;
    } else if ((c & 0xE0) == 0xC0 && c >= 0xC2) {
      cp = c & 0x1F, extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F, extra = 2;
    } else if ((c & 0xF8) == 0xF0 && c <= 0xF4) {
      cp = c & 0x07, extra = 3;
    } else {
      if (strict) return false;
      out->push_back(0xFFFD);
      ++i;
      continue;
    }
    bool ok = n - i > extra;
    for (size_t k = 1; ok && k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (ok && ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) ||
               !IsScalar(cp)))
      ok = false;
    if (!ok) {
      if (strict) return false;
      out->push_back(0xFFFD);
      ++i;
      continue;
    }
    out->push_back(static_cast<wchar_t>(cp));
    i += extra + 1;
  }
  return true;
}

std::wstring Utf8ToWide(std::string_view s) {
  std::wstring w;
  Utf8ToWide(reinterpret_cast<const uint8_t*>(s.data()), s.size(), false, &w);
  return w;
}

std::string WideToUtf8(std::wstring_view w) {
  std::string s;
  s.reserve(w.size());
  for (wchar_t wc : w) {
    uint32_t c = static_cast<uint32_t>(wc);
    utf8::unchecked::append(IsScalar(c) ? c : 0xFFFD, std::back_inserter(s));
  }
  return s;
}

bool WideToUtf8Strict(std::wstring_view w, std::string* out) {
  out->clear();
  for (wchar_t wc : w) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (!IsScalar(c)) return false;
    utf8::unchecked::append(c, std::back_inserter(*out));
  }
  return true;
}

std::string HexUpper(const uint8_t* p, size_t n) {
  return Hex(p, n, "0123456789ABCDEF");
}
std::string HexLower(const uint8_t* p, size_t n) {
  return Hex(p, n, "0123456789abcdef");
}

}  // namespace tavrix::provider::text
