#include "certs/values.h"

#include "text/text.h"

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

std::wstring DecodeStringValue(DWORD type, const uint8_t* p, size_t n) {
  std::wstring out;
  if (!p) return out;
  switch (type) {
    case CERT_RDN_UTF8_STRING:
      text::Utf8ToWide(p, n, false, &out);
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
      if (text::Utf8ToWide(p, n, true, &out)) break;
      out.clear();
      for (size_t i = 0; i < n; ++i) out.push_back(p[i]);
      break;
    default:
      for (size_t i = 0; i < n; ++i) out.push_back(p[i]);
      break;
  }
  return out;
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

}  // namespace tavrix::provider::certs
