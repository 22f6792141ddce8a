#include "certs/der.h"

#include <cstdio>
#include <cstring>

namespace tavrix_certs {

bool ReadTlv(const uint8_t* p, size_t n, Tlv* out) {
  if (!p || n < 2) return false;
  uint8_t tag = p[0];
  if ((tag & 0x1F) == 0x1F) return false;
  size_t pos = 1;
  size_t len = p[pos++];
  if (len & 0x80) {
    size_t count = len & 0x7F;
    if (count == 0 || count > 4 || n - pos < count) return false;
    len = 0;
    for (size_t i = 0; i < count; ++i) len = (len << 8) | p[pos++];
  }
  if (len > n - pos) return false;
  out->tag = tag;
  out->start = p;
  out->value = p + pos;
  out->len = len;
  return true;
}

bool DerReader::Next(Tlv* out) {
  if (p_ >= end_) return false;
  Tlv t;
  if (!ReadTlv(p_, static_cast<size_t>(end_ - p_), &t)) return false;
  p_ = t.value + t.len;
  *out = t;
  return true;
}

bool DerReader::Expect(uint8_t tag, Tlv* out) {
  Tlv t;
  if (!Optional(tag, &t)) return false;
  *out = t;
  return true;
}

bool DerReader::Optional(uint8_t tag, Tlv* out) {
  if (p_ >= end_) return false;
  Tlv t;
  if (!ReadTlv(p_, static_cast<size_t>(end_ - p_), &t) || t.tag != tag)
    return false;
  p_ = t.value + t.len;
  *out = t;
  return true;
}

std::string OidToString(const uint8_t* p, size_t n) {
  if (!p || n == 0) return std::string();
  std::string out;
  uint64_t v = 0;
  bool first = true;
  bool fresh = true;
  for (size_t i = 0; i < n; ++i) {
    if (fresh && p[i] == 0x80) return std::string();  // non-minimal
    if (v > (UINT64_MAX >> 7)) return std::string();
    v = (v << 7) | (p[i] & 0x7F);
    fresh = false;
    if (p[i] & 0x80) continue;
    char buf[48];
    if (first) {
      uint64_t a = v < 40 ? 0 : (v < 80 ? 1 : 2);
      snprintf(buf, sizeof buf, "%llu.%llu", (unsigned long long)a,
               (unsigned long long)(v - a * 40));
      first = false;
    } else {
      snprintf(buf, sizeof buf, ".%llu", (unsigned long long)v);
    }
    out += buf;
    v = 0;
    fresh = true;
  }
  if (!fresh) return std::string();  // last arc unfinished
  return out;
}

bool OidFromString(const char* text, std::vector<uint8_t>* out) {
  if (!text) return false;
  std::vector<uint64_t> arcs;
  const char* s = text;
  while (true) {
    if (*s < '0' || *s > '9') return false;
    uint64_t v = 0;
    while (*s >= '0' && *s <= '9') {
      if (v > UINT64_MAX / 10 - 10) return false;
      v = v * 10 + static_cast<uint64_t>(*s++ - '0');
    }
    arcs.push_back(v);
    if (*s == 0) break;
    if (*s++ != '.') return false;
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40))
    return false;
  if (arcs[1] > UINT64_MAX - 80) return false;
  out->clear();
  for (size_t i = 1; i < arcs.size(); ++i) {
    uint64_t v = i == 1 ? arcs[0] * 40 + arcs[1] : arcs[i];
    uint8_t tmp[10];
    int k = 0;
    do {
      tmp[k++] = static_cast<uint8_t>(v & 0x7F);
      v >>= 7;
    } while (v);
    while (k > 0) {
      --k;
      out->push_back(static_cast<uint8_t>(tmp[k] | (k ? 0x80 : 0)));
    }
  }
  return true;
}

static int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

static bool Digits(const uint8_t* p, int n, int* out) {
  int v = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    v = v * 10 + (p[i] - '0');
  }
  *out = v;
  return true;
}

bool DecodeTime(const Tlv& t, FILETIME* out) {
  const uint8_t* p = t.value;
  size_t n = t.len;
  int year, mon, day, hh, mm, ss = 0;
  size_t pos;
  if (t.tag == kTagUtcTime) {
    if (n != 13 && n != 11) return false;
    int yy;
    if (!Digits(p, 2, &yy)) return false;
    year = yy < 50 ? 2000 + yy : 1900 + yy;
    pos = 2;
  } else if (t.tag == kTagGeneralizedTime) {
    if (n < 13) return false;
    if (!Digits(p, 4, &year)) return false;
    pos = 4;
  } else {
    return false;
  }
  if (!Digits(p + pos, 2, &mon) || !Digits(p + pos + 2, 2, &day) ||
      !Digits(p + pos + 4, 2, &hh) || !Digits(p + pos + 6, 2, &mm))
    return false;
  pos += 8;
  if (pos + 1 < n || (t.tag == kTagGeneralizedTime && pos + 2 < n)) {
    if (pos + 2 > n || !Digits(p + pos, 2, &ss)) return false;
    pos += 2;
  }
  if (t.tag == kTagGeneralizedTime && pos < n && p[pos] == '.') {
    ++pos;
    size_t digits = 0;
    while (pos < n && p[pos] >= '0' && p[pos] <= '9') ++pos, ++digits;
    if (!digits) return false;
  }
  if (pos + 1 != n || p[pos] != 'Z') return false;
  if (mon < 1 || mon > 12 || day < 1 || day > 31 || hh > 23 || mm > 59 ||
      ss > 60)
    return false;
  int64_t secs = DaysFromCivil(year, static_cast<unsigned>(mon),
                               static_cast<unsigned>(day)) *
                     86400 +
                 hh * 3600 + mm * 60 + ss;
  *out = UnixToFileTime(secs);
  return true;
}

static const int64_t kEpochDiff = 11644473600LL;  // 1601-01-01 .. 1970-01-01

int64_t FileTimeToUnix(const FILETIME& ft) {
  uint64_t v =
      (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(v / 10000000ULL) - kEpochDiff;
}

FILETIME UnixToFileTime(int64_t secs) {
  int64_t since = secs + kEpochDiff;
  if (since < 0) since = 0;
  uint64_t v = static_cast<uint64_t>(since) * 10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(v & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
  return ft;
}

DWORD RdnTypeForTag(uint8_t tag) {
  switch (tag) {
    case kTagOctetString:
      return CERT_RDN_OCTET_STRING;
    case kTagNumericString:
      return CERT_RDN_NUMERIC_STRING;
    case kTagPrintableString:
      return CERT_RDN_PRINTABLE_STRING;
    case kTagTeletexString:
      return CERT_RDN_TELETEX_STRING;
    case kTagVideotexString:
      return CERT_RDN_VIDEOTEX_STRING;
    case kTagIa5String:
      return CERT_RDN_IA5_STRING;
    case kTagGraphicString:
      return CERT_RDN_GRAPHIC_STRING;
    case kTagVisibleString:
      return CERT_RDN_VISIBLE_STRING;
    case kTagGeneralString:
      return CERT_RDN_GENERAL_STRING;
    case kTagUniversalString:
      return CERT_RDN_UNIVERSAL_STRING;
    case kTagBmpString:
      return CERT_RDN_BMP_STRING;
    case kTagUtf8String:
      return CERT_RDN_UTF8_STRING;
    default:
      return CERT_RDN_ENCODED_BLOB;
  }
}

// Decodes UTF-8; returns false at the first malformed sequence when `strict`,
// else replaces it with U+FFFD.
static bool DecodeUtf8(const uint8_t* p, size_t n, bool strict,
                       std::wstring* out) {
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
               cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
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

std::wstring DecodeStringValue(DWORD type, const uint8_t* p, size_t n) {
  std::wstring out;
  if (!p) return out;
  switch (type) {
    case CERT_RDN_UTF8_STRING:
      DecodeUtf8(p, n, false, &out);
      break;
    case CERT_RDN_BMP_STRING:
      for (size_t i = 0; i + 1 < n; i += 2) {
        uint32_t u = (static_cast<uint32_t>(p[i]) << 8) | p[i + 1];
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < n) {
          uint32_t lo = (static_cast<uint32_t>(p[i + 2]) << 8) | p[i + 3];
          if (lo >= 0xDC00 && lo <= 0xDFFF) {
            out.push_back(static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) +
                                               (lo - 0xDC00)));
            i += 2;
            continue;
          }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        out.push_back(static_cast<wchar_t>(u));
      }
      if (n % 2) out.push_back(0xFFFD);
      break;
    case CERT_RDN_UNIVERSAL_STRING:
      for (size_t i = 0; i + 3 < n; i += 4) {
        uint32_t u = (static_cast<uint32_t>(p[i]) << 24) |
                     (static_cast<uint32_t>(p[i + 1]) << 16) |
                     (static_cast<uint32_t>(p[i + 2]) << 8) | p[i + 3];
        if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) u = 0xFFFD;
        out.push_back(static_cast<wchar_t>(u));
      }
      if (n % 4) out.push_back(0xFFFD);
      break;
    case CERT_RDN_TELETEX_STRING:
    case CERT_RDN_VIDEOTEX_STRING:
    case CERT_RDN_GENERAL_STRING:
    case CERT_RDN_GRAPHIC_STRING:
      // Much software puts UTF-8 into these; take it when it is valid.
      if (DecodeUtf8(p, n, true, &out)) break;
      out.clear();
      for (size_t i = 0; i < n; ++i) out.push_back(p[i]);
      break;
    default:
      for (size_t i = 0; i < n; ++i) out.push_back(p[i]);
      break;
  }
  return out;
}

std::string WideToUtf8(const std::wstring& w) {
  std::string s;
  s.reserve(w.size());
  for (wchar_t wc : w) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      s.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      s.push_back(static_cast<char>(0xC0 | (c >> 6)));
      s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      s.push_back(static_cast<char>(0xE0 | (c >> 12)));
      s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      s.push_back(static_cast<char>(0xF0 | (c >> 18)));
      s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return s;
}

std::wstring Utf8ToWide(const std::string& s) {
  std::wstring w;
  DecodeUtf8(reinterpret_cast<const uint8_t*>(s.data()), s.size(), false, &w);
  return w;
}

bool ParseName(const uint8_t* p, size_t n, ParsedName* out) {
  out->clear();
  Tlv name;
  if (!ReadTlv(p, n, &name) || name.tag != kTagSequence) return false;
  DerReader rdns(name);
  while (!rdns.AtEnd()) {
    Tlv set;
    if (!rdns.Expect(kTagSet, &set)) return false;
    std::vector<NameAttr> rdn;
    DerReader atvs(set);
    while (!atvs.AtEnd()) {
      Tlv atv, oid, val;
      if (!atvs.Expect(kTagSequence, &atv)) return false;
      DerReader in(atv);
      if (!in.Expect(kTagOid, &oid) || !in.Next(&val) || !in.AtEnd())
        return false;
      NameAttr a;
      a.oid = OidToString(oid.value, oid.len);
      if (a.oid.empty()) return false;
      a.type = RdnTypeForTag(val.tag);
      if (a.type == CERT_RDN_ENCODED_BLOB) {
        a.value = val.start;
        a.len = val.total();
      } else {
        a.value = val.value;
        a.len = val.len;
      }
      rdn.push_back(a);
    }
    if (rdn.empty()) return false;
    out->push_back(rdn);
  }
  return true;
}

bool ParseAlgId(const Tlv& seq, std::string* oid, const uint8_t** params,
                size_t* paramsLen) {
  if (seq.tag != kTagSequence) return false;
  DerReader r(seq);
  Tlv o, prm;
  if (!r.Expect(kTagOid, &o)) return false;
  *oid = OidToString(o.value, o.len);
  if (oid->empty()) return false;
  *params = nullptr;
  *paramsLen = 0;
  if (!r.AtEnd()) {
    if (!r.Next(&prm) || !r.AtEnd()) return false;
    *params = prm.start;
    *paramsLen = prm.total();
  }
  return true;
}

static std::string Hex(const uint8_t* p, size_t n, const char* digits) {
  std::string s;
  s.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}
std::string HexUpper(const uint8_t* p, size_t n) {
  return Hex(p, n, "0123456789ABCDEF");
}
std::string HexLower(const uint8_t* p, size_t n) {
  return Hex(p, n, "0123456789abcdef");
}

}  // namespace tavrix_certs
