// The CAdES runtime's calls as the plug-in loads them at run time, and the
// structures they take (their x86-64 sizes are what callers have always
// passed).
#pragma once

#include "wincrypt.h"

#ifdef __cplusplus
#include <cstddef>
#else
#include <stddef.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Every structure starts with its own size: the runtime reads only the
// fields that size covers, so older callers with shorter structures keep
// working and newer fields default to zero.

// How the runtime reaches a service (the time-stamp service): the address as
// a wide string, optionally with credentials the runtime does not yet use.
typedef struct _CADES_SERVICE_CONNECTION_PARA {
  DWORD dwSize;
  LPCWSTR wszUri;
  LPVOID pAuthPara;
} CADES_SERVICE_CONNECTION_PARA, *PCADES_SERVICE_CONNECTION_PARA;

// What CadesMsgOpenToEncode is given: the ordinary signed-message
// information, then room for the runtime's own per-message choices (all zero
// gives CAdES-BES for every signer).
typedef struct _CADES_ENCODE_INFO {
  DWORD dwSize;
  PCMSG_SIGNED_ENCODE_INFO pSignedEncodeInfo;
  DWORD dwFlags;
  LPVOID pvReserved[3];
} CADES_ENCODE_INFO, *PCADES_ENCODE_INFO;

// What CadesMsgEnhanceSignature is given. dwCadesType 0 means the runtime's
// default, CADES_X_LONG_TYPE_1. pSignerCert, when set, names the signer
// certificate if the message does not carry it; szHashAlgorithm, when set,
// is the hash OID for the time-stamp imprint instead of the signer's own;
// hAdditionalStore supplies chain certificates the user's stores lack.
typedef struct _CADES_SIGN_PARA {
  DWORD dwSize;
  DWORD dwCadesType;
  PCCERT_CONTEXT pSignerCert;
  LPCSTR szHashAlgorithm;
  HCERTSTORE hAdditionalStore;
  PCADES_SERVICE_CONNECTION_PARA pTspConnectionPara;
  LPVOID pProxyPara;
} CADES_SIGN_PARA, *PCADES_SIGN_PARA;

// What CadesMsgVerifySignature may be given; NULL asks for the defaults.
typedef struct _CADES_VERIFICATION_PARA {
  DWORD dwSize;
  DWORD dwCadesType;
  HCERTSTORE hStore;
} CADES_VERIFICATION_PARA, *PCADES_VERIFICATION_PARA;

// The verdict CadesMsgVerifySignature hands out; the runtime owns it until
// CadesFreeVerificationInfo. dwStatus is one of CADES_VERIFY_*.
typedef struct _CADES_VERIFICATION_INFO {
  DWORD dwSize;
  DWORD dwStatus;
  PCCERT_CONTEXT pSignerCert;
  FILETIME *pSigningTime;
  FILETIME *pSignatureTimeStampTime;
} CADES_VERIFICATION_INFO, *PCADES_VERIFICATION_INFO;

#if defined(__cplusplus) && defined(__x86_64__)
static_assert(sizeof(CADES_SERVICE_CONNECTION_PARA) == 24,
              "callers pass 24 bytes");
static_assert(sizeof(CADES_ENCODE_INFO) == 48, "callers pass 48 bytes");
static_assert(sizeof(CADES_SIGN_PARA) == 48, "callers pass 48 bytes");
static_assert(offsetof(CADES_VERIFICATION_INFO, dwStatus) == 4,
              "callers read the status as the second 32-bit field");
#endif

// Verification verdicts (CADES_VERIFICATION_INFO.dwStatus). 10 to 12 are
// not assigned.
#define CADES_VERIFY_SUCCESS 0
#define CADES_VERIFY_INVALID_REFS_AND_VALUES 1
#define CADES_VERIFY_SIGNER_NOT_FOUND 2
#define CADES_VERIFY_NO_VALID_SIGNATURE_TIMESTAMP 3
#define CADES_VERIFY_REFS_AND_VALUES_NO_MATCH 4
#define CADES_VERIFY_NO_CHAIN 5
#define CADES_VERIFY_END_CERT_REVOCATION 6
#define CADES_VERIFY_CHAIN_CERT_REVOCATION 7
#define CADES_VERIFY_BAD_SIGNATURE 8
#define CADES_VERIFY_NO_VALID_CADES_C_TIMESTAMP 9
#define CADES_VERIFY_ECONTENTTYPE_NO_MATCH 13

// The runtime's own error codes (customer HRESULTs, facility 0x0CA), the
// ones CadesFormatMessage has texts for.
#define CADES_E_FIRST ((DWORD)0xE0CA0001L)
#define CADES_E_BAD_PARAMETER ((DWORD)0xE0CA0001L)
#define CADES_E_NO_SIGNER ((DWORD)0xE0CA0002L)
#define CADES_E_NO_SIGNER_CERT ((DWORD)0xE0CA0003L)
#define CADES_E_TSP_ADDRESS ((DWORD)0xE0CA0004L)
#define CADES_E_TSP_UNREACHABLE ((DWORD)0xE0CA0005L)
#define CADES_E_TSP_REJECTED ((DWORD)0xE0CA0006L)
#define CADES_E_TSP_MALFORMED ((DWORD)0xE0CA0007L)
#define CADES_E_TSP_IMPRINT ((DWORD)0xE0CA0008L)
#define CADES_E_TSP_NONCE ((DWORD)0xE0CA0009L)
#define CADES_E_TSP_SIGNATURE ((DWORD)0xE0CA000AL)
#define CADES_E_TSP_USAGE ((DWORD)0xE0CA000BL)
#define CADES_E_TSP_UNTRUSTED ((DWORD)0xE0CA000CL)
#define CADES_E_NO_CHAIN ((DWORD)0xE0CA000DL)
#define CADES_E_REVOCATION_UNREACHABLE ((DWORD)0xE0CA000EL)
#define CADES_E_REVOCATION_MALFORMED ((DWORD)0xE0CA000FL)
#define CADES_E_REVOCATION_UNTRUSTED ((DWORD)0xE0CA0010L)
#define CADES_E_REVOCATION_STALE ((DWORD)0xE0CA0011L)
#define CADES_E_REVOKED ((DWORD)0xE0CA0012L)
#define CADES_E_UNSUPPORTED_TYPE ((DWORD)0xE0CA0013L)
#define CADES_E_NOT_IMPLEMENTED ((DWORD)0xE0CA0014L)
#define CADES_E_ALREADY_ENHANCED ((DWORD)0xE0CA0015L)
#define CADES_E_LAST ((DWORD)0xE0CA0015L)

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
