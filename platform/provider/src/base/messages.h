// The provider's Russian message texts, one per error code it can report.
#pragma once

#include <capi/wintypes.h>

namespace tavrix::provider {

// The UTF-8 text for `code` (without a line break), or null when none.
const char* MessageText(DWORD code);

}  // namespace tavrix::provider
