// Revocation evidence for components of the provider that embed it (the
// CAdES runtime): the same retrieval and checks the chain engine uses, with
// the deciding answer handed out. Not a CryptoAPI call; only libcapi20 of
// this provider exports it.
#pragma once

#include <capi/wincrypt.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TAVRIX_EVIDENCE_OCSP 1  // *ppbEvidence is a whole OCSPResponse
#define TAVRIX_EVIDENCE_CRL 2   // *ppbEvidence is a CertificateList

// Asks the certificate's OCSP responders, then its CRL distribution points,
// within dwTimeoutMs in all. TRUE only when the answer says "good" and was
// checked (issuer or delegated responder signature, certificate id,
// freshness, our nonce); the evidence is LocalAlloc'ed for the caller.
// FALSE with CRYPT_E_REVOKED, CRYPT_E_REVOCATION_OFFLINE (nothing usable
// came back) or CRYPT_E_NO_REVOCATION_CHECK (the certificate names no
// source).
CAPI_EXPORT BOOL WINAPI TavrixGetRevocationEvidence(
    PCCERT_CONTEXT pCert, PCCERT_CONTEXT pIssuer, DWORD dwTimeoutMs,
    DWORD *pdwKind, BYTE **ppbEvidence, DWORD *pcbEvidence);

// Judges an archived OCSPResponse for pCert at the given time, without a
// nonce and without network: TRUE with *pbGood set when the answer is
// usable (*pbGood FALSE means revoked); FALSE when it is not usable.
CAPI_EXPORT BOOL WINAPI TavrixJudgeOcspEvidence(
    PCCERT_CONTEXT pCert, PCCERT_CONTEXT pIssuer, const BYTE *pbResponse,
    DWORD cbResponse, const FILETIME *pTime, BOOL *pbGood);

#ifdef __cplusplus
}
#endif
