// Certificate contexts: parsing, reference counts, properties, comparisons.

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

std::string KeyContainerName(const CERT_INFO* info) {
  const CRYPT_BIT_BLOB& k = info->SubjectPublicKeyInfo.PublicKey;
  std::vector<BYTE> h = x509::Sha1(k.pbData, k.cbData);
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
  return x509::Sha1(k.pbData, k.cbData);
}

static CRYPT_ALGORITHM_IDENTIFIER AlgId(const std::string& oid,
                                        const Tlv& params) {
  CRYPT_ALGORITHM_IDENTIFIER a{};
  a.pszObjId = const_cast<char*>(oid.c_str());
  a.Parameters.pbData = const_cast<BYTE*>(params.start);
  a.Parameters.cbData = static_cast<DWORD>(params.total());
  return a;
}

static CRYPT_BIT_BLOB BitBlob(const x509::BitsView& b) {
  CRYPT_BIT_BLOB out{};
  out.pbData = const_cast<BYTE*>(b.data);
  out.cbData = static_cast<DWORD>(b.size);
  out.cUnusedBits = b.unused;
  return out;
}

static CERT_NAME_BLOB NameBlob(const Tlv& name) {
  return CERT_NAME_BLOB{static_cast<DWORD>(name.total()),
                        const_cast<BYTE*>(name.start)};
}

// CERT_INFO of `c->cert`, its pointers views into that certificate.
static bool FillInfo(ParsedCert* c) {
  const x509::Certificate& x = c->cert;
  // Names are rendered from CERT_INFO later: one that does not read as a
  // Name is refused with the certificate.
  ParsedName scratch;
  if (!ParseName(x.issuer_name.start, x.issuer_name.total(), &scratch) ||
      !ParseName(x.subject_name.start, x.subject_name.total(), &scratch))
    return false;
  CERT_INFO& info = c->info;
  info.dwVersion = x.version;
  c->serial.assign(x.serial.rbegin(), x.serial.rend());
  info.SerialNumber.cbData = static_cast<DWORD>(c->serial.size());
  info.SerialNumber.pbData = c->serial.data();
  info.SignatureAlgorithm = AlgId(x.tbs_sig_alg, x.tbs_sig_params);
  info.Issuer = NameBlob(x.issuer_name);
  info.NotBefore = UnixToFileTime(x.not_before);
  info.NotAfter = UnixToFileTime(x.not_after);
  info.Subject = NameBlob(x.subject_name);
  info.SubjectPublicKeyInfo.Algorithm = AlgId(x.key_alg, x.key_params);
  info.SubjectPublicKeyInfo.PublicKey = BitBlob(x.key);
  info.IssuerUniqueId = BitBlob(x.issuer_unique_id);
  info.SubjectUniqueId = BitBlob(x.subject_unique_id);
  c->exts.resize(x.extensions.size());
  for (size_t i = 0; i < x.extensions.size(); ++i) {
    const x509::Extension& e = x.extensions[i];
    c->exts[i].pszObjId = const_cast<char*>(e.oid.c_str());
    c->exts[i].fCritical = e.critical ? TRUE : FALSE;
    c->exts[i].Value.pbData = const_cast<BYTE*>(e.value.value);
    c->exts[i].Value.cbData = static_cast<DWORD>(e.value.len);
  }
  info.cExtension = static_cast<DWORD>(c->exts.size());
  info.rgExtension = c->exts.empty() ? nullptr : c->exts.data();
  return true;
}

Parsed ParseCertificate(const BYTE* p, DWORD n, bool checkShape) {
  Tlv outer;
  if (!p || !ReadTlv(p, n, &outer) || outer.tag != kTagSequence) {
    SetLastError(p ? CRYPT_E_ASN1_BADTAG : ERROR_INVALID_PARAMETER);
    if (p && n && p[0] == kTagSequence) SetLastError(CRYPT_E_ASN1_EOD);
    return nullptr;
  }
  // Bytes after the certificate are not part of it.
  auto c = std::make_shared<ParsedCert>();
  if (!x509::ParseCertificate(p, outer.total(), &c->cert) ||
      !FillInfo(c.get()) ||
      (checkShape &&
       !CertificateShapeIsValid(c->encoded().data(), c->encoded().size())))
    return FailWith(CRYPT_E_ASN1_BADTAG, nullptr);
  return c;
}

CertObject::CertObject(Parsed p)
    : parsed(std::move(p)), info(parsed->info), exts(parsed->exts) {
  info.rgExtension = exts.empty() ? nullptr : exts.data();
  ctx.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  // CryptoAPI's context type has no const here; nobody writes through it.
  ctx.pbCertEncoded = const_cast<BYTE*>(parsed->encoded().data());
  ctx.cbCertEncoded = static_cast<DWORD>(parsed->encoded().size());
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
  DWORD type = ProvTypeForKeyOid(c->parsed->cert.key_alg);
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
      std::vector<BYTE> h =
          x509::Sha1(c->encoded().data(), c->encoded().size());
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
