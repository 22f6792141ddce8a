#include "sign_spy.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>

namespace {

sign_spy::Counts g_counts;
bool g_noAlgorithms = false;
bool g_noAnyGroup = false;

template <typename Fn>
Fn Next(const char* name) {
  void* sym = dlsym(RTLD_NEXT, name);
  if (sym == nullptr) std::abort();
  return reinterpret_cast<Fn>(sym);
}

}  // namespace

namespace sign_spy {
void Reset() { g_counts = Counts(); }
const Counts& Get() { return g_counts; }
int TimesReleased(HCRYPTPROV h) {
  return static_cast<int>(
      std::count(g_counts.released.begin(), g_counts.released.end(), h));
}
void SetNoAlgorithms(bool on) { g_noAlgorithms = on; }
void SetNoAnyGroupAlgIdEntry(bool on) { g_noAnyGroup = on; }
}  // namespace sign_spy

extern "C" {

BOOL WINAPI CryptAcquireCertificatePrivateKey(
    PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phProv, DWORD* pdwKeySpec,
    BOOL* pfCallerFree) {
  static auto next = Next<decltype(&CryptAcquireCertificatePrivateKey)>(
      "CryptAcquireCertificatePrivateKey");
  BOOL ok =
      next(pCert, dwFlags, pvParameters, phProv, pdwKeySpec, pfCallerFree);
  if (ok) g_counts.acquired.push_back(*phProv);
  return ok;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  static auto next =
      Next<decltype(&CryptReleaseContext)>("CryptReleaseContext");
  g_counts.released.push_back(hProv);
  return next(hProv, dwFlags);
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey,
                            DWORD dwFlags, HCRYPTHASH* phHash) {
  static auto next = Next<decltype(&CryptCreateHash)>("CryptCreateHash");
  BOOL ok = next(hProv, Algid, hKey, dwFlags, phHash);
  if (ok) ++g_counts.hashes;
  return ok;
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash) {
  static auto next = Next<decltype(&CryptDestroyHash)>("CryptDestroyHash");
  ++g_counts.hashesFreed;
  return next(hHash);
}

HCRYPTMSG WINAPI CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags,
                                      DWORD dwMsgType,
                                      const void* pvMsgEncodeInfo,
                                      LPSTR pszInnerContentObjID,
                                      PCMSG_STREAM_INFO pStreamInfo) {
  static auto next =
      Next<decltype(&CryptMsgOpenToEncode)>("CryptMsgOpenToEncode");
  HCRYPTMSG m = next(dwMsgEncodingType, dwFlags, dwMsgType, pvMsgEncodeInfo,
                     pszInnerContentObjID, pStreamInfo);
  if (m != nullptr) ++g_counts.msgs;
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
  if (m != nullptr) ++g_counts.msgs;
  return m;
}

BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg) {
  static auto next = Next<decltype(&CryptMsgClose)>("CryptMsgClose");
  ++g_counts.msgsClosed;
  return next(hCryptMsg);
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

}  // extern "C"
