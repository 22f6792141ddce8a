// Windows-style error reporting: a last-error slot per thread, Russian
// message texts through FormatMessage, and the local heap that
// FORMAT_MESSAGE_ALLOCATE_BUFFER hands out.
#include <capi/capi.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/c_boundary.h"
#include "base/messages.h"
#include "text/text.h"

namespace {

thread_local DWORD tls_last_error = ERROR_SUCCESS;

// The text FormatMessage reports for `flags` and `id`, with its line break;
// false (and the last error set) when there is none or the request is not
// one this provider serves.
bool LookUpMessage(DWORD flags, DWORD id, std::string& text) {
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  if (!(flags & (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_FROM_HMODULE))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const char* found = tavrix::provider::MessageText(id);
  if (found == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return false;
  }
  text = found;
  // A maximum width of 0xFF asks for the text without its line break.
  if ((flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) != FORMAT_MESSAGE_MAX_WIDTH_MASK)
    text += "\r\n";
  return true;
}

// Stores `text` (terminated) for either form of FormatMessage.
template <typename Char>
DWORD Deliver(DWORD flags, const std::basic_string<Char>& text, Char* lpBuffer,
              DWORD nSize) {
  const size_t count = text.size();
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    // lpBuffer is really the address of the caller's pointer.
    Char** target = reinterpret_cast<Char**>(lpBuffer);
    if (target == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    *target = nullptr;
    const size_t chars = count + 1 > nSize ? count + 1 : nSize;
    Char* buffer =
        static_cast<Char*>(LocalAlloc(LMEM_FIXED, chars * sizeof(Char)));
    if (buffer == nullptr) return 0;
    std::memcpy(buffer, text.c_str(), (count + 1) * sizeof(Char));
    *target = buffer;
    return static_cast<DWORD>(count);
  }
  if (lpBuffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (count + 1 > nSize) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, text.c_str(), (count + 1) * sizeof(Char));
  return static_cast<DWORD>(count);
}

void ClearAllocated(DWORD flags, void* lpBuffer) {
  if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) && lpBuffer != nullptr)
    *static_cast<void**>(lpBuffer) = nullptr;
}

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) try { return tls_last_error; }
CAPI_GUARD(0)

void WINAPI SetLastError(DWORD dwErrCode) try { tls_last_error = dwErrCode; }
CAPI_GUARD_VOID

// The language is not checked: every text exists in Russian only. Inserts are
// never expanded, since no text has any.
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD,
                            LPSTR lpBuffer, DWORD nSize, va_list*) try {
  std::string text;
  if (!LookUpMessage(dwFlags, dwMessageId, text)) {
    ClearAllocated(dwFlags, lpBuffer);
    return 0;
  }
  return Deliver<char>(dwFlags, text, lpBuffer, nSize);
}
CAPI_GUARD(0)

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD,
                            LPWSTR lpBuffer, DWORD nSize, va_list*) try {
  std::string text;
  if (!LookUpMessage(dwFlags, dwMessageId, text)) {
    ClearAllocated(dwFlags, lpBuffer);
    return 0;
  }
  return Deliver<wchar_t>(dwFlags, tavrix::provider::text::Utf8ToWide(text),
                          lpBuffer, nSize);
}
CAPI_GUARD(0)

HLOCAL WINAPI LocalAlloc(DWORD uFlags, size_t uBytes) try {
  if (uFlags & ~static_cast<DWORD>(LMEM_FIXED | LMEM_ZEROINIT)) {
    // Movable memory would need LocalLock, which this provider lacks.
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const size_t bytes = uBytes ? uBytes : 1;
  void* p =
      (uFlags & LMEM_ZEROINIT) ? std::calloc(1, bytes) : std::malloc(bytes);
  if (p == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}
CAPI_GUARD(nullptr)

HLOCAL WINAPI LocalFree(HLOCAL hMem) try {
  std::free(hMem);
  return nullptr;
}
CAPI_GUARD(hMem)

}  // extern "C"
