// Signing a hash with the provider's key and verifying a signature over one
// with a key object. CryptoAPI hands signatures across least significant
// octet first; inside they are s || r big-endian (crypto/gost_key.h).
#include <capi/capi.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "base/c_boundary.h"
#include "crypto/capi_objects.h"
#include "crypto/gost_key.h"

namespace tavrix::provider {
namespace {

BOOL SignHash(HCRYPTHASH hHash, DWORD dwKeySpec, DWORD dwFlags,
              BYTE* pbSignature, DWORD* pdwSigLen) {
  std::shared_ptr<HashObj> h = Hashes().Get(hHash);
  if (!h) return Fail(NTE_BAD_HASH);
  if (!pdwSigLen) return Fail(ERROR_INVALID_PARAMETER);
  if (!ValidKeySpec(dwKeySpec)) return Fail(NTE_BAD_KEY);
  if (dwFlags & ~static_cast<DWORD>(CRYPT_NOHASHOID))
    return Fail(NTE_BAD_FLAGS);
  std::lock_guard<std::mutex> lock(h->mu);
  const std::shared_ptr<const gost::GostKey> key = h->prov->key;
  if (!key) return Fail(NTE_NO_KEY);
  if (h->alg != gost::ForFamily(key->family()).hash_alg)
    return Fail(NTE_BAD_ALGID);
  const size_t size = key->signature_size();
  // A size query (or a short buffer) leaves the hash open for more data.
  if (!pbSignature || *pdwSigLen < size)
    return CopyOut(nullptr, size, pbSignature, pdwSigLen);
  HashFinish(h.get());
  std::vector<uint8_t> sig;
  if (!key->Sign(h->value, HashSize(h->alg), &sig) || sig.size() != size)
    return Fail(NTE_FAIL);
  std::reverse_copy(sig.begin(), sig.end(), pbSignature);
  *pdwSigLen = static_cast<DWORD>(size);
  return TRUE;
}

BOOL VerifySignature(HCRYPTHASH hHash, const BYTE* pbSignature, DWORD dwSigLen,
                     HCRYPTKEY hPubKey, DWORD dwFlags) {
  std::shared_ptr<HashObj> h = Hashes().Get(hHash);
  if (!h) return Fail(NTE_BAD_HASH);
  std::shared_ptr<KeyObj> k = Keys().Get(hPubKey);
  if (!k) return Fail(NTE_BAD_KEY);
  if (!pbSignature && dwSigLen) return Fail(ERROR_INVALID_PARAMETER);
  if (dwFlags & ~static_cast<DWORD>(CRYPT_NOHASHOID))
    return Fail(NTE_BAD_FLAGS);
  const gost::GostKey& key = *k->key;
  std::lock_guard<std::mutex> lock(h->mu);
  if (h->alg != gost::ForFamily(key.family()).hash_alg)
    return Fail(NTE_BAD_ALGID);
  if (dwSigLen != key.signature_size()) return Fail(NTE_BAD_SIGNATURE);
  HashFinish(h.get());
  std::vector<uint8_t> sig(pbSignature, pbSignature + dwSigLen);
  std::reverse(sig.begin(), sig.end());
  if (!key.Verify(h->value, HashSize(h->alg), sig.data(), sig.size()))
    return Fail(NTE_BAD_SIGNATURE);
  return TRUE;
}

}  // namespace
}  // namespace tavrix::provider

using namespace tavrix::provider;  // NOLINT: the exported names are global

extern "C" {

CAPI_EXPORT BOOL WINAPI CryptSignHashA(HCRYPTHASH hHash, DWORD dwKeySpec,
                                       LPCSTR, DWORD dwFlags, BYTE* pbSignature,
                                       DWORD* pdwSigLen) try {
  return SignHash(hHash, dwKeySpec, dwFlags, pbSignature, pdwSigLen);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptSignHashW(HCRYPTHASH hHash, DWORD dwKeySpec,
                                       LPCWSTR, DWORD dwFlags,
                                       BYTE* pbSignature,
                                       DWORD* pdwSigLen) try {
  return SignHash(hHash, dwKeySpec, dwFlags, pbSignature, pdwSigLen);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptVerifySignatureA(HCRYPTHASH hHash,
                                              const BYTE* pbSignature,
                                              DWORD dwSigLen, HCRYPTKEY hPubKey,
                                              LPCSTR, DWORD dwFlags) try {
  return VerifySignature(hHash, pbSignature, dwSigLen, hPubKey, dwFlags);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptVerifySignatureW(HCRYPTHASH hHash,
                                              const BYTE* pbSignature,
                                              DWORD dwSigLen, HCRYPTKEY hPubKey,
                                              LPCWSTR, DWORD dwFlags) try {
  return VerifySignature(hHash, pbSignature, dwSigLen, hPubKey, dwFlags);
}
CAPI_GUARD(FALSE)

}  // extern "C"
