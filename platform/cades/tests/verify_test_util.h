// Decoding a message as the plug-in does and asking the verifier for one
// signer's status.
#pragma once

#include <capi/cades.h>

#include <cstdint>
#include <string>
#include <vector>

namespace verify_test {

using Bytes = std::vector<uint8_t>;

// A decoded message; with `detached` content fed after the signature.
inline HCRYPTMSG Decode(const Bytes& msg, const std::string& detached) {
  const DWORD enc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  HCRYPTMSG m = CryptMsgOpenToDecode(
      enc, detached.empty() ? 0 : CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr);
  if (!m) return nullptr;
  bool ok = CryptMsgUpdate(m, msg.data(), static_cast<DWORD>(msg.size()), TRUE);
  if (ok && !detached.empty())
    ok = CryptMsgUpdate(m, reinterpret_cast<const BYTE*>(detached.data()),
                        static_cast<DWORD>(detached.size()), TRUE);
  if (!ok) {
    CryptMsgClose(m);
    return nullptr;
  }
  return m;
}

struct Result {
  bool called = false;  // the call succeeded and handed out a record
  DWORD status = 0xFFFFFFFFu;
  DWORD error = 0;  // last error when it did not
};

inline Result Verify(const Bytes& msg, const std::string& detached,
                     DWORD type) {
  Result r;
  HCRYPTMSG m = Decode(msg, detached);
  if (!m) {
    r.error = GetLastError();
    return r;
  }
  PCADES_VERIFICATION_INFO info = nullptr;
  CADES_VERIFICATION_PARA para{};
  para.dwSize = sizeof para;
  para.dwCadesType = type;
  if (CadesMsgVerifySignature(m, 0, type ? &para : nullptr, &info) && info) {
    r.called = true;
    r.status = info->dwStatus;
    CadesFreeVerificationInfo(info);
  } else {
    r.error = GetLastError();
  }
  CryptMsgClose(m);
  return r;
}

}  // namespace verify_test
