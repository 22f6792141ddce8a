// Path building: from the end certificate up through the candidates, one
// issuer at a time, to a self-issued certificate, a dead end, a cycle or the
// depth limit. What each link looked like is recorded for the element checks
// (element_checks.h), which turn it into trust status bits.
#pragma once

#include <capi/wincrypt.h>

#include <memory>
#include <vector>

#include "base/handles.h"
#include "chain/candidates.h"
#include "chain/revocation.h"
#include "x509/certificate.h"

namespace tavrix::provider::chain {

constexpr size_t kMaxDepth = 20;

// How an element was tied to the next one up, or to itself at a root.
struct Link {
  enum class Kind { kNone, kIssuer, kSelf };
  Kind kind = Kind::kNone;
  bool signature_ok = false;       // verified with the issuer's key
  bool key_id_match = false;       // authorityKeyIdentifier names that key
  bool issuer_time_valid = false;  // kIssuer: the issuer is valid now
  bool trusted = false;            // kSelf: the certificate is a root we trust
  bool cyclic = false;  // every issuer by name is already on the path
};

struct Element {
  CertHandle ctx;
  std::shared_ptr<x509::Certificate> cert;
  Link link;
  DWORD error = 0;  // CERT_TRUST_* error and info bits
  DWORD info = 0;
  bool has_rev = false;
  RevocationOutcome rev;
};

struct Path {
  std::vector<Element> elems;  // end certificate first
  bool partial = false;        // no issuer found, or the depth limit hit
  bool complete = false;       // ends in a self-issued certificate
  bool IsAnchor(size_t i) const { return complete && i + 1 == elems.size(); }
};

// The key identifier a certificate's issuer would name: its
// subjectKeyIdentifier, else the SHA-1 of its key (RFC 5280 §4.2.1.2 (1)).
Bytes KeyId(const x509::Certificate& c);

// False (last error set) only when a context could not be kept.
bool BuildPath(PCCERT_CONTEXT end_ctx, std::shared_ptr<x509::Certificate> end,
               const Candidates& pool, int64_t now, Path* out);

}  // namespace tavrix::provider::chain
