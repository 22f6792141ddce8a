// A CAdES runtime for tests. Built in two forms: complete, and (with
// FAKE_CADES_PARTIAL) without CadesMsgEnhanceSignature and
// CadesFormatMessage. Only the message and verification calls do anything.
#include <capi/cades.h>
#include <capi/capi.h>

#include <cstdlib>
#include <cstring>

// The one code this runtime has a text for.
#define FAKE_CADES_KNOWN_CODE 0x80091007u

extern "C" {

// With FAKE_CADES_VERIFY_STATUS set, every message is of the asked type and
// verifies with that status; "fail" makes the verification call itself fail.
struct FakeVerificationInfo {
  DWORD dwSize;
  DWORD dwStatus;
};

BOOL WINAPI CadesMsgIsType(HCRYPTMSG, DWORD, DWORD, BOOL* pbResult) {
  if (pbResult) *pbResult = FALSE;
  if (std::getenv("FAKE_CADES_VERIFY_STATUS") != nullptr) {
    if (pbResult) *pbResult = TRUE;
    return TRUE;
  }
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

BOOL WINAPI CadesFreeVerificationInfo(PCADES_VERIFICATION_INFO info) {
  delete reinterpret_cast<FakeVerificationInfo*>(info);
  return TRUE;
}

BOOL WINAPI CadesMsgVerifySignature(HCRYPTMSG, DWORD, PCADES_VERIFICATION_PARA,
                                    PCADES_VERIFICATION_INFO* ppInfo) {
  const char* status = std::getenv("FAKE_CADES_VERIFY_STATUS");
  if (status == nullptr || std::strcmp(status, "fail") == 0 ||
      ppInfo == nullptr) {
    SetLastError(status ? NTE_BAD_SIGNATURE : ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
  }
  auto* info = new FakeVerificationInfo{sizeof(FakeVerificationInfo),
                                        static_cast<DWORD>(std::atoi(status))};
  *ppInfo = reinterpret_cast<PCADES_VERIFICATION_INFO>(info);
  return TRUE;
}

HCRYPTMSG WINAPI CadesMsgOpenToEncode(DWORD, DWORD, PCADES_ENCODE_INFO, LPSTR,
                                      PCMSG_STREAM_INFO) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return nullptr;
}

#ifndef FAKE_CADES_PARTIAL
BOOL WINAPI CadesMsgEnhanceSignature(HCRYPTMSG, DWORD, PCADES_SIGN_PARA) {
  SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

DWORD WINAPI CadesFormatMessage(DWORD dwFlags, LPCVOID, DWORD dwMessageId,
                                DWORD, LPWSTR lpBuffer, DWORD nSize, va_list*) {
  if (dwMessageId != FAKE_CADES_KNOWN_CODE ||
      !(dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) || lpBuffer == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  static const wchar_t kText[] = L"Хеш сообщения не совпадает (CAdES).";
  const size_t count = wcslen(kText);
  const size_t chars = count + 1 > nSize ? count + 1 : nSize;
  wchar_t* buffer =
      static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, chars * sizeof(wchar_t)));
  if (buffer == nullptr) return 0;
  std::memcpy(buffer, kText, (count + 1) * sizeof(wchar_t));
  *reinterpret_cast<wchar_t**>(lpBuffer) = buffer;
  return static_cast<DWORD>(count);
}
#endif

}  // extern "C"
