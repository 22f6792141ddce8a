// Hostile signed messages through the CAdES verifier and type test: the
// bytes are decoded by the provider, then every signer is verified at each
// level and typed as each kind. A crash, over-read or leak is a finding; so
// is a record that cannot be released.
#include <capi/cades.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

}  // namespace

// Chains are looked up in the stores: an empty provider folder of its own
// keeps the run away from the user's certificates.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char dir[] = "/tmp/fuzz-cades-XXXXXX";
  if (mkdtemp(dir)) setenv("TAVRIX_PROVIDER_HOME", dir, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HCRYPTMSG m = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
  if (!m) return 0;
  if (CryptMsgUpdate(m, data, static_cast<DWORD>(size), TRUE)) {
    DWORD signers = 0, n = sizeof signers;
    if (!CryptMsgGetParam(m, CMSG_SIGNER_COUNT_PARAM, 0, &signers, &n))
      signers = 0;
    // One index past the end as well: it must fail, not read.
    for (DWORD i = 0; i <= signers && i < 4; ++i) {
      PCADES_VERIFICATION_INFO info = nullptr;
      if (CadesMsgVerifySignature(m, i, nullptr, &info)) {
        if (!info || !CadesFreeVerificationInfo(info)) std::abort();
      } else if (info) {
        std::abort();
      }
      for (DWORD type : {CADES_BES, CADES_T, CADES_X_LONG_TYPE_1}) {
        BOOL is = FALSE;
        CadesMsgIsType(m, i, type, &is);
      }
    }
  }
  CryptMsgClose(m);
  return 0;
}
