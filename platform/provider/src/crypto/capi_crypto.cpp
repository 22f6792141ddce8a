// The CryptoAPI face of the provider's keys, hashes and signatures.
//
// Handles are the addresses of internal objects, but every call first looks
// the value up in a table of live objects, so a stale or made-up handle is an
// error, not a crash. The tables hold shared pointers: a hash being fed on one
// thread survives a CryptDestroyHash of its handle on another. Each object
// has its own lock, so long hashing never holds up unrelated calls.
#include <capi/capi.h>
#include <nettle/gosthash94.h>
#include <nettle/streebog.h>
#include <utf8.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/c_boundary.h"
#include "crypto/gost_key.h"
#include "crypto/key_store.h"
#include "crypto/key_store_internal.h"

namespace tavrix::provider {
namespace {

using gost::GostKey;
using gost::KeyFamily;

constexpr char kProviderName[] = "Tavrix GOST Provider";

struct ProviderObj {
  std::mutex mu;
  DWORD prov_type = PROV_GOST_2001_DH;
  std::string container;               // empty for a verification context
  std::shared_ptr<const GostKey> key;  // null for a verification context
  size_t enum_next = 0;                // PP_ENUMALGS cursor
};

struct HashObj {
  std::mutex mu;
  std::shared_ptr<ProviderObj> prov;
  ALG_ID alg = 0;
  gosthash94cp_ctx gost94;
  streebog512_ctx streebog;
  bool finished = false;  // value read or set: no more data
  uint8_t value[64] = {};
};

struct KeyObj {
  std::shared_ptr<const GostKey> key;
  ALG_ID alg = 0;
};

template <class T>
class Registry {
 public:
  ULONG_PTR Add(std::shared_ptr<T> obj) {
    const ULONG_PTR handle = reinterpret_cast<ULONG_PTR>(obj.get());
    std::lock_guard<std::mutex> lock(mu_);
    live_[handle] = std::move(obj);
    return handle;
  }
  std::shared_ptr<T> Get(ULONG_PTR handle) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(handle);
    return it == live_.end() ? nullptr : it->second;
  }
  std::shared_ptr<T> Remove(ULONG_PTR handle) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = live_.find(handle);
    if (it == live_.end()) return nullptr;
    std::shared_ptr<T> obj = std::move(it->second);
    live_.erase(it);
    return obj;
  }

 private:
  std::mutex mu_;
  std::unordered_map<ULONG_PTR, std::shared_ptr<T>> live_;
};

// Leaked on purpose: handles may be released from static destructors of
// the caller after ours would have run.
Registry<ProviderObj>& Providers() {
  static auto* r = new Registry<ProviderObj>();
  return *r;
}
Registry<HashObj>& Hashes() {
  static auto* r = new Registry<HashObj>();
  return *r;
}
Registry<KeyObj>& Keys() {
  static auto* r = new Registry<KeyObj>();
  return *r;
}


// Size-then-fill: a null buffer asks for the size, a short one gets
// ERROR_MORE_DATA and the size needed.
BOOL PutBytes(const void* src, DWORD size, BYTE* out, DWORD* out_len) {
  if (!out_len) return Fail(ERROR_INVALID_PARAMETER);
  if (!out) {
    *out_len = size;
    return TRUE;
  }
  if (*out_len < size) {
    *out_len = size;
    return Fail(ERROR_MORE_DATA);
  }
  std::memcpy(out, src, size);
  *out_len = size;
  return TRUE;
}

BOOL PutDword(DWORD v, BYTE* out, DWORD* out_len) {
  return PutBytes(&v, sizeof v, out, out_len);
}

BOOL PutString(const std::string& s, BYTE* out, DWORD* out_len) {
  return PutBytes(s.c_str(), static_cast<DWORD>(s.size() + 1), out, out_len);
}

bool WideToUtf8(const WCHAR* w, std::string* out) {
  out->clear();
  for (; *w; ++w) {
    const uint32_t c = static_cast<uint32_t>(*w);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    utf8::unchecked::append(c, std::back_inserter(*out));
  }
  return true;
}

// Callers coming from other providers name containers with a reader prefix
// ("\\.\READER\name"); only the last part names our file.
std::string StripReader(const std::string& name) {
  if (name.compare(0, 4, "\\\\.\\") == 0) {
    const size_t slash = name.find('\\', 4);
    if (slash != std::string::npos) return name.substr(slash + 1);
  }
  return name;
}

bool KnownProvType(DWORD t) {
  return t == 0 || t == PROV_GOST_2001_DH || t == PROV_GOST_2012_256 ||
         t == PROV_GOST_2012_512;
}

BOOL Acquire(HCRYPTPROV* phProv, const std::string* container, DWORD type,
             DWORD flags) {
  if (!phProv) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD known = CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET |
                      CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
  if (flags & ~known) return Fail(NTE_BAD_FLAGS);
  if (!KnownProvType(type)) return Fail(NTE_BAD_PROV_TYPE);
  const bool verify = (flags & CRYPT_VERIFYCONTEXT) != 0;
  const std::string name = container ? StripReader(*container) : "";

  if (flags & CRYPT_DELETEKEYSET) {
    if (verify) return Fail(NTE_BAD_FLAGS);
    if (name.empty()) return Fail(NTE_BAD_KEYSET_PARAM);
    if (!DeleteContainer(name)) return FALSE;  // last error already set
    *phProv = 0;
    return TRUE;
  }

  auto prov = std::make_shared<ProviderObj>();
  if (verify) {
    prov->prov_type = type ? type : PROV_GOST_2001_DH;
  } else {
    // There is no default container, and keys come in only through
    // ImportPrivateKey: the provider never generates them.
    if (name.empty()) return Fail(NTE_BAD_KEYSET);
    if (flags & CRYPT_NEWKEYSET)
      return Fail(ContainerExists(name) ? NTE_EXISTS : NTE_NOT_SUPPORTED);
    std::vector<uint8_t> der;
    DWORD error = 0;
    if (!ReadContainer(name, &der, &error)) return Fail(error);
    auto key = GostKey::FromPrivateKeyInfo(der.data(), der.size(), &error);
    std::fill(der.begin(), der.end(), 0);
    if (!key) return Fail(NTE_KEYSET_ENTRY_BAD);
    const DWORD key_type = gost::ProvTypeFor(key->family());
    if (type != 0 && type != key_type) return Fail(NTE_BAD_PROV_TYPE);
    prov->prov_type = key_type;
    prov->container = name;
    prov->key = std::move(key);
  }
  *phProv = Providers().Add(std::move(prov));
  return TRUE;
}

// ------------------------------------------------------------ algorithms
struct AlgEntry {
  ALG_ID id;
  DWORD bits;
  const char* name;       // fits PROV_ENUMALGS::szName
  const char* long_name;  // fits PROV_ENUMALGS_EX::szLongName
};

const AlgEntry kGr3411 = {CALG_GR3411, 256, "GR 3411", "GOST R 34.11-94 hash"};
const AlgEntry kStreebog256 = {CALG_GR3411_2012_256, 256, "GR 3411-12 256",
                               "GOST R 34.11-2012 256-bit hash"};
const AlgEntry kStreebog512 = {CALG_GR3411_2012_512, 512, "GR 3411-12 512",
                               "GOST R 34.11-2012 512-bit hash"};
const AlgEntry kSign2001 = {CALG_GR3410EL, 256, "GR 3410-2001",
                            "GOST R 34.10-2001 signature"};
const AlgEntry kSign256 = {CALG_GR3410_12_256, 256, "GR 3410-12 256",
                           "GOST R 34.10-2012 256-bit signature"};
const AlgEntry kSign512 = {CALG_GR3410_12_512, 512, "GR 3410-12 512",
                           "GOST R 34.10-2012 512-bit signature"};

// The hash that fits the provider's key comes first, so a caller taking
// the first hash listed signs a 2012 key with Streebog.
std::vector<const AlgEntry*> AlgorithmsFor(const ProviderObj& prov) {
  std::vector<const AlgEntry*> hashes = {&kGr3411, &kStreebog256,
                                         &kStreebog512};
  const AlgEntry* first = prov.prov_type == PROV_GOST_2012_256   ? &kStreebog256
                          : prov.prov_type == PROV_GOST_2012_512 ? &kStreebog512
                                                                 : &kGr3411;
  std::stable_partition(hashes.begin(), hashes.end(),
                        [first](const AlgEntry* e) { return e == first; });
  std::vector<const AlgEntry*> all = hashes;
  if (prov.key) {
    switch (prov.key->family()) {
      case KeyFamily::k2001:
        all.push_back(&kSign2001);
        break;
      case KeyFamily::k2012_256:
        all.push_back(&kSign256);
        break;
      case KeyFamily::k2012_512:
        all.push_back(&kSign512);
        break;
    }
  } else {
    all.insert(all.end(), {&kSign2001, &kSign256, &kSign512});
  }
  return all;
}

BOOL EnumAlgs(ProviderObj* prov, bool ex, BYTE* out, DWORD* out_len,
              DWORD flags) {
  if (!out_len) return Fail(ERROR_INVALID_PARAMETER);
  if (flags != CRYPT_FIRST && flags != CRYPT_NEXT && flags != 0)
    return Fail(NTE_BAD_FLAGS);
  std::lock_guard<std::mutex> lock(prov->mu);
  const size_t index = flags == CRYPT_FIRST ? 0 : prov->enum_next;
  const std::vector<const AlgEntry*> algs = AlgorithmsFor(*prov);
  if (index >= algs.size()) {
    if (flags == CRYPT_FIRST) prov->enum_next = index;
    return Fail(ERROR_NO_MORE_ITEMS);
  }
  const AlgEntry& a = *algs[index];
  BOOL ok;
  if (ex) {
    PROV_ENUMALGS_EX e;
    std::memset(&e, 0, sizeof e);
    e.aiAlgid = a.id;
    e.dwDefaultLen = e.dwMinLen = e.dwMaxLen = a.bits;
    e.dwNameLen = static_cast<DWORD>(std::strlen(a.name) + 1);
    std::memcpy(e.szName, a.name, e.dwNameLen);
    e.dwLongNameLen = static_cast<DWORD>(std::strlen(a.long_name) + 1);
    std::memcpy(e.szLongName, a.long_name, e.dwLongNameLen);
    ok = PutBytes(&e, sizeof e, out, out_len);
  } else {
    PROV_ENUMALGS e;
    std::memset(&e, 0, sizeof e);
    e.aiAlgid = a.id;
    e.dwBitLen = a.bits;
    e.dwNameLen = static_cast<DWORD>(std::strlen(a.name) + 1);
    std::memcpy(e.szName, a.name, e.dwNameLen);
    ok = PutBytes(&e, sizeof e, out, out_len);
  }
  // Only a delivered entry moves the cursor: a size query or a short buffer
  // must not make the next call skip one.
  if (ok && out) prov->enum_next = index + 1;
  return ok;
}

// ------------------------------------------------------------------ hashes
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

// Produces the value once; later reads return the same bytes.
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

ALG_ID KeyAlg(const GostKey& key, DWORD spec) {
  return spec == AT_KEYEXCHANGE ? gost::ExchangeAlgFor(key.family())
                                : gost::SignAlgFor(key.family());
}

BOOL SignHash(HCRYPTHASH hHash, DWORD dwKeySpec, DWORD dwFlags,
              BYTE* pbSignature, DWORD* pdwSigLen) {
  std::shared_ptr<HashObj> h = Hashes().Get(hHash);
  if (!h) return Fail(NTE_BAD_HASH);
  if (!pdwSigLen) return Fail(ERROR_INVALID_PARAMETER);
  if (dwKeySpec != AT_SIGNATURE && dwKeySpec != AT_KEYEXCHANGE)
    return Fail(NTE_BAD_KEY);
  if (dwFlags & ~static_cast<DWORD>(CRYPT_NOHASHOID))
    return Fail(NTE_BAD_FLAGS);
  std::lock_guard<std::mutex> lock(h->mu);
  const std::shared_ptr<const GostKey> key = h->prov->key;
  if (!key) return Fail(NTE_NO_KEY);
  if (h->alg != gost::HashAlgFor(key->family())) return Fail(NTE_BAD_ALGID);
  const DWORD size = static_cast<DWORD>(key->signature_size());
  if (!pbSignature) {
    *pdwSigLen = size;
    return TRUE;
  }
  if (*pdwSigLen < size) {
    *pdwSigLen = size;
    return Fail(ERROR_MORE_DATA);
  }
  HashFinish(h.get());
  std::vector<uint8_t> sig;
  if (!key->Sign(h->value, gost::HashSizeFor(h->alg), &sig) ||
      sig.size() != size)
    return Fail(NTE_FAIL);
  // CryptoAPI hands signatures out least significant octet first.
  std::reverse_copy(sig.begin(), sig.end(), pbSignature);
  *pdwSigLen = size;
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
  const GostKey& key = *k->key;
  std::lock_guard<std::mutex> lock(h->mu);
  if (h->alg != gost::HashAlgFor(key.family())) return Fail(NTE_BAD_ALGID);
  if (dwSigLen != key.signature_size()) return Fail(NTE_BAD_SIGNATURE);
  HashFinish(h.get());
  std::vector<uint8_t> sig(pbSignature, pbSignature + dwSigLen);
  std::reverse(sig.begin(), sig.end());
  if (!key.Verify(h->value, gost::HashSizeFor(h->alg), sig.data(), sig.size()))
    return Fail(NTE_BAD_SIGNATURE);
  return TRUE;
}

}  // namespace
}  // namespace tavrix::provider

using namespace tavrix::provider;  // NOLINT: the exported names are global

extern "C" {

CAPI_EXPORT BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* phProv,
                                             LPCSTR szContainer, LPCSTR,
                                             DWORD dwProvType,
                                             DWORD dwFlags) try {
  std::string name;
  if (szContainer) name = szContainer;
  return Acquire(phProv, szContainer ? &name : nullptr, dwProvType, dwFlags);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv,
                                             LPCWSTR szContainer, LPCWSTR,
                                             DWORD dwProvType,
                                             DWORD dwFlags) try {
  std::string name;
  if (szContainer && !WideToUtf8(szContainer, &name))
    return Fail(NTE_BAD_KEYSET_PARAM);
  return Acquire(phProv, szContainer ? &name : nullptr, dwProvType, dwFlags);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv,
                                            DWORD dwFlags) try {
  if (!Providers().Remove(hProv)) return Fail(ERROR_INVALID_HANDLE);
  // As CryptoAPI does: the context is released even when flags are wrong.
  if (dwFlags) return Fail(NTE_BAD_FLAGS);
  return TRUE;
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam,
                                          BYTE* pbData, DWORD* pdwDataLen,
                                          DWORD dwFlags) try {
  std::shared_ptr<ProviderObj> prov = Providers().Get(hProv);
  if (!prov) return Fail(ERROR_INVALID_HANDLE);
  if (!pdwDataLen) return Fail(ERROR_INVALID_PARAMETER);
  switch (dwParam) {
    case PP_ENUMALGS:
      return EnumAlgs(prov.get(), false, pbData, pdwDataLen, dwFlags);
    case PP_ENUMALGS_EX:
      return EnumAlgs(prov.get(), true, pbData, pdwDataLen, dwFlags);
    case PP_NAME:
      return PutString(kProviderName, pbData, pdwDataLen);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
      if (prov->container.empty()) return Fail(NTE_BAD_KEYSET);
      return PutString(prov->container, pbData, pdwDataLen);
    case PP_PROVTYPE:
      return PutDword(prov->prov_type, pbData, pdwDataLen);
    case PP_KEYSPEC:
      return PutDword(AT_SIGNATURE | AT_KEYEXCHANGE, pbData, pdwDataLen);
  }
  return Fail(NTE_BAD_TYPE);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid,
                                        HCRYPTKEY hKey, DWORD dwFlags,
                                        HCRYPTHASH* phHash) try {
  std::shared_ptr<ProviderObj> prov = Providers().Get(hProv);
  if (!prov) return Fail(ERROR_INVALID_HANDLE);
  if (!phHash) return Fail(ERROR_INVALID_PARAMETER);
  if (gost::HashSizeFor(Algid) == 0) return Fail(NTE_BAD_ALGID);
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
  const DWORD size = static_cast<DWORD>(gost::HashSizeFor(h->alg));
  switch (dwParam) {
    case HP_ALGID:
      return PutDword(h->alg, pbData, pdwDataLen);
    case HP_HASHSIZE:
      return PutDword(size, pbData, pdwDataLen);
    case HP_HASHVAL:
      // A size query leaves the hash open for more data.
      if (!pbData || *pdwDataLen < size) {
        *pdwDataLen = size;
        return pbData ? Fail(ERROR_MORE_DATA) : TRUE;
      }
      HashFinish(h.get());
      return PutBytes(h->value, size, pbData, pdwDataLen);
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
  std::memcpy(h->value, pbData, gost::HashSizeFor(h->alg));
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
  if (!Hashes().Remove(hHash)) return Fail(NTE_BAD_HASH);
  return TRUE;
}
CAPI_GUARD(FALSE)

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

CAPI_EXPORT BOOL WINAPI CryptGetUserKey(HCRYPTPROV hProv, DWORD dwKeySpec,
                                        HCRYPTKEY* phUserKey) try {
  std::shared_ptr<ProviderObj> prov = Providers().Get(hProv);
  if (!prov) return Fail(ERROR_INVALID_HANDLE);
  if (!phUserKey) return Fail(ERROR_INVALID_PARAMETER);
  if (dwKeySpec != AT_SIGNATURE && dwKeySpec != AT_KEYEXCHANGE)
    return Fail(NTE_BAD_KEY);
  if (!prov->key) return Fail(NTE_NO_KEY);
  auto k = std::make_shared<KeyObj>();
  k->key = prov->key;
  k->alg = KeyAlg(*prov->key, dwKeySpec);
  *phUserKey = Keys().Add(std::move(k));
  return TRUE;
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptDestroyKey(HCRYPTKEY hKey) try {
  if (!Keys().Remove(hKey)) return Fail(NTE_BAD_KEY);
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
      return PutDword(k->alg, pbData, pdwDataLen);
    case KP_KEYLEN:
      return PutDword(static_cast<DWORD>(k->key->curve().size * 8), pbData,
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
  DWORD error = 0;
  auto key = GostKey::FromPublicKeyInfo(
      pInfo->Algorithm.pszObjId, params.cbData ? params.pbData : nullptr,
      params.pbData ? params.cbData : 0, pInfo->PublicKey.pbData,
      pInfo->PublicKey.cbData, &error);
  if (!key) return Fail(error);
  auto k = std::make_shared<KeyObj>();
  k->alg = gost::SignAlgFor(key->family());
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
  if (dwKeySpec != AT_SIGNATURE && dwKeySpec != AT_KEYEXCHANGE)
    return Fail(NTE_BAD_KEY);
  if (!prov->key) return Fail(NTE_NO_KEY);
  const GostKey& key = *prov->key;
  const std::string oid = gost::AlgorithmOid(key.family());
  const std::vector<uint8_t>& params = key.params_der();
  const std::vector<uint8_t> bits = key.PublicKeyBits();
  // One block: the structure, then the OID text, parameters and key bits
  // it points to.
  const size_t need = sizeof(CERT_PUBLIC_KEY_INFO) + oid.size() + 1 +
                      params.size() + bits.size();
  if (!pInfo) {
    *pcbInfo = static_cast<DWORD>(need);
    return TRUE;
  }
  if (*pcbInfo < need) {
    *pcbInfo = static_cast<DWORD>(need);
    return Fail(ERROR_MORE_DATA);
  }
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
