// The provider's one parsed X.509 certificate (RFC 5280 §4.1), read by the
// certificate store code, chain building, message signing and verification
// and the CAdES runtime alike.
//
// ParseCertificate takes the encoding once and keeps it: every other field is
// decoded from that copy, and the certificate store fills CERT_INFO from its
// views. It takes what the store has always taken: a version of at most v3,
// a serial of any length (§4.1.2.2 has users take at least 20 octets and
// longer ones are met), a Validity of two times in any UTCTime or
// GeneralizedTime form, a signature with unused bits, nothing after the
// extensions. InProfile tells whether a certificate also keeps to what chain
// building holds certificates to. The extensions chain
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
// §4.2.1) share this outer shape.
struct SignedParts {
  Tlv tbs;
  std::string sig_alg;
  Bytes signature;  // BIT STRING contents as encoded (big-endian)
  unsigned signature_unused = 0;
};
// For CRLs and OCSP responses: the signature must have no unused bits.
bool ParseSigned(const uint8_t* p, size_t n, SignedParts* out);

// A BIT STRING's contents as a view; `data` is null when it is absent.
struct BitsView {
  const uint8_t* data = nullptr;
  size_t size = 0;
  unsigned unused = 0;
};

// AlgorithmIdentifier (RFC 5280 §4.1.1.2): an identifier and at most one
// parameters element, `params` (the whole element) empty when there is none.
bool ParseAlgorithm(const Tlv& seq, std::string* oid, Tlv* params);

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

  // Views into `encoded` for CERT_INFO, which points into the encoding.
  std::string tbs_sig_alg;  // the signature algorithm inside toBeSigned
  Tlv tbs_sig_params;       // whole parameters elements; empty when absent
  Tlv sig_params;           // of the outer signature algorithm
  Tlv key_params;
  Tlv issuer_name;  // whole Name elements
  Tlv subject_name;
  BitsView signature_bits;
  BitsView key;
  BitsView issuer_unique_id;  // [1] and [2] (§4.1.2.8)
  BitsView subject_unique_id;
  bool profile_times = true;  // both times in the §4.1.2.5 forms

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

// RFC 5280 §4.1 as chain building judges it: a signature without unused
// bits, a serial of at most 64 octets, times in the §4.1.2.5 forms, no
// unused bits in an empty key (X.690 §8.6.2.3).
bool InProfile(const Certificate& c);

// SHA-1, as certificates and OCSP identify keys, names and files by it (the
// key identifier of RFC 5280 §4.2.1.2, the CertID of RFC 6960 §4.1.1).
Bytes Sha1(const uint8_t* p, size_t n);
inline Bytes Sha1(const Bytes& b) { return Sha1(b.data(), b.size()); }

// Collects the http/https URIs of a GeneralNames / DistributionPoint list.
void CollectUris(const Tlv& general_names, std::vector<std::string>* uris);

// Whether a URI is one the provider retrieves from: http or https, the
// scheme in any case (RFC 3986 §3.1).
bool HasHttpScheme(std::string_view uri);

}  // namespace tavrix::provider::x509
