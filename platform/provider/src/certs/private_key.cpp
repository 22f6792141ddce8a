// CryptAcquireCertificatePrivateKey: the certificate's key lives in the
// container named after its public key (see the provider's README).
#include <cstring>

#include "base/c_boundary.h"
#include "certs/certs_internal.h"
#include "text/text.h"

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::certs;

extern "C" {

BOOL WINAPI CryptAcquireCertificatePrivateKey(
    PCCERT_CONTEXT pCert, DWORD dwFlags, void* /*pvParameters*/,
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE* phCryptProvOrNCryptKey, DWORD* pdwKeySpec,
    BOOL* pfCallerFreeProvOrNCryptKey) try {
  if (phCryptProvOrNCryptKey) *phCryptProvOrNCryptKey = 0;
  std::shared_ptr<CertObject> c = FromContext(pCert);
  if (!c || !phCryptProvOrNCryptKey) return Fail(E_INVALIDARG);
  // A key set on the context by the caller wins over the derived one, as
  // with CryptoAPI's key provider property.
  DWORD size = 0;
  if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID,
                                         nullptr, &size))
    return Fail(CRYPT_E_NO_KEY_PROPERTY);
  std::vector<BYTE> buf(size);
  if (!CertGetCertificateContextProperty(pCert, CERT_KEY_PROV_INFO_PROP_ID,
                                         buf.data(), &size))
    return Fail(CRYPT_E_NO_KEY_PROPERTY);
  const CRYPT_KEY_PROV_INFO* info =
      reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
  std::string container =
      info->pwszContainerName ? text::WideToUtf8(info->pwszContainerName) : "";
  DWORD type = info->dwProvType ? info->dwProvType
                                : ProvTypeForKeyOid(c->parsed->cert.key_alg);
  // GOST keys of these provider types serve both signing and key agreement
  // and are kept as exchange keys, so AT_KEYEXCHANGE unless the caller's
  // key property says otherwise.
  DWORD spec = info->dwKeySpec ? info->dwKeySpec : AT_KEYEXCHANGE;
  HCRYPTPROV prov = 0;
  DWORD acquireFlags = (dwFlags & CRYPT_ACQUIRE_SILENT_FLAG) ? CRYPT_SILENT : 0;
  if (!CryptAcquireContextA(&prov, container.c_str(), nullptr, type,
                            acquireFlags)) {
    DWORD e = GetLastError();
    // A container that vanished since the certificate was stored means
    // the certificate has no key here.
    return Fail(e == NTE_BAD_KEYSET ? CRYPT_E_NO_KEY_PROPERTY : e);
  }
  if (dwFlags & CRYPT_ACQUIRE_COMPARE_KEY_FLAG) {
    DWORD n = 0;
    bool same = false;
    if (CryptExportPublicKeyInfo(prov, spec, X509_ASN_ENCODING, nullptr, &n)) {
      std::vector<BYTE> pk(n);
      PCERT_PUBLIC_KEY_INFO pki =
          reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(pk.data());
      if (CryptExportPublicKeyInfo(prov, spec, X509_ASN_ENCODING, pki, &n))
        same = CertComparePublicKeyInfo(X509_ASN_ENCODING, pki,
                                        &c->info.SubjectPublicKeyInfo);
    }
    if (!same) {
      CryptReleaseContext(prov, 0);
      return Fail(NTE_BAD_PUBLIC_KEY);
    }
  }
  *phCryptProvOrNCryptKey = prov;
  if (pdwKeySpec) *pdwKeySpec = spec;
  if (pfCallerFreeProvOrNCryptKey) *pfCallerFreeProvOrNCryptKey = TRUE;
  return TRUE;
}
CAPI_GUARD(FALSE)

}  // extern "C"
