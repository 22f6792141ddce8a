// Watches the provider calls that decide who owns what: key acquisitions,
// provider-handle releases and certificate-context frees. The calls still go
// to the real provider; the spy only records them.
#pragma once

#include <capi/capi.h>

#include <vector>

namespace capi_spy {

void Reset();
int AcquireCount();
// Handles passed to CryptReleaseContext, in call order.
const std::vector<HCRYPTPROV>& Released();
// Contexts passed to CertFreeCertificateContext, in call order.
const std::vector<PCCERT_CONTEXT>& Freed();
int TimesFreed(PCCERT_CONTEXT ctx);
int TimesReleased(HCRYPTPROV h);

}  // namespace capi_spy
