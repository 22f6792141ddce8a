// The CERT_CHAIN_CONTEXT handed to the caller: one simple chain built from a
// checked path, owning its certificate and CRL contexts, counted by
// CertDuplicateCertificateChain and CertFreeCertificateChain.
#pragma once

#include <capi/wincrypt.h>

#include "chain/path.h"

namespace tavrix::provider::chain {

// Takes the path's contexts; the context starts with one reference.
PCCERT_CHAIN_CONTEXT PublishChain(Path* path);
// False for a context this code did not make or that is already freed.
bool RetainChain(PCCERT_CHAIN_CONTEXT chain);
void ReleaseChain(PCCERT_CHAIN_CONTEXT chain);

}  // namespace tavrix::provider::chain
