// Which CAdES form a signer has, judged by the attributes it carries; the
// values themselves are the verifier's business.
#include "cades_internal.h"

using namespace tavrix_cades;

namespace {

bool IsBes(const CRYPT_ATTRIBUTES* signed_attrs) {
  return FindAttribute(signed_attrs, kOidContentType) &&
         FindAttribute(signed_attrs, kOidMessageDigest) &&
         (FindAttribute(signed_attrs, kOidSigningCertificateV2) ||
          FindAttribute(signed_attrs, kOidSigningCertificate));
}

}  // namespace

extern "C" CAPI_EXPORT BOOL WINAPI CadesMsgIsType(HCRYPTMSG hCryptMsg,
                                                  DWORD dwSignatureIndex,
                                                  DWORD dwCadesType,
                                                  BOOL* pbResult) {
  if (!hCryptMsg || !pbResult) return Fail(E_INVALIDARG);
  if (dwCadesType != CADES_BES && dwCadesType != CADES_T &&
      dwCadesType != CADES_X_LONG_TYPE_1)
    return Fail(CADES_E_UNSUPPORTED_TYPE);
  std::vector<uint8_t> s1, s2;
  const CRYPT_ATTRIBUTES* sa = nullptr;
  const CRYPT_ATTRIBUTES* ua = nullptr;
  if (!SignerAttributes(hCryptMsg, dwSignatureIndex, false, &s1, &sa) ||
      !SignerAttributes(hCryptMsg, dwSignatureIndex, true, &s2, &ua))
    return FALSE;
  bool result = IsBes(sa);
  if (dwCadesType != CADES_BES)
    result = result && FindAttribute(ua, kOidSignatureTimeStamp);
  if (dwCadesType == CADES_X_LONG_TYPE_1)
    result = result && FindAttribute(ua, kOidCompleteCertRefs) &&
             FindAttribute(ua, kOidCompleteRevocationRefs) &&
             FindAttribute(ua, kOidCertValues) &&
             FindAttribute(ua, kOidRevocationValues) &&
             FindAttribute(ua, kOidCadesCTimeStamp);
  *pbResult = result ? TRUE : FALSE;
  return TRUE;
}
