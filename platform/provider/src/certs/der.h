// A small, bounds-checked DER reader and the conversions every certificate
// call shares: object identifiers, times, and directory string values.
#pragma once

#include <capi/capi.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavrix_certs {

// ASN.1 identifier octets used here (low-tag-number form only).
enum : uint8_t {
  kTagBoolean = 0x01,
  kTagInteger = 0x02,
  kTagBitString = 0x03,
  kTagOctetString = 0x04,
  kTagNull = 0x05,
  kTagOid = 0x06,
  kTagEnumerated = 0x0A,
  kTagUtf8String = 0x0C,
  kTagNumericString = 0x12,
  kTagPrintableString = 0x13,
  kTagTeletexString = 0x14,
  kTagVideotexString = 0x15,
  kTagIa5String = 0x16,
  kTagUtcTime = 0x17,
  kTagGeneralizedTime = 0x18,
  kTagGraphicString = 0x19,
  kTagVisibleString = 0x1A,
  kTagGeneralString = 0x1B,
  kTagUniversalString = 0x1C,
  kTagBmpString = 0x1E,
  kTagSequence = 0x30,
  kTagSet = 0x31,
};

struct Tlv {
  uint8_t tag = 0;
  const uint8_t* start = nullptr;  // first identifier octet
  const uint8_t* value = nullptr;  // first content octet
  size_t len = 0;                  // content length
  size_t total() const { return static_cast<size_t>(value - start) + len; }
};

// Reads one element at `p`. Only definite lengths of at most four octets and
// single-octet tags are accepted; the element must fit in `n` bytes.
bool ReadTlv(const uint8_t* p, size_t n, Tlv* out);

// Walks the elements inside a constructed value.
class DerReader {
 public:
  DerReader(const uint8_t* p, size_t n) : p_(p), end_(p + n) {}
  explicit DerReader(const Tlv& t) : p_(t.value), end_(t.value + t.len) {}
  bool AtEnd() const { return p_ >= end_; }
  // Next element of any tag.
  bool Next(Tlv* out);
  // Next element, which must carry `tag`.
  bool Expect(uint8_t tag, Tlv* out);
  // Next element only if it carries `tag`; false (and nothing consumed)
  // otherwise.
  bool Optional(uint8_t tag, Tlv* out);

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// Dotted text of an encoded object identifier; empty when malformed.
std::string OidToString(const uint8_t* p, size_t n);
// Content octets of a dotted identifier; false when the text is not one.
bool OidFromString(const char* text, std::vector<uint8_t>* out);

// UTCTime (years 1950-2049) or GeneralizedTime, 'Z' form, seconds optional
// only in GeneralizedTime fractions; false for anything else.
bool DecodeTime(const Tlv& t, FILETIME* out);
// FILETIME <-> seconds since the Unix epoch.
int64_t FileTimeToUnix(const FILETIME& ft);
FILETIME UnixToFileTime(int64_t secs);

// CERT_RDN_* value type for a directory string tag; CERT_RDN_ENCODED_BLOB for
// anything that is not a character string.
DWORD RdnTypeForTag(uint8_t tag);
// Wide text of a string value of CERT_RDN_* `type` from its content octets.
// Invalid UTF-8/UTF-16 sequences become U+FFFD; nothing is ever over-read.
std::wstring DecodeStringValue(DWORD type, const uint8_t* p, size_t n);

std::string WideToUtf8(const std::wstring& w);
std::wstring Utf8ToWide(const std::string& s);

// Parsed form of an X.509 Name, pointing into the encoded bytes.
struct NameAttr {
  std::string oid;
  DWORD type = 0;                  // CERT_RDN_*
  const uint8_t* value = nullptr;  // content octets (whole TLV for blobs)
  size_t len = 0;
};
typedef std::vector<std::vector<NameAttr>> ParsedName;
bool ParseName(const uint8_t* p, size_t n, ParsedName* out);

// The AlgorithmIdentifier, its identifier text and raw parameters.
bool ParseAlgId(const Tlv& seq, std::string* oid, const uint8_t** params,
                size_t* paramsLen);

std::string HexUpper(const uint8_t* p, size_t n);
std::string HexLower(const uint8_t* p, size_t n);

}  // namespace tavrix_certs
