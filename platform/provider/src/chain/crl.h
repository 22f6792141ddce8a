// CRL contexts: CertCreateCRLContext and friends, plus what the revocation
// check needs to read from a CRL.
#pragma once

#include <capi/wincrypt.h>

#include <memory>
#include <string>
#include <vector>

#include "x509/certificate.h"

namespace tavrix::provider::chain {

using der::Bytes;
using der::DefiniteReader;
using der::Tlv;

struct CrlData {
  x509::SignedParts signed_parts;
  Bytes issuer;  // whole Name encoding
  int64_t this_update = 0;
  bool has_next_update = false;
  int64_t next_update = 0;
  std::vector<Bytes> serials;  // big-endian, parallel to CRL_INFO entries
  Bytes authority_key_id;
  // A critical CRL extension this code does not handle (delta CRL indicator,
  // issuing distribution point): such a CRL is not used for revocation.
  bool unsupported_critical = false;
};

// Creates a context (reference count 1); null with the last error set on
// bad input.
PCCRL_CONTEXT CreateCrlContext(const uint8_t* p, size_t n);
// The parsed view of a context made here, kept alive while held; null for a
// foreign pointer.
std::shared_ptr<const CrlData> CrlDataOf(PCCRL_CONTEXT ctx);

}  // namespace tavrix::provider::chain
