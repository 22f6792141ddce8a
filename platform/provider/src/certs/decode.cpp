// CryptDecodeObject(Ex): one flat block a result, the structure first and
// everything it points to after it, sized and filled as CryptoAPI does.
#include <algorithm>
#include <cstring>

#include "base/c_boundary.h"
#include "base/flat_out.h"
#include "certs/certs_internal.h"

namespace tavrix::provider::certs {
namespace {

struct Input {
  const BYTE* p;
  size_t n;
  bool nocopy;
  DWORD flags;
};

// The outermost element; the error tells a truncated encoding from a wrong
// one.
bool Top(const Input& in, uint8_t tag, Tlv* t) {
  if (!ReadTlv(in.p, in.n, t)) {
    return Fail(in.n == 0 ? CRYPT_E_ASN1_EOD
                : (in.n < 2 || (in.p[1] & 0x80) || in.p[1] > in.n - 2)
                    ? CRYPT_E_ASN1_EOD
                    : CRYPT_E_ASN1_BADTAG);
  }
  if (t->tag != tag) {
    return Fail(CRYPT_E_ASN1_BADTAG);
  }
  return true;
}

bool DecodeEku(const Input& in, FlatOut* f) {
  Tlv seq, o;
  if (!Top(in, kTagSequence, &seq)) return false;
  std::vector<std::string> oids;
  DefiniteReader r(seq);
  while (!r.AtEnd()) {
    if (!r.Expect(kTagOid, &o)) return Fail(CRYPT_E_ASN1_CORRUPT);
    oids.push_back(OidToString(o.value, o.len));
    if (oids.back().empty()) return Fail(CRYPT_E_ASN1_CORRUPT);
  }
  size_t top = f->Alloc(sizeof(CERT_ENHKEY_USAGE));
  f->At<CERT_ENHKEY_USAGE>(top)->cUsageIdentifier =
      static_cast<DWORD>(oids.size());
  if (oids.empty()) return true;
  size_t arr = f->Alloc(oids.size() * sizeof(LPSTR));
  f->Point(top + offsetof(CERT_ENHKEY_USAGE, rgpszUsageIdentifier), arr);
  for (size_t i = 0; i < oids.size(); ++i)
    f->Point(arr + i * sizeof(LPSTR), f->AddString(oids[i]));
  return true;
}

bool DecodeSeqOfAny(const Input& in, FlatOut* f) {
  Tlv seq, e;
  if (!Top(in, kTagSequence, &seq)) return false;
  std::vector<Tlv> items;
  DefiniteReader r(seq);
  while (!r.AtEnd()) {
    if (!r.Next(&e)) return Fail(CRYPT_E_ASN1_CORRUPT);
    items.push_back(e);
  }
  size_t top = f->Alloc(sizeof(CRYPT_SEQUENCE_OF_ANY));
  f->At<CRYPT_SEQUENCE_OF_ANY>(top)->cValue = static_cast<DWORD>(items.size());
  if (items.empty()) return true;
  size_t arr = f->Alloc(items.size() * sizeof(CRYPT_DER_BLOB));
  f->Point(top + offsetof(CRYPT_SEQUENCE_OF_ANY, rgValue), arr);
  for (size_t i = 0; i < items.size(); ++i)
    f->Blob(arr + i * sizeof(CRYPT_DER_BLOB), items[i].start, items[i].total(),
            in.nocopy);
  return true;
}

bool DecodeName(const Input& in, FlatOut* f, bool unicode) {
  Tlv seq;
  if (!Top(in, kTagSequence, &seq)) return false;
  ParsedName name;
  if (!ParseName(in.p, in.n, &name)) return Fail(CRYPT_E_ASN1_CORRUPT);
  size_t top = f->Alloc(sizeof(CERT_NAME_INFO));
  f->At<CERT_NAME_INFO>(top)->cRDN = static_cast<DWORD>(name.size());
  if (name.empty()) return true;
  size_t rdns = f->Alloc(name.size() * sizeof(CERT_RDN));
  f->Point(top + offsetof(CERT_NAME_INFO, rgRDN), rdns);
  for (size_t i = 0; i < name.size(); ++i) {
    size_t rdn = rdns + i * sizeof(CERT_RDN);
    f->At<CERT_RDN>(rdn)->cRDNAttr = static_cast<DWORD>(name[i].size());
    size_t attrs = f->Alloc(name[i].size() * sizeof(CERT_RDN_ATTR));
    f->Point(rdn + offsetof(CERT_RDN, rgRDNAttr), attrs);
    for (size_t j = 0; j < name[i].size(); ++j) {
      const NameAttr& a = name[i][j];
      size_t at = attrs + j * sizeof(CERT_RDN_ATTR);
      f->Point(at + offsetof(CERT_RDN_ATTR, pszObjId), f->AddString(a.oid));
      f->At<CERT_RDN_ATTR>(at)->dwValueType = a.type;
      size_t blob = at + offsetof(CERT_RDN_ATTR, Value);
      if (unicode && a.type != CERT_RDN_ENCODED_BLOB &&
          a.type != CERT_RDN_OCTET_STRING) {
        // Wide text with a terminator that cbData does not count.
        std::wstring w = DecodeStringValue(a.type, a.value, a.len);
        size_t off = f->AddBytes(w.c_str(), (w.size() + 1) * sizeof(wchar_t),
                                 alignof(wchar_t));
        f->At<CRYPT_DATA_BLOB>(blob)->cbData =
            static_cast<DWORD>(w.size() * sizeof(wchar_t));
        f->Point(blob + offsetof(CRYPT_DATA_BLOB, pbData), off);
      } else {
        f->Blob(blob, a.value, a.len, in.nocopy);
      }
    }
  }
  return true;
}

void PutAlgId(FlatOut* f, size_t field, const CRYPT_ALGORITHM_IDENTIFIER& a,
              bool nocopy) {
  f->Point(field + offsetof(CRYPT_ALGORITHM_IDENTIFIER, pszObjId),
           f->AddString(a.pszObjId ? a.pszObjId : ""));
  f->Blob(field + offsetof(CRYPT_ALGORITHM_IDENTIFIER, Parameters),
          a.Parameters.pbData, a.Parameters.cbData, nocopy);
}

void PutBits(FlatOut* f, size_t field, const BYTE* p, size_t n, DWORD unused,
             bool nocopy) {
  f->Blob(field, p, n, nocopy);
  f->At<CRYPT_BIT_BLOB>(field)->cUnusedBits = unused;
}

bool DecodeCert(const Input& in, FlatOut* f) {
  Tlv top;
  if (!Top(in, kTagSequence, &top)) return false;
  Parsed c = ParseCertificate(in.p, static_cast<DWORD>(top.total()));
  if (!c) return Fail(CRYPT_E_ASN1_CORRUPT);
  // Offsets into the caller's buffer are the same as into our copy.
  const x509::Certificate& x = c->cert;
  auto orig = [&](const BYTE* p) { return in.p + (p - x.encoded.data()); };
  size_t s = f->Alloc(sizeof(CERT_SIGNED_CONTENT_INFO));
  const Tlv& tbs = x.signed_parts.tbs;
  f->Blob(s + offsetof(CERT_SIGNED_CONTENT_INFO, ToBeSigned), orig(tbs.start),
          tbs.total(), in.nocopy);
  CRYPT_ALGORITHM_IDENTIFIER a;
  a.pszObjId = const_cast<char*>(x.signed_parts.sig_alg.c_str());
  a.Parameters.pbData = x.sig_params.start
                            ? const_cast<BYTE*>(orig(x.sig_params.start))
                            : nullptr;
  a.Parameters.cbData = static_cast<DWORD>(x.sig_params.total());
  PutAlgId(f, s + offsetof(CERT_SIGNED_CONTENT_INFO, SignatureAlgorithm), a,
           in.nocopy);
  size_t sig = s + offsetof(CERT_SIGNED_CONTENT_INFO, Signature);
  const x509::BitsView& bits = x.signature_bits;
  if (in.flags & CRYPT_DECODE_NO_SIGNATURE_BYTE_REVERSAL_FLAG) {
    PutBits(f, sig, orig(bits.data), bits.size, bits.unused, in.nocopy);
  } else {
    // CryptoAPI hands signatures out least significant byte first.
    std::vector<BYTE> rev(bits.data, bits.data + bits.size);
    std::reverse(rev.begin(), rev.end());
    PutBits(f, sig, rev.data(), rev.size(), bits.unused, false);
  }
  return true;
}

bool DecodeCertInfo(const Input& in, FlatOut* f) {
  Tlv top;
  if (!Top(in, kTagSequence, &top)) return false;
  std::vector<BYTE> wrapped;
  const BYTE* p = in.p;
  size_t n = top.total();
  size_t shift = 0;  // where the caller's bytes start inside `wrapped`
  if (in.flags & CRYPT_DECODE_TO_BE_SIGNED_FLAG) {
    // Wrap the bare to-be-signed part as a certificate with an empty
    // signature so that one parser serves both forms.
    static const BYTE tail[] = {0x30, 0x03, 0x06, 0x01, 0x00, 0x03, 0x01, 0x00};
    size_t body = n + sizeof tail;
    wrapped.push_back(0x30);
    wrapped.push_back(0x84);
    for (int i = 3; i >= 0; --i)
      wrapped.push_back(static_cast<BYTE>(body >> (8 * i)));
    shift = wrapped.size();
    wrapped.insert(wrapped.end(), in.p, in.p + n);
    wrapped.insert(wrapped.end(), tail, tail + sizeof tail);
    // 0.0 is not a valid identifier for the parser; use 1.0 (0x28).
    wrapped[shift + n + 4] = 0x28;
    p = wrapped.data();
    n = wrapped.size();
  }
  Parsed c = ParseCertificate(p, static_cast<DWORD>(n));
  if (!c) return Fail(CRYPT_E_ASN1_CORRUPT);
  const BYTE* base = c->encoded().data();
  auto orig = [&](const BYTE* q) {
    return in.p + (q - base) - static_cast<ptrdiff_t>(shift);
  };
  const CERT_INFO& ci = c->info;
  size_t s = f->Alloc(sizeof(CERT_INFO));
  f->At<CERT_INFO>(s)->dwVersion = ci.dwVersion;
  f->At<CERT_INFO>(s)->NotBefore = ci.NotBefore;
  f->At<CERT_INFO>(s)->NotAfter = ci.NotAfter;
  // The serial is reversed, so it is always a copy.
  f->Blob(s + offsetof(CERT_INFO, SerialNumber), ci.SerialNumber.pbData,
          ci.SerialNumber.cbData, false);
  CRYPT_ALGORITHM_IDENTIFIER a = ci.SignatureAlgorithm;
  if (a.Parameters.cbData)
    a.Parameters.pbData = const_cast<BYTE*>(orig(a.Parameters.pbData));
  PutAlgId(f, s + offsetof(CERT_INFO, SignatureAlgorithm), a, in.nocopy);
  f->Blob(s + offsetof(CERT_INFO, Issuer), orig(ci.Issuer.pbData),
          ci.Issuer.cbData, in.nocopy);
  f->Blob(s + offsetof(CERT_INFO, Subject), orig(ci.Subject.pbData),
          ci.Subject.cbData, in.nocopy);
  size_t spki = s + offsetof(CERT_INFO, SubjectPublicKeyInfo);
  a = ci.SubjectPublicKeyInfo.Algorithm;
  if (a.Parameters.cbData)
    a.Parameters.pbData = const_cast<BYTE*>(orig(a.Parameters.pbData));
  PutAlgId(f, spki + offsetof(CERT_PUBLIC_KEY_INFO, Algorithm), a, in.nocopy);
  const CRYPT_BIT_BLOB& k = ci.SubjectPublicKeyInfo.PublicKey;
  PutBits(f, spki + offsetof(CERT_PUBLIC_KEY_INFO, PublicKey), orig(k.pbData),
          k.cbData, k.cUnusedBits, in.nocopy);
  if (ci.IssuerUniqueId.cbData)
    PutBits(f, s + offsetof(CERT_INFO, IssuerUniqueId),
            orig(ci.IssuerUniqueId.pbData), ci.IssuerUniqueId.cbData,
            ci.IssuerUniqueId.cUnusedBits, in.nocopy);
  if (ci.SubjectUniqueId.cbData)
    PutBits(f, s + offsetof(CERT_INFO, SubjectUniqueId),
            orig(ci.SubjectUniqueId.pbData), ci.SubjectUniqueId.cbData,
            ci.SubjectUniqueId.cUnusedBits, in.nocopy);
  f->At<CERT_INFO>(s)->cExtension = ci.cExtension;
  if (ci.cExtension) {
    size_t arr = f->Alloc(ci.cExtension * sizeof(CERT_EXTENSION));
    f->Point(s + offsetof(CERT_INFO, rgExtension), arr);
    for (DWORD i = 0; i < ci.cExtension; ++i) {
      const CERT_EXTENSION& e = ci.rgExtension[i];
      size_t at = arr + i * sizeof(CERT_EXTENSION);
      f->Point(at + offsetof(CERT_EXTENSION, pszObjId),
               f->AddString(e.pszObjId));
      f->At<CERT_EXTENSION>(at)->fCritical = e.fCritical;
      f->Blob(at + offsetof(CERT_EXTENSION, Value), orig(e.Value.pbData),
              e.Value.cbData, in.nocopy);
    }
  }
  return true;
}

bool DecodeBasicConstraints2(const Input& in, FlatOut* f) {
  Tlv seq, t;
  if (!Top(in, kTagSequence, &seq)) return false;
  CERT_BASIC_CONSTRAINTS2_INFO info = {FALSE, FALSE, 0};
  DefiniteReader r(seq);
  bool present = false;
  if (!r.Optional(kTagBoolean, &t, &present)) return Fail(CRYPT_E_ASN1_CORRUPT);
  if (present) {
    if (t.len != 1) return Fail(CRYPT_E_ASN1_CORRUPT);
    info.fCA = t.value[0] ? TRUE : FALSE;
  }
  if (!r.Optional(kTagInteger, &t, &present)) return Fail(CRYPT_E_ASN1_CORRUPT);
  if (present) {
    if (t.len < 1 || t.len > 5 || (t.value[0] & 0x80) ||
        (t.len == 5 && t.value[0] != 0))
      return Fail(CRYPT_E_ASN1_CORRUPT);
    DWORD v = 0;
    for (size_t i = 0; i < t.len; ++i) v = (v << 8) | t.value[i];
    info.fPathLenConstraint = TRUE;
    info.dwPathLenConstraint = v;
  }
  if (!r.AtEnd()) return Fail(CRYPT_E_ASN1_CORRUPT);
  *f->At<CERT_BASIC_CONSTRAINTS2_INFO>(
      f->Alloc(sizeof(CERT_BASIC_CONSTRAINTS2_INFO))) = info;
  return true;
}

bool DecodeBits(const Input& in, FlatOut* f) {
  Tlv t;
  if (!Top(in, kTagBitString, &t)) return false;
  if (t.len < 1 || t.value[0] > 7 || (t.len == 1 && t.value[0] != 0))
    return Fail(CRYPT_E_ASN1_CORRUPT);
  size_t s = f->Alloc(sizeof(CRYPT_BIT_BLOB));
  PutBits(f, s, t.value + 1, t.len - 1, t.value[0], in.nocopy);
  return true;
}

bool DecodeOctets(const Input& in, FlatOut* f) {
  Tlv t;
  if (!Top(in, kTagOctetString, &t)) return false;
  f->Blob(f->Alloc(sizeof(CRYPT_DATA_BLOB)), t.value, t.len, in.nocopy);
  return true;
}

bool DecodeInt(const Input& in, FlatOut* f, bool multi) {
  Tlv t;
  if (!Top(in, kTagInteger, &t)) return false;
  if (t.len == 0) return Fail(CRYPT_E_ASN1_CORRUPT);
  std::vector<BYTE> le(t.value, t.value + t.len);
  std::reverse(le.begin(), le.end());
  if (multi) {
    f->Blob(f->Alloc(sizeof(CRYPT_INTEGER_BLOB)), le.data(), le.size(), false);
    return true;
  }
  // X509_INTEGER is a signed 32-bit int.
  size_t n = t.len;
  const BYTE* v = t.value;
  while (n > 4 && (v[0] == 0 || v[0] == 0xFF) &&
         ((v[0] == 0) == !(v[1] & 0x80))) {
    ++v;
    --n;
  }
  if (n > 4) return Fail(CRYPT_E_ASN1_LARGE);
  int32_t x = (v[0] & 0x80) ? -1 : 0;
  for (size_t i = 0; i < n; ++i)
    x = static_cast<int32_t>((static_cast<uint32_t>(x) << 8) | v[i]);
  *f->At<int32_t>(f->Alloc(sizeof(int32_t))) = x;
  return true;
}

bool DecodeTimeType(const Input& in, FlatOut* f, bool utcOnly) {
  Tlv t;
  if (!ReadTlv(in.p, in.n, &t)) return Fail(CRYPT_E_ASN1_EOD);
  if (t.tag != kTagUtcTime && (utcOnly || t.tag != kTagGeneralizedTime))
    return Fail(CRYPT_E_ASN1_BADTAG);
  FILETIME ft;
  if (!DecodeTime(t, &ft)) return Fail(CRYPT_E_ASN1_CORRUPT);
  *f->At<FILETIME>(f->Alloc(sizeof(FILETIME))) = ft;
  return true;
}

// Numeric structure type for an OID-named one; 0 when unknown.
uintptr_t TypeFor(LPCSTR s) {
  uintptr_t v = reinterpret_cast<uintptr_t>(s);
  if (v <= 0xFFFF) return v;
  static const struct {
    const char* oid;
    LPCSTR type;
  } map[] = {
      {szOID_ENHANCED_KEY_USAGE, X509_ENHANCED_KEY_USAGE},
      {szOID_BASIC_CONSTRAINTS2, X509_BASIC_CONSTRAINTS2},
      {szOID_KEY_USAGE, X509_KEY_USAGE},
      {szOID_SUBJECT_KEY_IDENTIFIER, X509_OCTET_STRING},
      {szOID_RSA_signingTime, PKCS_UTC_TIME},
      {szOID_CRL_NUMBER, X509_MULTI_BYTE_INTEGER},
  };
  for (const auto& m : map)
    if (strcmp(s, m.oid) == 0) return reinterpret_cast<uintptr_t>(m.type);
  return 0;
}

}  // namespace
}  // namespace tavrix::provider::certs

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::certs;

extern "C" {

BOOL WINAPI CryptDecodeObjectEx(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                const BYTE* pbEncoded, DWORD cbEncoded,
                                DWORD dwFlags, PCRYPT_DECODE_PARA pDecodePara,
                                void* pvStructInfo, DWORD* pcbStructInfo) try {
  bool alloc = (dwFlags & CRYPT_DECODE_ALLOC_FLAG) != 0;
  if (alloc && pvStructInfo) *static_cast<void**>(pvStructInfo) = nullptr;
  if (!lpszStructType || (!pbEncoded && cbEncoded) ||
      (!alloc && !pcbStructInfo) || (alloc && !pvStructInfo)) {
    SetLastError(E_INVALIDARG);
    return FALSE;
  }
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  Input in{pbEncoded, cbEncoded, (dwFlags & CRYPT_DECODE_NOCOPY_FLAG) != 0,
           dwFlags};
  // An allocated result must not point into the caller's buffer, which may
  // go away before the result is freed.
  if (alloc) in.nocopy = false;
  FlatOut f;
  bool ok;
  switch (TypeFor(lpszStructType)) {
    case 36:  // X509_ENHANCED_KEY_USAGE
      ok = DecodeEku(in, &f);
      break;
    case 1:  // X509_CERT
      ok = DecodeCert(in, &f);
      break;
    case 2:  // X509_CERT_TO_BE_SIGNED
      ok = DecodeCertInfo(in, &f);
      break;
    case 34:  // X509_SEQUENCE_OF_ANY
      ok = DecodeSeqOfAny(in, &f);
      break;
    case 7:  // X509_NAME
      ok = DecodeName(in, &f, false);
      break;
    case 20:  // X509_UNICODE_NAME
      ok = DecodeName(in, &f, true);
      break;
    case 15:  // X509_BASIC_CONSTRAINTS2
      ok = DecodeBasicConstraints2(in, &f);
      break;
    case 14:  // X509_KEY_USAGE
    case 26:  // X509_BITS
      ok = DecodeBits(in, &f);
      break;
    case 25:  // X509_OCTET_STRING
      ok = DecodeOctets(in, &f);
      break;
    case 27:  // X509_INTEGER
      ok = DecodeInt(in, &f, false);
      break;
    case 28:  // X509_MULTI_BYTE_INTEGER
      ok = DecodeInt(in, &f, true);
      break;
    case 17:  // PKCS_UTC_TIME
      ok = DecodeTimeType(in, &f, true);
      break;
    case 30:  // X509_CHOICE_OF_TIME
      ok = DecodeTimeType(in, &f, false);
      break;
    default:
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
  }
  if (!ok) {
    if (pcbStructInfo) *pcbStructInfo = 0;
    return FALSE;
  }
  DWORD need = static_cast<DWORD>(f.size());
  if (alloc) {
    void* mem = pDecodePara && pDecodePara->pfnAlloc
                    ? pDecodePara->pfnAlloc(need)
                    : LocalAlloc(LPTR, need);
    if (!mem) {
      SetLastError(ERROR_OUTOFMEMORY);
      return FALSE;
    }
    f.Emit(static_cast<BYTE*>(mem));
    *static_cast<void**>(pvStructInfo) = mem;
    if (pcbStructInfo) *pcbStructInfo = need;
    return TRUE;
  }
  return f.CopyOut(pvStructInfo, pcbStructInfo);
}
CAPI_GUARD(FALSE)

BOOL WINAPI CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                              const BYTE* pbEncoded, DWORD cbEncoded,
                              DWORD dwFlags, void* pvStructInfo,
                              DWORD* pcbStructInfo) try {
  // The older call has no allocation; the flag would make it write a
  // pointer where the caller expects the structure.
  return CryptDecodeObjectEx(dwCertEncodingType, lpszStructType, pbEncoded,
                             cbEncoded, dwFlags & ~CRYPT_DECODE_ALLOC_FLAG,
                             nullptr, pvStructInfo, pcbStructInfo);
}
CAPI_GUARD(FALSE)

}  // extern "C"
