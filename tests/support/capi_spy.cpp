#include "capi_spy.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>

namespace {

capi_spy::Calls& TheCalls() {
  // Never destroyed, so a release made while the program exits still has
  // somewhere to be recorded.
  static auto* calls = new capi_spy::Calls();
  return *calls;
}
bool g_noAlgorithms = false;
bool g_noAnyGroup = false;
bool g_onlyEnds = false;
int g_failAt = 0;

template <typename Fn>
Fn Next(const char* name) {
  void* sym = dlsym(RTLD_NEXT, name);
  if (sym == nullptr) std::abort();
  return reinterpret_cast<Fn>(sym);
}

}  // namespace

namespace capi_spy {

void Reset() {
  TheCalls() = Calls();
  g_noAlgorithms = g_noAnyGroup = g_onlyEnds = false;
  g_failAt = 0;
}
const Calls& Get() { return TheCalls(); }
int TimesFreed(PCCERT_CONTEXT ctx) {
  const auto& v = TheCalls().freed;
  return static_cast<int>(std::count(v.begin(), v.end(), ctx));
}
int TimesReleased(HCRYPTPROV h) {
  const auto& v = TheCalls().released;
  return static_cast<int>(std::count(v.begin(), v.end(), h));
}
void SetNoAlgorithms(bool on) { g_noAlgorithms = on; }
void SetNoAnyGroupAlgIdEntry(bool on) { g_noAnyGroup = on; }
void PassOnlyFirstAndFinal(bool on) { g_onlyEnds = on; }
void FailUpdate(int n) { g_failAt = n; }

}  // namespace capi_spy

extern "C" {

BOOL WINAPI CryptAcquireCertificatePrivateKey(
    PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phProv, DWORD* pdwKeySpec,
    BOOL* pfCallerFree) {
  static auto next = Next<decltype(&CryptAcquireCertificatePrivateKey)>(
      "CryptAcquireCertificatePrivateKey");
  ++TheCalls().acquireCalls;
  BOOL ok =
      next(pCert, dwFlags, pvParameters, phProv, pdwKeySpec, pfCallerFree);
  if (ok) TheCalls().acquired.push_back(*phProv);
  return ok;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  static auto next =
      Next<decltype(&CryptReleaseContext)>("CryptReleaseContext");
  TheCalls().released.push_back(hProv);
  return next(hProv, dwFlags);
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  static auto next =
      Next<decltype(&CertFreeCertificateContext)>("CertFreeCertificateContext");
  if (pCertContext != nullptr) TheCalls().freed.push_back(pCertContext);
  return next(pCertContext);
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey,
                            DWORD dwFlags, HCRYPTHASH* phHash) {
  static auto next = Next<decltype(&CryptCreateHash)>("CryptCreateHash");
  BOOL ok = next(hProv, Algid, hKey, dwFlags, phHash);
  if (ok) ++TheCalls().hashes;
  return ok;
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
  static auto next = Next<decltype(&CryptDestroyHash)>("CryptDestroyHash");
  ++TheCalls().hashesFreed;
  return next(hHash);
}

HCRYPTMSG WINAPI CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags,
                                      DWORD dwMsgType,
                                      const void* pvMsgEncodeInfo,
                                      LPSTR pszInnerContentObjID,
                                      PCMSG_STREAM_INFO pStreamInfo) {
  static auto next =
      Next<decltype(&CryptMsgOpenToEncode)>("CryptMsgOpenToEncode");
  if (pStreamInfo != nullptr)
    TheCalls().streamed.push_back(pStreamInfo->cbContent);
  HCRYPTMSG m = next(dwMsgEncodingType, dwFlags, dwMsgType, pvMsgEncodeInfo,
                     pszInnerContentObjID, pStreamInfo);
  if (m != nullptr) ++TheCalls().msgs;
  return m;
}

HCRYPTMSG WINAPI CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags,
                                      DWORD dwMsgType, HCRYPTPROV_LEGACY hProv,
                                      PCERT_INFO pRecipientInfo,
                                      PCMSG_STREAM_INFO pStreamInfo) {
  static auto next =
      Next<decltype(&CryptMsgOpenToDecode)>("CryptMsgOpenToDecode");
  HCRYPTMSG m = next(dwMsgEncodingType, dwFlags, dwMsgType, hProv,
                     pRecipientInfo, pStreamInfo);
  if (m != nullptr) ++TheCalls().msgs;
  return m;
}

BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg) {
  static auto next = Next<decltype(&CryptMsgClose)>("CryptMsgClose");
  ++TheCalls().msgsClosed;
  return next(hCryptMsg);
}

BOOL WINAPI CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData,
                           DWORD cbData, BOOL fFinal) {
  static auto next = Next<decltype(&CryptMsgUpdate)>("CryptMsgUpdate");
  auto& updates = TheCalls().updates;
  updates.push_back({cbData, fFinal});
  if (g_failAt != 0 && static_cast<int>(updates.size()) == g_failAt) {
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  if (g_onlyEnds && updates.size() > 1 && !fFinal) return TRUE;
  return next(hCryptMsg, pbData, cbData, fFinal);
}

BOOL WINAPI CryptGetProvParam(HCRYPTPROV hProv, DWORD dwParam, BYTE* pbData,
                              DWORD* pdwDataLen, DWORD dwFlags) {
  static auto next = Next<decltype(&CryptGetProvParam)>("CryptGetProvParam");
  if (g_noAlgorithms && dwParam == PP_ENUMALGS) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  return next(hProv, dwParam, pbData, pdwDataLen, dwFlags);
}

PCCRYPT_OID_INFO WINAPI CryptFindOIDInfo(DWORD dwKeyType, void* pvKey,
                                         DWORD dwGroupId) {
  static auto next = Next<decltype(&CryptFindOIDInfo)>("CryptFindOIDInfo");
  if (g_noAnyGroup && dwKeyType == CRYPT_OID_INFO_ALGID_KEY && dwGroupId == 0)
    return nullptr;
  return next(dwKeyType, pvKey, dwGroupId);
}

int mkostemp(char* tmpl, int flags) {
  static auto next = Next<int (*)(char*, int)>("mkostemp");
  int fd = next(tmpl, flags);
  if (fd >= 0) TheCalls().created.push_back(tmpl);
  return fd;
}

}  // extern "C"
