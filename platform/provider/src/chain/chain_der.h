// A small bounds-checked DER reader and writer for what chain building and
// revocation need: certificate fields and extensions, CRLs, OCSP messages.
// Every read checks the length against what is left, so a truncated or lying
// length is a parse failure, never an over-read.
#pragma once

#include <capi/wintypes.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavrix_chain {

using Bytes = std::vector<uint8_t>;

namespace tag {
constexpr uint8_t kBoolean = 0x01;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kEnumerated = 0x0A;
constexpr uint8_t kUtcTime = 0x17;
constexpr uint8_t kGeneralizedTime = 0x18;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;
constexpr uint8_t Context(int n, bool constructed) {
  return static_cast<uint8_t>(0x80 | (constructed ? 0x20 : 0) | n);
}
}  // namespace tag

// One element: its tag, the whole encoding (header and value) and the value.
struct Tlv {
  uint8_t tag = 0;
  const uint8_t* whole = nullptr;
  size_t whole_len = 0;
  const uint8_t* value = nullptr;
  size_t len = 0;

  Bytes WholeBytes() const { return Bytes(whole, whole + whole_len); }
  Bytes ValueBytes() const { return Bytes(value, value + len); }
};

class DerReader {
 public:
  DerReader() = default;
  DerReader(const uint8_t* p, size_t n) : p_(p), n_(p ? n : 0) {}
  explicit DerReader(const Tlv& t) : p_(t.value), n_(t.len) {}

  bool AtEnd() const { return n_ == 0; }
  // Reads the next element; false on a malformed or truncated encoding.
  bool Next(Tlv* out);
  // Reads the next element and requires the given tag.
  bool Expect(uint8_t want, Tlv* out);
  // Reads the next element only if it has the given tag; `present` tells.
  bool Optional(uint8_t want, Tlv* out, bool* present);
  bool PeekTag(uint8_t* t) const;

 private:
  const uint8_t* p_ = nullptr;
  size_t n_ = 0;
};

// Dotted form of an OBJECT IDENTIFIER value; empty on a malformed value.
std::string OidToString(const uint8_t* p, size_t n);
// UTCTime or GeneralizedTime (Z form, as RFC 5280 requires) to seconds since
// the Unix epoch; false on anything else.
bool ParseTime(const Tlv& t, int64_t* seconds);
// Unsigned value of a small non-negative INTEGER; false when it does not fit.
bool ParseSmallUint(const Tlv& t, uint64_t* v);
// Contents of a BIT STRING without its unused-bits octet.
bool BitStringBytes(const Tlv& t, const uint8_t** p, size_t* n,
                    unsigned* unused);

// Seconds since the Unix epoch to FILETIME and back.
FILETIME UnixToFileTime(int64_t seconds);
int64_t FileTimeToUnix(const FILETIME& ft);

// Encoding.
void PutTlv(Bytes* out, uint8_t t, const uint8_t* v, size_t n);
inline void PutTlv(Bytes* out, uint8_t t, const Bytes& v) {
  PutTlv(out, t, v.data(), v.size());
}
Bytes Wrap(uint8_t t, const Bytes& v);
// Dotted OID text to its DER value bytes; false on bad text.
bool OidFromString(const std::string& dotted, Bytes* value);

}  // namespace tavrix_chain
