// The little DER this provider needs: walking definite-length TLVs with
// bounds checks, and object identifiers in both directions. Anything longer
// or stranger than a key container or a public key info can hold is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavrix_provider {
namespace gost {

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagBitString = 0x03;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagNull = 0x05;
constexpr uint8_t kTagOid = 0x06;
constexpr uint8_t kTagSequence = 0x30;

struct Tlv {
  uint8_t tag = 0;
  const uint8_t* body = nullptr;
  size_t len = 0;
  size_t total = 0;  // header and body
};

// Reads consecutive TLVs from a byte range; never reads outside it.
class DerReader {
 public:
  DerReader(const uint8_t* data, size_t len) : p_(data), left_(len) {}
  explicit DerReader(const Tlv& outer) : p_(outer.body), left_(outer.len) {}

  // The next element; false (and the reader stops) when the bytes left do not
  // hold a whole, well-formed one.
  bool Next(Tlv* out);
  // The next element only when it carries `tag`.
  bool Expect(uint8_t tag, Tlv* out);
  bool PeekTag(uint8_t* tag) const;
  bool AtEnd() const { return left_ == 0; }

 private:
  const uint8_t* p_;
  size_t left_;
};

// Dotted form of an OBJECT IDENTIFIER body; empty when malformed.
std::string DecodeOid(const uint8_t* body, size_t len);
// Body of an OBJECT IDENTIFIER in dotted form; empty when malformed.
std::vector<uint8_t> EncodeOidBody(const std::string& dotted);

void AppendTlv(std::vector<uint8_t>* out, uint8_t tag, const uint8_t* body,
               size_t len);
void AppendOid(std::vector<uint8_t>* out, const std::string& dotted);

}  // namespace gost
}  // namespace tavrix_provider
