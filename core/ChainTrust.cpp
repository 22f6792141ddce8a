// Whether the signer's certificate can be trusted now: its chain built with
// a private engine, and the chain's trust error bits as Russian text.
#include <string>

#include "PrintTemplate.h"
#include "TavrixCtrl.h"
#include "TavrixUtils.h"

namespace {

// Not every CryptoAPI header names these two.
const DWORD kEnableCacheAutoUpdate = 0x00000010;
const DWORD kTimestampTime = 0x00000200;

}  // namespace

std::string TavrixCtrl::VerifyTrust(const CERT_CONTEXT* pSignerCert,
                                    bool CheckRevocation, bool& isValid) {
  TavrixUtils::ODebug("VerifyTrust: pSignerCert=" + toString(pSignerCert) +
                      " CheckRevocation=" + toString(CheckRevocation ? 1 : 0));
  TavrixUtils::ODebug("VerifyTrust: =1");
  CERT_CHAIN_ENGINE_CONFIG config{};
  config.cbSize = 64;
  config.dwFlags = CERT_CHAIN_CACHE_END_CERT | kEnableCacheAutoUpdate;
  config.dwUrlRetrievalTimeout = 5000;
  HCERTCHAINENGINE engine = nullptr;
  if (!CertCreateCertificateChainEngine(&config, &engine))
    return MyHandleError("VerifyTrust-CertCreateCertificateChainEngine", false);

  TavrixUtils::ODebug("VerifyTrust: =2");
  CERT_CHAIN_PARA para{};
  para.cbSize = 32;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  const DWORD flags = CheckRevocation
                          ? CERT_CHAIN_REVOCATION_CHECK_END_CERT |
                                kTimestampTime | CERT_CHAIN_CACHE_END_CERT
                          : CERT_CHAIN_CACHE_END_CERT | kTimestampTime;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(engine, pSignerCert, nullptr, nullptr, &para,
                               flags, nullptr, &chain)) {
    std::string envelope =
        MyHandleError("VerifyTrust-CertGetCertificateChain", false);
    CertFreeCertificateChainEngine(engine);
    return envelope;
  }

  TavrixUtils::ODebug("VerifyTrust: =3");
  const DWORD errorStatus = chain->TrustStatus.dwErrorStatus;
  std::string text;
  if (errorStatus != 0) {
    TavrixUtils::ODebug("VerifyTrust: =3.1");
    _CHECKSIGNRESULT record{};
    record.bChainBuilt = true;
    record.dwChainStatus = errorStatus;
    text = PrintTemplate::GetMsgCheckChainStatus(&record);
    TavrixUtils::ODebug("VerifyTrust: =3.2");
    isValid = false;
  } else {
    text = "Успешная проверка подписи.";
  }
  CertFreeCertificateChain(chain);
  CertFreeCertificateChainEngine(engine);
  TavrixUtils::ODebug("VerifyTrust: =4");
  return text;
}
