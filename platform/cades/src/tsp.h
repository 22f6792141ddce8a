// RFC 3161 time stamps as the runtime asks for them and as anyone reading a
// CAdES message checks them. Checking needs no network: everything comes
// from the token itself and the stores named (the user's ROOT store decides
// trust), so the verifier can judge tokens that have been inside a message
// for years, at the time they claim.
#pragma once

#include <capi/capi.h>

#include <cstdint>
#include <string>

#include "cades_internal.h"

namespace tavrix_cades {

// TimeStampReq v1 for an imprint, with a nonce (a positive INTEGER made of
// these octets; keep its top bit clear) and certReq TRUE.
Bytes BuildTimeStampRequest(const std::string& hash_oid, const Bytes& imprint,
                            const Bytes& nonce);

// The token of a TimeStampResp whose status is granted (0) or
// grantedWithMods (1). Returns 0, CADES_E_TSP_REJECTED for any other status
// or a granted answer without a token, CADES_E_TSP_MALFORMED for anything
// that does not parse.
DWORD ReadTimeStampResponse(const Bytes& resp, Bytes* token);

struct TokenCheck {
  // The request's nonce; null when the token is judged later (archived).
  const Bytes* nonce = nullptr;
  // The imprint must use this hash (empty: any GOST hash the token names).
  std::string hash_oid;
  // More certificates for the TSA's chain than the token carries (may be 0).
  HCERTSTORE extra_certs = nullptr;
  // Judge the TSA's chain at the token's own time instead of now.
  bool chain_at_gen_time = false;
};

struct TokenInfo {
  std::string hash_oid;
  Bytes imprint;
  int64_t gen_time = 0;  // seconds since the Unix epoch
  Bytes serial;          // INTEGER content octets
  Bytes tsa_cert;        // the signing certificate, DER
};

// Checks a TimeStampToken (a ContentInfo with SignedData over TSTInfo)
// against the data it is meant to stamp: the imprint is that data's hash in
// the token's hash algorithm; the token is signed by a certificate with a
// critical extended key usage holding timeStamping alone, whose chain to a
// ROOT-store anchor holds (revocation is not judged here: the signer of a
// fresh token was just asked, an archived token is covered by the
// message's own evidence); genTime lies within that certificate's validity;
// the nonce matches when given. Returns 0 or a CADES_E_TSP_* code.
DWORD CheckTimeStampToken(const uint8_t* token, size_t token_len,
                          const uint8_t* data, size_t data_len,
                          const TokenCheck& check, TokenInfo* info);

}  // namespace tavrix_cades
