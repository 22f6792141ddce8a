// The algorithms a signed message names, as the message functions map them
// to CryptoAPI identifiers and providers.
#pragma once

#include <string>

#include "capi/capi.h"

namespace tavrix::provider::msg {

// Hash ALG_ID of a digest algorithm OID, 0 when unknown.
ALG_ID HashAlgFromOid(const std::string& oid);
// Size in bytes of a hash value, 0 when unknown.
DWORD HashSize(ALG_ID alg);
// Signature algorithm OID written for a key: the key's own GOST OID, as the
// GOST OpenSSL engine writes it, or one derived from the hash.
std::string SignatureOidFor(const char* key_alg_oid, ALG_ID hash);
// Signature length for a key/signature algorithm OID and hash.
DWORD SignatureSizeFor(const std::string& sig_oid, ALG_ID hash);
// A verification-only provider fit for a public key algorithm (or, when the
// key OID is empty, for the hash). The caller releases it.
bool AcquireVerifyProvider(const std::string& key_oid, ALG_ID hash,
                           HCRYPTPROV* out);

}  // namespace tavrix::provider::msg
