#include "spy.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdlib>

namespace {

std::vector<filesign_spy::Update> g_updates;
std::vector<DWORD> g_opened;
std::vector<std::string> g_created;
bool g_onlyEnds = false;
int g_failAt = 0;

template <typename Fn>
Fn Next(const char* name) {
  void* sym = dlsym(RTLD_NEXT, name);
  if (sym == nullptr) std::abort();
  return reinterpret_cast<Fn>(sym);
}

}  // namespace

namespace filesign_spy {

void Reset() {
  g_updates.clear();
  g_opened.clear();
  g_created.clear();
  g_onlyEnds = false;
  g_failAt = 0;
}
const std::vector<Update>& Updates() { return g_updates; }
const std::vector<DWORD>& OpenedWithContent() { return g_opened; }
const std::vector<std::string>& Created() { return g_created; }
void PassOnlyFirstAndFinal(bool on) { g_onlyEnds = on; }
void FailUpdate(int n) { g_failAt = n; }

}  // namespace filesign_spy

extern "C" {

BOOL WINAPI CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData,
                           DWORD cbData, BOOL fFinal) {
  using Fn = decltype(&CryptMsgUpdate);
  static Fn next = Next<Fn>("CryptMsgUpdate");
  g_updates.push_back({cbData, fFinal});
  if (g_failAt != 0 && static_cast<int>(g_updates.size()) == g_failAt) {
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  if (g_onlyEnds && g_updates.size() > 1 && !fFinal) return TRUE;
  return next(hCryptMsg, pbData, cbData, fFinal);
}

HCRYPTMSG WINAPI CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags,
                                      DWORD dwMsgType,
                                      void const* pvMsgEncodeInfo,
                                      LPSTR pszInnerContentObjID,
                                      PCMSG_STREAM_INFO pStreamInfo) {
  using Fn = decltype(&CryptMsgOpenToEncode);
  static Fn next = Next<Fn>("CryptMsgOpenToEncode");
  if (pStreamInfo != nullptr) g_opened.push_back(pStreamInfo->cbContent);
  return next(dwMsgEncodingType, dwFlags, dwMsgType, pvMsgEncodeInfo,
              pszInnerContentObjID, pStreamInfo);
}

int mkostemp(char* tmpl, int flags) {
  using Fn = int (*)(char*, int);
  static Fn next = Next<Fn>("mkostemp");
  int fd = next(tmpl, flags);
  if (fd >= 0) g_created.push_back(tmpl);
  return fd;
}

}  // extern "C"
