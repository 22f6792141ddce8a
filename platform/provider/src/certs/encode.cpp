// CryptEncodeObject(Ex) for the structures other parts build attributes
// and names from: names, key usages, octet strings, times, integers.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "base/c_boundary.h"
#include "certs/certs_internal.h"

namespace tavrix::provider::certs {
namespace {

bool Oid(const char* text, Bytes* out) {
  return text && tavrix::provider::der::EncodeOid(text, out);
}

BYTE TagForRdnType(DWORD type) {
  switch (type) {
    case CERT_RDN_OCTET_STRING:
      return kTagOctetString;
    case CERT_RDN_NUMERIC_STRING:
      return kTagNumericString;
    case CERT_RDN_PRINTABLE_STRING:
      return kTagPrintableString;
    case CERT_RDN_TELETEX_STRING:
      return kTagTeletexString;
    case CERT_RDN_VIDEOTEX_STRING:
      return kTagVideotexString;
    case CERT_RDN_IA5_STRING:
      return kTagIa5String;
    case CERT_RDN_GRAPHIC_STRING:
      return kTagGraphicString;
    case CERT_RDN_VISIBLE_STRING:
      return kTagVisibleString;
    case CERT_RDN_GENERAL_STRING:
      return kTagGeneralString;
    case CERT_RDN_UNIVERSAL_STRING:
      return kTagUniversalString;
    case CERT_RDN_BMP_STRING:
      return kTagBmpString;
    case CERT_RDN_UTF8_STRING:
      return kTagUtf8String;
    default:
      return 0;
  }
}

DWORD EncodeName(const CERT_NAME_INFO* n, Bytes* out) {
  Bytes body;
  if (n->cRDN && !n->rgRDN) return E_INVALIDARG;
  for (DWORD i = 0; i < n->cRDN; ++i) {
    const CERT_RDN& r = n->rgRDN[i];
    if (!r.cRDNAttr || !r.rgRDNAttr) return E_INVALIDARG;
    std::vector<Bytes> atvs;
    for (DWORD j = 0; j < r.cRDNAttr; ++j) {
      const CERT_RDN_ATTR& a = r.rgRDNAttr[j];
      Bytes oid, val;
      if (!a.pszObjId || !Oid(a.pszObjId, &oid)) return CRYPT_E_OID_FORMAT;
      if (a.Value.cbData && !a.Value.pbData) return E_INVALIDARG;
      if (a.dwValueType == CERT_RDN_ENCODED_BLOB) {
        Tlv t;
        if (!ReadTlv(a.Value.pbData, a.Value.cbData, &t) ||
            t.total() != a.Value.cbData)
          return CRYPT_E_ASN1_BADTAG;
        val.assign(a.Value.pbData, a.Value.pbData + a.Value.cbData);
      } else {
        BYTE tag = TagForRdnType(a.dwValueType);
        if (!tag) return CRYPT_E_NOT_CHAR_STRING;
        val = Wrap(tag, a.Value.pbData, a.Value.cbData);
      }
      oid.insert(oid.end(), val.begin(), val.end());
      atvs.push_back(Wrap(kTagSequence, oid));
    }
    // DER orders the members of a SET by their encodings.
    std::sort(atvs.begin(), atvs.end());
    Bytes set;
    for (const Bytes& b : atvs) set.insert(set.end(), b.begin(), b.end());
    Bytes s = Wrap(kTagSet, set);
    body.insert(body.end(), s.begin(), s.end());
  }
  *out = Wrap(kTagSequence, body);
  return 0;
}

DWORD EncodeTime(const FILETIME* ft, bool utcOnly, Bytes* out) {
  time_t t = static_cast<time_t>(FileTimeToUnix(*ft));
  struct tm tm;
  if (!gmtime_r(&t, &tm)) return CRYPT_E_BAD_ENCODE;
  int year = tm.tm_year + 1900;
  char buf[32];
  if (year >= 1950 && year < 2050) {
    snprintf(buf, sizeof buf, "%02d%02d%02d%02d%02d%02dZ", year % 100,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    *out = Wrap(kTagUtcTime, reinterpret_cast<BYTE*>(buf), strlen(buf));
    return 0;
  }
  if (utcOnly) return CRYPT_E_BAD_ENCODE;
  snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02dZ", year, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  *out = Wrap(kTagGeneralizedTime, reinterpret_cast<BYTE*>(buf), strlen(buf));
  return 0;
}

// Minimal two's-complement content from big-endian bytes.
Bytes MinimalInteger(Bytes be) {
  if (be.empty()) be.push_back(0);
  while (be.size() > 1 &&
         ((be[0] == 0 && !(be[1] & 0x80)) || (be[0] == 0xFF && (be[1] & 0x80))))
    be.erase(be.begin());
  return Wrap(kTagInteger, be);
}

DWORD Encode(uintptr_t type, const void* pv, Bytes* out) {
  switch (type) {
    case 7: {  // X509_NAME
      return EncodeName(static_cast<const CERT_NAME_INFO*>(pv), out);
    }
    case 36: {  // X509_ENHANCED_KEY_USAGE
      const CERT_ENHKEY_USAGE* u = static_cast<const CERT_ENHKEY_USAGE*>(pv);
      if (u->cUsageIdentifier && !u->rgpszUsageIdentifier) return E_INVALIDARG;
      Bytes body;
      for (DWORD i = 0; i < u->cUsageIdentifier; ++i) {
        Bytes o;
        if (!u->rgpszUsageIdentifier[i] || !Oid(u->rgpszUsageIdentifier[i], &o))
          return CRYPT_E_OID_FORMAT;
        body.insert(body.end(), o.begin(), o.end());
      }
      *out = Wrap(kTagSequence, body);
      return 0;
    }
    case 25: {  // X509_OCTET_STRING
      const CRYPT_DATA_BLOB* b = static_cast<const CRYPT_DATA_BLOB*>(pv);
      if (b->cbData && !b->pbData) return E_INVALIDARG;
      *out = Wrap(kTagOctetString, b->pbData, b->cbData);
      return 0;
    }
    case 34: {  // X509_SEQUENCE_OF_ANY
      const CRYPT_SEQUENCE_OF_ANY* s =
          static_cast<const CRYPT_SEQUENCE_OF_ANY*>(pv);
      if (s->cValue && !s->rgValue) return E_INVALIDARG;
      Bytes body;
      for (DWORD i = 0; i < s->cValue; ++i) {
        const CRYPT_DER_BLOB& v = s->rgValue[i];
        Tlv t;
        if (!ReadTlv(v.pbData, v.cbData, &t) || t.total() != v.cbData)
          return CRYPT_E_ASN1_BADTAG;
        body.insert(body.end(), v.pbData, v.pbData + v.cbData);
      }
      *out = Wrap(kTagSequence, body);
      return 0;
    }
    case 17:  // PKCS_UTC_TIME
    case 30:  // X509_CHOICE_OF_TIME
      return EncodeTime(static_cast<const FILETIME*>(pv), type == 17, out);
    case 27: {  // X509_INTEGER
      uint32_t v = static_cast<uint32_t>(*static_cast<const int32_t*>(pv));
      Bytes be = {static_cast<BYTE>(v >> 24), static_cast<BYTE>(v >> 16),
                  static_cast<BYTE>(v >> 8), static_cast<BYTE>(v)};
      *out = MinimalInteger(be);
      return 0;
    }
    case 28: {  // X509_MULTI_BYTE_INTEGER, little-endian in
      const CRYPT_INTEGER_BLOB* b = static_cast<const CRYPT_INTEGER_BLOB*>(pv);
      if (b->cbData && !b->pbData) return E_INVALIDARG;
      Bytes be(b->pbData, b->pbData + b->cbData);
      std::reverse(be.begin(), be.end());
      *out = MinimalInteger(be);
      return 0;
    }
    default:
      return ERROR_FILE_NOT_FOUND;
  }
}

uintptr_t EncodeTypeFor(LPCSTR s) {
  uintptr_t v = reinterpret_cast<uintptr_t>(s);
  if (v <= 0xFFFF) return v;
  if (strcmp(s, szOID_ENHANCED_KEY_USAGE) == 0) return 36;
  if (strcmp(s, szOID_SUBJECT_KEY_IDENTIFIER) == 0) return 25;
  if (strcmp(s, szOID_RSA_signingTime) == 0) return 17;
  return 0;
}

}  // namespace
}  // namespace tavrix::provider::certs

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::certs;

extern "C" {

BOOL WINAPI CryptEncodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                const void* pvStructInfo, DWORD dwFlags,
                                PCRYPT_ENCODE_PARA pEncodePara, void* pvEncoded,
                                DWORD* pcbEncoded) try {
  bool alloc = (dwFlags & CRYPT_ENCODE_ALLOC_FLAG) != 0;
  if (alloc && pvEncoded) *static_cast<BYTE**>(pvEncoded) = nullptr;
  if (!lpszStructType || !pvStructInfo || (!alloc && !pcbEncoded) ||
      (alloc && !pvEncoded)) {
    SetLastError(E_INVALIDARG);
    return FALSE;
  }
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  Bytes out;
  DWORD err = Encode(EncodeTypeFor(lpszStructType), pvStructInfo, &out);
  if (err) {
    SetLastError(err);
    if (pcbEncoded) *pcbEncoded = 0;
    return FALSE;
  }
  DWORD need = static_cast<DWORD>(out.size());
  if (alloc) {
    void* mem = pEncodePara && pEncodePara->pfnAlloc
                    ? pEncodePara->pfnAlloc(need)
                    : LocalAlloc(LMEM_FIXED, need);
    if (!mem) {
      SetLastError(ERROR_OUTOFMEMORY);
      return FALSE;
    }
    memcpy(mem, out.data(), need);
    *static_cast<BYTE**>(pvEncoded) = static_cast<BYTE*>(mem);
    if (pcbEncoded) *pcbEncoded = need;
    return TRUE;
  }
  return CopyOut(out.data(), need, pvEncoded, pcbEncoded);
}
CAPI_GUARD(FALSE)

BOOL WINAPI CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                              const void* pvStructInfo, BYTE* pbEncoded,
                              DWORD* pcbEncoded) try {
  return CryptEncodeObjectEx(dwCertEncodingType, lpszStructType, pvStructInfo,
                             0, nullptr, pbEncoded, pcbEncoded);
}
CAPI_GUARD(FALSE)

}  // extern "C"
