// Where chain building looks for issuers: the caller's extra store, the
// engine's additional stores, the user's CA store, the trusted roots (the
// engine's exclusive root store, or the user's ROOT store as far as a
// restricted root store admits it) and the user's MY store. Issuers are
// found by name among these alone: no authorityInfoAccess retrieval.
#pragma once

#include <capi/wincrypt.h>

#include <memory>
#include <vector>

#include "base/handles.h"
#include "x509/certificate.h"

namespace tavrix::provider::chain {

using der::Bytes;

constexpr unsigned kDefaultTimeoutMs = 15000;

// A caller-supplied store is kept by duplicating its handle; when the store
// layer cannot duplicate, the caller's handle is used as it is and is not
// closed here.
struct StoreRef {
  StoreHandle owned;
  HCERTSTORE h = nullptr;
};
StoreRef KeepStore(HCERTSTORE s);

// What a chain engine was configured with; it does not change afterwards.
struct EngineConfig {
  DWORD flags = 0;
  unsigned timeout_ms = kDefaultTimeoutMs;
  StoreRef restricted_root;
  StoreRef exclusive_root;
  std::vector<StoreRef> additional;
};

struct Candidate {
  CertHandle ctx;
  std::shared_ptr<x509::Certificate> cert;
};

// Every possible issuer, in order of preference, each parsed once.
struct Candidates {
  std::vector<Candidate> certs;
  std::vector<Bytes> roots;  // encodings of the trusted roots
  bool Trusted(const x509::Certificate& c) const;
};

Candidates LoadCandidates(const EngineConfig& engine, HCERTSTORE extra);

// A certificate as chain building takes it. The parse itself takes what the
// certificate store takes; a chain has always passed over certificates
// outside RFC 5280 §4.1 (unused signature bits, serials over 64 octets,
// times in other forms) as if they did not decode, and still does.
bool ParseForChain(const uint8_t* p, size_t n, x509::Certificate* out);

}  // namespace tavrix::provider::chain
