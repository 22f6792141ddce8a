// Checks a GOST signature over DER data with a public key, through the
// provider's own hash and signature calls.
#pragma once

#include <capi/wincrypt.h>

#include <string>

#include "der/der.h"

namespace tavrix::provider::chain {

namespace der = ::tavrix::provider::der;
using der::Bytes;

// `signature` is the value as certificates, CRLs and OCSP responses carry it
// (big-endian s||r, RFC 4491). True when the signature is good; otherwise
// false with the last error set (NTE_BAD_SIGNATURE for a wrong signature,
// NTE_BAD_ALGID for an algorithm that is not GOST or does not fit the key).
bool CheckGostSignature(const uint8_t* data, size_t len,
                        const std::string& sig_alg, const Bytes& signature,
                        const CERT_PUBLIC_KEY_INFO& key);

}  // namespace tavrix::provider::chain
