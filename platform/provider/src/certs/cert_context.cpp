// Certificate contexts: parsing, reference counts, properties, comparisons.
#include <nettle/sha1.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "base/c_boundary.h"
#include "base/gost_algorithms.h"
#include "certs/certs_internal.h"
#include "crypto/key_store.h"
#include "text/text.h"

// Key containers live in libcapi10; a build without them still links and
// reports that no key is there.
namespace tavrix::provider {
__attribute__((weak)) bool ContainerExists(const std::string& container);
}

namespace tavrix::provider::certs {

std::vector<BYTE> Sha1(const BYTE* p, size_t n) {
  sha1_ctx c;
  sha1_init(&c);
  sha1_update(&c, n, p);
  std::vector<BYTE> out(SHA1_DIGEST_SIZE);
  sha1_digest(&c, SHA1_DIGEST_SIZE, out.data());
  return out;
}

std::string KeyContainerName(const CERT_INFO* info) {
  const CRYPT_BIT_BLOB& k = info->SubjectPublicKeyInfo.PublicKey;
  std::vector<BYTE> h = Sha1(k.pbData, k.cbData);
  return text::HexLower(h.data(), h.size());
}

DWORD ProvTypeForKeyOid(const std::string& oid) {
  // Only the signature form of a key names a container's provider type.
  const gost::Algorithms* a = gost::ForKeyOid(oid);
  return a && oid == a->key_oid ? a->prov_type : 0;
}

std::vector<BYTE> KeyIdentifier(const CertObject& c) {
  for (const CERT_EXTENSION& e : c.parsed->exts) {
    if (strcmp(e.pszObjId, szOID_SUBJECT_KEY_IDENTIFIER) != 0) continue;
    Tlv t;
    if (ReadTlv(e.Value.pbData, e.Value.cbData, &t) && t.tag == kTagOctetString)
      return std::vector<BYTE>(t.value, t.value + t.len);
  }
  const CRYPT_BIT_BLOB& k = c.parsed->info.SubjectPublicKeyInfo.PublicKey;
  return Sha1(k.pbData, k.cbData);
}

static bool ParseInto(ParsedCert* c) {
  const BYTE* base = c->encoded.data();
  Tlv cert, tbs, sigAlg, sigVal;
  if (!ReadTlv(base, c->encoded.size(), &cert) || cert.tag != kTagSequence)
    return false;
  DefiniteReader top(cert);
  if (!top.Expect(kTagSequence, &tbs) || !top.Expect(kTagSequence, &sigAlg) ||
      !top.Expect(kTagBitString, &sigVal) || !top.AtEnd())
    return false;
  if (sigVal.len < 1 || sigVal.value[0] > 7) return false;
  c->tbs = tbs.start;
  c->tbsLen = tbs.total();
  c->sigUnused = sigVal.value[0];
  c->sigValue = sigVal.value + 1;
  c->sigLen = sigVal.len - 1;

  CERT_INFO& info = c->info;
  memset(&info, 0, sizeof info);
  DefiniteReader r(tbs);
  Tlv t;
  info.dwVersion = CERT_V1;
  bool present = false;
  if (!r.Optional(0xA0, &t, &present)) return false;
  if (present) {
    DefiniteReader v(t);
    Tlv vi;
    if (!v.Expect(kTagInteger, &vi) || !v.AtEnd() || vi.len != 1 ||
        vi.value[0] > 2)
      return false;
    info.dwVersion = vi.value[0];
  }
  Tlv serial;
  if (!r.Expect(kTagInteger, &serial) || serial.len == 0) return false;
  c->serial.assign(serial.value, serial.value + serial.len);
  std::reverse(c->serial.begin(), c->serial.end());
  info.SerialNumber.cbData = static_cast<DWORD>(c->serial.size());
  info.SerialNumber.pbData = c->serial.data();

  Tlv alg;
  const uint8_t* prm;
  size_t prmLen;
  if (!r.Expect(kTagSequence, &alg) ||
      !ParseAlgId(alg, &c->sigOid, &prm, &prmLen))
    return false;
  info.SignatureAlgorithm.pszObjId = &c->sigOid[0];
  info.SignatureAlgorithm.Parameters.pbData = const_cast<BYTE*>(prm);
  info.SignatureAlgorithm.Parameters.cbData = static_cast<DWORD>(prmLen);
  {
    // The outer algorithm must name an identifier too.
    std::string outer;
    if (!ParseAlgId(sigAlg, &outer, &prm, &prmLen)) return false;
  }

  Tlv issuer, validity, subject, spki;
  ParsedName scratch;
  if (!r.Expect(kTagSequence, &issuer) ||
      !ParseName(issuer.start, issuer.total(), &scratch))
    return false;
  info.Issuer.pbData = const_cast<BYTE*>(issuer.start);
  info.Issuer.cbData = static_cast<DWORD>(issuer.total());
  if (!r.Expect(kTagSequence, &validity)) return false;
  {
    DefiniteReader v(validity);
    Tlv nb, na;
    if (!v.Next(&nb) || !v.Next(&na) || !v.AtEnd() ||
        !DecodeTime(nb, &info.NotBefore) || !DecodeTime(na, &info.NotAfter))
      return false;
  }
  if (!r.Expect(kTagSequence, &subject) ||
      !ParseName(subject.start, subject.total(), &scratch))
    return false;
  info.Subject.pbData = const_cast<BYTE*>(subject.start);
  info.Subject.cbData = static_cast<DWORD>(subject.total());
  if (!r.Expect(kTagSequence, &spki)) return false;
  {
    DefiniteReader k(spki);
    Tlv kalg, bits;
    if (!k.Expect(kTagSequence, &kalg) ||
        !ParseAlgId(kalg, &c->keyOid, &prm, &prmLen) ||
        !k.Expect(kTagBitString, &bits) || !k.AtEnd() || bits.len < 1 ||
        bits.value[0] > 7)
      return false;
    info.SubjectPublicKeyInfo.Algorithm.pszObjId = &c->keyOid[0];
    info.SubjectPublicKeyInfo.Algorithm.Parameters.pbData =
        const_cast<BYTE*>(prm);
    info.SubjectPublicKeyInfo.Algorithm.Parameters.cbData =
        static_cast<DWORD>(prmLen);
    info.SubjectPublicKeyInfo.PublicKey.cUnusedBits = bits.value[0];
    info.SubjectPublicKeyInfo.PublicKey.pbData =
        const_cast<BYTE*>(bits.value + 1);
    info.SubjectPublicKeyInfo.PublicKey.cbData =
        static_cast<DWORD>(bits.len - 1);
  }
  Tlv uid;
  if (!r.Optional(0x81, &uid, &present)) return false;
  if (present && uid.len >= 1) {
    info.IssuerUniqueId.cUnusedBits = uid.value[0] & 7;
    info.IssuerUniqueId.pbData = const_cast<BYTE*>(uid.value + 1);
    info.IssuerUniqueId.cbData = static_cast<DWORD>(uid.len - 1);
  }
  if (!r.Optional(0x82, &uid, &present)) return false;
  if (present && uid.len >= 1) {
    info.SubjectUniqueId.cUnusedBits = uid.value[0] & 7;
    info.SubjectUniqueId.pbData = const_cast<BYTE*>(uid.value + 1);
    info.SubjectUniqueId.cbData = static_cast<DWORD>(uid.len - 1);
  }
  Tlv extsWrap;
  if (!r.Optional(0xA3, &extsWrap, &present)) return false;
  if (present) {
    DefiniteReader w(extsWrap);
    Tlv seq;
    if (!w.Expect(kTagSequence, &seq) || !w.AtEnd()) return false;
    DefiniteReader e(seq);
    std::vector<Tlv> values;
    std::vector<BOOL> crit;
    while (!e.AtEnd()) {
      Tlv ext, oid, b, val;
      if (!e.Expect(kTagSequence, &ext)) return false;
      DefiniteReader x(ext);
      if (!x.Expect(kTagOid, &oid)) return false;
      BOOL critical = FALSE;
      if (!x.Optional(kTagBoolean, &b, &present)) return false;
      if (present) {
        if (b.len != 1) return false;
        critical = b.value[0] ? TRUE : FALSE;
      }
      if (!x.Expect(kTagOctetString, &val) || !x.AtEnd()) return false;
      std::string o = OidToString(oid.value, oid.len);
      if (o.empty()) return false;
      c->extOids.push_back(o);
      values.push_back(val);
      crit.push_back(critical);
    }
    c->exts.resize(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
      c->exts[i].pszObjId = &c->extOids[i][0];
      c->exts[i].fCritical = crit[i];
      c->exts[i].Value.pbData = const_cast<BYTE*>(values[i].value);
      c->exts[i].Value.cbData = static_cast<DWORD>(values[i].len);
    }
    info.cExtension = static_cast<DWORD>(c->exts.size());
    info.rgExtension = c->exts.empty() ? nullptr : c->exts.data();
  }
  if (!r.AtEnd()) return false;
  return true;
}

Parsed ParseCertificate(const BYTE* p, DWORD n, bool checkShape) {
  Tlv outer;
  if (!p || !ReadTlv(p, n, &outer) || outer.tag != kTagSequence) {
    SetLastError(p ? CRYPT_E_ASN1_BADTAG : ERROR_INVALID_PARAMETER);
    if (p && n && p[0] == kTagSequence) SetLastError(CRYPT_E_ASN1_EOD);
    return nullptr;
  }
  auto c = std::make_shared<ParsedCert>();
  c->encoded.assign(p, p + outer.total());
  if (!ParseInto(c.get()) ||
      (checkShape &&
       !CertificateShapeIsValid(c->encoded.data(), c->encoded.size())))
    return FailWith(CRYPT_E_ASN1_BADTAG, nullptr);
  return c;
}

CertObject::CertObject(Parsed p)
    : parsed(std::move(p)), info(parsed->info), exts(parsed->exts) {
  info.rgExtension = exts.empty() ? nullptr : exts.data();
  ctx.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  // CryptoAPI's context type has no const here; nobody writes through it.
  ctx.pbCertEncoded = const_cast<BYTE*>(parsed->encoded.data());
  ctx.cbCertEncoded = static_cast<DWORD>(parsed->encoded.size());
  ctx.pCertInfo = &info;
  ctx.hCertStore = nullptr;
}

ContextTable& Contexts() { return LiveHandles<CertObject, PCCERT_CONTEXT>(); }

std::shared_ptr<CertObject> FromContext(PCCERT_CONTEXT c) {
  return c ? Contexts().Get(c) : nullptr;
}

static BOOL KeyProvInfo(CertObject* c, void* pv, DWORD* pcb) {
  {
    std::lock_guard<std::mutex> g(c->propLock);
    auto it = c->props.find(CERT_KEY_PROV_INFO_PROP_ID);
    if (it != c->props.end()) {
      // Stored flat; re-point the strings at the caller's copy.
      std::vector<BYTE> copy = it->second;
      BOOL ok = CopyOut(copy.data(), copy.size(), pv, pcb);
      if (ok && pv) {
        CRYPT_KEY_PROV_INFO* k = static_cast<CRYPT_KEY_PROV_INFO*>(pv);
        BYTE* base = static_cast<BYTE*>(pv);
        ptrdiff_t off = reinterpret_cast<ptrdiff_t>(k->pwszContainerName);
        k->pwszContainerName =
            off ? reinterpret_cast<LPWSTR>(base + off) : nullptr;
        off = reinterpret_cast<ptrdiff_t>(k->pwszProvName);
        k->pwszProvName = off ? reinterpret_cast<LPWSTR>(base + off) : nullptr;
        k->rgProvParam = nullptr;
        k->cProvParam = 0;
      }
      return ok;
    }
  }
  DWORD type = ProvTypeForKeyOid(c->parsed->keyOid);
  std::string container = KeyContainerName(&c->info);
  if (!type || !&tavrix::provider::ContainerExists ||
      !tavrix::provider::ContainerExists(container))
    return Fail(CRYPT_E_NOT_FOUND);
  std::wstring wname(container.begin(), container.end());
  DWORD need = static_cast<DWORD>(sizeof(CRYPT_KEY_PROV_INFO) +
                                  (wname.size() + 1) * sizeof(WCHAR));
  if (!pv || !pcb || *pcb < need) return CopyOut(nullptr, need, pv, pcb);
  CRYPT_KEY_PROV_INFO* k = static_cast<CRYPT_KEY_PROV_INFO*>(pv);
  memset(k, 0, sizeof *k);
  WCHAR* name = reinterpret_cast<WCHAR*>(k + 1);
  wmemcpy(name, wname.c_str(), wname.size() + 1);
  k->pwszContainerName = name;
  k->pwszProvName = nullptr;  // the default provider of the type
  k->dwProvType = type;
  k->dwKeySpec = AT_KEYEXCHANGE;
  *pcb = need;
  return TRUE;
}

}  // namespace tavrix::provider::certs

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::certs;

extern "C" {

PCCERT_CONTEXT WINAPI CertCreateCertificateContext(DWORD dwCertEncodingType,
                                                   const BYTE* pbCertEncoded,
                                                   DWORD cbCertEncoded) try {
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING)
    return FailWith(E_INVALIDARG, PCCERT_CONTEXT(nullptr));
  Parsed parsed = ParseCertificate(pbCertEncoded, cbCertEncoded);
  if (!parsed) return nullptr;
  return HandOut(std::make_shared<CertObject>(std::move(parsed)), nullptr);
}
CAPI_GUARD(nullptr)

PCCERT_CONTEXT WINAPI CertDuplicateCertificateContext(PCCERT_CONTEXT p) try {
  return p && Contexts().Retain(p) ? p : nullptr;
}
CAPI_GUARD(nullptr)

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT p) try {
  if (!p) return TRUE;
  // The last reference may end the context's store: outside the table lock.
  std::shared_ptr<CertObject> last = Contexts().Release(p);
  return last ? TRUE : Fail(E_INVALIDARG);
}
CAPI_GUARD(FALSE)

BOOL WINAPI CertGetCertificateContextProperty(PCCERT_CONTEXT p, DWORD id,
                                              void* pvData,
                                              DWORD* pcbData) try {
  std::shared_ptr<CertObject> c = FromContext(p);
  if (!c || !pcbData) return Fail(E_INVALIDARG);
  switch (id) {
    case CERT_SHA1_HASH_PROP_ID: {
      std::vector<BYTE> h = Sha1(c->encoded().data(), c->encoded().size());
      return CopyOut(h.data(), h.size(), pvData, pcbData);
    }
    case CERT_KEY_IDENTIFIER_PROP_ID: {
      std::vector<BYTE> id = KeyIdentifier(*c);
      return CopyOut(id.data(), id.size(), pvData, pcbData);
    }
    case CERT_KEY_PROV_INFO_PROP_ID:
      return KeyProvInfo(c.get(), pvData, pcbData);
    case CERT_KEY_SPEC_PROP_ID: {
      DWORD size = 0;
      if (!KeyProvInfo(c.get(), nullptr, &size)) return FALSE;
      std::vector<BYTE> buf(size);
      if (!KeyProvInfo(c.get(), buf.data(), &size)) return FALSE;
      DWORD spec =
          reinterpret_cast<CRYPT_KEY_PROV_INFO*>(buf.data())->dwKeySpec;
      return CopyOut(&spec, sizeof spec, pvData, pcbData);
    }
    default: {
      std::lock_guard<std::mutex> g(c->propLock);
      auto it = c->props.find(id);
      if (it == c->props.end()) return Fail(CRYPT_E_NOT_FOUND);
      return CopyOut(it->second.data(), it->second.size(), pvData, pcbData);
    }
  }
}
CAPI_GUARD(FALSE)

BOOL WINAPI CertSetCertificateContextProperty(PCCERT_CONTEXT p, DWORD id,
                                              DWORD /*dwFlags*/,
                                              const void* pvData) try {
  std::shared_ptr<CertObject> c = FromContext(p);
  if (!c || id == 0) return Fail(E_INVALIDARG);
  // Derived from the encoding; a caller cannot change it.
  if (id == CERT_SHA1_HASH_PROP_ID) return Fail(E_INVALIDARG);
  std::lock_guard<std::mutex> g(c->propLock);
  if (!pvData) {
    c->props.erase(id);
    return TRUE;
  }
  std::vector<BYTE> v;
  if (id == CERT_KEY_PROV_INFO_PROP_ID) {
    // Kept flat with string offsets in place of pointers.
    const CRYPT_KEY_PROV_INFO* k =
        static_cast<const CRYPT_KEY_PROV_INFO*>(pvData);
    std::wstring cont = k->pwszContainerName ? k->pwszContainerName : L"";
    std::wstring prov = k->pwszProvName ? k->pwszProvName : L"";
    v.resize(sizeof(CRYPT_KEY_PROV_INFO) +
             (cont.size() + prov.size() + 2) * sizeof(WCHAR));
    CRYPT_KEY_PROV_INFO* out = reinterpret_cast<CRYPT_KEY_PROV_INFO*>(v.data());
    *out = *k;
    out->cProvParam = 0;
    out->rgProvParam = nullptr;
    size_t off = sizeof(CRYPT_KEY_PROV_INFO);
    memcpy(v.data() + off, cont.c_str(), (cont.size() + 1) * sizeof(WCHAR));
    out->pwszContainerName =
        k->pwszContainerName ? reinterpret_cast<LPWSTR>(off) : nullptr;
    off += (cont.size() + 1) * sizeof(WCHAR);
    memcpy(v.data() + off, prov.c_str(), (prov.size() + 1) * sizeof(WCHAR));
    out->pwszProvName =
        k->pwszProvName ? reinterpret_cast<LPWSTR>(off) : nullptr;
  } else if (id == CERT_KEY_SPEC_PROP_ID) {
    const BYTE* b = static_cast<const BYTE*>(pvData);
    v.assign(b, b + sizeof(DWORD));
  } else {
    const CRYPT_DATA_BLOB* b = static_cast<const CRYPT_DATA_BLOB*>(pvData);
    if (b->cbData && !b->pbData) return Fail(E_INVALIDARG);
    v.assign(b->pbData, b->pbData + b->cbData);
  }
  c->props[id] = std::move(v);
  return TRUE;
}
CAPI_GUARD(FALSE)

PCERT_EXTENSION WINAPI CertFindExtension(LPCSTR pszObjId, DWORD cExtensions,
                                         CERT_EXTENSION rgExtensions[]) try {
  if (!pszObjId || (cExtensions && !rgExtensions)) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  for (DWORD i = 0; i < cExtensions; ++i)
    if (rgExtensions[i].pszObjId &&
        strcmp(rgExtensions[i].pszObjId, pszObjId) == 0)
      return &rgExtensions[i];
  SetLastError(CRYPT_E_NOT_FOUND);
  return nullptr;
}
CAPI_GUARD(nullptr)

PCERT_RDN_ATTR WINAPI CertFindRDNAttr(LPCSTR pszObjId,
                                      PCERT_NAME_INFO pName) try {
  if (!pszObjId || !pName) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  for (DWORD i = 0; i < pName->cRDN; ++i) {
    CERT_RDN& r = pName->rgRDN[i];
    for (DWORD j = 0; j < r.cRDNAttr; ++j)
      if (r.rgRDNAttr[j].pszObjId &&
          strcmp(r.rgRDNAttr[j].pszObjId, pszObjId) == 0)
        return &r.rgRDNAttr[j];
  }
  SetLastError(CRYPT_E_NOT_FOUND);
  return nullptr;
}
CAPI_GUARD(nullptr)

BOOL WINAPI CertCompareIntegerBlob(PCRYPT_INTEGER_BLOB a,
                                   PCRYPT_INTEGER_BLOB b) try {
  if (!a || !b) return FALSE;
  // Little-endian: insignificant sign bytes sit at the end.
  auto sig = [](PCRYPT_INTEGER_BLOB x) {
    DWORD n = x->cbData;
    if (!x->pbData) return DWORD(0);
    while (n > 1 && ((x->pbData[n - 1] == 0 && !(x->pbData[n - 2] & 0x80)) ||
                     (x->pbData[n - 1] == 0xFF && (x->pbData[n - 2] & 0x80))))
      --n;
    return n;
  };
  DWORD na = sig(a), nb = sig(b);
  return na == nb && (na == 0 || memcmp(a->pbData, b->pbData, na) == 0);
}
CAPI_GUARD(FALSE)

BOOL WINAPI CertCompareCertificateName(DWORD, PCERT_NAME_BLOB a,
                                       PCERT_NAME_BLOB b) try {
  if (!a || !b) return Fail(E_INVALIDARG);

  return a->cbData == b->cbData &&
         (a->cbData == 0 || memcmp(a->pbData, b->pbData, a->cbData) == 0);
}
CAPI_GUARD(FALSE)

BOOL WINAPI CertCompareCertificate(DWORD enc, PCERT_INFO a, PCERT_INFO b) try {
  if (!a || !b) return Fail(E_INVALIDARG);

  return CertCompareCertificateName(enc, &a->Issuer, &b->Issuer) &&
         CertCompareIntegerBlob(&a->SerialNumber, &b->SerialNumber);
}
CAPI_GUARD(FALSE)

BOOL WINAPI CertComparePublicKeyInfo(DWORD, PCERT_PUBLIC_KEY_INFO a,
                                     PCERT_PUBLIC_KEY_INFO b) try {
  if (!a || !b) return Fail(E_INVALIDARG);

  return a->PublicKey.cbData == b->PublicKey.cbData &&
         a->PublicKey.cUnusedBits == b->PublicKey.cUnusedBits &&
         (a->PublicKey.cbData == 0 ||
          memcmp(a->PublicKey.pbData, b->PublicKey.pbData,
                 a->PublicKey.cbData) == 0);
}
CAPI_GUARD(FALSE)

LONG WINAPI CertVerifyTimeValidity(LPFILETIME pTime, PCERT_INFO pCertInfo) try {
  if (!pCertInfo) return 0;
  FILETIME now = pTime ? *pTime : UnixToFileTime(time(nullptr));
  auto val = [](const FILETIME& f) {
    return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
  };
  if (val(now) < val(pCertInfo->NotBefore)) return -1;
  if (val(now) > val(pCertInfo->NotAfter)) return 1;
  return 0;
}
CAPI_GUARD(1)

}  // extern "C"
