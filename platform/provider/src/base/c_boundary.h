// The one way across the provider's C boundary.
//
// The provider's callers are C (the browser, through the plug-in): a C++
// exception leaving an exported call would end the whole process through
// std::terminate. Every exported definition is therefore a function-try-block
//
//   BOOL WINAPI CryptFoo(...) try { ... } CAPI_GUARD(FALSE)
//
// whose handler turns the exception into the call's failure value and a last
// error: ERROR_NOT_ENOUGH_MEMORY for std::bad_alloc, NTE_FAIL for anything
// else. tests/base/check-guards.py holds every export to this.
//
// Failure is reported one way throughout, exported or internal: the function
// sets the thread's last error through Fail() and returns FALSE (or the
// failure value its signature has, through FailWith()). Internal helpers that
// can fail return bool on the same terms, so a caller just passes the failure
// on and the code that saw the fault names it.
#pragma once

#include <capi/capi.h>

#include <cstddef>
#include <cstring>
#include <limits>

namespace tavrix::provider {

// Only inside a catch handler: sets the last error for the exception being
// handled.
CAPI_EXPORT void SetErrorFromException() noexcept;

inline BOOL Fail(DWORD error) noexcept {
  SetLastError(error);
  return FALSE;
}

template <class T>
T FailWith(DWORD error, T result) noexcept {
  SetLastError(error);
  return result;
}

// CryptoAPI's size-then-fill output: a null buffer asks for the size, a
// short one gets ERROR_MORE_DATA and the size needed, and the size written is
// always left in *out_len. A length the DWORD cannot carry is refused rather
// than truncated.
inline BOOL CopyOut(const void* src, size_t n, void* out,
                    DWORD* out_len) noexcept {
  if (!out_len) return Fail(ERROR_INVALID_PARAMETER);
  if (n > std::numeric_limits<DWORD>::max())
    return Fail(ERROR_ARITHMETIC_OVERFLOW);
  const DWORD size = static_cast<DWORD>(n);
  if (!out) {
    *out_len = size;
    return TRUE;
  }
  if (*out_len < size) {
    *out_len = size;
    return Fail(ERROR_MORE_DATA);
  }
  if (size && src) std::memcpy(out, src, size);
  *out_len = size;
  return TRUE;
}

// Keeps the last error of a failing call across clean-up code that itself
// calls CryptoAPI functions (a release on the way out must not change what
// the caller is told).
class KeepLastError {
 public:
  KeepLastError() noexcept : saved_(GetLastError()) {}
  ~KeepLastError() { SetLastError(saved_); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  DWORD saved_;
};

}  // namespace tavrix::provider

#define CAPI_GUARD(failure)                      \
  catch (...) {                                  \
    ::tavrix::provider::SetErrorFromException(); \
    return failure;                              \
  }
#define CAPI_GUARD_VOID                          \
  catch (...) {                                  \
    ::tavrix::provider::SetErrorFromException(); \
  }
