// CMS SignedData pieces (RFC 5652) as the message functions keep them:
// parsed from and encoded to DER with the provider's shared reader and writer.
// A parse that fails sets the last error.
#pragma once

#include <string>
#include <vector>

#include "der/der.h"
#include "x509/certificate.h"

namespace tavrix::provider::msg {

namespace der = ::tavrix::provider::der;
using Bytes = der::Bytes;

constexpr char kOidData[] = "1.2.840.113549.1.7.1";
constexpr char kOidSignedData[] = "1.2.840.113549.1.7.2";
constexpr char kOidContentType[] = "1.2.840.113549.1.9.3";
constexpr char kOidMessageDigest[] = "1.2.840.113549.1.9.4";

struct AlgId {
  std::string oid;
  Bytes params;  // DER of the parameters element; empty when absent
};

struct Attr {
  std::string oid;
  std::vector<Bytes> values;  // DER of each value
};

struct SignerRec {
  uint32_t version = 1;
  bool by_key_id = false;  // subjectKeyIdentifier rather than issuer+serial
  Bytes issuer;            // DER Name
  Bytes serial;            // INTEGER content octets, big-endian
  Bytes key_id;
  AlgId digest;
  bool has_signed_attrs = false;
  Bytes signed_attrs_set;  // the attributes as a DER SET (tag 0x31): what is
                           // signed
  std::vector<Attr> signed_attrs;
  AlgId sig_alg;
  Bytes signature;  // as it stands in the message
  std::vector<Attr> unsigned_attrs;
};

bool ParseAlgId(const der::Tlv& e, AlgId* out);
Bytes EncodeAlgId(const AlgId& a);
bool ParseAttributes(const der::Tlv& set, std::vector<Attr>* out);
bool ParseAttribute(const uint8_t* p, size_t n, Attr* out);
Bytes EncodeAttribute(const Attr& a);
// DER SET OF Attribute with this identifier octet (0x31, or 0xA0/0xA1 when
// tagged implicitly inside a SignerInfo).
Bytes EncodeAttributes(uint8_t tag, const std::vector<Attr>& attrs);

bool ParseSignerInfo(const der::Tlv& e, SignerRec* out);
Bytes EncodeSignerInfo(const SignerRec& s);

// Serial numbers compare by value, whatever leading zero octets they carry.
bool SameSerial(const Bytes& a, const Bytes& b);
// Does this certificate identify the signer?
bool CertMatchesSigner(const x509::Certificate& c, const SignerRec& s);

}  // namespace tavrix::provider::msg
