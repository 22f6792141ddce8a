#include "chain/sig_verify.h"

#include <capi/gost.h>

#include <algorithm>
#include <cstring>

#include "base/c_boundary.h"
#include "x509/certificate.h"

namespace tavrix::provider::chain {

namespace {

struct GostAlg {
  const char* sig_oid;
  const char* key_oid;
  ALG_ID hash;
  DWORD prov_type;
  size_t sig_len;
};

const GostAlg kAlgs[] = {
    {szOID_CP_GOST_R3411_R3410EL, szOID_CP_GOST_R3410EL, CALG_GR3411,
     PROV_GOST_2001_DH, 64},
    {szOID_CP_GOST_R3411_12_256_R3410, szOID_CP_GOST_R3410_12_256,
     CALG_GR3411_2012_256, PROV_GOST_2012_256, 64},
    {szOID_CP_GOST_R3411_12_512_R3410, szOID_CP_GOST_R3410_12_512,
     CALG_GR3411_2012_512, PROV_GOST_2012_512, 128},
};

}  // namespace

DWORD VerifyGostSignature(const uint8_t* data, size_t len,
                          const std::string& sig_alg, const Bytes& signature,
                          const CERT_PUBLIC_KEY_INFO& key) {
  const GostAlg* alg = nullptr;
  for (const GostAlg& a : kAlgs)
    if (sig_alg == a.sig_oid) alg = &a;
  if (!alg || !key.Algorithm.pszObjId ||
      std::strcmp(key.Algorithm.pszObjId, alg->key_oid) != 0)
    return NTE_BAD_ALGID;
  if (signature.size() != alg->sig_len) return NTE_BAD_SIGNATURE;
  if (len > 0xFFFFFFFFu) return NTE_BAD_LEN;

  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, nullptr, nullptr, alg->prov_type,
                            CRYPT_VERIFYCONTEXT)) {
    DWORD e = GetLastError();
    return e ? e : NTE_PROV_TYPE_NOT_DEF;
  }
  DWORD result = 0;
  HCRYPTKEY hkey = 0;
  HCRYPTHASH hhash = 0;
  CERT_PUBLIC_KEY_INFO info = key;
  // The provider takes signatures little-endian: the reverse of the encoded
  // value.
  Bytes reversed(signature.rbegin(), signature.rend());
  if (!CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING, &info, &hkey)) {
    result = GetLastError();
    if (!result) result = NTE_BAD_PUBLIC_KEY;
  } else if (!CryptCreateHash(prov, alg->hash, 0, 0, &hhash) ||
             !CryptHashData(hhash, data, static_cast<DWORD>(len), 0)) {
    result = GetLastError();
    if (!result) result = NTE_BAD_HASH;
  } else if (!CryptVerifySignatureW(hhash, reversed.data(),
                                    static_cast<DWORD>(reversed.size()), hkey,
                                    nullptr, 0)) {
    result = GetLastError();
    if (!result) result = NTE_BAD_SIGNATURE;
  }
  if (hhash) CryptDestroyHash(hhash);
  if (hkey) CryptDestroyKey(hkey);
  CryptReleaseContext(prov, 0);
  return result;
}

}  // namespace tavrix::provider::chain

extern "C" CAPI_EXPORT BOOL WINAPI CryptVerifyCertificateSignature(
    HCRYPTPROV_LEGACY /*hCryptProv*/, DWORD dwCertEncodingType,
    const BYTE* pbEncoded, DWORD cbEncoded,
    PCERT_PUBLIC_KEY_INFO pPublicKey) try {
  using namespace tavrix::provider;
  using namespace tavrix::provider::chain;
  if (!pbEncoded || cbEncoded == 0 || !pPublicKey) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING) {
    SetLastError(CRYPT_E_UNKNOWN_ALGO);
    return FALSE;
  }
  x509::SignedParts parts;
  if (!x509::ParseSigned(pbEncoded, cbEncoded, &parts)) {
    SetLastError(CRYPT_E_ASN1_BADTAG);
    return FALSE;
  }
  DWORD err = VerifyGostSignature(parts.tbs.start, parts.tbs.total(),
                                  parts.sig_alg, parts.signature, *pPublicKey);
  if (err) {
    SetLastError(err);
    return FALSE;
  }
  SetLastError(0);
  return TRUE;
}
CAPI_GUARD(FALSE)
