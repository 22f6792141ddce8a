// Hostile signed messages through the CAdES verifier and type test: the
// bytes are decoded by the provider, then every signer is verified at each
// level and typed as each kind. A crash, over-read or leak is a finding; so
// is a record that cannot be released.
#include <capi/cades.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// Chains are looked up in the stores: a provider folder of its own keeps
// the run away from the user's certificates. With the seeds' trust anchor
// and intermediate in it (FUZZ_CADES_TRUST: a folder with root.der and
// ca.der), unchanged time stamps hold and mutations reach the evidence.
void Install(const char* store, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return;
  std::vector<BYTE> der(1 << 16);
  size_t n = std::fread(der.data(), 1, der.size(), f);
  std::fclose(f);
  HCERTSTORE s = CertOpenSystemStoreA(0, store);
  if (!s) return;
  CertAddEncodedCertificateToStore(s, X509_ASN_ENCODING, der.data(),
                                   static_cast<DWORD>(n),
                                   CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(s, 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static char dir[] = "/tmp/fuzz-cades-XXXXXX";
  const char* home = std::getenv("FUZZ_CADES_HOME");
  if (home && *home)
    setenv("TAVRIX_PROVIDER_HOME", home, 1);
  else if (mkdtemp(dir))
    setenv("TAVRIX_PROVIDER_HOME", dir, 1);
  if (const char* trust = std::getenv("FUZZ_CADES_TRUST")) {
    Install("ROOT", std::string(trust) + "/root.der");
    Install("CA", std::string(trust) + "/ca.der");
  }
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
      for (DWORD level : {0u, static_cast<DWORD>(CADES_X_LONG_TYPE_1)}) {
        CADES_VERIFICATION_PARA para{sizeof para, level, nullptr};
        PCADES_VERIFICATION_INFO info = nullptr;
        if (CadesMsgVerifySignature(m, i, level ? &para : nullptr, &info)) {
          if (!info || !CadesFreeVerificationInfo(info)) std::abort();
        } else if (info) {
          std::abort();
        }
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
