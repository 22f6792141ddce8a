// The CAdES runtime's calls as the plug-in loads them at run time. The
// parameter structures stay opaque here; the runtime stand-in defines them.
#pragma once

#include "wincrypt.h"

#ifdef __cplusplus
extern "C" {
#endif

struct _CADES_ENCODE_INFO;
typedef struct _CADES_ENCODE_INFO CADES_ENCODE_INFO, *PCADES_ENCODE_INFO;
struct _CADES_SIGN_PARA;
typedef struct _CADES_SIGN_PARA CADES_SIGN_PARA, *PCADES_SIGN_PARA;
struct _CADES_VERIFICATION_PARA;
typedef struct _CADES_VERIFICATION_PARA CADES_VERIFICATION_PARA,
    *PCADES_VERIFICATION_PARA;
struct _CADES_VERIFICATION_INFO;
typedef struct _CADES_VERIFICATION_INFO CADES_VERIFICATION_INFO,
    *PCADES_VERIFICATION_INFO;

// CAdES types asked of CadesMsgIsType.
#define CADES_BES 0x00000001
#define CADES_T 0x00000005
#define CADES_X_LONG_TYPE_1 0x0000005D

typedef BOOL(WINAPI *PFN_CADES_MSG_IS_TYPE)(HCRYPTMSG hCryptMsg,
                                            DWORD dwSignatureIndex,
                                            DWORD dwCadesType, BOOL *pbResult);
typedef BOOL(WINAPI *PFN_CADES_FREE_VERIFICATION_INFO)(
    PCADES_VERIFICATION_INFO pVerificationInfo);
typedef BOOL(WINAPI *PFN_CADES_MSG_VERIFY_SIGNATURE)(
    HCRYPTMSG hCryptMsg, DWORD dwSignatureIndex,
    PCADES_VERIFICATION_PARA pVerificationPara,
    PCADES_VERIFICATION_INFO *ppVerificationInfo);
typedef BOOL(WINAPI *PFN_CADES_MSG_ENHANCE_SIGNATURE)(
    HCRYPTMSG hCryptMsg, DWORD dwSignatureIndex, PCADES_SIGN_PARA pSignPara);
typedef HCRYPTMSG(WINAPI *PFN_CADES_MSG_OPEN_TO_ENCODE)(
    DWORD dwMsgEncodingType, DWORD dwFlags, PCADES_ENCODE_INFO pEncodeInfo,
    LPSTR pszInnerContentObjID, PCMSG_STREAM_INFO pStreamInfo);
typedef DWORD(WINAPI *PFN_CADES_FORMAT_MESSAGE)(DWORD dwFlags, LPCVOID lpSource,
                                                DWORD dwMessageId,
                                                DWORD dwLanguageId,
                                                LPWSTR lpBuffer, DWORD nSize,
                                                va_list *Arguments);

CAPI_EXPORT BOOL WINAPI CadesMsgIsType(HCRYPTMSG hCryptMsg,
                                       DWORD dwSignatureIndex,
                                       DWORD dwCadesType, BOOL *pbResult);
CAPI_EXPORT BOOL WINAPI
CadesFreeVerificationInfo(PCADES_VERIFICATION_INFO pVerificationInfo);
CAPI_EXPORT BOOL WINAPI
CadesMsgVerifySignature(HCRYPTMSG hCryptMsg, DWORD dwSignatureIndex,
                        PCADES_VERIFICATION_PARA pVerificationPara,
                        PCADES_VERIFICATION_INFO *ppVerificationInfo);
CAPI_EXPORT BOOL WINAPI CadesMsgEnhanceSignature(HCRYPTMSG hCryptMsg,
                                                 DWORD dwSignatureIndex,
                                                 PCADES_SIGN_PARA pSignPara);
CAPI_EXPORT HCRYPTMSG WINAPI CadesMsgOpenToEncode(
    DWORD dwMsgEncodingType, DWORD dwFlags, PCADES_ENCODE_INFO pEncodeInfo,
    LPSTR pszInnerContentObjID, PCMSG_STREAM_INFO pStreamInfo);
CAPI_EXPORT DWORD WINAPI CadesFormatMessage(DWORD dwFlags, LPCVOID lpSource,
                                            DWORD dwMessageId,
                                            DWORD dwLanguageId, LPWSTR lpBuffer,
                                            DWORD nSize, va_list *Arguments);

#ifdef __cplusplus
}
#endif
