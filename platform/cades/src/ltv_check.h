// Trust at a past moment: certificate chains judged at a given time against
// the user's ROOT store.
#pragma once

#include <capi/capi.h>

#include <cstdint>
#include <vector>

#include "ltv.h"

namespace tavrix_ltv {

// The chain of `end` at `when`, issuers looked for among `extra` first.
// True when it reaches a trusted root with no fault that matters for a past
// moment; `chain` then holds the encodings from `end` up to the root.
bool TrustedChainAt(const Bytes& end, int64_t when,
                    const std::vector<Bytes>& extra, std::vector<Bytes>* chain);

}  // namespace tavrix_ltv
