#include "chain/sig_verify.h"

#include <cstring>

#include "base/c_boundary.h"
#include "base/gost_algorithms.h"
#include "base/handles.h"
#include "x509/certificate.h"

namespace tavrix::provider::chain {

namespace {

// The failing call's own error, or `fallback` when it left none.
BOOL FailFromLastError(DWORD fallback) {
  DWORD e = GetLastError();
  return Fail(e ? e : fallback);
}

}  // namespace

bool CheckGostSignature(const uint8_t* data, size_t len,
                        const std::string& sig_alg, const Bytes& signature,
                        const CERT_PUBLIC_KEY_INFO& key) {
  const gost::Algorithms* alg = gost::ForSignatureOid(sig_alg);
  if (!alg || !key.Algorithm.pszObjId ||
      std::strcmp(key.Algorithm.pszObjId, alg->key_oid) != 0)
    return Fail(NTE_BAD_ALGID);
  if (signature.size() != alg->signature_size) return Fail(NTE_BAD_SIGNATURE);
  if (len > 0xFFFFFFFFu) return Fail(NTE_BAD_LEN);

  ProvHandle prov;
  if (!CryptAcquireContextA(prov.out(), nullptr, nullptr, alg->prov_type,
                            CRYPT_VERIFYCONTEXT))
    return FailFromLastError(NTE_PROV_TYPE_NOT_DEF);
  CERT_PUBLIC_KEY_INFO info = key;
  KeyHandle hkey;
  if (!CryptImportPublicKeyInfo(prov.get(), X509_ASN_ENCODING, &info,
                                hkey.out()))
    return FailFromLastError(NTE_BAD_PUBLIC_KEY);
  HashHandle hash;
  if (!CryptCreateHash(prov.get(), alg->hash_alg, 0, 0, hash.out()) ||
      !CryptHashData(hash.get(), data, static_cast<DWORD>(len), 0))
    return FailFromLastError(NTE_BAD_HASH);
  // The provider takes signatures little-endian: the reverse of the encoded
  // value.
  Bytes reversed(signature.rbegin(), signature.rend());
  if (!CryptVerifySignatureW(hash.get(), reversed.data(),
                             static_cast<DWORD>(reversed.size()), hkey.get(),
                             nullptr, 0))
    return FailFromLastError(NTE_BAD_SIGNATURE);
  return true;
}

}  // namespace tavrix::provider::chain

extern "C" CAPI_EXPORT BOOL WINAPI CryptVerifyCertificateSignature(
    HCRYPTPROV_LEGACY /*hCryptProv*/, DWORD dwCertEncodingType,
    const BYTE* pbEncoded, DWORD cbEncoded,
    PCERT_PUBLIC_KEY_INFO pPublicKey) try {
  using namespace tavrix::provider;
  using namespace tavrix::provider::chain;
  if (!pbEncoded || cbEncoded == 0 || !pPublicKey)
    return Fail(ERROR_INVALID_PARAMETER);
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING)
    return Fail(CRYPT_E_UNKNOWN_ALGO);
  x509::SignedParts parts;
  if (!x509::ParseSigned(pbEncoded, cbEncoded, &parts))
    return Fail(CRYPT_E_ASN1_BADTAG);
  if (!CheckGostSignature(parts.tbs.start, parts.tbs.total(), parts.sig_alg,
                          parts.signature, *pPublicKey))
    return FALSE;
  SetLastError(0);
  return TRUE;
}
CAPI_GUARD(FALSE)
