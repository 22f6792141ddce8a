#include "chain/evidence.h"

#include <chrono>
#include <cstring>
#include <ctime>

#include "base/c_boundary.h"
#include "chain/candidates.h"
#include "chain/revocation.h"

namespace {

namespace x509 = tavrix::provider::x509;
using tavrix::provider::Fail;
using tavrix::provider::chain::Bytes;

bool Parse(PCCERT_CONTEXT c, x509::Certificate* out) {
  return c && c->pbCertEncoded &&
         tavrix::provider::chain::ParseForChain(c->pbCertEncoded,
                                                c->cbCertEncoded, out);
}

BOOL HandOut(const uint8_t* p, size_t n, BYTE** pp, DWORD* pcb) {
  auto* buf = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, n ? n : 1));
  if (!buf) return Fail(ERROR_NOT_ENOUGH_MEMORY);
  std::memcpy(buf, p, n);
  *pp = buf;
  *pcb = static_cast<DWORD>(n);
  return TRUE;
}

}  // namespace

extern "C" CAPI_EXPORT BOOL WINAPI TavrixGetRevocationEvidence(
    PCCERT_CONTEXT pCert, PCCERT_CONTEXT pIssuer, DWORD dwTimeoutMs,
    DWORD* pdwKind, BYTE** ppbEvidence, DWORD* pcbEvidence) try {
  if (!pdwKind || !ppbEvidence || !pcbEvidence) return Fail(E_INVALIDARG);
  *ppbEvidence = nullptr;
  *pcbEvidence = 0;
  x509::Certificate cert, issuer;
  if (!Parse(pCert, &cert) || !Parse(pIssuer, &issuer))
    return Fail(CRYPT_E_ASN1_BADTAG);
  tavrix::provider::chain::RevocationOptions opts;
  opts.timeout_ms = dwTimeoutMs ? dwTimeoutMs : opts.timeout_ms;
  opts.has_deadline = true;
  opts.deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(opts.timeout_ms);
  tavrix::provider::chain::RevocationOutcome r =
      tavrix::provider::chain::CheckRevocation(
          cert, issuer, static_cast<int64_t>(std::time(nullptr)), opts);
  BOOL ok = FALSE;
  DWORD err = r.result ? r.result : CRYPT_E_NO_REVOCATION_CHECK;
  if (r.status == tavrix::provider::chain::RevStatus::kGood) {
    if (!r.ocsp_response.empty()) {
      *pdwKind = TAVRIX_EVIDENCE_OCSP;
      ok = HandOut(r.ocsp_response.data(), r.ocsp_response.size(), ppbEvidence,
                   pcbEvidence);
    } else if (r.crl) {
      *pdwKind = TAVRIX_EVIDENCE_CRL;
      ok = HandOut(r.crl.get()->pbCrlEncoded, r.crl.get()->cbCrlEncoded,
                   ppbEvidence, pcbEvidence);
    }
    err = ok ? 0 : GetLastError();
  } else if (r.status == tavrix::provider::chain::RevStatus::kRevoked) {
    err = CRYPT_E_REVOKED;
  }
  if (!ok) return Fail(err ? err : CRYPT_E_NO_REVOCATION_CHECK);
  return TRUE;
}
CAPI_GUARD(FALSE)

extern "C" CAPI_EXPORT BOOL WINAPI TavrixJudgeOcspEvidence(
    PCCERT_CONTEXT pCert, PCCERT_CONTEXT pIssuer, const BYTE* pbResponse,
    DWORD cbResponse, const FILETIME* pTime, BOOL* pbGood) try {
  if (!pbResponse || !pTime || !pbGood) return Fail(E_INVALIDARG);
  x509::Certificate cert, issuer;
  if (!Parse(pCert, &cert) || !Parse(pIssuer, &issuer))
    return Fail(CRYPT_E_ASN1_BADTAG);
  tavrix::provider::chain::RevStatus s =
      tavrix::provider::chain::JudgeOcspResponse(
          Bytes(pbResponse, pbResponse + cbResponse), cert, issuer, {},
          tavrix::provider::der::FileTimeToUnix(*pTime));
  if (s == tavrix::provider::chain::RevStatus::kUnknown)
    return Fail(CRYPT_E_REVOCATION_OFFLINE);
  *pbGood = s == tavrix::provider::chain::RevStatus::kGood;
  return TRUE;
}
CAPI_GUARD(FALSE)
