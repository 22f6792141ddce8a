#include "chain/path.h"

#include "base/c_boundary.h"
#include "chain/fetch.h"
#include "chain/sig_verify.h"

namespace tavrix::provider::chain {

namespace {

bool SignedBy(const x509::Certificate& subject,
              const x509::Certificate& issuer) {
  const x509::SignedParts& s = subject.signed_parts;
  return CheckGostSignature(s.tbs.start, s.tbs.total(), s.sig_alg, s.signature,
                            issuer.PublicKeyInfo());
}

bool KeyIdMatches(const x509::Certificate& subject,
                  const x509::Certificate& issuer) {
  return !subject.authority_key_id.empty() &&
         subject.authority_key_id == KeyId(issuer);
}

bool TimeValid(const x509::Certificate& c, int64_t t) {
  return c.not_before <= t && t <= c.not_after;
}

CertHandle KeepCert(PCCERT_CONTEXT c, const x509::Certificate& parsed) {
  CertHandle d(c ? CertDuplicateCertificateContext(c) : nullptr);
  if (!d)
    d.reset(CertCreateCertificateContext(
        X509_ASN_ENCODING, parsed.encoded.data(),
        static_cast<DWORD>(parsed.encoded.size())));
  return d;
}

// A self-issued certificate ends the path when it verifies itself or is a
// trusted root; otherwise it may be a key rollover and its issuer is looked
// for like any other's.
bool EndsHere(const x509::Certificate& c, const Candidates& pool, Link* link) {
  if (!c.SelfIssued()) return false;
  bool self_ok = SignedBy(c, c);
  bool trusted = pool.Trusted(c);
  if (!self_ok && !trusted) return false;
  link->kind = Link::Kind::kSelf;
  link->signature_ok = self_ok;
  link->key_id_match = KeyIdMatches(c, c);
  link->trusted = trusted;
  return true;
}

// Best issuer: signature good, key identifier matching, valid in time,
// trusted, in that order of weight.
struct Choice {
  const Candidate* best = nullptr;
  bool signed_ok = false;
  bool time_valid = false;
  bool cyclic_only = false;
};

Choice ChooseIssuer(const Path& path, const x509::Certificate& c,
                    const Candidates& pool, int64_t now) {
  Choice ch;
  int best_score = -1;
  for (const Candidate& cand : pool.certs) {
    if (!cand.ctx || cand.cert->subject != c.issuer) continue;
    bool seen = false;
    for (const Element& e : path.elems)
      if (e.cert->encoded == cand.cert->encoded) seen = true;
    if (seen) {
      ch.cyclic_only = true;
      continue;
    }
    const bool signed_ok = SignedBy(c, *cand.cert);
    const bool time_valid = TimeValid(*cand.cert, now);
    int score = (signed_ok ? 8 : 0) + (KeyIdMatches(c, *cand.cert) ? 4 : 0) +
                (time_valid ? 2 : 0) + (pool.Trusted(*cand.cert) ? 1 : 0);
    if (score > best_score) {
      best_score = score;
      ch.best = &cand;
      ch.signed_ok = signed_ok;
      ch.time_valid = time_valid;
    }
  }
  return ch;
}

}  // namespace

Bytes KeyId(const x509::Certificate& c) {
  if (!c.subject_key_id.empty()) return c.subject_key_id;
  return x509::Sha1(c.key_bits.data(), c.key_bits.size());
}

bool BuildPath(PCCERT_CONTEXT end_ctx, std::shared_ptr<x509::Certificate> end,
               const Candidates& pool, int64_t now, Path* out) {
  Element first;
  first.ctx = KeepCert(end_ctx, *end);
  first.cert = std::move(end);
  out->elems.push_back(std::move(first));
  for (;;) {
    Element& cur = out->elems.back();
    if (!cur.ctx) return Fail(ERROR_NOT_ENOUGH_MEMORY);
    const x509::Certificate& c = *cur.cert;
    if (EndsHere(c, pool, &cur.link)) {
      out->complete = true;
      return true;
    }
    if (out->elems.size() >= kMaxDepth) {
      out->partial = true;
      return true;
    }
    Choice ch = ChooseIssuer(*out, c, pool, now);
    if (!ch.best) {
      if (ch.cyclic_only)
        cur.link.cyclic = true;
      else
        out->partial = true;
      return true;
    }
    cur.link.kind = Link::Kind::kIssuer;
    cur.link.signature_ok = ch.signed_ok;
    cur.link.key_id_match = KeyIdMatches(c, *ch.best->cert);
    cur.link.issuer_time_valid = ch.time_valid;
    Element next;
    next.ctx = KeepCert(ch.best->ctx.get(), *ch.best->cert);
    next.cert = ch.best->cert;
    out->elems.push_back(std::move(next));  // `cur` is not used past here
  }
}

}  // namespace tavrix::provider::chain
