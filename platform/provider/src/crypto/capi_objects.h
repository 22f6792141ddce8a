// What the CryptoAPI face of keys, hashes and signatures hands out: provider
// contexts, hash objects and key objects, each kind in its own table of live
// handles (base/handles.h). Each object has its own lock, so long hashing
// never holds up unrelated calls.
#pragma once

#include <capi/capi.h>
#include <nettle/gosthash94.h>
#include <nettle/streebog.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/handles.h"
#include "crypto/gost_key.h"

namespace tavrix::provider {

struct ProviderObj {
  std::mutex mu;
  DWORD prov_type = PROV_GOST_2001_DH;
  std::string container;                     // empty for a verification context
  std::shared_ptr<const gost::GostKey> key;  // null for a verification context
  size_t enum_next = 0;                      // PP_ENUMALGS cursor
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
  std::shared_ptr<const gost::GostKey> key;
  ALG_ID alg = 0;
};

inline HandleTable<ProviderObj, HCRYPTPROV>& Providers() {
  return LiveHandles<ProviderObj, HCRYPTPROV>();
}
inline HandleTable<HashObj, HCRYPTHASH>& Hashes() {
  return LiveHandles<HashObj, HCRYPTHASH>();
}
inline HandleTable<KeyObj, HCRYPTKEY>& Keys() {
  return LiveHandles<KeyObj, HCRYPTKEY>();
}

// The octets of a hash's value (0 for an algorithm that is no GOST hash).
inline size_t HashSize(ALG_ID hash_alg) {
  const gost::Algorithms* a = gost::ForHashAlg(hash_alg);
  return a ? a->hash_size : 0;
}

inline bool ValidKeySpec(DWORD spec) {
  return spec == AT_SIGNATURE || spec == AT_KEYEXCHANGE;
}

inline BOOL CopyOutDword(DWORD v, BYTE* out, DWORD* out_len) {
  return CopyOut(&v, sizeof v, out, out_len);
}

// Produces a hash's value once; later reads return the same bytes. The
// caller holds the hash's lock.
void HashFinish(HashObj* h);

}  // namespace tavrix::provider
