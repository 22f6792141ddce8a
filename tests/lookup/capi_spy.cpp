#include "capi_spy.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>

namespace {

std::vector<HCRYPTPROV>& ReleasedList() {
  static std::vector<HCRYPTPROV> list;
  return list;
}
std::vector<PCCERT_CONTEXT>& FreedList() {
  static std::vector<PCCERT_CONTEXT> list;
  return list;
}
int g_acquire = 0;

template <typename Fn>
Fn Next(const char* name) {
  void* sym = dlsym(RTLD_NEXT, name);
  if (sym == nullptr) std::abort();
  return reinterpret_cast<Fn>(sym);
}

}  // namespace

namespace capi_spy {

void Reset() {
  g_acquire = 0;
  ReleasedList().clear();
  FreedList().clear();
}
int AcquireCount() { return g_acquire; }
const std::vector<HCRYPTPROV>& Released() { return ReleasedList(); }
const std::vector<PCCERT_CONTEXT>& Freed() { return FreedList(); }
int TimesFreed(PCCERT_CONTEXT ctx) {
  return static_cast<int>(
      std::count(FreedList().begin(), FreedList().end(), ctx));
}
int TimesReleased(HCRYPTPROV h) {
  return static_cast<int>(
      std::count(ReleasedList().begin(), ReleasedList().end(), h));
}

}  // namespace capi_spy

extern "C" {

BOOL WINAPI CryptAcquireCertificatePrivateKey(
    PCCERT_CONTEXT pCert, DWORD dwFlags, void* pvParameters,
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
    BOOL* pfCallerFreeProvOrNCryptKey) {
  using Fn = decltype(&CryptAcquireCertificatePrivateKey);
  static Fn next = Next<Fn>("CryptAcquireCertificatePrivateKey");
  ++g_acquire;
  return next(pCert, dwFlags, pvParameters, phCryptProvOrNCryptKey, pdwKeySpec,
              pfCallerFreeProvOrNCryptKey);
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags) {
  using Fn = decltype(&CryptReleaseContext);
  static Fn next = Next<Fn>("CryptReleaseContext");
  ReleasedList().push_back(hProv);
  return next(hProv, dwFlags);
}

BOOL WINAPI CertFreeCertificateContext(PCCERT_CONTEXT pCertContext) {
  using Fn = decltype(&CertFreeCertificateContext);
  static Fn next = Next<Fn>("CertFreeCertificateContext");
  if (pCertContext != nullptr) FreedList().push_back(pCertContext);
  return next(pCertContext);
}

}  // extern "C"
