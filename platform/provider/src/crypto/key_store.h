// Key containers of the stand-in provider: one PKCS#8 PrivateKeyInfo (DER,
// as OpenSSL's GOST engine writes it) per file, <ProviderHome()>/keys/
// <container>.key, mode 0600 inside a 0700 folder. CryptAcquireContext reads
// them back. Tools reach these through the C calls of <tavrix/key_store.h>;
// the C++ forms stay exported for libcapi20 (which asks whether a
// certificate's container exists) and the white-box tests.
#pragma once

#include <capi/wintypes.h>

#include <cstddef>
#include <string>

namespace tavrix::provider {

// Checks that `der` is a GOST R 34.10-2001/2012 private key this provider can
// sign with (known algorithm and curve, scalar in range) and stores it under
// `container`, replacing an older key of that name atomically (temporary file
// then rename). A container name is 1..200 characters without '/', NUL, or a
// leading '.'. False with the thread's last error set (NTE_BAD_DATA for a key
// that does not parse, NTE_BAD_KEYSET_PARAM for a bad name, NTE_FAIL when the
// file cannot be written).
CAPI_EXPORT bool ImportPrivateKey(const unsigned char* der, size_t len,
                                  const std::string& container);

// True when the container's key file exists (it is not opened or checked).
CAPI_EXPORT bool ContainerExists(const std::string& container);

// Removes the container's key file; false with NTE_BAD_KEYSET when there was
// none, NTE_BAD_KEYSET_PARAM for a bad name, NTE_FAIL when it cannot be
// removed.
CAPI_EXPORT bool DeleteContainer(const std::string& container);

}  // namespace tavrix::provider
