// Feeds arbitrary bytes to everything that decodes certificates, names,
// extensions and revocation lists: certificates reach the provider from
// signed messages and from servers, not only from the user's own stores.
// Whatever decodes is then read back the way the plug-in reads it. Any
// crash, over-read or leak is a finding.
#include <capi/capi.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

void Decode(LPCSTR type, const BYTE* p, DWORD n) {
  // Size-then-fill, as callers do.
  DWORD cb = 0;
  if (CryptDecodeObjectEx(kEnc, type, p, n, 0, nullptr, nullptr, &cb) && cb) {
    std::vector<BYTE> out(cb);
    CryptDecodeObjectEx(kEnc, type, p, n, 0, nullptr, out.data(), &cb);
  }
  // Allocated by the provider, with and without copying the input.
  for (DWORD flags :
       {DWORD{CRYPT_DECODE_ALLOC_FLAG},
        DWORD{CRYPT_DECODE_ALLOC_FLAG | CRYPT_DECODE_NOCOPY_FLAG}}) {
    void* alloc = nullptr;
    cb = 0;
    if (CryptDecodeObjectEx(kEnc, type, p, n, flags, nullptr, &alloc, &cb))
      LocalFree(alloc);
  }
}

void Names(PCCERT_CONTEXT c, CERT_NAME_BLOB* blob) {
  static const DWORD kTypes[] = {
      CERT_SIMPLE_NAME_STR | CERT_NAME_STR_REVERSE_FLAG,
      CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, CERT_OID_NAME_STR,
      CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG |
          CERT_NAME_STR_NO_QUOTING_FLAG};
  for (DWORD t : kTypes) {
    DWORD n = CertNameToStrW(kEnc, blob, t, nullptr, 0);
    std::vector<WCHAR> buf(n ? n : 1);
    CertNameToStrW(kEnc, blob, t, buf.data(), static_cast<DWORD>(buf.size()));
    WCHAR small[3];
    CertNameToStrW(kEnc, blob, t, small, 3);
  }
  for (const char* oid : {"2.5.4.4", "2.5.4.42", "2.5.4.3", "1.2.643.100.3"}) {
    DWORD n = CertGetNameStringW(c, CERT_NAME_ATTR_TYPE, 0,
                                 const_cast<char*>(oid), nullptr, 0);
    std::vector<WCHAR> buf(n ? n : 1);
    CertGetNameStringW(c, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(oid),
                       buf.data(), static_cast<DWORD>(buf.size()));
  }
  WCHAR display[64];
  CertGetNameStringW(c, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, display, 64);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  const BYTE* p = data;
  const DWORD n = static_cast<DWORD>(size);

  PCCERT_CONTEXT c = CertCreateCertificateContext(kEnc, p, n);
  if (c) {
    PCERT_INFO info = c->pCertInfo;
    Names(c, &info->Subject);
    Names(c, &info->Issuer);
    for (DWORD i = 0; i < info->cExtension; ++i)
      Decode(X509_ENHANCED_KEY_USAGE, info->rgExtension[i].Value.pbData,
             info->rgExtension[i].Value.cbData);
    CertFindExtension(szOID_ENHANCED_KEY_USAGE, info->cExtension,
                      info->rgExtension);
    BYTE hash[20];
    DWORD cb = sizeof hash;
    CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash, &cb);
    HCERTSTORE mem = CertOpenStore(CERT_STORE_PROV_MEMORY, kEnc, 0, 0, nullptr);
    if (mem) {
      CertAddCertificateContextToStore(mem, c, CERT_STORE_ADD_ALWAYS, nullptr);
      PCCERT_CONTEXT found = CertFindCertificateInStore(
          mem, kEnc, 0, CERT_FIND_SUBJECT_STR_W, L"иВаН", nullptr);
      if (found) CertFreeCertificateContext(found);
      CertCloseStore(mem, 0);
    }
    CertFreeCertificateContext(c);
  }

  static const LPCSTR kTypes[] = {X509_NAME,
                                  X509_UNICODE_NAME,
                                  X509_ENHANCED_KEY_USAGE,
                                  X509_CERT,
                                  X509_CERT_TO_BE_SIGNED,
                                  X509_SEQUENCE_OF_ANY,
                                  X509_BASIC_CONSTRAINTS2,
                                  X509_KEY_USAGE,
                                  X509_OCTET_STRING,
                                  X509_INTEGER,
                                  X509_MULTI_BYTE_INTEGER,
                                  X509_CHOICE_OF_TIME};
  for (LPCSTR t : kTypes) Decode(t, p, n);

  PCCRL_CONTEXT crl = CertCreateCRLContext(kEnc, p, n);
  if (crl) CertFreeCRLContext(crl);
  return 0;
}
