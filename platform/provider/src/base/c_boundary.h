// The provider's callers are C (the browser, through the plug-in): a C++
// exception leaving an exported call would end the whole process through
// std::terminate. Every exported definition is therefore a function-try-block
//
//   BOOL WINAPI CryptFoo(...) try { ... } CAPI_GUARD(FALSE)
//
// whose handler turns the exception into the call's failure value and a last
// error: ERROR_NOT_ENOUGH_MEMORY for std::bad_alloc, NTE_FAIL for anything
// else. tests/base/check-guards.py holds every export to this.
#pragma once

#include <capi/wintypes.h>

namespace tavrix_provider {

// Only inside a catch handler: sets the last error for the exception being
// handled.
CAPI_EXPORT void SetErrorFromException() noexcept;

}  // namespace tavrix_provider

#define CAPI_GUARD(failure)                     \
  catch (...) {                                 \
    ::tavrix_provider::SetErrorFromException(); \
    return failure;                             \
  }
#define CAPI_GUARD_VOID                         \
  catch (...) {                                 \
    ::tavrix_provider::SetErrorFromException(); \
  }
