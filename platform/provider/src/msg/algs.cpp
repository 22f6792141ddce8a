#include "msg/algs.h"

#include "base/gost_algorithms.h"

namespace tavrix::provider::msg {

ALG_ID HashAlgFromOid(const std::string& oid) {
  if (const gost::Algorithms* a = gost::ForHashOid(oid)) return a->hash_alg;
  if (oid == szOID_OIWSEC_sha1) return CALG_SHA1;
  if (oid == szOID_NIST_sha256) return CALG_SHA_256;
  return 0;
}

DWORD HashSize(ALG_ID alg) {
  if (const gost::Algorithms* a = gost::ForHashAlg(alg))
    return static_cast<DWORD>(a->hash_size);
  if (alg == CALG_SHA_256) return 32;
  if (alg == CALG_SHA1) return 20;
  return 0;
}

std::string SignatureOidFor(const char* key_alg_oid, ALG_ID hash) {
  if (key_alg_oid) {
    const gost::Algorithms* a = gost::ForKeyOid(key_alg_oid);
    if (a && std::string(a->key_oid) == key_alg_oid) return key_alg_oid;
  }
  const gost::Algorithms* a = gost::ForHashAlg(hash);
  return a ? a->key_oid : gost::ForFamily(gost::KeyFamily::k2001).key_oid;
}

DWORD SignatureSizeFor(const std::string& sig_oid, ALG_ID hash) {
  // Signatures are named by the signature algorithm or, as the GOST engine
  // writes them, by the key's own algorithm.
  const gost::Algorithms* a = nullptr;
  if (sig_oid.empty())
    a = gost::ForHashAlg(hash);
  else if (!(a = gost::ForSignatureOid(sig_oid)))
    a = gost::ForKeyOid(sig_oid);
  return a ? static_cast<DWORD>(a->signature_size) : 64;
}

bool AcquireVerifyProvider(const std::string& key_oid, ALG_ID hash,
                           HCRYPTPROV* out) {
  const gost::Algorithms* a =
      key_oid.empty() ? gost::ForHashAlg(hash) : gost::ForKeyOid(key_oid);
  const DWORD first = a ? a->prov_type : PROV_GOST_2012_256;
  const DWORD order[] = {first, PROV_GOST_2012_256, PROV_GOST_2012_512,
                         PROV_GOST_2001_DH};
  DWORD last = 0;
  for (DWORD type : order) {
    HCRYPTPROV h = 0;
    if (CryptAcquireContextA(&h, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT)) {
      *out = h;
      return true;
    }
    last = GetLastError();
  }
  SetLastError(last ? last : static_cast<DWORD>(NTE_PROV_TYPE_NOT_DEF));
  return false;
}

}  // namespace tavrix::provider::msg
