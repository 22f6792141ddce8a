// What every certificate call shares beyond plain DER: directory string
// values, names, algorithm identifiers and hex text.
#pragma once

#include <capi/capi.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "der/der.h"

namespace tavrix_certs {

using tavrix_der::Bytes;
using tavrix_der::DecodeTime;
using tavrix_der::DerReader;
using tavrix_der::FileTimeToUnix;
using tavrix_der::kTagBitString;
using tavrix_der::kTagBmpString;
using tavrix_der::kTagBoolean;
using tavrix_der::kTagEnumerated;
using tavrix_der::kTagGeneralizedTime;
using tavrix_der::kTagGeneralString;
using tavrix_der::kTagGraphicString;
using tavrix_der::kTagIa5String;
using tavrix_der::kTagInteger;
using tavrix_der::kTagNull;
using tavrix_der::kTagNumericString;
using tavrix_der::kTagOctetString;
using tavrix_der::kTagOid;
using tavrix_der::kTagPrintableString;
using tavrix_der::kTagSequence;
using tavrix_der::kTagSet;
using tavrix_der::kTagTeletexString;
using tavrix_der::kTagUniversalString;
using tavrix_der::kTagUtcTime;
using tavrix_der::kTagUtf8String;
using tavrix_der::kTagVideotexString;
using tavrix_der::kTagVisibleString;
using tavrix_der::OidToString;
using tavrix_der::ReadTlv;
using tavrix_der::Tlv;
using tavrix_der::UnixToFileTime;
using tavrix_der::Wrap;

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
