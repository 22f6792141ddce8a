// The one ASN.1 toolkit of the provider: a bounds-checked reader for whole
// definite-length encodings, the incremental BER pieces streamed messages
// need, object identifiers and times in both directions, and a DER writer.
//
// What the readers accept is BER, not only DER, where RFC 5652 §2 says a
// signed message may be BER: DefiniteReader takes long-form lengths that are
// not minimal (X.690 §8.1.3.5; DER's §10.1 forbids them), as the streaming
// encoders of other CMS implementations and our own write a fixed four-octet
// length before they know the size; BerReader and Measure add indefinite
// lengths (X.690 §8.1.3.6). Where DER matters for a signature (the DER SET
// OF order of signed attributes, RFC 5652 §5.4) the writer produces it.
//
// Every read checks a claimed length against the bytes actually present, so
// a truncated or lying length is a parse failure, never an over-read, and
// nothing is ever allocated from a length field. Only single-octet
// identifiers are taken (X.690 §8.1.2.4's high tag numbers never occur in
// what is read here).
#pragma once

#include <capi/capi.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavrix::provider::der {

using Bytes = std::vector<uint8_t>;

// Universal identifier octets used by the provider.
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
  kTagConstructedOctetString = 0x24,
  kTagSequence = 0x30,
  kTagSet = 0x31,
};

// Context-specific identifier [n], primitive or constructed.
constexpr uint8_t Context(int n, bool constructed) {
  return static_cast<uint8_t>(0x80 | (constructed ? 0x20 : 0) | n);
}

// Nesting deeper than this is refused; real structures stay far below it.
constexpr int kMaxDepth = 48;

// One element, pointing into the encoded bytes.
struct Tlv {
  uint8_t tag = 0;  // the whole identifier octet
  bool constructed = false;
  bool indefinite = false;         // only ever set by BerReader
  const uint8_t* start = nullptr;  // first identifier octet
  const uint8_t* value = nullptr;  // first content octet
  size_t len = 0;                  // content length, without an end-of-contents

  // Identifier, length, content and (for indefinite lengths) end-of-contents.
  size_t total() const {
    return static_cast<size_t>(value - start) + len + (indefinite ? 2 : 0);
  }
  Bytes WholeBytes() const { return Bytes(start, start + total()); }
  Bytes ValueBytes() const { return Bytes(value, value + len); }
};

// ------------------------------------------------------------ DER reading

// Reads one definite-length element at `p` that must fit in `n` bytes. Up to
// four length octets are taken (every size a DWORD-sized call can carry),
// minimal or not; an indefinite length is refused.
[[nodiscard]] bool ReadTlv(const uint8_t* p, size_t n, Tlv* out);

// Walks consecutive definite-length elements of a byte range.
class DefiniteReader {
 public:
  DefiniteReader() = default;
  DefiniteReader(const uint8_t* p, size_t n) : p_(p), n_(p ? n : 0) {}
  explicit DefiniteReader(const Tlv& t) : p_(t.value), n_(t.len) {}

  bool AtEnd() const { return n_ == 0; }
  // The next element; false when the bytes left do not hold a whole,
  // well-formed one.
  [[nodiscard]] bool Next(Tlv* out);
  // The next element, which must carry `tag`; nothing is consumed otherwise.
  [[nodiscard]] bool Expect(uint8_t tag, Tlv* out);
  // Takes the next element only if it carries `tag` (`*present` tells);
  // false only when that element is malformed.
  [[nodiscard]] bool Optional(uint8_t tag, Tlv* out, bool* present);
  [[nodiscard]] bool PeekTag(uint8_t* tag) const;

 private:
  const uint8_t* p_ = nullptr;
  size_t n_ = 0;
};

// ------------------------------------------------------------ BER reading

enum class Status { kOk, kNeedMore, kError };

struct Header {
  uint8_t tag = 0;
  bool constructed = false;
  bool indefinite = false;
  size_t length = 0;      // content length when definite
  size_t header_len = 0;  // identifier and length octets
};

// kNeedMore is not a failure: the input stopped early and more is worth
// waiting for. kError sets the last error.
//
// Reads one identifier and length from bytes that may stop anywhere.
// kNeedMore when they end inside the header (then *need is the least total
// count worth waiting for).
[[nodiscard]] Status ParseHeader(const uint8_t* p, size_t n, Header* h,
                                 size_t* need);

// Measures one whole element, walking nested indefinite lengths. kNeedMore
// with *need = a lower bound of the bytes needed when the element is cut.
[[nodiscard]] Status Measure(const uint8_t* p, size_t n, size_t* total,
                             size_t* need, int depth = 0);

// Walks the elements of one complete buffer, indefinite lengths included,
// and keeps the first error code.
class BerReader {
 public:
  BerReader(const uint8_t* p, size_t n) : p_(p), n_(p ? n : 0) {}
  explicit BerReader(const Tlv& e) : p_(e.value), n_(e.len) {}
  bool empty() const { return n_ == 0; }
  // Identifier of the next element, 0 at the end.
  uint8_t PeekTag() const { return n_ ? p_[0] : 0; }
  [[nodiscard]] bool Next(Tlv* e);
  [[nodiscard]] bool Expect(uint8_t tag, Tlv* e);
  [[nodiscard]] bool Optional(uint8_t tag, Tlv* e, bool* present);
  DWORD error() const { return err_; }

 private:
  const uint8_t* p_;
  size_t n_;
  DWORD err_ = 0;
};

// These three set the last error when they fail.
// Contents of a primitive or constructed OCTET STRING element.
[[nodiscard]] bool OctetStringValue(const Tlv& e, Bytes* out);
// Dotted text of an OBJECT IDENTIFIER element.
[[nodiscard]] bool OidValue(const Tlv& e, std::string* out);
// Value of a small non-negative INTEGER element.
[[nodiscard]] bool SmallIntValue(const Tlv& e, uint32_t* out);

// ------------------------------------------------------------ values

// Dotted text of OBJECT IDENTIFIER content octets; empty when malformed.
std::string OidToString(const uint8_t* p, size_t n);
// Content octets of a dotted identifier; false when the text is not one.
bool OidFromString(const std::string& dotted, Bytes* content);

// Which time encodings are taken. kRfc5280: UTCTime YYMMDDHHMMSSZ and
// GeneralizedTime YYYYMMDDHHMMSSZ only, as certificates and CRLs must use.
// kAny adds UTCTime without seconds, GeneralizedTime without seconds and
// GeneralizedTime with fractions of a second (dropped).
enum class TimeForm { kRfc5280, kAny };
// UTCTime (years 1950-2049) or GeneralizedTime, 'Z' only, to seconds since
// the Unix epoch; false for anything else, impossible dates included.
[[nodiscard]] bool ParseTime(const Tlv& t, int64_t* seconds,
                             TimeForm form = TimeForm::kRfc5280);
[[nodiscard]] bool DecodeTime(const Tlv& t, FILETIME* out,
                              TimeForm form = TimeForm::kAny);
// FILETIME <-> seconds since the Unix epoch; times before 1601 become 0.
int64_t FileTimeToUnix(const FILETIME& ft);
FILETIME UnixToFileTime(int64_t seconds);

// Unsigned value of a non-negative INTEGER of at most 64 bits.
[[nodiscard]] bool ParseSmallUint(const Tlv& t, uint64_t* v);
// Contents of a BIT STRING without its unused-bits octet.
[[nodiscard]] bool BitStringBytes(const Tlv& t, const uint8_t** p, size_t* n,
                                  unsigned* unused);

// ------------------------------------------------------------ writing

size_t HeaderSize(size_t len);
void AppendHeader(Bytes* out, uint8_t tag, size_t len);
void AppendTlv(Bytes* out, uint8_t tag, const uint8_t* p, size_t n);
inline void AppendTlv(Bytes* out, uint8_t tag, const Bytes& b) {
  AppendTlv(out, tag, b.data(), b.size());
}
Bytes Wrap(uint8_t tag, const uint8_t* p, size_t n);
inline Bytes Wrap(uint8_t tag, const Bytes& b) {
  return Wrap(tag, b.data(), b.size());
}
void Append(Bytes* out, const Bytes& b);
// Whole OBJECT IDENTIFIER element for a dotted text; false (and nothing
// written) when the text is not an identifier.
bool EncodeOid(const std::string& dotted, Bytes* out);
bool AppendOid(Bytes* out, const std::string& dotted);
// INTEGER element for a big-endian magnitude, with a leading zero when the
// top bit is set (serial numbers are positive).
Bytes EncodeUnsignedInteger(const uint8_t* be, size_t n);
Bytes EncodeSmallInt(uint32_t v);
// DER SET OF: the encodings sorted as octet strings.
Bytes EncodeSetOf(uint8_t tag, std::vector<Bytes> items);

}  // namespace tavrix::provider::der
