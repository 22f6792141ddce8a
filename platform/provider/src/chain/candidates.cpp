#include "chain/candidates.h"

#include <algorithm>

namespace tavrix::provider::chain {

namespace {

// A store of absurd size is cut off rather than read without end.
constexpr size_t kMaxStoreCertificates = 100000;

void LoadStore(HCERTSTORE store, Candidates* out, bool trusted) {
  if (!store) return;
  PCCERT_CONTEXT prev = nullptr;
  for (size_t guard = 0; guard < kMaxStoreCertificates; ++guard) {
    // The enumeration releases `prev` itself, also when it returns null.
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, prev);
    prev = c;
    if (!c) break;
    if (!c->pbCertEncoded || c->cbCertEncoded == 0) continue;
    auto parsed = std::make_shared<x509::Certificate>();
    if (!ParseForChain(c->pbCertEncoded, c->cbCertEncoded, parsed.get()))
      continue;
    if (trusted) out->roots.push_back(parsed->encoded);
    CertHandle kept(CertDuplicateCertificateContext(c));
    if (!kept) continue;
    out->certs.push_back(Candidate{std::move(kept), std::move(parsed)});
  }
  CertHandle last(prev);  // only when the guard cut the enumeration off
}

StoreHandle OpenUserStore(const char* name) {
  return StoreHandle(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER |
                                       CERT_STORE_READONLY_FLAG |
                                       CERT_STORE_OPEN_EXISTING_FLAG,
                                   name));
}

void LoadUserStore(const char* name, Candidates* out, bool trusted) {
  StoreHandle store = OpenUserStore(name);
  LoadStore(store.get(), out, trusted);
}

bool InStore(const Bytes& enc, HCERTSTORE store) {
  Candidates in;
  LoadStore(store, &in, false);
  return std::any_of(
      in.certs.begin(), in.certs.end(),
      [&enc](const Candidate& c) { return c.cert->encoded == enc; });
}

}  // namespace

StoreRef KeepStore(HCERTSTORE s) {
  StoreRef r;
  if (!s) return r;
  r.owned.reset(CertDuplicateStore(s));
  r.h = r.owned ? r.owned.get() : s;
  return r;
}

bool Candidates::Trusted(const x509::Certificate& c) const {
  return std::find(roots.begin(), roots.end(), c.encoded) != roots.end();
}

bool ParseForChain(const uint8_t* p, size_t n, x509::Certificate* out) {
  return x509::ParseCertificate(p, n, out) && x509::InProfile(*out);
}

Candidates LoadCandidates(const EngineConfig& engine, HCERTSTORE extra) {
  Candidates out;
  LoadStore(extra, &out, false);
  for (const StoreRef& s : engine.additional) LoadStore(s.h, &out, false);
  LoadUserStore("CA", &out, false);
  if (engine.exclusive_root.h) {
    LoadStore(engine.exclusive_root.h, &out, true);
  } else {
    Candidates roots;
    LoadUserStore("ROOT", &roots, true);
    for (Candidate& c : roots.certs) {
      if (engine.restricted_root.h &&
          !InStore(c.cert->encoded, engine.restricted_root.h))
        continue;
      out.roots.push_back(c.cert->encoded);
      out.certs.push_back(std::move(c));
    }
  }
  LoadUserStore("MY", &out, false);
  return out;
}

}  // namespace tavrix::provider::chain
