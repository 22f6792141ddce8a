#include "chain/element_checks.h"

#include <algorithm>
#include <chrono>

namespace tavrix::provider::chain {

namespace {

const char kAnyEku[] = "2.5.29.37.0";

Trust Error(DWORD bits) { return Trust{bits, 0}; }
Trust Info(DWORD bits) { return Trust{0, bits}; }

}  // namespace

Trust CheckSignature(const Link& link) {
  if (link.kind == Link::Kind::kNone) return {};
  if (!link.signature_ok) return Error(CERT_TRUST_IS_NOT_SIGNATURE_VALID);
  if (link.kind == Link::Kind::kIssuer && link.issuer_time_valid)
    return Info(CERT_TRUST_HAS_PREFERRED_ISSUER);
  return {};
}

Trust CheckNameChaining(const Link& link) {
  if (link.cyclic) return Error(CERT_TRUST_IS_CYCLIC);
  if (link.kind == Link::Kind::kNone) return {};
  Trust t = Info(CERT_TRUST_HAS_NAME_MATCH_ISSUER);
  if (link.kind == Link::Kind::kSelf) t.info |= CERT_TRUST_IS_SELF_SIGNED;
  if (link.key_id_match) t.info |= CERT_TRUST_HAS_KEY_MATCH_ISSUER;
  return t;
}

Trust CheckTrustAnchor(const Link& link) {
  if (link.kind != Link::Kind::kSelf) return {};
  return link.trusted ? Info(CERT_TRUST_HAS_PREFERRED_ISSUER)
                      : Error(CERT_TRUST_IS_UNTRUSTED_ROOT);
}

Trust CheckValidity(const x509::Certificate& c, const x509::Certificate* issuer,
                    int64_t now) {
  Trust t;
  if (now < c.not_before || c.not_after < now)
    t.error |= CERT_TRUST_IS_NOT_TIME_VALID;
  if (issuer &&
      (c.not_before < issuer->not_before || c.not_after > issuer->not_after))
    t.error |= CERT_TRUST_IS_NOT_TIME_NESTED;
  return t;
}

Trust CheckExtensions(const x509::Certificate& c) {
  Trust t;
  if (c.bad_extension) t.error |= CERT_TRUST_INVALID_EXTENSION;
  if (c.unknown_critical)
    t.error |= CERT_TRUST_INVALID_EXTENSION |
               CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT;
  return t;
}

Trust CheckExtendedKeyUsage(const x509::Certificate& c,
                            const CERT_USAGE_MATCH& want) {
  if (!c.has_eku || want.Usage.cUsageIdentifier == 0) return {};
  if (std::find(c.eku.begin(), c.eku.end(), kAnyEku) != c.eku.end()) return {};
  size_t found = 0;
  for (DWORD i = 0; i < want.Usage.cUsageIdentifier; ++i) {
    const char* oid = want.Usage.rgpszUsageIdentifier
                          ? want.Usage.rgpszUsageIdentifier[i]
                          : nullptr;
    if (oid && std::find(c.eku.begin(), c.eku.end(), oid) != c.eku.end())
      ++found;
  }
  bool ok = want.dwType == USAGE_MATCH_TYPE_OR
                ? found > 0
                : found == want.Usage.cUsageIdentifier;
  return ok ? Trust{} : Error(CERT_TRUST_IS_NOT_VALID_FOR_USAGE);
}

Trust CheckBasicConstraints(const x509::Certificate& c, bool anchor) {
  bool ca_ok =
      c.has_basic_constraints ? c.is_ca : (anchor || c.version < CERT_V3);
  return ca_ok ? Trust{} : Error(CERT_TRUST_INVALID_BASIC_CONSTRAINTS);
}

Trust CheckPathLength(const x509::Certificate& c, size_t intermediates_below) {
  if (c.has_path_len && intermediates_below > c.path_len)
    return Error(CERT_TRUST_INVALID_BASIC_CONSTRAINTS);
  return {};
}

Trust CheckKeyCertSign(const x509::Certificate& c) {
  if (c.has_key_usage && !x509::KeyUsageHas(c, x509::kKeyUsageKeyCertSign))
    return Error(CERT_TRUST_IS_NOT_VALID_FOR_USAGE);
  return {};
}

void CheckElements(const CERT_USAGE_MATCH& usage, int64_t now, Path* path) {
  const size_t n = path->elems.size();
  size_t intermediates_below = 0;  // non-self-issued CA certificates under i
  for (size_t i = 0; i < n; ++i) {
    Element& e = path->elems[i];
    const x509::Certificate& c = *e.cert;
    const x509::Certificate* issuer =
        i + 1 < n ? path->elems[i + 1].cert.get() : nullptr;
    Trust t;
    t |= CheckSignature(e.link);
    t |= CheckNameChaining(e.link);
    t |= CheckTrustAnchor(e.link);
    t |= CheckValidity(c, issuer, now);
    t |= CheckExtensions(c);
    t |= CheckExtendedKeyUsage(c, usage);
    if (i > 0) {
      // §6.1.4: what this certificate must be to have issued the one below.
      t |= CheckBasicConstraints(c, path->IsAnchor(i));
      t |= CheckPathLength(c, intermediates_below);
      t |= CheckKeyCertSign(c);
      if (!c.SelfIssued()) ++intermediates_below;
    }
    e.error |= t.error;
    e.info |= t.info;
  }
}

void CheckRevocations(const RevocationRequest& req, Path* path) {
  const DWORD rev_flags =
      req.flags & (CERT_CHAIN_REVOCATION_CHECK_END_CERT |
                   CERT_CHAIN_REVOCATION_CHECK_CHAIN |
                   CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT);
  if (!rev_flags) return;
  RevocationOptions opts;
  opts.timeout_ms = req.timeout_ms;
  opts.cache_only = (req.flags & CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY) ||
                    (req.engine_flags & CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL);
  // Each retrieval has its own time-out, and the whole chain one deadline
  // as well, so that many slow points cannot add up without end.
  const unsigned long long budget_ms =
      (req.flags & CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT)
          ? req.timeout_ms
          : static_cast<unsigned long long>(req.timeout_ms) *
                kChainRevocationTimeouts;
  opts.has_deadline = true;
  opts.deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(budget_ms);
  const size_t n = path->elems.size();
  size_t last = 1;
  if (rev_flags & (CERT_CHAIN_REVOCATION_CHECK_CHAIN |
                   CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT))
    last = n;
  for (size_t i = 0; i < last; ++i) {
    Element& e = path->elems[i];
    const bool is_root = path->IsAnchor(i);
    if (is_root && (rev_flags & CERT_CHAIN_REVOCATION_CHECK_CHAIN) == 0 &&
        i > 0)
      continue;
    // A self-signed root can only be revoked by sources it names itself.
    if (is_root && e.cert->crl_urls.empty() && e.cert->ocsp_urls.empty())
      continue;
    e.has_rev = true;
    if (i + 1 >= n && !is_root) {
      // No issuer: nothing can vouch for the status.
      e.error |= CERT_TRUST_REVOCATION_STATUS_UNKNOWN;
      continue;
    }
    const x509::Certificate& issuer =
        is_root ? *e.cert : *path->elems[i + 1].cert;
    e.rev = CheckRevocation(*e.cert, issuer, req.wall_now, opts);
    if (e.rev.status == RevStatus::kRevoked)
      e.error |= CERT_TRUST_IS_REVOKED;
    else if (e.rev.status == RevStatus::kUnknown)
      e.error |= CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                 (e.rev.offline ? CERT_TRUST_IS_OFFLINE_REVOCATION : 0);
  }
}

}  // namespace tavrix::provider::chain
