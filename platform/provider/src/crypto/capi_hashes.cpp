// Hash objects: GOST R 34.11-94 (CryptoPro parameters) and Streebog, fed,
// read, set, copied and destroyed through their handles.
#include <capi/capi.h>
#include <nettle/gosthash94.h>
#include <nettle/streebog.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "base/c_boundary.h"
#include "crypto/capi_objects.h"

namespace tavrix::provider {
namespace {

void HashInit(HashObj* h) {
  if (h->alg == CALG_GR3411)
    gosthash94cp_init(&h->gost94);
  else if (h->alg == CALG_GR3411_2012_256)
    streebog256_init(&h->streebog);
  else
    streebog512_init(&h->streebog);
}

void HashUpdate(HashObj* h, const BYTE* p, size_t n) {
  if (h->alg == CALG_GR3411)
    gosthash94cp_update(&h->gost94, n, p);
  else
    streebog512_update(&h->streebog, n, p);  // the 256 variant shares it
}

}  // namespace

void HashFinish(HashObj* h) {
  if (h->finished) return;
  if (h->alg == CALG_GR3411)
    gosthash94cp_digest(&h->gost94, GOSTHASH94CP_DIGEST_SIZE, h->value);
  else if (h->alg == CALG_GR3411_2012_256)
    streebog256_digest(&h->streebog, STREEBOG256_DIGEST_SIZE, h->value);
  else
    streebog512_digest(&h->streebog, STREEBOG512_DIGEST_SIZE, h->value);
  h->finished = true;
}

}  // namespace tavrix::provider

using namespace tavrix::provider;  // NOLINT: the exported names are global

extern "C" {

CAPI_EXPORT BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid,
                                        HCRYPTKEY hKey, DWORD dwFlags,
                                        HCRYPTHASH* phHash) try {
  std::shared_ptr<ProviderObj> prov = Providers().Get(hProv);
  if (!prov) return Fail(ERROR_INVALID_HANDLE);
  if (!phHash) return Fail(ERROR_INVALID_PARAMETER);
  if (HashSize(Algid) == 0) return Fail(NTE_BAD_ALGID);
  if (hKey) return Fail(NTE_BAD_KEY);  // GOST hashes take no key
  if (dwFlags) return Fail(NTE_BAD_FLAGS);
  auto h = std::make_shared<HashObj>();
  h->prov = std::move(prov);
  h->alg = Algid;
  HashInit(h.get());
  *phHash = Hashes().Add(std::move(h));
  return TRUE;
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData,
                                      DWORD dwDataLen, DWORD dwFlags) try {
  std::shared_ptr<HashObj> h = Hashes().Get(hHash);
  if (!h) return Fail(NTE_BAD_HASH);
  if (!pbData && dwDataLen) return Fail(ERROR_INVALID_PARAMETER);
  if (dwFlags) return Fail(NTE_BAD_FLAGS);
  std::lock_guard<std::mutex> lock(h->mu);
  if (h->finished) return Fail(NTE_BAD_HASH_STATE);
  if (dwDataLen) HashUpdate(h.get(), pbData, dwDataLen);
  return TRUE;
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam,
                                          BYTE* pbData, DWORD* pdwDataLen,
                                          DWORD dwFlags) try {
  std::shared_ptr<HashObj> h = Hashes().Get(hHash);
  if (!h) return Fail(NTE_BAD_HASH);
  if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
  if (dwFlags) return Fail(NTE_BAD_FLAGS);
  std::lock_guard<std::mutex> lock(h->mu);
  const size_t size = HashSize(h->alg);
  switch (dwParam) {
    case HP_ALGID:
      return CopyOutDword(h->alg, pbData, pdwDataLen);
    case HP_HASHSIZE:
      return CopyOutDword(static_cast<DWORD>(size), pbData, pdwDataLen);
    case HP_HASHVAL:
      // A size query (or a short buffer) leaves the hash open for more data.
      if (!pbData || *pdwDataLen < size)
        return CopyOut(nullptr, size, pbData, pdwDataLen);
      HashFinish(h.get());
      return CopyOut(h->value, size, pbData, pdwDataLen);
  }
  return Fail(NTE_BAD_TYPE);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptSetHashParam(HCRYPTHASH hHash, DWORD dwParam,
                                          const BYTE* pbData,
                                          DWORD dwFlags) try {
  std::shared_ptr<HashObj> h = Hashes().Get(hHash);
  if (!h) return Fail(NTE_BAD_HASH);
  if (dwFlags) return Fail(NTE_BAD_FLAGS);
  if (dwParam != HP_HASHVAL) return Fail(NTE_BAD_TYPE);
  if (!pbData) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard<std::mutex> lock(h->mu);
  std::memcpy(h->value, pbData, HashSize(h->alg));
  h->finished = true;
  return TRUE;
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptDuplicateHash(HCRYPTHASH hHash, DWORD* pdwReserved,
                                           DWORD dwFlags,
                                           HCRYPTHASH* phHash) try {
  std::shared_ptr<HashObj> h = Hashes().Get(hHash);
  if (!h) return Fail(NTE_BAD_HASH);
  if (pdwReserved || !phHash) return Fail(ERROR_INVALID_PARAMETER);
  if (dwFlags) return Fail(NTE_BAD_FLAGS);
  auto copy = std::make_shared<HashObj>();
  {
    std::lock_guard<std::mutex> lock(h->mu);
    copy->prov = h->prov;
    copy->alg = h->alg;
    copy->gost94 = h->gost94;
    copy->streebog = h->streebog;
    copy->finished = h->finished;
    std::memcpy(copy->value, h->value, sizeof copy->value);
  }
  *phHash = Hashes().Add(std::move(copy));
  return TRUE;
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) try {
  if (!Hashes().Release(hHash)) return Fail(NTE_BAD_HASH);
  return TRUE;
}
CAPI_GUARD(FALSE)

}  // extern "C"
