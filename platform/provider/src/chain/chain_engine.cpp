// Chain engines and chain building: issuer search through the caller's and
// the user's stores, per-certificate checks, revocation, and the chain
// context handed back to the caller.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "base/c_boundary.h"
#include "chain/crl.h"
#include "chain/fetch.h"
#include "chain/revocation.h"
#include "chain/sig_verify.h"
#include "x509/certificate.h"

namespace tavrix::provider::chain {

namespace {

constexpr unsigned kDefaultTimeoutMs = 15000;
constexpr size_t kMaxDepth = 20;
const char kAnyEku[] = "2.5.29.37.0";

// A caller-supplied store handle is kept by duplicating it; when the store
// layer cannot duplicate, the caller's handle is used as it is and is not
// closed by the engine.
struct StoreRef {
  HCERTSTORE h = nullptr;
  bool owned = false;
};

StoreRef KeepStore(HCERTSTORE s) {
  StoreRef r;
  if (!s) return r;
  HCERTSTORE d = CertDuplicateStore(s);
  r.h = d ? d : s;
  r.owned = d != nullptr;
  return r;
}

void DropStore(const StoreRef& r) {
  if (r.h && r.owned) CertCloseStore(r.h, 0);
}

struct Engine {
  DWORD flags = 0;
  unsigned timeout_ms = kDefaultTimeoutMs;
  StoreRef restricted_root;
  StoreRef exclusive_root;
  std::vector<StoreRef> additional;
};

std::mutex g_mutex;
std::set<Engine*>& Engines() {
  static auto* s = new std::set<Engine*>();
  return *s;
}

struct Cand {
  PCCERT_CONTEXT ctx = nullptr;
  std::shared_ptr<x509::Certificate> pc;
};

struct Pool {
  std::vector<Cand> certs;
  std::vector<Bytes> roots;  // encodings of the trusted roots
  ~Pool() {
    for (Cand& c : certs) CertFreeCertificateContext(c.ctx);
  }
};

void LoadStore(HCERTSTORE store, Pool* pool, bool trusted) {
  if (!store) return;
  PCCERT_CONTEXT prev = nullptr;
  // A store of absurd size is cut off rather than read without end.
  for (size_t guard = 0; guard < 100000; ++guard) {
    // The enumeration releases `prev` itself, also when it returns null.
    PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, prev);
    prev = c;
    if (!c) break;
    if (!c->pbCertEncoded || c->cbCertEncoded == 0) continue;
    auto pc = std::make_shared<x509::Certificate>();
    if (!x509::ParseCertificate(c->pbCertEncoded, c->cbCertEncoded, pc.get()))
      continue;
    if (trusted) pool->roots.push_back(pc->encoded);
    PCCERT_CONTEXT kept = CertDuplicateCertificateContext(c);
    if (!kept) continue;
    pool->certs.push_back(Cand{kept, pc});
  }
  if (prev) CertFreeCertificateContext(prev);
}

HCERTSTORE OpenUserStore(const char* name) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                       CERT_SYSTEM_STORE_CURRENT_USER |
                           CERT_STORE_READONLY_FLAG |
                           CERT_STORE_OPEN_EXISTING_FLAG,
                       name);
}

bool InStore(const Bytes& enc, HCERTSTORE store) {
  Pool p;
  LoadStore(store, &p, false);
  for (const Cand& c : p.certs)
    if (c.pc->encoded == enc) return true;
  return false;
}

struct Elem {
  PCCERT_CONTEXT ctx = nullptr;
  std::shared_ptr<x509::Certificate> pc;
  DWORD error = 0;
  DWORD info = 0;
  bool has_rev = false;
  RevocationOutcome rev;
};

struct ChainHolder {
  CERT_CHAIN_CONTEXT ctx{};
  CERT_SIMPLE_CHAIN simple{};
  PCERT_SIMPLE_CHAIN chains[1] = {nullptr};
  std::vector<CERT_CHAIN_ELEMENT> elems;
  std::vector<PCERT_CHAIN_ELEMENT> elem_ptrs;
  std::vector<CERT_REVOCATION_INFO> rev;
  std::vector<CERT_REVOCATION_CRL_INFO> crl_info;
  std::vector<PCCERT_CONTEXT> certs;
  std::vector<PCCRL_CONTEXT> crls;
  long refs = 1;
  ~ChainHolder() {
    for (PCCERT_CONTEXT c : certs) CertFreeCertificateContext(c);
    for (PCCRL_CONTEXT c : crls) CertFreeCRLContext(c);
  }
};

std::map<const CERT_CHAIN_CONTEXT*, ChainHolder*>& Chains() {
  static auto* m = new std::map<const CERT_CHAIN_CONTEXT*, ChainHolder*>();
  return *m;
}

bool SignedBy(const x509::Certificate& subject,
              const x509::Certificate& issuer) {
  const x509::SignedParts& s = subject.signed_parts;
  return VerifyGostSignature(s.tbs.start, s.tbs.total(), s.sig_alg, s.signature,
                             issuer.PublicKeyInfo()) == 0;
}

Bytes KeyId(const x509::Certificate& c) {
  if (!c.subject_key_id.empty()) return c.subject_key_id;
  std::string hex = Sha1Hex(c.key_bits.data(), c.key_bits.size());
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(
        static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

bool TimeValid(const x509::Certificate& c, int64_t t) {
  return c.not_before <= t && t <= c.not_after;
}

bool UsageOk(const x509::Certificate& c, const CERT_USAGE_MATCH& want) {
  if (!c.has_eku || want.Usage.cUsageIdentifier == 0) return true;
  if (std::find(c.eku.begin(), c.eku.end(), kAnyEku) != c.eku.end())
    return true;
  size_t found = 0;
  for (DWORD i = 0; i < want.Usage.cUsageIdentifier; ++i) {
    const char* oid = want.Usage.rgpszUsageIdentifier
                          ? want.Usage.rgpszUsageIdentifier[i]
                          : nullptr;
    if (oid && std::find(c.eku.begin(), c.eku.end(), oid) != c.eku.end())
      ++found;
  }
  if (want.dwType == USAGE_MATCH_TYPE_OR) return found > 0;
  return found == want.Usage.cUsageIdentifier;
}

PCCERT_CONTEXT KeepCert(PCCERT_CONTEXT c, const x509::Certificate& pc) {
  PCCERT_CONTEXT d = c ? CertDuplicateCertificateContext(c) : nullptr;
  if (!d)
    d = CertCreateCertificateContext(X509_ASN_ENCODING, pc.encoded.data(),
                                     static_cast<DWORD>(pc.encoded.size()));
  return d;
}

}  // namespace

}  // namespace tavrix::provider::chain

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::chain;

extern "C" CAPI_EXPORT BOOL WINAPI CertCreateCertificateChainEngine(
    PCERT_CHAIN_ENGINE_CONFIG pConfig, HCERTCHAINENGINE* phChainEngine) try {
  if (!pConfig || !phChainEngine) return Fail(E_INVALIDARG);
  // Only the fields that cbSize covers are read: callers built against an
  // older, shorter structure must not have their memory read past its end.
  CERT_CHAIN_ENGINE_CONFIG cfg{};
  DWORD size = pConfig->cbSize;
  if (size < offsetof(CERT_CHAIN_ENGINE_CONFIG, hRestrictedRoot))
    return Fail(E_INVALIDARG);
  std::memcpy(&cfg, pConfig, std::min<size_t>(size, sizeof cfg));
  auto covers = [size](size_t off, size_t len) { return size >= off + len; };
  if (!covers(offsetof(CERT_CHAIN_ENGINE_CONFIG, hRestrictedRoot),
              sizeof(HCERTSTORE)))
    cfg.hRestrictedRoot = nullptr;
  if (!covers(offsetof(CERT_CHAIN_ENGINE_CONFIG, rghAdditionalStore),
              sizeof(HCERTSTORE*)))
    cfg.cAdditionalStore = 0;
  if (cfg.cAdditionalStore && !cfg.rghAdditionalStore)
    return Fail(E_INVALIDARG);
  if (cfg.cAdditionalStore > 1024) return Fail(E_INVALIDARG);
  auto e = std::make_unique<Engine>();
  if (covers(offsetof(CERT_CHAIN_ENGINE_CONFIG, dwFlags), sizeof(DWORD)))
    e->flags = cfg.dwFlags;
  if (covers(offsetof(CERT_CHAIN_ENGINE_CONFIG, dwUrlRetrievalTimeout),
             sizeof(DWORD)) &&
      cfg.dwUrlRetrievalTimeout)
    e->timeout_ms = cfg.dwUrlRetrievalTimeout;
  if (covers(offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot),
             sizeof(HCERTSTORE)))
    e->exclusive_root = KeepStore(cfg.hExclusiveRoot);
  e->restricted_root = KeepStore(cfg.hRestrictedRoot);
  for (DWORD i = 0; i < cfg.cAdditionalStore; ++i)
    if (cfg.rghAdditionalStore[i])
      e->additional.push_back(KeepStore(cfg.rghAdditionalStore[i]));
  std::lock_guard<std::mutex> lock(g_mutex);
  Engine* raw = e.release();
  Engines().insert(raw);
  *phChainEngine = raw;
  return TRUE;
}
CAPI_GUARD(FALSE)

extern "C" CAPI_EXPORT void WINAPI
CertFreeCertificateChainEngine(HCERTCHAINENGINE hChainEngine) try {
  if (!hChainEngine || hChainEngine == HCCE_LOCAL_MACHINE) return;
  Engine* e = static_cast<Engine*>(hChainEngine);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!Engines().erase(e)) return;  // unknown or already freed
  }
  DropStore(e->restricted_root);
  DropStore(e->exclusive_root);
  for (const StoreRef& s : e->additional) DropStore(s);
  delete e;
}
CAPI_GUARD_VOID

extern "C" CAPI_EXPORT BOOL WINAPI CertGetCertificateChain(
    HCERTCHAINENGINE hChainEngine, PCCERT_CONTEXT pCertContext,
    LPFILETIME pTime, HCERTSTORE hAdditionalStore, PCERT_CHAIN_PARA pChainPara,
    DWORD dwFlags, LPVOID /*pvReserved*/,
    PCCERT_CHAIN_CONTEXT* ppChainContext) try {
  if (ppChainContext) *ppChainContext = nullptr;
  if (!pCertContext || !ppChainContext || !pChainPara ||
      !pCertContext->pbCertEncoded || pCertContext->cbCertEncoded == 0)
    return Fail(E_INVALIDARG);
  if (pChainPara->cbSize < sizeof(DWORD)) return Fail(E_INVALIDARG);

  Engine defaults;
  Engine engine_copy;
  const Engine* engine = &defaults;
  if (hChainEngine && hChainEngine != HCCE_LOCAL_MACHINE) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Engine* e = static_cast<Engine*>(hChainEngine);
    if (!Engines().count(e)) return Fail(ERROR_INVALID_HANDLE);
    engine_copy = *e;
    engine = &engine_copy;
  }

  // The chain parameters are read as far as cbSize covers them.
  CERT_USAGE_MATCH usage{};
  const DWORD psize = pChainPara->cbSize;
  if (psize >= offsetof(CERT_CHAIN_PARA, RequestedUsage) + sizeof usage)
    usage = pChainPara->RequestedUsage;
  if (usage.Usage.cUsageIdentifier && !usage.Usage.rgpszUsageIdentifier)
    return Fail(E_INVALIDARG);
  unsigned timeout_ms = engine->timeout_ms;
  if (psize >=
          offsetof(CERT_CHAIN_PARA, dwUrlRetrievalTimeout) + sizeof(DWORD) &&
      pChainPara->dwUrlRetrievalTimeout)
    timeout_ms = pChainPara->dwUrlRetrievalTimeout;

  int64_t now = pTime ? der::FileTimeToUnix(*pTime)
                      : static_cast<int64_t>(std::time(nullptr));
  int64_t wall_now = static_cast<int64_t>(std::time(nullptr));

  auto end = std::make_shared<x509::Certificate>();
  if (!x509::ParseCertificate(pCertContext->pbCertEncoded,
                              pCertContext->cbCertEncoded, end.get()))
    return Fail(CRYPT_E_ASN1_BADTAG);

  // Where issuers are looked for, in order of preference.
  Pool pool;
  LoadStore(hAdditionalStore, &pool, false);
  for (const StoreRef& s : engine->additional) LoadStore(s.h, &pool, false);
  HCERTSTORE ca = OpenUserStore("CA");
  LoadStore(ca, &pool, false);
  if (ca) CertCloseStore(ca, 0);
  if (engine->exclusive_root.h) {
    LoadStore(engine->exclusive_root.h, &pool, true);
  } else {
    HCERTSTORE root = OpenUserStore("ROOT");
    Pool roots;
    LoadStore(root, &roots, true);
    if (root) CertCloseStore(root, 0);
    for (Cand& c : roots.certs) {
      if (engine->restricted_root.h &&
          !InStore(c.pc->encoded, engine->restricted_root.h))
        continue;
      pool.roots.push_back(c.pc->encoded);
      pool.certs.push_back(c);
      c.ctx = nullptr;  // moved into pool
    }
  }
  HCERTSTORE my = OpenUserStore("MY");
  LoadStore(my, &pool, false);
  if (my) CertCloseStore(my, 0);
  auto trusted = [&pool](const x509::Certificate& c) {
    return std::find(pool.roots.begin(), pool.roots.end(), c.encoded) !=
           pool.roots.end();
  };

  // ----------------------------------------------------------- the path
  std::vector<Elem> elems;
  Elem first;
  first.ctx = KeepCert(pCertContext, *end);
  first.pc = end;
  elems.push_back(first);
  bool partial = false;
  bool complete = false;
  for (;;) {
    Elem& cur = elems.back();
    const x509::Certificate& c = *cur.pc;
    if (c.SelfIssued()) {
      // Self-issued: the chain ends here unless it is a key rollover.
      bool self_ok = SignedBy(c, c);
      if (self_ok || trusted(c)) {
        cur.info |=
            CERT_TRUST_IS_SELF_SIGNED | CERT_TRUST_HAS_NAME_MATCH_ISSUER;
        if (!c.authority_key_id.empty() && c.authority_key_id == KeyId(c))
          cur.info |= CERT_TRUST_HAS_KEY_MATCH_ISSUER;
        if (!self_ok) cur.error |= CERT_TRUST_IS_NOT_SIGNATURE_VALID;
        if (trusted(c))
          cur.info |= CERT_TRUST_HAS_PREFERRED_ISSUER;
        else
          cur.error |= CERT_TRUST_IS_UNTRUSTED_ROOT;
        complete = true;
        break;
      }
    }
    if (elems.size() >= kMaxDepth) {
      partial = true;
      break;
    }
    // Best issuer: signature good, key identifier matching, valid in time,
    // trusted, in that order of weight.
    const Cand* best = nullptr;
    int best_score = -1;
    bool cyclic_only = false;
    for (const Cand& cand : pool.certs) {
      if (!cand.ctx || cand.pc->subject != c.issuer) continue;
      bool seen = false;
      for (const Elem& e : elems)
        if (e.pc->encoded == cand.pc->encoded) seen = true;
      if (seen) {
        cyclic_only = true;
        continue;
      }
      int score = 0;
      if (SignedBy(c, *cand.pc)) score += 8;
      if (!c.authority_key_id.empty() && c.authority_key_id == KeyId(*cand.pc))
        score += 4;
      if (TimeValid(*cand.pc, now)) score += 2;
      if (trusted(*cand.pc)) score += 1;
      if (score > best_score) {
        best_score = score;
        best = &cand;
      }
    }
    if (!best) {
      if (cyclic_only)
        cur.error |= CERT_TRUST_IS_CYCLIC;
      else
        partial = true;
      break;
    }
    cur.info |= CERT_TRUST_HAS_NAME_MATCH_ISSUER;
    if (!c.authority_key_id.empty() && c.authority_key_id == KeyId(*best->pc))
      cur.info |= CERT_TRUST_HAS_KEY_MATCH_ISSUER;
    if (best_score & 8) {
      if (best_score & 2) cur.info |= CERT_TRUST_HAS_PREFERRED_ISSUER;
    } else {
      cur.error |= CERT_TRUST_IS_NOT_SIGNATURE_VALID;
    }
    Elem next;
    next.ctx = KeepCert(best->ctx, *best->pc);
    next.pc = best->pc;
    elems.push_back(next);
  }
  for (const Elem& e : elems)
    if (!e.ctx) {
      for (const Elem& f : elems) CertFreeCertificateContext(f.ctx);
      return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }

  // ------------------------------------------------- per-certificate checks
  const size_t n = elems.size();
  size_t intermediates_below = 0;  // non-self-issued CA certs under i
  for (size_t i = 0; i < n; ++i) {
    Elem& e = elems[i];
    const x509::Certificate& c = *e.pc;
    if (!TimeValid(c, now)) e.error |= CERT_TRUST_IS_NOT_TIME_VALID;
    if (i + 1 < n) {
      const x509::Certificate& up = *elems[i + 1].pc;
      if (c.not_before < up.not_before || c.not_after > up.not_after)
        e.error |= CERT_TRUST_IS_NOT_TIME_NESTED;
    }
    if (c.bad_extension) e.error |= CERT_TRUST_INVALID_EXTENSION;
    if (c.unknown_critical)
      e.error |= CERT_TRUST_INVALID_EXTENSION |
                 CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT;
    if (!UsageOk(c, usage)) e.error |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    if (i > 0) {
      bool anchor = complete && i == n - 1;
      bool ca_ok =
          c.has_basic_constraints ? c.is_ca : (anchor || c.version < CERT_V3);
      if (!ca_ok) e.error |= CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
      if (c.has_path_len && intermediates_below > c.path_len)
        e.error |= CERT_TRUST_INVALID_BASIC_CONSTRAINTS;
      if (c.has_key_usage && !x509::KeyUsageHas(c, x509::kKeyUsageKeyCertSign))
        e.error |= CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
      if (!c.SelfIssued()) ++intermediates_below;
    }
  }

  // ------------------------------------------------------------ revocation
  const DWORD rev_flags =
      dwFlags & (CERT_CHAIN_REVOCATION_CHECK_END_CERT |
                 CERT_CHAIN_REVOCATION_CHECK_CHAIN |
                 CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT);
  if (rev_flags) {
    RevocationOptions opts;
    opts.timeout_ms = timeout_ms;
    opts.cache_only = (dwFlags & CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY) ||
                      (engine->flags & CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL);
    // Each retrieval has its own time-out, and the whole chain one deadline
    // as well, so that many slow points cannot add up without end.
    const unsigned long long budget_ms =
        (dwFlags & CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT)
            ? timeout_ms
            : static_cast<unsigned long long>(timeout_ms) *
                  kChainRevocationTimeouts;
    opts.has_deadline = true;
    opts.deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(budget_ms);
    size_t last = 1;
    if (rev_flags & (CERT_CHAIN_REVOCATION_CHECK_CHAIN |
                     CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT))
      last = n;
    for (size_t i = 0; i < last; ++i) {
      Elem& e = elems[i];
      bool is_root = complete && i == n - 1;
      if (is_root && (rev_flags & CERT_CHAIN_REVOCATION_CHECK_CHAIN) == 0 &&
          i > 0)
        continue;
      // A self-signed root can only be revoked by sources it names itself.
      if (is_root && e.pc->crl_urls.empty() && e.pc->ocsp_urls.empty())
        continue;
      e.has_rev = true;
      if (i + 1 >= n && !is_root) {
        // No issuer: nothing can vouch for the status.
        e.error |= CERT_TRUST_REVOCATION_STATUS_UNKNOWN;
        continue;
      }
      const x509::Certificate& issuer = is_root ? *e.pc : *elems[i + 1].pc;
      e.rev = CheckRevocation(*e.pc, issuer, wall_now, opts);
      if (e.rev.status == RevStatus::kRevoked)
        e.error |= CERT_TRUST_IS_REVOKED;
      else if (e.rev.status == RevStatus::kUnknown)
        e.error |= CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                   (e.rev.offline ? CERT_TRUST_IS_OFFLINE_REVOCATION : 0);
    }
  }

  // --------------------------------------------------------- the context
  auto h = std::make_unique<ChainHolder>();
  h->elems.resize(n);
  h->elem_ptrs.resize(n);
  h->rev.resize(n);
  h->crl_info.resize(n);
  DWORD chain_error = partial ? CERT_TRUST_IS_PARTIAL_CHAIN : 0;
  DWORD chain_info = CERT_TRUST_HAS_PREFERRED_ISSUER;
  for (size_t i = 0; i < n; ++i) {
    Elem& e = elems[i];
    CERT_CHAIN_ELEMENT& ce = h->elems[i];
    ce.cbSize = sizeof ce;
    ce.pCertContext = e.ctx;
    h->certs.push_back(e.ctx);
    ce.TrustStatus.dwErrorStatus = e.error;
    ce.TrustStatus.dwInfoStatus = e.info;
    chain_error |= e.error;
    if (!(e.info & CERT_TRUST_HAS_PREFERRED_ISSUER)) chain_info = 0;
    if (e.has_rev) {
      CERT_REVOCATION_INFO& ri = h->rev[i];
      ri.cbSize = sizeof ri;
      ri.dwRevocationResult = e.rev.result;
      if (e.rev.crl) {
        CERT_REVOCATION_CRL_INFO& ci = h->crl_info[i];
        ci.cbSize = sizeof ci;
        ci.pBaseCrlContext = e.rev.crl;
        h->crls.push_back(e.rev.crl);
        if (e.rev.status == RevStatus::kRevoked &&
            e.rev.crl_entry < e.rev.crl->pCrlInfo->cCRLEntry)
          ci.pCrlEntry = &e.rev.crl->pCrlInfo->rgCRLEntry[e.rev.crl_entry];
        ri.pCrlInfo = &ci;
      }
      ce.pRevocationInfo = &ri;
    }
    h->elem_ptrs[i] = &ce;
  }
  h->simple.cbSize = sizeof h->simple;
  h->simple.TrustStatus.dwErrorStatus = chain_error;
  h->simple.TrustStatus.dwInfoStatus = chain_info;
  h->simple.cElement = static_cast<DWORD>(n);
  h->simple.rgpElement = h->elem_ptrs.data();
  h->chains[0] = &h->simple;
  h->ctx.cbSize = sizeof h->ctx;
  h->ctx.TrustStatus = h->simple.TrustStatus;
  h->ctx.cChain = 1;
  h->ctx.rgpChain = h->chains;

  std::lock_guard<std::mutex> lock(g_mutex);
  ChainHolder* raw = h.release();
  Chains()[&raw->ctx] = raw;
  *ppChainContext = &raw->ctx;
  SetLastError(0);
  return TRUE;
}
CAPI_GUARD(FALSE)

extern "C" CAPI_EXPORT void WINAPI
CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) try {
  if (!pChainContext) return;
  ChainHolder* dead = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = Chains().find(pChainContext);
    if (it == Chains().end()) return;  // foreign or already freed
    if (--it->second->refs == 0) {
      dead = it->second;
      Chains().erase(it);
    }
  }
  delete dead;
}
CAPI_GUARD_VOID

extern "C" CAPI_EXPORT PCCERT_CHAIN_CONTEXT WINAPI
CertDuplicateCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) try {
  if (!pChainContext) return nullptr;
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = Chains().find(pChainContext);
  if (it == Chains().end()) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  ++it->second->refs;
  return pChainContext;
}
CAPI_GUARD(nullptr)
