// The exported chain calls: engines (which stores a chain may draw on, and
// the retrieval time-out), and CertGetCertificateChain, which loads the
// candidates (candidates.h), builds the path (path.h), checks each element
// (element_checks.h) and hands out the context (chain_context.h).
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <memory>

#include "base/c_boundary.h"
#include "base/handles.h"
#include "chain/candidates.h"
#include "chain/chain_context.h"
#include "chain/element_checks.h"
#include "chain/path.h"
#include "x509/certificate.h"

namespace tavrix::provider::chain {

namespace {

HandleTable<EngineConfig, HCERTCHAINENGINE>& Engines() {
  return LiveHandles<EngineConfig, HCERTCHAINENGINE>();
}

// Only the fields that cbSize covers are read: callers built against an
// older, shorter structure must not have their memory read past its end.
bool ReadEngineConfig(const CERT_CHAIN_ENGINE_CONFIG& given,
                      EngineConfig* out) {
  CERT_CHAIN_ENGINE_CONFIG cfg{};
  const DWORD size = given.cbSize;
  if (size < offsetof(CERT_CHAIN_ENGINE_CONFIG, hRestrictedRoot))
    return Fail(E_INVALIDARG);
  std::memcpy(&cfg, &given, std::min<size_t>(size, sizeof cfg));
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
  if (covers(offsetof(CERT_CHAIN_ENGINE_CONFIG, dwFlags), sizeof(DWORD)))
    out->flags = cfg.dwFlags;
  if (covers(offsetof(CERT_CHAIN_ENGINE_CONFIG, dwUrlRetrievalTimeout),
             sizeof(DWORD)) &&
      cfg.dwUrlRetrievalTimeout)
    out->timeout_ms = cfg.dwUrlRetrievalTimeout;
  if (covers(offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot),
             sizeof(HCERTSTORE)))
    out->exclusive_root = KeepStore(cfg.hExclusiveRoot);
  out->restricted_root = KeepStore(cfg.hRestrictedRoot);
  for (DWORD i = 0; i < cfg.cAdditionalStore; ++i)
    if (cfg.rghAdditionalStore[i])
      out->additional.push_back(KeepStore(cfg.rghAdditionalStore[i]));
  return TRUE;
}

// What CertGetCertificateChain takes from CERT_CHAIN_PARA, read as far as
// its cbSize covers it.
struct ChainRequest {
  CERT_USAGE_MATCH usage{};
  unsigned timeout_ms = 0;
};

bool ReadChainPara(const CERT_CHAIN_PARA& para, const EngineConfig& engine,
                   ChainRequest* out) {
  const DWORD psize = para.cbSize;
  if (psize >= offsetof(CERT_CHAIN_PARA, RequestedUsage) + sizeof out->usage)
    out->usage = para.RequestedUsage;
  if (out->usage.Usage.cUsageIdentifier &&
      !out->usage.Usage.rgpszUsageIdentifier)
    return Fail(E_INVALIDARG);
  out->timeout_ms = engine.timeout_ms;
  if (psize >=
          offsetof(CERT_CHAIN_PARA, dwUrlRetrievalTimeout) + sizeof(DWORD) &&
      para.dwUrlRetrievalTimeout)
    out->timeout_ms = para.dwUrlRetrievalTimeout;
  return true;
}

}  // namespace

}  // namespace tavrix::provider::chain

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::chain;

extern "C" CAPI_EXPORT BOOL WINAPI CertCreateCertificateChainEngine(
    PCERT_CHAIN_ENGINE_CONFIG pConfig, HCERTCHAINENGINE* phChainEngine) try {
  if (!pConfig || !phChainEngine) return Fail(E_INVALIDARG);
  auto e = std::make_shared<EngineConfig>();
  if (!ReadEngineConfig(*pConfig, e.get())) return FALSE;
  *phChainEngine = Engines().Add(std::move(e));
  return TRUE;
}
CAPI_GUARD(FALSE)

extern "C" CAPI_EXPORT void WINAPI
CertFreeCertificateChainEngine(HCERTCHAINENGINE hChainEngine) try {
  if (!hChainEngine || hChainEngine == HCCE_LOCAL_MACHINE) return;
  // Unknown or already freed engines are ignored; the last user of a live
  // one closes its stores.
  std::shared_ptr<EngineConfig> dead = Engines().Release(hChainEngine);
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

  // The engine stays alive for this call even if another thread frees it.
  std::shared_ptr<const EngineConfig> engine;
  if (hChainEngine && hChainEngine != HCCE_LOCAL_MACHINE) {
    engine = Engines().Get(hChainEngine);
    if (!engine) return Fail(ERROR_INVALID_HANDLE);
  } else {
    engine = std::make_shared<const EngineConfig>();
  }
  ChainRequest req;
  if (!ReadChainPara(*pChainPara, *engine, &req)) return FALSE;

  const int64_t now = pTime ? der::FileTimeToUnix(*pTime)
                            : static_cast<int64_t>(std::time(nullptr));
  const int64_t wall_now = static_cast<int64_t>(std::time(nullptr));

  auto end = std::make_shared<x509::Certificate>();
  if (!ParseForChain(pCertContext->pbCertEncoded, pCertContext->cbCertEncoded,
                     end.get()))
    return Fail(CRYPT_E_ASN1_BADTAG);

  const Candidates pool = LoadCandidates(*engine, hAdditionalStore);
  Path path;
  if (!BuildPath(pCertContext, std::move(end), pool, now, &path)) return FALSE;
  CheckElements(req.usage, now, &path);
  RevocationRequest rev;
  rev.flags = dwFlags;
  rev.engine_flags = engine->flags;
  rev.timeout_ms = req.timeout_ms;
  rev.wall_now = wall_now;
  CheckRevocations(rev, &path);

  *ppChainContext = PublishChain(&path);
  SetLastError(0);
  return TRUE;
}
CAPI_GUARD(FALSE)

extern "C" CAPI_EXPORT void WINAPI
CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) try {
  // Foreign or already freed contexts are ignored.
  if (pChainContext) ReleaseChain(pChainContext);
}
CAPI_GUARD_VOID

extern "C" CAPI_EXPORT PCCERT_CHAIN_CONTEXT WINAPI
CertDuplicateCertificateChain(PCCERT_CHAIN_CONTEXT pChainContext) try {
  if (!pChainContext) return nullptr;
  if (!RetainChain(pChainContext))
    return FailWith(E_INVALIDARG, PCCERT_CHAIN_CONTEXT{nullptr});
  return pChainContext;
}
CAPI_GUARD(nullptr)
