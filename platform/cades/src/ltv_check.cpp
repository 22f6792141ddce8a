#include "ltv_check.h"

#include "cades_internal.h"

namespace tavrix_ltv {

namespace der = ::tavrix::provider::der;
using der::DefiniteReader;
using der::Tlv;

namespace {

using tavrix_cades::CertCtx;

// Bits that say nothing about a past moment: revocation is judged from the
// carried values, no usage is asked for, and nesting is no trust fault.
constexpr DWORD kIgnoredTrustBits =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION |
    CERT_TRUST_IS_NOT_TIME_NESTED | CERT_TRUST_IS_NOT_VALID_FOR_USAGE;

}  // namespace

bool TrustedChainAt(const Bytes& end, int64_t when,
                    const std::vector<Bytes>& extra,
                    std::vector<Bytes>* chain) {
  chain->clear();
  CertCtx leaf(end);
  if (!leaf.c) return false;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (!store) return false;
  for (const Bytes& b : extra)
    if (!b.empty() && b.size() <= 0xFFFFFFFFu)
      CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, b.data(),
                                       static_cast<DWORD>(b.size()),
                                       CERT_STORE_ADD_USE_EXISTING, nullptr);
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  FILETIME ft = der::UnixToFileTime(when);
  PCCERT_CHAIN_CONTEXT ctx = nullptr;
  bool ok = CertGetCertificateChain(nullptr, leaf.c, &ft, store, &para, 0,
                                    nullptr, &ctx) &&
            ctx && ctx->cChain == 1;
  if (ok) {
    const CERT_SIMPLE_CHAIN* s = ctx->rgpChain[0];
    ok = (s->TrustStatus.dwErrorStatus & ~kIgnoredTrustBits) == 0 &&
         s->cElement > 0;
    for (DWORD i = 0; ok && i < s->cElement; ++i) {
      PCCERT_CONTEXT c = s->rgpElement[i]->pCertContext;
      chain->emplace_back(c->pbCertEncoded,
                          c->pbCertEncoded + c->cbCertEncoded);
    }
  }
  if (ctx) CertFreeCertificateChain(ctx);
  CertCloseStore(store, 0);
  if (!ok) chain->clear();
  return ok;
}

}  // namespace tavrix_ltv
