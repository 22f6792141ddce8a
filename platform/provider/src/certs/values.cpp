#include "certs/values.h"

#include <utf8.h>

#include <cstdio>
#include <cstring>
#include <iterator>

namespace tavrix::provider::certs {

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
    utf8::unchecked::append(c, std::back_inserter(s));
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
  DefiniteReader rdns(name);
  while (!rdns.AtEnd()) {
    Tlv set;
    if (!rdns.Expect(kTagSet, &set)) return false;
    std::vector<NameAttr> rdn;
    DefiniteReader atvs(set);
    while (!atvs.AtEnd()) {
      Tlv atv, oid, val;
      if (!atvs.Expect(kTagSequence, &atv)) return false;
      DefiniteReader in(atv);
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
  DefiniteReader r(seq);
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

}  // namespace tavrix::provider::certs
