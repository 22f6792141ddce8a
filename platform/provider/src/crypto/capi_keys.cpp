// Key objects: a provider's own key pair, and public keys imported from a
// certificate's SubjectPublicKeyInfo to verify with.
#include <capi/capi.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/c_boundary.h"
#include "crypto/capi_objects.h"
#include "crypto/gost_key.h"

namespace tavrix::provider {
namespace {

ALG_ID KeyAlg(const gost::GostKey& key, DWORD spec) {
  const gost::Algorithms& a = gost::ForFamily(key.family());
  return spec == AT_KEYEXCHANGE ? a.exchange_alg : a.sign_alg;
}

}  // namespace
}  // namespace tavrix::provider

using namespace tavrix::provider;  // NOLINT: the exported names are global

extern "C" {

CAPI_EXPORT BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec,
                                        HCRYPTKEY* phUserKey) try {
  std::shared_ptr<ProviderObj> prov = Providers().Get(hProv);
  if (!prov) return Fail(ERROR_INVALID_HANDLE);
  if (!phUserKey) return Fail(ERROR_INVALID_PARAMETER);
  if (!ValidKeySpec(dwKeySpec)) return Fail(NTE_BAD_KEY);
  if (!prov->key) return Fail(NTE_NO_KEY);
  auto k = std::make_shared<KeyObj>();
  k->key = prov->key;
  k->alg = KeyAlg(*prov->key, dwKeySpec);
  *phUserKey = Keys().Add(std::move(k));
  return TRUE;
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) try {
  if (!Keys().Release(hKey)) return Fail(NTE_BAD_KEY);
  return TRUE;
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptGetKeyParam(HCRYPTKEY hKey, DWORD dwParam,
                                         BYTE* pbData, DWORD* pdwDataLen,
                                         DWORD dwFlags) try {
  std::shared_ptr<KeyObj> k = Keys().Get(hKey);
  if (!k) return Fail(NTE_BAD_KEY);
  if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
  if (dwFlags) return Fail(NTE_BAD_FLAGS);
  switch (dwParam) {
    case KP_ALGID:
      return CopyOutDword(k->alg, pbData, pdwDataLen);
    case KP_KEYLEN:
      return CopyOutDword(static_cast<DWORD>(k->key->curve().size * 8), pbData,
                          pdwDataLen);
  }
  return Fail(NTE_BAD_TYPE);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV hCryptProv,
                                                 DWORD dwCertEncodingType,
                                                 PCERT_PUBLIC_KEY_INFO pInfo,
                                                 HCRYPTKEY* phKey) try {
  if (!Providers().Get(hCryptProv)) return Fail(ERROR_INVALID_HANDLE);
  if (!pInfo || !phKey || !(dwCertEncodingType & X509_ASN_ENCODING))
    return Fail(ERROR_INVALID_PARAMETER);
  if (!pInfo->Algorithm.pszObjId) return Fail(NTE_BAD_ALGID);
  if (pInfo->PublicKey.cUnusedBits != 0 ||
      (!pInfo->PublicKey.pbData && pInfo->PublicKey.cbData))
    return Fail(NTE_BAD_PUBLIC_KEY);
  const CRYPT_OBJID_BLOB& params = pInfo->Algorithm.Parameters;
  auto key = gost::GostKey::FromPublicKeyInfo(
      pInfo->Algorithm.pszObjId, params.cbData ? params.pbData : nullptr,
      params.pbData ? params.cbData : 0, pInfo->PublicKey.pbData,
      pInfo->PublicKey.cbData);
  if (!key) return FALSE;
  auto k = std::make_shared<KeyObj>();
  k->alg = gost::ForFamily(key->family()).sign_alg;
  k->key = std::move(key);
  *phKey = Keys().Add(std::move(k));
  return TRUE;
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptExportPublicKeyInfo(HCRYPTPROV hCryptProv,
                                                 DWORD dwKeySpec,
                                                 DWORD dwCertEncodingType,
                                                 PCERT_PUBLIC_KEY_INFO pInfo,
                                                 DWORD* pcbInfo) try {
  std::shared_ptr<ProviderObj> prov = Providers().Get(hCryptProv);
  if (!prov) return Fail(ERROR_INVALID_HANDLE);
  if (!pcbInfo || !(dwCertEncodingType & X509_ASN_ENCODING))
    return Fail(ERROR_INVALID_PARAMETER);
  if (!ValidKeySpec(dwKeySpec)) return Fail(NTE_BAD_KEY);
  if (!prov->key) return Fail(NTE_NO_KEY);
  const gost::GostKey& key = *prov->key;
  const std::string oid = gost::ForFamily(key.family()).key_oid;
  const std::vector<uint8_t>& params = key.params_der();
  const std::vector<uint8_t> bits = key.PublicKeyBits();
  // One block: the structure, then the OID text, parameters and key bits
  // it points to.
  const size_t need = sizeof(CERT_PUBLIC_KEY_INFO) + oid.size() + 1 +
                      params.size() + bits.size();
  if (!pInfo || *pcbInfo < need) return CopyOut(nullptr, need, pInfo, pcbInfo);
  BYTE* p = reinterpret_cast<BYTE*>(pInfo) + sizeof(CERT_PUBLIC_KEY_INFO);
  std::memset(pInfo, 0, sizeof *pInfo);
  std::memcpy(p, oid.c_str(), oid.size() + 1);
  pInfo->Algorithm.pszObjId = reinterpret_cast<LPSTR>(p);
  p += oid.size() + 1;
  std::memcpy(p, params.data(), params.size());
  pInfo->Algorithm.Parameters.pbData = p;
  pInfo->Algorithm.Parameters.cbData = static_cast<DWORD>(params.size());
  p += params.size();
  std::memcpy(p, bits.data(), bits.size());
  pInfo->PublicKey.pbData = p;
  pInfo->PublicKey.cbData = static_cast<DWORD>(bits.size());
  pInfo->PublicKey.cUnusedBits = 0;
  *pcbInfo = static_cast<DWORD>(need);
  return TRUE;
}
CAPI_GUARD(FALSE)

}  // extern "C"
