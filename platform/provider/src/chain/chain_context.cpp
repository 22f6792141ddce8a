#include "chain/chain_context.h"

#include <memory>
#include <vector>

#include "base/handles.h"

namespace tavrix::provider::chain {

namespace {

struct ChainHolder {
  CERT_CHAIN_CONTEXT ctx{};
  CERT_SIMPLE_CHAIN simple{};
  PCERT_SIMPLE_CHAIN chains[1] = {nullptr};
  std::vector<CERT_CHAIN_ELEMENT> elems;
  std::vector<PCERT_CHAIN_ELEMENT> elem_ptrs;
  std::vector<CERT_REVOCATION_INFO> rev;
  std::vector<CERT_REVOCATION_CRL_INFO> crl_info;
  std::vector<CertHandle> certs;
  std::vector<CrlHandle> crls;
};

HandleTable<ChainHolder, PCCERT_CHAIN_CONTEXT>& Chains() {
  return LiveHandles<ChainHolder, PCCERT_CHAIN_CONTEXT>();
}

void FillRevocation(Element& e, CERT_REVOCATION_INFO* ri,
                    CERT_REVOCATION_CRL_INFO* ci, ChainHolder* h) {
  ri->cbSize = sizeof *ri;
  ri->dwRevocationResult = e.rev.result;
  if (!e.rev.crl) return;
  PCCRL_CONTEXT crl = e.rev.crl.get();
  ci->cbSize = sizeof *ci;
  ci->pBaseCrlContext = crl;
  if (e.rev.status == RevStatus::kRevoked &&
      e.rev.crl_entry < crl->pCrlInfo->cCRLEntry)
    ci->pCrlEntry = &crl->pCrlInfo->rgCRLEntry[e.rev.crl_entry];
  ri->pCrlInfo = ci;
  h->crls.push_back(std::move(e.rev.crl));
}

}  // namespace

PCCERT_CHAIN_CONTEXT PublishChain(Path* path) {
  auto h = std::make_shared<ChainHolder>();
  const size_t n = path->elems.size();
  h->elems.resize(n);
  h->elem_ptrs.resize(n);
  h->rev.resize(n);
  h->crl_info.resize(n);
  h->certs.reserve(n);
  h->crls.reserve(n);
  DWORD chain_error = path->partial ? CERT_TRUST_IS_PARTIAL_CHAIN : 0;
  DWORD chain_info = CERT_TRUST_HAS_PREFERRED_ISSUER;
  for (size_t i = 0; i < n; ++i) {
    Element& e = path->elems[i];
    CERT_CHAIN_ELEMENT& ce = h->elems[i];
    ce.cbSize = sizeof ce;
    ce.pCertContext = e.ctx.get();
    h->certs.push_back(std::move(e.ctx));
    ce.TrustStatus.dwErrorStatus = e.error;
    ce.TrustStatus.dwInfoStatus = e.info;
    chain_error |= e.error;
    if (!(e.info & CERT_TRUST_HAS_PREFERRED_ISSUER)) chain_info = 0;
    if (e.has_rev) {
      FillRevocation(e, &h->rev[i], &h->crl_info[i], h.get());
      ce.pRevocationInfo = &h->rev[i];
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
  const CERT_CHAIN_CONTEXT* ctx = &h->ctx;
  return Chains().Add(std::move(h), ctx);
}

bool RetainChain(PCCERT_CHAIN_CONTEXT chain) { return Chains().Retain(chain); }

void ReleaseChain(PCCERT_CHAIN_CONTEXT chain) {
  // The last reference goes when the returned pointer does, outside the
  // table's lock.
  std::shared_ptr<ChainHolder> dead = Chains().Release(chain);
}

}  // namespace tavrix::provider::chain
