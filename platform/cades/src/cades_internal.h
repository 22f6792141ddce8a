// What the runtime's calls share: attribute identifiers, the last-error
// convention, and hashing.
#pragma once

#include <capi/cades.h>
#include <capi/capi.h>

#include <string>
#include <vector>

#include "chain/ocsp_oids.h"
#include "der/der.h"

namespace tavrix_cades {

namespace der = ::tavrix::provider::der;
using Bytes = der::Bytes;

constexpr char kOidContentType[] = "1.2.840.113549.1.9.3";
constexpr char kOidMessageDigest[] = "1.2.840.113549.1.9.4";
constexpr char kOidSigningTime[] = "1.2.840.113549.1.9.5";
constexpr char kOidSigningCertificate[] = "1.2.840.113549.1.9.16.2.12";
constexpr char kOidSigningCertificateV2[] = "1.2.840.113549.1.9.16.2.47";
constexpr char kOidSignatureTimeStamp[] = "1.2.840.113549.1.9.16.2.14";
constexpr char kOidCompleteCertRefs[] = "1.2.840.113549.1.9.16.2.21";
constexpr char kOidCompleteRevocationRefs[] = "1.2.840.113549.1.9.16.2.22";
constexpr char kOidCertValues[] = "1.2.840.113549.1.9.16.2.23";
constexpr char kOidRevocationValues[] = "1.2.840.113549.1.9.16.2.24";
constexpr char kOidCadesCTimeStamp[] = "1.2.840.113549.1.9.16.2.25";
constexpr char kOidTstInfo[] = "1.2.840.113549.1.9.16.1.4";
constexpr char kOidSignedData[] = "1.2.840.113549.1.7.2";
using ::tavrix::provider::chain::kOidOcspBasic;
constexpr char kOidTimeStamping[] = "1.3.6.1.5.5.7.3.8";
constexpr char kOidExtKeyUsage[] = "2.5.29.37";

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Sets the thread's last error and returns FALSE, so failures read as one
// statement.
inline BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// Hash of bytes with the digest named by its OID (the GOST hashes, SHA-1,
// SHA-256). False with the last error set.
bool HashWith(const std::string& hash_oid, const uint8_t* p, size_t n,
              Bytes* out);
inline bool HashWith(const std::string& hash_oid, const Bytes& b, Bytes* out) {
  return HashWith(hash_oid, b.data(), b.size(), out);
}

// AlgorithmIdentifier of a hash OID with the explicit NULL parameters GOST
// messages carry.
Bytes HashAlgId(const std::string& hash_oid);

// Attributes of one signer as a CRYPT_ATTRIBUTES the provider hands out
// (`unsigned_attrs` picks the unsigned set). Empty on a message without them.
bool SignerAttributes(HCRYPTMSG msg, DWORD index, bool unsigned_attrs,
                      std::vector<uint8_t>* storage,
                      const CRYPT_ATTRIBUTES** out);
// Does the set hold an attribute with this OID (with at least one value)?
const CRYPT_ATTRIBUTE* FindAttribute(const CRYPT_ATTRIBUTES* attrs,
                                     const char* oid);

// A message parameter, size first, then filled.
inline bool GetBytes(HCRYPTMSG m, DWORD type, DWORD index, Bytes* out) {
  DWORD n = 0;
  if (!CryptMsgGetParam(m, type, index, nullptr, &n)) return false;
  out->resize(n);
  if (n && !CryptMsgGetParam(m, type, index, out->data(), &n)) return false;
  out->resize(n);
  return true;
}

// A certificate context owned for one scope; null for bytes that do not
// parse (or could not be passed to the provider at all).
struct CertCtx {
  PCCERT_CONTEXT c = nullptr;
  explicit CertCtx(const Bytes& b)
      : c(b.empty() || b.size() > 0xFFFFFFFFu
              ? nullptr
              : CertCreateCertificateContext(X509_ASN_ENCODING, b.data(),
                                             static_cast<DWORD>(b.size()))) {}
  ~CertCtx() {
    if (c) CertFreeCertificateContext(c);
  }
  CertCtx(const CertCtx&) = delete;
  CertCtx& operator=(const CertCtx&) = delete;
};

}  // namespace tavrix_cades
