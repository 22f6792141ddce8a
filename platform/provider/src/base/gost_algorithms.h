// The GOST algorithm facts, in one table: for each key family its object
// identifiers (RFC 4357, RFC 4491, R 1323565.1.024-2019), CryptoAPI algorithm
// identifiers, provider type and sizes. Everything that maps one of these to
// another reads it here.
#pragma once

#include <capi/capi.h>
#include <capi/gost.h>

#include <cstddef>
#include <string_view>

namespace tavrix::provider::gost {

enum class KeyFamily { k2001, k2012_256, k2012_512 };

struct Algorithms {
  KeyFamily family;
  const char* key_oid;   // public key algorithm (SubjectPublicKeyInfo)
  const char* dh_oid;    // the key-agreement form of the same key
  const char* sig_oid;   // signature with the family's hash
  const char* hash_oid;  // the family's hash
  ALG_ID hash_alg;
  ALG_ID sign_alg;
  ALG_ID exchange_alg;
  DWORD prov_type;
  size_t coordinate_size;  // octets in a coordinate and in the curve order
  size_t hash_size;        // octets in the family's hash value
  size_t signature_size;   // s || r
};

inline constexpr Algorithms kFamilies[] = {
    {KeyFamily::k2001, szOID_CP_GOST_R3410EL, "1.2.643.2.2.98",
     szOID_CP_GOST_R3411_R3410EL, szOID_CP_GOST_R3411, CALG_GR3411,
     CALG_GR3410EL, CALG_DH_EL_SF, PROV_GOST_2001_DH, 32, 32, 64},
    {KeyFamily::k2012_256, szOID_CP_GOST_R3410_12_256, "1.2.643.7.1.1.6.1",
     szOID_CP_GOST_R3411_12_256_R3410, szOID_CP_GOST_R3411_12_256,
     CALG_GR3411_2012_256, CALG_GR3410_12_256, CALG_DH_GR3410_12_256_SF,
     PROV_GOST_2012_256, 32, 32, 64},
    {KeyFamily::k2012_512, szOID_CP_GOST_R3410_12_512, "1.2.643.7.1.1.6.2",
     szOID_CP_GOST_R3411_12_512_R3410, szOID_CP_GOST_R3411_12_512,
     CALG_GR3411_2012_512, CALG_GR3410_12_512, CALG_DH_GR3410_12_512_SF,
     PROV_GOST_2012_512, 64, 64, 128},
};

inline const Algorithms& ForFamily(KeyFamily f) {
  return kFamilies[static_cast<size_t>(f)];
}

// Lookups by one fact; null when no GOST family has it.
template <class Field, class Value>
const Algorithms* FindBy(Field Algorithms::*field, Value v) {
  for (const Algorithms& a : kFamilies)
    if (a.*field == v) return &a;
  return nullptr;
}
// By a key's algorithm identifier, signature or key-agreement form alike.
inline const Algorithms* ForKeyOid(std::string_view oid) {
  for (const Algorithms& a : kFamilies)
    if (oid == a.key_oid || oid == a.dh_oid) return &a;
  return nullptr;
}
inline const Algorithms* ForSignatureOid(std::string_view oid) {
  for (const Algorithms& a : kFamilies)
    if (oid == a.sig_oid) return &a;
  return nullptr;
}
inline const Algorithms* ForHashOid(std::string_view oid) {
  for (const Algorithms& a : kFamilies)
    if (oid == a.hash_oid) return &a;
  return nullptr;
}
inline const Algorithms* ForHashAlg(ALG_ID alg) {
  return FindBy(&Algorithms::hash_alg, alg);
}
inline const Algorithms* ForSignAlg(ALG_ID alg) {
  return FindBy(&Algorithms::sign_alg, alg);
}
inline const Algorithms* ForProvType(DWORD type) {
  return FindBy(&Algorithms::prov_type, type);
}

}  // namespace tavrix::provider::gost
