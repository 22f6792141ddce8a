#include "msg/algs.h"

#include <cstring>

namespace tavrix::provider::msg {

ALG_ID HashAlgFromOid(const std::string& oid) {
  if (oid == szOID_CP_GOST_R3411) return CALG_GR3411;
  if (oid == szOID_CP_GOST_R3411_12_256) return CALG_GR3411_2012_256;
  if (oid == szOID_CP_GOST_R3411_12_512) return CALG_GR3411_2012_512;
  if (oid == szOID_OIWSEC_sha1) return CALG_SHA1;
  if (oid == szOID_NIST_sha256) return CALG_SHA_256;
  return 0;
}

DWORD HashSize(ALG_ID alg) {
  switch (alg) {
    case CALG_GR3411:
    case CALG_GR3411_2012_256:
    case CALG_SHA_256:
      return 32;
    case CALG_GR3411_2012_512:
      return 64;
    case CALG_SHA1:
      return 20;
    default:
      return 0;
  }
}

static bool IsGostKeyOid(const char* oid) {
  return oid && (!strcmp(oid, szOID_CP_GOST_R3410EL) ||
                 !strcmp(oid, szOID_CP_GOST_R3410_12_256) ||
                 !strcmp(oid, szOID_CP_GOST_R3410_12_512));
}

std::string SignatureOidFor(const char* key_alg_oid, ALG_ID hash) {
  if (IsGostKeyOid(key_alg_oid)) return key_alg_oid;
  switch (hash) {
    case CALG_GR3411_2012_256:
      return szOID_CP_GOST_R3410_12_256;
    case CALG_GR3411_2012_512:
      return szOID_CP_GOST_R3410_12_512;
    default:
      return szOID_CP_GOST_R3410EL;
  }
}

DWORD SignatureSizeFor(const std::string& sig_oid, ALG_ID hash) {
  if (sig_oid == szOID_CP_GOST_R3410_12_512 ||
      sig_oid == szOID_CP_GOST_R3411_12_512_R3410)
    return 128;
  if (sig_oid.empty() && hash == CALG_GR3411_2012_512) return 128;
  return 64;
}

bool AcquireVerifyProvider(const std::string& key_oid, ALG_ID hash,
                           HCRYPTPROV* out) {
  DWORD first = PROV_GOST_2012_256;
  if (key_oid == szOID_CP_GOST_R3410_12_512 ||
      (key_oid.empty() && hash == CALG_GR3411_2012_512))
    first = PROV_GOST_2012_512;
  else if (key_oid == szOID_CP_GOST_R3410EL ||
           (key_oid.empty() && hash == CALG_GR3411))
    first = PROV_GOST_2001_DH;
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
