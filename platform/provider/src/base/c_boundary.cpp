#include "base/c_boundary.h"

#include <capi/capi.h>

#include <new>

namespace tavrix::provider {

void SetErrorFromException() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } catch (...) {
    SetLastError(NTE_FAIL);
  }
}

}  // namespace tavrix::provider
