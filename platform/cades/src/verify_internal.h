// The verifier's pieces shared by its entry points, the record it hands out
// and the tests.
#pragma once

#include <capi/cades.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tavrix_cades_verify {

using Bytes = std::vector<uint8_t>;

// The call itself failed: no record is handed out.
constexpr DWORD kCallFailed = 0xFFFFFFFFu;

struct SignerAttr {
  std::string oid;
  Bytes content;              // the Attribute's contents: type and values
  Bytes encoded;              // the whole Attribute
  std::vector<Bytes> values;  // DER of each value
};

struct ParsedSigner {
  bool by_key_id = false;
  Bytes issuer, serial, key_id;
  bool has_signed_attrs = false;
  std::vector<SignerAttr> signed_attrs;
  Bytes signature;  // the OCTET STRING's contents
  std::vector<SignerAttr> unsigned_attrs;
};

struct VerifyOutcome {
  DWORD call_error = 0;
  bool has_signing_time = false;
  int64_t signing_time = 0;
  DWORD error = 0;  // the provider's code behind a bad signature
  Bytes signer_cert;
  bool has_stamp_time = false;
  int64_t stamp_time = 0;
  bool has_c_stamp_time = false;
  int64_t c_stamp_time = 0;
};

bool ParseSigner(const Bytes& enc, ParsedSigner* out);
// `wanted_type` 0 checks the signer at the level its attributes show.
DWORD VerifySigner(HCRYPTMSG h, DWORD index, DWORD wanted_type,
                   VerifyOutcome* out);

// The record: built from an outcome, released with DeleteInfo.
bool WantedType(const CADES_VERIFICATION_PARA* para, DWORD* type);
PCADES_VERIFICATION_INFO NewInfo(DWORD status, const VerifyOutcome& o);
void DeleteInfo(PCADES_VERIFICATION_INFO info);

}  // namespace tavrix_cades_verify
