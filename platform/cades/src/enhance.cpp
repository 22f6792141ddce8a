#include "cades_internal.h"

extern "C" CAPI_EXPORT BOOL WINAPI CadesMsgEnhanceSignature(HCRYPTMSG, DWORD,
                                                            PCADES_SIGN_PARA) {
  SetLastError(CADES_E_NOT_IMPLEMENTED);
  return FALSE;
}
