// Trust at a past moment: certificate chains judged at a given time against
// the user's ROOT store, and RFC 3161 time-stamp tokens checked as evidence
// inside a signature (no nonce to compare, no retrieval).
#pragma once

#include <capi/capi.h>

#include <cstdint>
#include <vector>

#include "ltv.h"

namespace tavrix_ltv {

// The chain of `end` at `when`, issuers looked for among `extra` first.
// True when it reaches a trusted root with no fault that matters for a past
// moment; `chain` then holds the encodings from `end` up to the root.
bool TrustedChainAt(const Bytes& end, int64_t when,
                    const std::vector<Bytes>& extra, std::vector<Bytes>* chain);

struct TokenCheck {
  bool ok = false;
  int64_t gen_time = 0;
  Bytes tsa_cert;
  std::vector<Bytes> certs;  // the certificates the token carries
};

// A time-stamp token (ContentInfo with SignedData over TSTInfo) whose
// imprint is the hash of `data`, signed by a certificate with the critical
// timeStamping-only extended key usage whose chain is trusted at genTime.
TokenCheck CheckToken(const Bytes& token, const Bytes& data,
                      const std::vector<Bytes>& extra);

}  // namespace tavrix_ltv
