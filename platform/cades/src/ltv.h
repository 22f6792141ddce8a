// Long-term validation material of a CAdES-X Long Type 1 signature: the
// references and values it carries (RFC 5126 5.7.3, 5.7.4, 6.2, 6.3.3,
// 6.3.4) and the judgement of a certificate's revocation status at a past
// moment from the carried values alone, without any retrieval.
#pragma once

#include <capi/capi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "der/der.h"

namespace tavrix_ltv {

using Bytes = std::vector<uint8_t>;

// Hash of bytes with the algorithm an identifier names (SHA-1, SHA-256,
// GOST R 34.11-94 with the CryptoPro parameters, GOST R 34.11-2012 256 and
// 512); false for any other identifier.
bool HashByOid(const std::string& oid, const uint8_t* p, size_t n, Bytes* out);

// OtherHash: a bare SHA-1 value or an algorithm with its value.
struct OtherHash {
  std::string alg_oid;
  Bytes value;
  bool Matches(const uint8_t* p, size_t n) const;
  bool Matches(const Bytes& b) const { return Matches(b.data(), b.size()); }
};

struct CertRef {
  OtherHash hash;
  bool has_issuer_serial = false;
  Bytes serial;  // INTEGER contents of issuerSerial, when present
};

struct CrlRef {
  OtherHash hash;
  // CrlIdentifier, when given: which issue of whose list is meant.
  bool has_ident = false;
  Bytes issuer;  // the whole Name
  int64_t issued_at = 0;
  bool has_number = false;
  Bytes number;  // INTEGER contents
};

struct OcspRef {
  Bytes responder_id;  // the whole ResponderID element
  int64_t produced_at = 0;
  bool has_hash = false;
  OtherHash hash;
};

struct RevRefs {
  std::vector<CrlRef> crls;
  std::vector<OcspRef> ocsps;
};

struct RevValues {
  std::vector<Bytes> crls;   // CertificateList encodings
  std::vector<Bytes> ocsps;  // BasicOCSPResponse encodings
};

// Each takes the DER of one attribute value; false when it is malformed.
bool ParseCertRefs(const Bytes& value, std::vector<CertRef>* out);
bool ParseRevRefs(const Bytes& value, RevRefs* out);
bool ParseCertValues(const Bytes& value, std::vector<Bytes>* out);
bool ParseRevValues(const Bytes& value, RevValues* out);

// Does every reference find the value it names?
bool CertRefsMatchValues(const std::vector<CertRef>& refs,
                         const std::vector<Bytes>& values);
bool RevRefsMatchValues(const RevRefs& refs, const RevValues& values);

enum class RevVerdict { kGood, kRevoked, kNoEvidence };

// Status of `cert`, issued by `issuer`, at `when` (seconds since the epoch),
// from the carried values alone: an OCSP answer signed by the issuer or by a
// responder it certified, or a CRL the issuer signed, current at `when` or
// issued after it. `certs` are further certificates where a delegated
// responder may be found.
RevVerdict JudgeRevocation(const Bytes& cert, const Bytes& issuer, int64_t when,
                           const RevValues& values,
                           const std::vector<Bytes>& certs);

// A signed structure of the SEQUENCE { tbs, algorithm, BIT STRING, ... }
// shape checked with a certificate's public key through the provider.
bool SignedBy(const uint8_t* p, size_t n, const Bytes& signer_cert);

}  // namespace tavrix_ltv
