// A small BER/DER reader and DER writer for the message functions.
//
// Why our own and not libtasn1: signed messages arrive in CryptMsgUpdate
// pieces of any size, with BER indefinite lengths and constructed OCTET
// STRINGs as streaming producers write them, and libtasn1 can only decode a
// whole buffer. The reader here works on whatever bytes have arrived, tells
// how many more it needs, and never trusts a claimed length beyond the bytes
// actually present: nothing is allocated from a length field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capi/capi.h"

namespace tavrix_msg {

using Bytes = std::vector<uint8_t>;

namespace der {

constexpr uint8_t kBoolean = 0x01;
constexpr uint8_t kInteger = 0x02;
constexpr uint8_t kBitString = 0x03;
constexpr uint8_t kOctetString = 0x04;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kOid = 0x06;
constexpr uint8_t kUtcTime = 0x17;
constexpr uint8_t kGeneralizedTime = 0x18;
constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kSet = 0x31;
constexpr uint8_t kConstructedOctetString = 0x24;
constexpr uint8_t kContext0 = 0xA0;  // [0] constructed
constexpr uint8_t kContext1 = 0xA1;  // [1] constructed
constexpr uint8_t kContextPrim0 = 0x80;

// Nesting deeper than this is refused; real CMS stays far below it.
constexpr int kMaxDepth = 48;

enum class Status { kOk, kNeedMore, kError };

struct Header {
  uint8_t tag =
      0;  // the whole identifier octet (class, constructed bit, number)
  bool constructed = false;
  bool indefinite = false;
  size_t length = 0;      // content length when definite
  size_t header_len = 0;  // identifier and length octets
};

// Reads one identifier and length. kNeedMore when the bytes end inside the
// header (then *need is the least total count worth waiting for).
Status ParseHeader(const uint8_t* p, size_t n, Header* h, size_t* need,
                   DWORD* err);

// Measures one whole element, walking nested indefinite lengths. kNeedMore
// with *need = a lower bound of the bytes needed when the element is cut.
Status Measure(const uint8_t* p, size_t n, size_t* total, size_t* need,
               DWORD* err, int depth = 0);

struct Element {
  uint8_t tag = 0;
  bool constructed = false;
  bool indefinite = false;
  const uint8_t* full = nullptr;  // identifier, length, content (and EOC)
  size_t full_len = 0;
  const uint8_t* content = nullptr;  // content without the end-of-contents
  size_t content_len = 0;
};

// Walks the elements of one complete buffer in order.
class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  explicit Reader(const Element& e) : p_(e.content), n_(e.content_len) {}
  bool empty() const { return n_ == 0; }
  // Identifier of the next element, 0 at the end.
  uint8_t PeekTag() const { return n_ ? p_[0] : 0; }
  // Next element of any kind; false and an error code at a fault.
  bool Next(Element* e);
  // Next element, which must carry this identifier.
  bool Expect(uint8_t tag, Element* e);
  // Takes the next element only if it carries this identifier.
  bool Optional(uint8_t tag, Element* e, bool* present);
  DWORD error() const { return err_; }

 private:
  const uint8_t* p_;
  size_t n_;
  DWORD err_ = 0;
};

// Contents of a primitive or constructed OCTET STRING element.
bool OctetStringValue(const Element& e, Bytes* out, DWORD* err);
// Dotted text of an OBJECT IDENTIFIER element.
bool OidValue(const Element& e, std::string* out, DWORD* err);
// Unsigned value of a small INTEGER element.
bool SmallIntValue(const Element& e, uint32_t* out, DWORD* err);

// ------------------------------------------------------------ writing
void AppendHeader(Bytes* out, uint8_t tag, size_t len);
size_t HeaderSize(size_t len);
Bytes Tlv(uint8_t tag, const uint8_t* p, size_t n);
inline Bytes Tlv(uint8_t tag, const Bytes& b) {
  return Tlv(tag, b.data(), b.size());
}
void Append(Bytes* out, const Bytes& b);
// DER form of a dotted OID text; false when the text is not an OID.
bool EncodeOid(const std::string& dotted, Bytes* out);
// INTEGER element for a big-endian magnitude, with a leading zero when the
// top bit is set (serial numbers are positive).
Bytes EncodeUnsignedInteger(const uint8_t* be, size_t n);
Bytes EncodeSmallInt(uint32_t v);
// DER SET OF: the encodings sorted as octet strings.
Bytes EncodeSetOf(uint8_t tag, std::vector<Bytes> items);

}  // namespace der
}  // namespace tavrix_msg
