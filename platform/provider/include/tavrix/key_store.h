/* The stand-in provider's key containers, for the tools that place keys
 * there. CryptAcquireContext opens a container by its name; these calls put
 * one in place and take it away. Not CryptoAPI calls: only libcapi10 of
 * this provider exports them.
 *
 * A container holds one PKCS#8 PrivateKeyInfo (DER, as OpenSSL's GOST engine
 * writes it), <provider folder>/keys/<name>.key, mode 0600 inside a 0700
 * folder. A name is 1..200 octets of UTF-8 without '/' or a leading '.'.
 * Each call fails with the thread's last error set. */
#pragma once

#include <capi/wintypes.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Checks that the key is a GOST R 34.10-2001/2012 private key this provider
 * can sign with (known algorithm and curve, scalar in range) and stores it
 * under szContainer, replacing an older key of that name atomically. FALSE
 * with NTE_BAD_DATA, NTE_BAD_ALGID or NTE_BAD_KEY for a key it cannot use,
 * NTE_BAD_KEYSET_PARAM for a bad name, NTE_FAIL when the file cannot be
 * written. */
CAPI_EXPORT BOOL WINAPI TavrixImportPrivateKey(LPCSTR szContainer,
                                               const BYTE *pbKey, DWORD cbKey);

/* Removes the container's key file. FALSE with NTE_BAD_KEYSET when there was
 * none, NTE_BAD_KEYSET_PARAM for a bad name, NTE_FAIL when it cannot be
 * removed. */
CAPI_EXPORT BOOL WINAPI TavrixDeleteContainer(LPCSTR szContainer);

#ifdef __cplusplus
}
#endif
