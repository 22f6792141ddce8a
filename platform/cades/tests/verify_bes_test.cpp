// CAdES-BES made by OpenSSL (`cms -sign -cades`) through the verifier: every
// key type, attached and detached, and each fault the status table names
// for a message without evidence.
#include <capi/cades.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"
#include "verify_test_util.h"

namespace {

using tavrix_test::PkiCert;
using tavrix_test::RunCommand;
using tavrix_test::ShellQuote;
using tavrix_test::TempDir;
using tavrix_test::TestPki;
using verify_test::Bytes;

const char kContent[] = "Договор поставки № 17";

// OpenSSL's signature over kContent, DER; empty when OpenSSL failed.
Bytes OpensslSign(const PkiCert& c, const std::string& md, bool attached,
                  const std::string& opts, const std::string& chain = "") {
  TempDir dir;
  tavrix_test::WriteFileBytes(dir.File("in"),
                              Bytes(kContent, kContent + sizeof kContent - 1));
  std::string cmd =
      "openssl cms -sign -engine gost -binary -md " + md + " " + opts +
      (attached ? " -nodetach" : "") + " -in " + ShellQuote(dir.File("in")) +
      " -signer " + ShellQuote(c.certPem) + " -inkey " + ShellQuote(c.keyPem) +
      (chain.empty() ? "" : " -certfile " + ShellQuote(chain)) +
      " -outform DER -out " + ShellQuote(dir.File("sig")) + " 2>&1";
  if (RunCommand(cmd).exitCode != 0) return {};
  return tavrix_test::ReadFileBytes(dir.File("sig"));
}

std::string MdFor(const std::string& key_type) {
  if (key_type.rfind("gost2001", 0) == 0) return "md_gost94";
  if (key_type.rfind("gost2012_512", 0) == 0) return "md_gost12_512";
  return "md_gost12_256";
}

struct Case {
  const char* name;
  const char* cert;
  bool attached;
  const char* opts;  // for openssl cms -sign
  int tamper;  // 0 none, 1 last signature octet, 2 eContentType, 3 content
  DWORD status;
};

class BesVerify : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() { TestPki::Get(); }
};

TEST_P(BesVerify, StatusAsTheTableSays) {
  const Case& k = GetParam();
  const PkiCert& c = TestPki::Get().Cert(k.cert);
  Bytes sig = OpensslSign(c, MdFor(c.keyType), k.attached, k.opts);
  ASSERT_FALSE(sig.empty()) << "OpenSSL could not sign";
  if (k.tamper == 1) sig.back() ^= 0x01;
  if (k.tamper == 2) {
    // id-data as eContentType, not as the outer type (which is signedData):
    // the signed content-type attribute keeps saying id-data.
    const Bytes data_oid{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                         0xF7, 0x0D, 0x01, 0x07, 0x01};
    auto at =
        std::search(sig.begin(), sig.end(), data_oid.begin(), data_oid.end());
    ASSERT_NE(at, sig.end());
    at[10] = 0x05;
  }
  std::string content = k.attached ? "" : kContent;
  if (k.tamper == 3) content[0] ^= 0x01;
  verify_test::Result r = verify_test::Verify(sig, content, 0);
  ASSERT_TRUE(r.called) << "error " << std::hex << r.error;
  EXPECT_EQ(r.status, k.status);
}

const Case kCases[] = {
    {"Gost2001Attached", "user-gost2001", true, "-cades", 0, 0},
    {"Gost2012_256Attached", "user-gost2012_256", true, "-cades", 0, 0},
    {"Gost2012_512Detached", "user-gost2012_512", false, "-cades", 0, 0},
    {"Gost2012_256Detached", "user-gost2012_256", false, "-cades", 0, 0},
    {"NoSigningCertificateAttribute", "user-gost2012_256", true, "", 0, 2},
    {"NoSignedAttributes", "user-gost2012_256", true, "-noattr", 0, 2},
    {"UntrustedRoot", "selfsigned", true, "-cades", 0, 5},
    {"ExpiredSigner", "expired", true, "-cades", 0, 5},
    {"DetachedContentChanged", "user-gost2012_256", false, "-cades", 3, 8},
    {"SignatureChanged", "user-gost2012_256", true, "-cades", 1, 8},
    {"ContentTypeDiffers", "user-gost2012_256", true, "-cades", 2, 13},
};

INSTANTIATE_TEST_SUITE_P(OpensslMade, BesVerify, ::testing::ValuesIn(kCases),
                         [](const auto& i) { return i.param.name; });

TEST(VerifyCalls, BadArgumentsFailWithoutARecord) {
  TestPki::Get();
  const PkiCert& c = TestPki::Get().Cert("user-gost2012_256");
  Bytes sig = OpensslSign(c, "md_gost12_256", true, "-cades");
  ASSERT_FALSE(sig.empty());
  HCRYPTMSG m = verify_test::Decode(sig, "");
  ASSERT_NE(m, nullptr);
  PCADES_VERIFICATION_INFO info = nullptr;
  EXPECT_FALSE(CadesMsgVerifySignature(nullptr, 0, nullptr, &info));
  EXPECT_EQ(info, nullptr);
  EXPECT_FALSE(CadesMsgVerifySignature(m, 0, nullptr, nullptr));
  EXPECT_FALSE(CadesMsgVerifySignature(m, 1, nullptr, &info));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_INDEX));
  EXPECT_EQ(info, nullptr);
  ASSERT_TRUE(CadesMsgVerifySignature(m, 0, nullptr, &info));
  ASSERT_NE(info, nullptr);
  EXPECT_TRUE(CadesFreeVerificationInfo(info));
  // Twice, or a pointer never handed out: refused, not freed.
  EXPECT_FALSE(CadesFreeVerificationInfo(info));
  CADES_VERIFICATION_INFO* foreign =
      reinterpret_cast<CADES_VERIFICATION_INFO*>(sig.data());
  EXPECT_FALSE(CadesFreeVerificationInfo(foreign));
  EXPECT_TRUE(CadesFreeVerificationInfo(nullptr));
  CryptMsgClose(m);
}

}  // namespace
