// The checks on each element of a built path, one function per step of the
// path validation in RFC 5280 §6.1 that they carry out, each returning the
// CERT_TRUST_* bits it finds. A trust status is the natural result of such a
// check, so these return bits rather than failing: a chain with errors is
// still a chain the caller gets to see.
#pragma once

#include <capi/wincrypt.h>

#include <cstdint>

#include "chain/path.h"
#include "chain/revocation.h"
#include "x509/certificate.h"

namespace tavrix::provider::chain {

struct Trust {
  DWORD error = 0;
  DWORD info = 0;
  Trust& operator|=(const Trust& o) {
    error |= o.error;
    info |= o.info;
    return *this;
  }
};

// §6.1.3 (a)(1): the signature verifies with the issuer's key (for a root,
// its own), and whether the issuer found is the one to prefer.
Trust CheckSignature(const Link& link);
// §6.1.3 (a)(4): the issuer's subject is this certificate's issuer name;
// also whether the key identifiers agree and whether the path ran in a
// circle.
Trust CheckNameChaining(const Link& link);
// §6.1.1 (d): the path ends at a trust anchor.
Trust CheckTrustAnchor(const Link& link);
// §6.1.3 (a)(2): valid at `now`; and, as CryptoAPI reports it, within the
// validity of its issuer (`issuer` null at the top of the path).
Trust CheckValidity(const x509::Certificate& c, const x509::Certificate* issuer,
                    int64_t now);
// §6.1.4 (o) and §6.1.5 (f): no critical extension left unprocessed, and
// every known extension decodes.
Trust CheckExtensions(const x509::Certificate& c);
// The extended key usage the caller asked for (RFC 5280 §4.2.1.12), OR or
// AND of the requested purposes; anyExtendedKeyUsage admits every purpose.
Trust CheckExtendedKeyUsage(const x509::Certificate& c,
                            const CERT_USAGE_MATCH& want);
// §6.1.4 (k): a certificate that issued another is a CA (a v1/v2 one, or
// the anchor, when it says nothing).
Trust CheckBasicConstraints(const x509::Certificate& c, bool anchor);
// §6.1.4 (l), (m): no more non-self-issued CA certificates below than its
// pathLenConstraint allows.
Trust CheckPathLength(const x509::Certificate& c, size_t intermediates_below);
// §6.1.4 (n): a keyUsage, when present, includes keyCertSign.
Trust CheckKeyCertSign(const x509::Certificate& c);

// Every check above on every element of `path`, into each element's bits.
void CheckElements(const CERT_USAGE_MATCH& usage, int64_t now, Path* path);

// §6.1.3 (a)(3): revocation of the elements the flags ask about
// (CERT_CHAIN_REVOCATION_CHECK_*), against the wall clock, within the
// retrieval time-outs.
struct RevocationRequest {
  DWORD flags = 0;         // CertGetCertificateChain's dwFlags
  DWORD engine_flags = 0;  // the engine's configuration flags
  unsigned timeout_ms = 0;
  int64_t wall_now = 0;
};
void CheckRevocations(const RevocationRequest& req, Path* path);

}  // namespace tavrix::provider::chain
