// The provider's one parsed X.509 certificate (RFC 5280 §4.1), read by the
// certificate store code, chain building, message signing and verification
// and the CAdES runtime alike.
//
// ParseCertificate takes the encoding once and keeps it: every other field is
// decoded from that copy, so nothing depends on how a context's CERT_INFO was
// filled. The structure is held to RFC 5280 §4.1: a version of at most v3,
// a serial of 1 to 64 octets (§4.1.2.2 has users take at least 20), a
// Validity of two times, nothing after the extensions. The extensions chain
// building needs are decoded by their §4.2 rules. A known extension that does
// not decode marks the certificate (bad_extension) rather than failing the
// parse, and so does a critical one this code does not know
// (unknown_critical): chain building reports both, per §4.2, instead of
// losing the certificate.
//
// Other modules may append fields and functions here; keep Certificate
// move-only (its views point into `encoded`).
#pragma once

#include <capi/wincrypt.h>

#include <string>
#include <string_view>
#include <vector>

#include "der/der.h"

namespace tavrix::provider::x509 {

namespace der = ::tavrix::provider::der;
using der::Bytes;
using der::DefiniteReader;
using der::Tlv;

// SEQUENCE { toBeSigned, AlgorithmIdentifier, BIT STRING }: certificates
// (RFC 5280 §4.1.1), CRLs (§5.1.1) and OCSP basic responses (RFC 6960
// §4.2.1) share this outer shape. The signature must have no unused bits.
struct SignedParts {
  Tlv tbs;
  std::string sig_alg;
  Bytes signature;  // BIT STRING contents as encoded (big-endian)
};
bool ParseSigned(const uint8_t* p, size_t n, SignedParts* out);

struct Extension {
  std::string oid;
  bool critical = false;
  Tlv value;  // the OCTET STRING contents
};

// Views (Tlv) point into `encoded`: moving keeps them valid, copying would not.
struct Certificate {
  Certificate() = default;
  Certificate(const Certificate&) = delete;
  Certificate& operator=(const Certificate&) = delete;
  Certificate(Certificate&&) = default;
  Certificate& operator=(Certificate&&) = default;

  Bytes encoded;
  SignedParts signed_parts;
  DWORD version = 0;  // 0 = v1
  Bytes serial;       // INTEGER contents, big-endian as encoded
  Bytes issuer;       // whole Name encoding
  Bytes subject;
  int64_t not_before = 0;
  int64_t not_after = 0;
  Bytes spki;            // whole SubjectPublicKeyInfo encoding
  std::string key_alg;   // algorithm OID of the public key
  Bytes key_alg_params;  // whole parameters encoding (may be empty)
  Bytes key_bits;        // subjectPublicKey BIT STRING contents
  std::vector<Extension> extensions;

  // Decoded extensions (present flags tell whether the extension exists):
  // basicConstraints §4.2.1.9, keyUsage §4.2.1.3, extKeyUsage §4.2.1.12,
  // subject and authority key identifiers §4.2.1.2 and §4.2.1.1, CRL
  // distribution points §4.2.1.13, authority information access §4.2.2.1.
  bool has_basic_constraints = false;
  bool is_ca = false;
  bool has_path_len = false;
  uint64_t path_len = 0;
  bool has_key_usage = false;
  unsigned key_usage = 0;  // bit 0 = digitalSignature ... (first octet MSB)
  bool has_eku = false;
  std::vector<std::string> eku;
  Bytes subject_key_id;
  Bytes authority_key_id;
  std::vector<std::string> crl_urls;
  std::vector<std::string> ocsp_urls;
  bool bad_extension = false;  // a known extension failed to decode
  bool unknown_critical = false;

  // A CERT_PUBLIC_KEY_INFO whose pointers refer into this object.
  CERT_PUBLIC_KEY_INFO PublicKeyInfo() const;
  const Extension* Find(const std::string& oid) const;
  bool SelfIssued() const { return issuer == subject; }
};

// Key usage bits as numbered in RFC 5280 (digitalSignature = 0).
constexpr unsigned kKeyUsageKeyCertSign = 5;
constexpr unsigned kKeyUsageCrlSign = 6;
inline bool KeyUsageHas(const Certificate& c, unsigned bit) {
  return (c.key_usage >> bit) & 1u;
}

// False when the encoding is no certificate; `out` is then partly filled.
bool ParseCertificate(const uint8_t* p, size_t n, Certificate* out);

// Collects the http/https URIs of a GeneralNames / DistributionPoint list.
void CollectUris(const Tlv& general_names, std::vector<std::string>* uris);

// Whether a URI is one the provider retrieves from: http or https, the
// scheme in any case (RFC 3986 §3.1).
bool HasHttpScheme(std::string_view uri);

}  // namespace tavrix::provider::x509
