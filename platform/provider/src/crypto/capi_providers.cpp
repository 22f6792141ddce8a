// Provider contexts: acquiring one over a key container (or none, to
// verify), releasing it, and what CryptGetProvParam tells about it.
#include <capi/capi.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/c_boundary.h"
#include "crypto/capi_objects.h"
#include "crypto/gost_key.h"
#include "crypto/key_store.h"
#include "crypto/key_store_internal.h"
#include "text/text.h"

namespace tavrix::provider {
namespace {

using gost::GostKey;
using gost::KeyFamily;

constexpr char kProviderName[] = "Tavrix GOST Provider";

// Callers coming from other providers name containers with a reader prefix
// ("\\.\READER\name"); only the last part names our file.
std::string StripReader(const std::string& name) {
  if (name.compare(0, 4, "\\\\.\\") == 0) {
    const size_t slash = name.find('\\', 4);
    if (slash != std::string::npos) return name.substr(slash + 1);
  }
  return name;
}

bool KnownProvType(DWORD t) { return t == 0 || gost::ForProvType(t); }

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
    if (!DeleteContainer(name)) return FALSE;
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
    if (!ReadContainer(name, &der)) return FALSE;
    auto key = GostKey::FromPrivateKeyInfo(der.data(), der.size());
    std::fill(der.begin(), der.end(), 0);
    // Whatever the parser found wrong, the container is what is bad.
    if (!key) return Fail(NTE_KEYSET_ENTRY_BAD);
    const DWORD key_type = gost::ForFamily(key->family()).prov_type;
    if (type != 0 && type != key_type) return Fail(NTE_BAD_PROV_TYPE);
    prov->prov_type = key_type;
    prov->container = name;
    prov->key = std::move(key);
  }
  *phProv = Providers().Add(std::move(prov));
  return TRUE;
}

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
    ok = CopyOut(&e, sizeof e, out, out_len);
  } else {
    PROV_ENUMALGS e;
    std::memset(&e, 0, sizeof e);
    e.aiAlgid = a.id;
    e.dwBitLen = a.bits;
    e.dwNameLen = static_cast<DWORD>(std::strlen(a.name) + 1);
    std::memcpy(e.szName, a.name, e.dwNameLen);
    ok = CopyOut(&e, sizeof e, out, out_len);
  }
  // Only a delivered entry moves the cursor: a size query or a short buffer
  // must not make the next call skip one.
  if (ok && out) prov->enum_next = index + 1;
  return ok;
}

BOOL CopyOutString(const std::string& s, BYTE* out, DWORD* out_len) {
  return CopyOut(s.c_str(), s.size() + 1, out, out_len);
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
  if (szContainer && !text::WideToUtf8Strict(szContainer, &name))
    return Fail(NTE_BAD_KEYSET_PARAM);
  return Acquire(phProv, szContainer ? &name : nullptr, dwProvType, dwFlags);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv,
                                            DWORD dwFlags) try {
  if (!Providers().Release(hProv)) return Fail(ERROR_INVALID_HANDLE);
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
      return CopyOutString(kProviderName, pbData, pdwDataLen);
    case PP_CONTAINER:
    case PP_UNIQUE_CONTAINER:
      if (prov->container.empty()) return Fail(NTE_BAD_KEYSET);
      return CopyOutString(prov->container, pbData, pdwDataLen);
    case PP_PROVTYPE:
      return CopyOutDword(prov->prov_type, pbData, pdwDataLen);
    case PP_KEYSPEC:
      return CopyOutDword(AT_SIGNATURE | AT_KEYEXCHANGE, pbData, pdwDataLen);
  }
  return Fail(NTE_BAD_TYPE);
}
CAPI_GUARD(FALSE)

}  // extern "C"
