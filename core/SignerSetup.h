// What the controller's signing and file code share and pages never see:
// the one-signer encode information and errno translated for the Error
// envelopes.
#pragma once

#include <capi/capi.h>

namespace tavrix_ctrl {

// One signer with its certificate in the message; the parts point at each
// other, so the whole stays where it was made.
struct SignedEncodeInfo {
  SignedEncodeInfo(PCCERT_CONTEXT signerCert, HCRYPTPROV prov, DWORD keySpec,
                   LPCSTR hashOid, DWORD signerInfoSize);
  SignedEncodeInfo(const SignedEncodeInfo&) = delete;
  SignedEncodeInfo& operator=(const SignedEncodeInfo&) = delete;

  CMSG_SIGNER_ENCODE_INFO signer;
  CERT_BLOB cert;
  CMSG_SIGNED_ENCODE_INFO info;
};

// The envelopes carry the provider's last error; a failed file call leaves
// its reason in errno only, so it is translated into the nearest Windows
// code first and the page gets a meaningful number.
DWORD WinErrorFromErrno(int err, DWORD fallback);

}  // namespace tavrix_ctrl
