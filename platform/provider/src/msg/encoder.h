// What a message being encoded keeps beside the model: its signers' keys
// and running hashes, and where a streamed encoding stands.
#pragma once

#include <vector>

#include "msg/message.h"

namespace tavrix::provider::msg {

struct EncSigner {
  HCRYPTPROV prov = 0;
  ProvHandle owned_prov;  // with CMSG_CRYPT_RELEASE_CONTEXT_FLAG
  DWORD key_spec = 0;
  ALG_ID alg = 0;
  HashHandle hash;
  bool want_attrs = false;
  std::vector<Attr> extra_attrs;  // the caller's signed attributes
  SignerRec rec;                  // identifiers and algorithms filled at open
};

struct Encoder {
  std::vector<EncSigner> signers;
  bool definite = true;
  uint64_t expected = 0;
  uint64_t seen = 0;
  bool header_sent = false;
  size_t predicted_tail = 0;  // the signer infos' size, streamed definite
};

}  // namespace tavrix::provider::msg
