// What every certificate call shares beyond plain DER: directory string
// values and names.
#pragma once

#include <capi/capi.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "der/der.h"

namespace tavrix::provider::certs {

using tavrix::provider::der::Bytes;
using tavrix::provider::der::DecodeTime;
using tavrix::provider::der::DefiniteReader;
using tavrix::provider::der::FileTimeToUnix;
using tavrix::provider::der::kTagBitString;
using tavrix::provider::der::kTagBmpString;
using tavrix::provider::der::kTagBoolean;
using tavrix::provider::der::kTagEnumerated;
using tavrix::provider::der::kTagGeneralizedTime;
using tavrix::provider::der::kTagGeneralString;
using tavrix::provider::der::kTagGraphicString;
using tavrix::provider::der::kTagIa5String;
using tavrix::provider::der::kTagInteger;
using tavrix::provider::der::kTagNull;
using tavrix::provider::der::kTagNumericString;
using tavrix::provider::der::kTagOctetString;
using tavrix::provider::der::kTagOid;
using tavrix::provider::der::kTagPrintableString;
using tavrix::provider::der::kTagSequence;
using tavrix::provider::der::kTagSet;
using tavrix::provider::der::kTagTeletexString;
using tavrix::provider::der::kTagUniversalString;
using tavrix::provider::der::kTagUtcTime;
using tavrix::provider::der::kTagUtf8String;
using tavrix::provider::der::kTagVideotexString;
using tavrix::provider::der::kTagVisibleString;
using tavrix::provider::der::OidToString;
using tavrix::provider::der::ReadTlv;
using tavrix::provider::der::Tlv;
using tavrix::provider::der::UnixToFileTime;
using tavrix::provider::der::Wrap;

// CERT_RDN_* value type for a directory string tag; CERT_RDN_ENCODED_BLOB for
// anything that is not a character string.
DWORD RdnTypeForTag(uint8_t tag);
// Wide text of a string value of CERT_RDN_* `type` from its content octets.
// Invalid UTF-8/UTF-16 sequences become U+FFFD; nothing is ever over-read.
std::wstring DecodeStringValue(DWORD type, const uint8_t* p, size_t n);

// Parsed form of an X.509 Name, pointing into the encoded bytes.
struct NameAttr {
  std::string oid;
  DWORD type = 0;                  // CERT_RDN_*
  const uint8_t* value = nullptr;  // content octets (whole TLV for blobs)
  size_t len = 0;
};
typedef std::vector<std::vector<NameAttr>> ParsedName;
bool ParseName(const uint8_t* p, size_t n, ParsedName* out);

}  // namespace tavrix::provider::certs
