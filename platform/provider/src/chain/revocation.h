// Revocation status of one certificate from its CRL distribution points and
// its OCSP responder, every retrieval bounded by a time-out.
#pragma once

#include <capi/wincrypt.h>

#include <chrono>
#include <string>

#include "base/handles.h"
#include "x509/certificate.h"

namespace tavrix::provider::chain {

using der::Bytes;

enum class RevStatus { kGood, kRevoked, kUnknown };

// How long an answer that names no next update is believed after it was
// made (OCSP thisUpdate and producedAt, CRL thisUpdate). Older answers could
// be replays that hide a revocation, so they count as no answer at all.
constexpr int64_t kMaxUndatedOcspAge = 3600;
constexpr int64_t kMaxUndatedCrlAge = 24 * 3600;

struct RevocationOutcome {
  RevStatus status = RevStatus::kUnknown;
  // The status could not be learned because a server did not answer or its
  // answer was unusable (as opposed to the certificate naming no source).
  bool offline = false;
  DWORD result = CRYPT_E_NO_REVOCATION_CHECK;  // dwRevocationResult
  CrlHandle crl;                               // the CRL that decided
  size_t crl_entry = 0;  // index of the entry when revoked by the CRL
  // The whole OCSPResponse that decided, when an OCSP responder did (kept
  // as evidence by callers that embed it).
  Bytes ocsp_response;
};

// Without an accumulative time-out, revocation checking of one chain still
// ends after this many retrieval time-outs in all.
constexpr unsigned kChainRevocationTimeouts = 2;

struct RevocationOptions {
  unsigned timeout_ms = 15000;
  bool cache_only = false;  // use cached CRLs, fetch nothing
  // When set, no retrieval starts after this point (accumulative time-out).
  bool has_deadline = false;
  std::chrono::steady_clock::time_point deadline;
};

RevocationOutcome CheckRevocation(const x509::Certificate& cert,
                                  const x509::Certificate& issuer, int64_t now,
                                  const RevocationOptions& opts);

// Where fetched CRLs are kept, and the file for one distribution point.
std::string CrlCacheDir();
std::string CrlCachePath(const std::string& url);

// Checks an OCSPResponse for `cert` as CheckRevocation does (signed by the
// issuer or its delegated responder, the certificate asked about, current
// at `now`; `nonce` checked when not empty). kGood, kRevoked, or kUnknown
// for an unusable or undecided answer.
RevStatus JudgeOcspResponse(const Bytes& resp, const x509::Certificate& cert,
                            const x509::Certificate& issuer, const Bytes& nonce,
                            int64_t now);

// Pieces exposed for the tests of the wire formats.
Bytes BuildOcspRequest(const x509::Certificate& cert,
                       const x509::Certificate& issuer, const Bytes& nonce);

}  // namespace tavrix::provider::chain
