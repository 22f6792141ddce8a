#include <capi/cades.h>
#include <capi/capi.h>
#include <capi/gost.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cades_peers.h"
#include "cades_steps.h"
#include "test_support.h"

namespace {

using tavrix_test::CadesPeers;
using tavrix_test::RunCommand;
using tavrix_test::ShellQuote;
using tavrix_test::TestPki;

using namespace cades_test;

bool IsType(const Bytes& der, DWORD type) {
  HCRYPTMSG m = Decode(der);
  BOOL r = FALSE;
  EXPECT_TRUE(CadesMsgIsType(m, 0, type, &r));
  CryptMsgClose(m);
  return r;
}

std::string Check(const Bytes& der, const std::string& level,
                  const Bytes* content = nullptr) {
  return CadesPeers::Get().Check(der, level, content);
}

const char kTextChars[] = "Договор поставки №1";
const Bytes kText(kTextChars, kTextChars + sizeof kTextChars - 1);

TEST(CadesEncode, EveryKeyAndFormVerifiesWithOpenssl) {
  CadesPeers& env = CadesPeers::Get();
  Bytes big(3u << 20, 'x');
  for (const char* kt : kKeyTypes) {
    for (int form = 0; form < 4; ++form) {
      bool detached = form & 1, streamed = form & 2;
      const Bytes& data = streamed ? big : kText;
      bool early = false;
      Bytes m = SignBes(env.Signer(kt), kt, data, detached, streamed, &early);
      SCOPED_TRACE(std::string(kt) + " form " + std::to_string(form));
      EXPECT_EQ(Check(m, "bes", detached ? &data : nullptr), "");
      EXPECT_TRUE(IsType(m, CADES_BES));
      EXPECT_FALSE(IsType(m, CADES_T));
      // Streamed output flows while content is still being fed.
      if (streamed) {
        EXPECT_TRUE(early);
      }
    }
  }
}

TEST(CadesEnhance, TAndXLongType1VerifyIndependently) {
  CadesPeers& env = CadesPeers::Get();
  for (const char* kt : kKeyTypes) {
    SCOPED_TRACE(kt);
    Bytes bes = SignBes(env.Signer(kt), kt, kText, true, false);
    Enhanced t = Enhance(bes, CADES_T, Wide(env.Tsa()));
    ASSERT_TRUE(t.ok) << std::hex << t.error;
    EXPECT_EQ(Check(t.der, "t", &kText), "");
    EXPECT_TRUE(IsType(t.der, CADES_T));
    EXPECT_FALSE(IsType(t.der, CADES_X_LONG_TYPE_1));
    // Type 0 is the runtime's default, X Long Type 1, here over the T form
    // (its time stamp is kept) and over an attached BES.
    Enhanced xl = Enhance(t.der, 0, Wide(env.Tsa("gost2001")));
    ASSERT_TRUE(xl.ok) << std::hex << xl.error;
    EXPECT_EQ(Check(xl.der, "xl", &kText), "");
    EXPECT_TRUE(IsType(xl.der, CADES_X_LONG_TYPE_1));
    Enhanced again = Enhance(xl.der, 0, Wide(env.Tsa()));
    EXPECT_TRUE(again.ok);
    EXPECT_EQ(again.der, xl.der);
    Enhanced attached = Enhance(
        SignBes(env.Signer(kt), kt, kText, false, false), 0, Wide(env.Tsa()));
    ASSERT_TRUE(attached.ok) << std::hex << attached.error;
    EXPECT_EQ(Check(attached.der, "xl"), "");
    // The checks are not vacuous: a changed certificate value (the
    // intermediate's, carried only there) breaks its reference.
    const Bytes& inter = TestPki::Get().Cert("xl-inter").der;
    Bytes bad = attached.der;
    auto at = std::search(bad.begin(), bad.end(), inter.begin(), inter.end());
    ASSERT_NE(at, bad.end());
    at[static_cast<long>(inter.size()) - 3] ^= 1;
    EXPECT_NE(Check(bad, "xl").find("certificate reference"),
              std::string::npos);
    std::printf("[ %s ] X Long Type 1 from BES in %.2f s\n", kt,
                attached.seconds);
  }
}

TEST(CadesEnhance, OpensslBesBecomesXLongType1) {
  CadesPeers& env = CadesPeers::Get();
  const PkiCert& c = env.Signer("gost2012_256");
  tavrix_test::TempDir d;
  tavrix_test::WriteFileBytes(d.File("in"), kText);
  ASSERT_EQ(
      RunCommand("openssl cms -sign -engine gost -cades -binary -nodetach "
                 "-md md_gost12_256 -outform DER -in " +
                 ShellQuote(d.File("in")) + " -signer " +
                 ShellQuote(c.certPem) + " -inkey " + ShellQuote(c.keyPem) +
                 " -out " + ShellQuote(d.File("m")) + " 2>&1")
          .exitCode,
      0);
  Bytes bes = tavrix_test::ReadFileBytes(d.File("m"));
  EXPECT_TRUE(IsType(bes, CADES_BES));
  Enhanced xl = Enhance(bes, CADES_X_LONG_TYPE_1, Wide(env.Tsa()));
  ASSERT_TRUE(xl.ok) << std::hex << xl.error;
  EXPECT_EQ(Check(xl.der, "xl"), "");
}

// Every lying, broken or silent answer fails the call within the time-out,
// and the message stays exactly as it was.
TEST(CadesEnhance, MisbehavingServicesFailCleanly) {
  CadesPeers& env = CadesPeers::Get();
  Bytes bes =
      SignBes(env.Signer("gost2012_256"), "gost2012_256", kText, false, false);
  const struct {
    std::wstring url;
    DWORD type, error;
  } rows[] = {
      {Wide(env.Tsa("imprint")), CADES_T, CADES_E_TSP_IMPRINT},
      {Wide(env.Tsa("nonce")), CADES_T, CADES_E_TSP_NONCE},
      {Wide(env.Tsa("untrusted")), CADES_T, CADES_E_TSP_UNTRUSTED},
      {Wide(env.Tsa("noncritical")), CADES_T, CADES_E_TSP_USAGE},
      {Wide(env.Tsa("noess")), CADES_T, CADES_E_TSP_SIGNATURE},
      {Wide(env.Tsa("error")), CADES_T, CADES_E_TSP_REJECTED},
      {Wide(env.Tsa("garbage")), 0, CADES_E_TSP_MALFORMED},
      {Wide(env.Tsa("stall")), 0, CADES_E_TSP_UNREACHABLE},
      {Wide(tavrix_test::LoopbackUrl(1)), CADES_T, CADES_E_TSP_UNREACHABLE},
      {L"file:///etc/passwd", CADES_T, CADES_E_TSP_ADDRESS},
      {L"http://127.0.0.1/\u0416", CADES_T, CADES_E_TSP_ADDRESS},
      {L"", CADES_T, CADES_E_TSP_ADDRESS},
      {Wide(env.Tsa()), 0x77, CADES_E_UNSUPPORTED_TYPE},
  };
  for (const auto& row : rows) {
    Enhanced e = Enhance(bes, row.type, row.url);
    SCOPED_TRACE(std::string(row.url.begin(), row.url.end()));
    EXPECT_FALSE(e.ok);
    EXPECT_EQ(e.error, row.error) << std::hex << e.error;
    EXPECT_LT(e.seconds, 20.0);
    EXPECT_EQ(e.der, bes);
  }
}

// A certificate that names no revocation source cannot get X Long Type 1:
// the call fails rather than writing evidence it does not have. T needs none.
TEST(CadesEnhance, NoRevocationSourceNoLongTermForm) {
  CadesPeers& env = CadesPeers::Get();
  const PkiCert& c = TestPki::Get().Cert("user-gost2012_256");
  Bytes bes = SignBes(c, "gost2012_256", kText, false, false);
  Enhanced xl = Enhance(bes, CADES_X_LONG_TYPE_1, Wide(env.Tsa()));
  EXPECT_FALSE(xl.ok);
  EXPECT_EQ(xl.error, CADES_E_REVOCATION_UNREACHABLE) << std::hex << xl.error;
  EXPECT_EQ(xl.der, bes);
  EXPECT_TRUE(Enhance(bes, CADES_T, Wide(env.Tsa())).ok);
}

TEST(CadesRuntime, TextsAndHostileParameters) {
  for (DWORD code = CADES_E_FIRST; code <= CADES_E_LAST; ++code) {
    LPWSTR text = nullptr;
    DWORD n = CadesFormatMessage(0x900, nullptr, code, 0x400,
                                 reinterpret_cast<LPWSTR>(&text), 8, nullptr);
    ASSERT_GT(n, 0u) << std::hex << code;
    EXPECT_TRUE(text[0] >= L'А' && text[0] <= L'я') << std::hex << code;
    LocalFree(text);
  }
  LPWSTR text = nullptr;
  for (DWORD foreign : {0u, 0x80090006u, CADES_E_LAST + 1, 0xE0CA0000u})
    EXPECT_EQ(CadesFormatMessage(0x900, nullptr, foreign, 0x400,
                                 reinterpret_cast<LPWSTR>(&text), 8, nullptr),
              0u);

  Bytes bes = SignBes(CadesPeers::Get().Signer("gost2012_256"), "gost2012_256",
                      kText, false, false);
  HCRYPTMSG m = Decode(bes);
  BOOL r = TRUE;
  EXPECT_FALSE(CadesMsgIsType(m, 1, CADES_BES, &r));  // no second signer
  EXPECT_FALSE(CadesMsgIsType(m, 0, 0x42, &r));
  EXPECT_FALSE(CadesMsgIsType(m, 0, CADES_BES, nullptr));
  CADES_SIGN_PARA para{};
  para.dwSize = 4;  // too short to hold even the type
  EXPECT_FALSE(CadesMsgEnhanceSignature(m, 0, &para));
  EXPECT_FALSE(CadesMsgEnhanceSignature(m, 0, nullptr));
  para.dwSize = sizeof para;
  para.dwCadesType = CADES_T;
  EXPECT_FALSE(CadesMsgEnhanceSignature(m, 5, &para));
  EXPECT_EQ(GetLastError(), CADES_E_NO_SIGNER);
  EXPECT_EQ(Encoded(m), bes);
  CryptMsgClose(m);
  EXPECT_EQ(CadesMsgOpenToEncode(kEnc, 0, nullptr, nullptr, nullptr), nullptr);
  CADES_ENCODE_INFO empty{};
  empty.dwSize = sizeof empty;
  EXPECT_EQ(CadesMsgOpenToEncode(kEnc, 0, &empty, nullptr, nullptr), nullptr);
}

}  // namespace
