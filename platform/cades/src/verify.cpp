// Verification is not built yet: the calls exist so that the runtime is
// complete for its callers, and they fail cleanly rather than claim a verdict.
#include <capi/cades.h>
#include <capi/capi.h>

extern "C" {

CAPI_EXPORT BOOL WINAPI
CadesMsgVerifySignature(HCRYPTMSG, DWORD, PCADES_VERIFICATION_PARA,
                        PCADES_VERIFICATION_INFO *ppVerificationInfo) {
  if (ppVerificationInfo) *ppVerificationInfo = nullptr;
  SetLastError(CADES_E_NOT_IMPLEMENTED);
  return FALSE;
}

CAPI_EXPORT BOOL WINAPI
CadesFreeVerificationInfo(PCADES_VERIFICATION_INFO pVerificationInfo) {
  // Nothing is ever handed out, so only NULL can come back here.
  if (pVerificationInfo) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

}  // extern "C"
