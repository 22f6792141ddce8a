// Verification of signatures made by OpenSSL's GOST engine and by our own
// signing calls, with the test PKI's roots trusted: verdicts, chain and
// revocation sentences, the report section, extraction beside the file and
// hostile messages.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "CadesF.h"
#include "TavrixCtrl.h"
#include "TmpCertArhive.h"
#include "base64.h"
#include "cades_peers.h"
#include "chain_fixture.h"
#include "test_support.h"

using tavrix_test::PkiCert;
using tavrix_test::ReadFileBytes;
using tavrix_test::RunCommand;
using tavrix_test::ShellQuote;
using tavrix_test::TempDir;
using tavrix_test::TestPki;

namespace {

const std::string kError = "<?xml version='1.0' encoding='utf-8'?><Error>";
const std::string kResult =
    "<?xml version='1.0' encoding='utf-8'?><Result><Message";
const std::string kMath = "Подпись математически верна. ";
const std::string kTrusted = "Успешная проверка подписи.";
const std::string kBad = "Неверная подпись. ";

std::string Str(const std::vector<uint8_t>& v) {
  return std::string(v.begin(), v.end());
}

std::string B64(const std::string& s) {
  return base64::encoding(s.data(), s.size());
}

// What one Verify call said.
struct Outcome {
  std::string doc;
  int nested = -1;
  bool envelope() const { return doc.rfind(kError, 0) == 0; }
  bool valid() const { return doc.find("isValid='1'") != std::string::npos; }
  bool mathValid() const {
    return doc.find("isMathValid='1'") != std::string::npos;
  }
  std::string message() const {
    size_t open = doc.find('>', kResult.size());
    size_t close = doc.find("</Message>");
    if (open == std::string::npos || close == std::string::npos) return "";
    return doc.substr(open + 1, close - open - 1);
  }
};

Outcome RunVerify(const std::string& data, const std::string& sig,
                  const std::string& params = "", int nested = -1) {
  Outcome o;
  o.nested = nested;
  TavrixCtrl ctrl;
  o.doc = ctrl.Verify(data, sig, params, o.nested);
  return o;
}

// openssl cms -sign with the given certificate and key; DER.
std::string OpensslSign(const std::string& certPem, const std::string& keyPem,
                        const std::string& data, const std::string& options) {
  TempDir dir;
  tavrix_test::WriteFileBytes(dir.File("in"),
                              std::vector<uint8_t>(data.begin(), data.end()));
  auto r =
      RunCommand("openssl cms -sign -engine gost -binary -outform DER " +
                 options + " -signer " + ShellQuote(certPem) + " -inkey " +
                 ShellQuote(keyPem) + " -in " + ShellQuote(dir.File("in")) +
                 " -out " + ShellQuote(dir.File("out")) + " 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  return Str(ReadFileBytes(dir.File("out")));
}

std::string OpensslSign(const PkiCert& c, const std::string& data,
                        const std::string& options) {
  return OpensslSign(c.certPem, c.keyPem, data, options);
}

std::string OurSign(const PkiCert& c, const std::string& text, int flags) {
  TmpCertArhive cache;
  TavrixCtrl ctrl(cache, "");
  std::string sig = ctrl.Sign(text, "#" + c.serialHex, flags);
  EXPECT_EQ(sig.find("<Error>"), std::string::npos) << sig;
  return sig;
}

// Self-signed, and in none of the user's stores.
const PkiCert& Stranger() {
  TestPki& pki = TestPki::Get();
  if (pki.Has("stranger")) return pki.Cert("stranger");
  return pki.MakeCert("stranger", "gost2012_256", "/CN=Stranger", -86400,
                      30 * 86400, "self");
}

bool HasSerial(const Outcome& o, const PkiCert& c) {
  return o.doc.find(c.serialHex) != std::string::npos;
}

class Verification : public ::testing::Test {
 protected:
  void SetUp() override {
    TestPki& pki = TestPki::Get();
    tavrix_test::SetProviderHome(pki.home());
  }
};

// Every kind of OpenSSL signature, as DER and as base64, verifies under the
// trusted roots; altered content fails the mathematical check.
TEST_F(Verification, OpensslSignaturesOfEveryKeyType) {
  const std::string text = "Договор № 7 от 1 марта";
  for (const char* kt : {"gost2001", "gost2012_256", "gost2012_512"}) {
    const PkiCert& user = TestPki::Get().Cert(std::string("user-") + kt);
    for (bool attached : {true, false}) {
      for (bool noattr : {false, true}) {
        SCOPED_TRACE(std::string(kt) + (attached ? " attached" : " detached") +
                     (noattr ? " -noattr" : ""));
        const std::string der =
            OpensslSign(user, text,
                        std::string(attached ? "-nodetach" : "") +
                            (noattr ? " -noattr" : ""));
        const std::string data = attached ? "" : text;
        Outcome raw = RunVerify(data, der);
        Outcome b64 = RunVerify(B64(data), B64(der));
        EXPECT_EQ(raw.doc, b64.doc);
        EXPECT_TRUE(raw.valid() && raw.mathValid()) << raw.doc;
        EXPECT_EQ(raw.message(), kMath + kTrusted);
        EXPECT_TRUE(HasSerial(raw, user));
        EXPECT_EQ(raw.doc.substr(raw.doc.size() - 9), "</Result>");

        std::string altered = der;
        std::string other = text;
        if (attached) {
          size_t at = altered.find(text);
          ASSERT_NE(at, std::string::npos);
          altered[at] ^= 1;
        } else {
          other[0] ^= 1;
        }
        Outcome bad = RunVerify(attached ? "" : other, altered);
        EXPECT_FALSE(bad.valid() || bad.mathValid()) << bad.doc;
        EXPECT_EQ(bad.message().rfind(kBad, 0), 0u) << bad.doc;
      }
    }
  }
}

TEST_F(Verification, OwnSignaturesAndSignedFiles) {
  for (const char* kt : {"gost2001", "gost2012_256", "gost2012_512"}) {
    const PkiCert& user = TestPki::Get().Cert(std::string("user-") + kt);
    SCOPED_TRACE(kt);
    Outcome detached = RunVerify(B64("текст"), OurSign(user, "текст", 0));
    EXPECT_EQ(detached.message(), kMath + kTrusted) << detached.doc;
    Outcome attached = RunVerify("", OurSign(user, "текст", 4));
    EXPECT_EQ(attached.message(), kMath + kTrusted) << attached.doc;
    EXPECT_EQ(attached.nested, 0);

    TempDir dir;
    tavrix_test::WriteFileBytes(dir.File("doc.txt"), {'d', 'o', 'c'});
    TavrixCtrl signer;
    std::string sig =
        signer.SignFileWeb(dir.File("doc.txt"), "#" + user.serialHex, 0);
    ASSERT_EQ(sig.find("<Error>"), std::string::npos) << sig;
    Outcome file = RunVerify(B64("doc"), sig);
    EXPECT_TRUE(file.valid()) << file.doc;
  }
}

// Signer certificates the chain check refuses: the signature itself is fine.
TEST_F(Verification, ChainSentences) {
  struct Case {
    const char* cert;
    const char* sentence;
    bool first;  // the sentence opens the chain text
  };
  const Case cases[] = {
      {"selfsigned", "Корневой сертификат цепочки не является доверенным. ",
       false},
      {"expired", "Сертификат недействителен в данный момент. ", true},
      {"notyet", "Сертификат недействителен в данный момент. ", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cert);
    const PkiCert& cert = TestPki::Get().Cert(c.cert);
    Outcome o = RunVerify("", OpensslSign(cert, "x", "-nodetach"));
    EXPECT_FALSE(o.valid());
    EXPECT_TRUE(o.mathValid()) << o.doc;
    const std::string msg = o.message();
    ASSERT_EQ(msg.rfind(kMath, 0), 0u) << msg;
    const size_t at = msg.find(c.sentence);
    ASSERT_NE(at, std::string::npos) << msg;
    if (c.first) {
      EXPECT_EQ(at, kMath.size()) << msg;
    }
    EXPECT_EQ(msg.find(kTrusted), std::string::npos);
    EXPECT_EQ(msg.back(), ')');
  }
}

// A key nobody trusts, with a trusted CA's certificate carried first in the
// message: the verdict is about the key that signed, never about the CA.
TEST_F(Verification, SignerCertificateIsTheOneSignerZeroNames) {
  TestPki& pki = TestPki::Get();
  const PkiCert& forger = pki.Cert("selfsigned");
  const PkiCert& root = pki.Cert("root-gost2012_256");
  TempDir dir;
  const std::string bundle = dir.File("bundle.pem");
  RunCommand("cat " + ShellQuote(root.certPem) + " " +
             ShellQuote(forger.certPem) + " > " + ShellQuote(bundle));
  Outcome forged = RunVerify(
      "", OpensslSign(forger, "pay 1000",
                      "-nodetach -nocerts -certfile " + ShellQuote(bundle)));
  EXPECT_FALSE(forged.valid()) << forged.doc;
  EXPECT_EQ(forged.message().find(kTrusted), std::string::npos);
  EXPECT_TRUE(HasSerial(forged, forger));
  EXPECT_FALSE(HasSerial(forged, root));

  // Not carried at all: the user's own stores supply the certificate.
  const PkiCert& user = pki.Cert("user-gost2012_256");
  Outcome fromStore =
      RunVerify("", OpensslSign(user, "x", "-nodetach -nocerts"));
  EXPECT_EQ(fromStore.message(), kMath + kTrusted) << fromStore.doc;

  // Nowhere to be found.
  Outcome unknown = RunVerify("", OpensslSign(Stranger(), "x",
                                              "-nodetach -nocerts -certfile " +
                                                  ShellQuote(root.certPem)));
  EXPECT_EQ(unknown.doc.rfind(
                kError + "ExtractSignedMessage-GetCetrificateFromMessage", 0),
            0u)
      << unknown.doc;
}

TEST_F(Verification, ReportSectionAndParams) {
  const PkiCert& user = TestPki::Get().Cert("user-gost2012_256");
  const std::string sig = OpensslSign(user, "x", "-nodetach");
  auto count = [](const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t p = s.find(what); p != std::string::npos;
         p = s.find(what, p + 1))
      ++n;
    return n;
  };
  Outcome html = RunVerify("", sig, "HtmlOn=1\r\nCheckRevocation=0");
  EXPECT_EQ(count(html.doc, "<Html><![CDATA["), 1u);
  EXPECT_EQ(count(html.doc, "]]>"), 1u);
  EXPECT_EQ(count(html.doc, "<!--Status-->"), 0u);
  EXPECT_NE(html.doc.find("<tr><td valign=\"top\">Статус</td><td><table>" +
                          kMath + kTrusted + "</table></td></tr>"),
            std::string::npos);
  EXPECT_EQ(html.doc.substr(html.doc.size() - 19), "]]></Html></Result>");
  // Names from certificates cannot end the section early or add markup.
  TestPki& pki = TestPki::Get();
  const PkiCert& odd = pki.Has("cdata")
                           ? pki.Cert("cdata")
                           : pki.MakeCert("cdata", "gost2012_256",
                                          "/CN=a]]>b<i>c&d", -60, 86400);
  Outcome hostile =
      RunVerify("", OpensslSign(odd, "x", "-nodetach"), "HtmlOn=1");
  EXPECT_TRUE(hostile.valid()) << hostile.doc;
  EXPECT_EQ(count(hostile.doc, "]]>"), 1u) << hostile.doc;
  EXPECT_EQ(count(hostile.doc, "<i>"), 0u);
  for (const char* params : {"HtmlOn=true", "HtmlOn=", "htmlon=1", ""}) {
    Outcome plain = RunVerify("", sig, params);
    EXPECT_EQ(plain.doc.find("<Html>"), std::string::npos) << params;
  }
}

TEST_F(Verification, NestedSignedContent) {
  const PkiCert& user = TestPki::Get().Cert("user-gost2012_256");
  const std::string inner = OpensslSign(user, "inner", "-nodetach");
  Outcome outer = RunVerify("", OpensslSign(user, inner, "-nodetach"), "", 0);
  EXPECT_EQ(outer.nested, 1);
  EXPECT_TRUE(outer.valid()) << outer.doc;
  EXPECT_EQ(RunVerify("", inner, "", 7).nested, 0);
  EXPECT_EQ(RunVerify("inner", OpensslSign(user, "inner", ""), "", 7).nested,
            7);
}

TEST_F(Verification, FileExtraction) {
  const PkiCert& user = TestPki::Get().Cert("user-gost2012_256");
  const std::string content = std::string("PDF\0data", 8);
  const std::string attached = OpensslSign(user, content, "-nodetach");
  struct Case {
    const char* name;
    const char* written;
  };
  const Case cases[] = {{"doc.pdf.p7s", "doc.pdf"},
                        {"Doc.P7S", "Doc"},
                        {"a.p7s.P7S", "a.P7S"},
                        {"doc.pdf.p7m", "doc.pdf"},
                        {"doc.sig", "doc.sig.data"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    tavrix_test::WriteFileBytes(dir.File(c.name),
                                {attached.begin(), attached.end()});
    TavrixCtrl ctrl;
    int nested = 0;
    std::string r = ctrl.VerifyFile("", dir.File(c.name), "", nested);
    EXPECT_NE(r.find("</Message><ExtractedFilePath>" + dir.File(c.written) +
                     "</ExtractedFilePath>"),
              std::string::npos)
        << r;
    EXPECT_EQ(Str(ReadFileBytes(dir.File(c.written))), content);
    EXPECT_EQ(Str(ReadFileBytes(dir.File(c.name))), attached);
  }

  // Detached: checked against the data file, nothing written; without one
  // there is nothing to check or extract, and the file at the derived name
  // stays as it was.
  TempDir dir;
  const std::string detached = OpensslSign(user, content, "");
  tavrix_test::WriteFileBytes(dir.File("doc.pdf.p7s"),
                              {detached.begin(), detached.end()});
  tavrix_test::WriteFileBytes(dir.File("doc.pdf"),
                              {content.begin(), content.end()});
  TavrixCtrl ctrl;
  int nested = 0;
  std::string r =
      ctrl.VerifyFile(dir.File("doc.pdf"), dir.File("doc.pdf.p7s"), "", nested);
  EXPECT_NE(r.find("isValid='1'"), std::string::npos) << r;
  EXPECT_EQ(r.find("ExtractedFilePath"), std::string::npos);
  TavrixCtrl ctrl2;
  r = ctrl2.VerifyFile("", dir.File("doc.pdf.p7s"), "", nested);
  EXPECT_EQ(r.rfind(kError, 0), 0u) << r;
  EXPECT_EQ(Str(ReadFileBytes(dir.File("doc.pdf"))), content);
}

// Truncated, garbage and hostile messages end in an envelope or a result
// document, never a crash, an over-read or a hang.
TEST_F(Verification, HostileMessages) {
  const PkiCert& user = TestPki::Get().Cert("user-gost2012_256");
  const std::string good = OpensslSign(user, "content", "-nodetach");
  const std::string strangers = OpensslSign(Stranger(), "content", "-nodetach");
  const std::string cert = Str(Stranger().der);
  std::vector<std::string> inputs = {
      std::string("\0", 1),
      "garbage that is not base64 at all!",
      "QUJD",  // base64 of "ABC"
      std::string("\x30\x84\x7f\xff\xff\xff\x06\x09", 8),
      std::string("\x30\x80\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02", 13),
      std::string(100000, '\x30'),
  };
  for (size_t cut : {1ul, 10ul, good.size() / 2, good.size() - 1})
    inputs.push_back(good.substr(0, cut));
  // The signer's certificate replaced by bytes of the same length that do
  // not parse.
  std::string broken = strangers;
  size_t at = broken.find(cert);
  ASSERT_NE(at, std::string::npos);
  for (size_t i = 4; i < cert.size(); ++i) broken[at + i] = '\xff';
  inputs.push_back(broken);
  // No certificates at all, signer unknown to the stores.
  inputs.push_back(OpensslSign(TestPki::Get().Cert("selfsigned"), "x",
                               "-nodetach -nocerts"));
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    for (const std::string& sig : {inputs[i], B64(inputs[i])}) {
      Outcome o = RunVerify("", sig, "HtmlOn=1");
      EXPECT_TRUE(o.envelope() || o.doc.rfind(kResult, 0) == 0) << o.doc;
      EXPECT_FALSE(o.valid()) << o.doc;
    }
  }
  EXPECT_EQ(RunVerify("", "").doc.rfind(kError + "Пустая подпись.", 0), 0u);
}

// Revocation through a CRL over HTTP and OCSP answered by openssl ocsp, both
// on 127.0.0.1, and the sentences for sources that cannot be reached.
TEST(VerificationRevocation, CrlAndOcsp) {
  chain_test::Pki& pki = chain_test::Pki::Get();
  tavrix_test::SetProviderHome(pki.home);
  ASSERT_TRUE(pki.StartHttp());
  ASSERT_TRUE(pki.StartOcsp());
  const char* revoked = "Один из сертифкатов в цепочке был аннулирован. ";
  struct Case {
    const char* cert;
    const char* params;
    std::vector<const char*> sentences;  // empty: trusted
  };
  const std::vector<Case> cases = {
      {"crlrevoked", "CheckRevocation=1", {revoked}},
      {"ocsprevoked", "CheckRevocation=1", {revoked}},
      {"crlrevoked", "CheckRevocation=true", {}},
      {"crlgood", "CheckRevocation=1", {}},
      {"ocspgood", "CheckRevocation=1", {}},
      {"dead",
       "CheckRevocation=1",
       {"Статус аннулирования сертификатов не выяснен. ",
        "Не удалось загрузить действующий список отозванных сертификатов. "}},
      {"stall",
       "CheckRevocation=1",
       {"Статус аннулирования сертификатов не выяснен. ",
        "Не удалось загрузить действующий список отозванных сертификатов. "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.cert) + " " + c.params);
    pki.ClearCrlCache();
    const std::string dir = pki.dir + "/";
    std::string sig = OpensslSign(dir + c.cert + ".pem", dir + c.cert + ".key",
                                  "x", "-nodetach");
    auto start = std::chrono::steady_clock::now();
    Outcome o = RunVerify("", sig, c.params);
    double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    // The engine gives a retrieval 5 s.
    EXPECT_LT(secs, 10.0);
    EXPECT_TRUE(o.mathValid()) << o.doc;
    if (c.sentences.empty()) {
      EXPECT_EQ(o.message(), kMath + kTrusted);
      continue;
    }
    EXPECT_FALSE(o.valid());
    for (const char* s : c.sentences)
      EXPECT_NE(o.message().find(s), std::string::npos) << o.message();
  }
}

// Against the stand-in runtime, which calls every message CAdES-X Long
// Type 1 and answers the status it is told.
TEST(VerifyCades, StatusTexts) {
  TestPki& pki = TestPki::Get();
  tavrix_test::SetProviderHome(pki.home());
  const std::string sig =
      OpensslSign(pki.Cert("user-gost2012_256"), "x", "-nodetach");
  struct Case {
    const char* status;
    bool valid;
    std::string text;
  };
  const Case cases[] = {
      {"0", true, kTrusted},
      {"8", false, "Сообщение содержит неверную подпись."},
      {"11", false, "Неизвестный статус проверки (0xb)"},
      {"13", false,
       "Значение подписанного атрибута content-type не совпадает со "
       "значением, указанным в поле encapContentInfo.eContentType."},
      {"99", false, "Неизвестный статус проверки (0x63)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    setenv("FAKE_CADES_VERIFY_STATUS", c.status, 1);
    Outcome o = RunVerify("", sig);
    EXPECT_EQ(o.valid(), c.valid) << o.doc;
    EXPECT_TRUE(o.mathValid());
    EXPECT_EQ(o.message(), c.text);
  }
  setenv("FAKE_CADES_VERIFY_STATUS", "fail", 1);
  Outcome failed = RunVerify("", sig);
  EXPECT_FALSE(failed.valid());
  EXPECT_EQ(
      failed.message().rfind(kError + "VerifyCades-CadesMsgVerifySignature", 0),
      0u)
      << failed.doc;
  unsetenv("FAKE_CADES_VERIFY_STATUS");
  // The runtime refuses the type test.
  EXPECT_EQ(RunVerify("", sig).doc.rfind(
                kError + "ExtractSignedMessage-CadesMsgIsType", 0),
            0u);
}

}  // namespace

namespace {

// The users' command: exit status 0 only for a valid signature.
TEST_F(Verification, CheckTool) {
  const PkiCert& user = TestPki::Get().Cert("user-gost2012_256");
  TempDir dir;
  const std::string good = OpensslSign(user, "акт", "-nodetach");
  std::string bad = good;
  bad[bad.find("акт")] ^= 1;
  tavrix_test::WriteFileBytes(dir.File("good.p7s"), {good.begin(), good.end()});
  tavrix_test::WriteFileBytes(dir.File("bad.p7s"), {bad.begin(), bad.end()});
  const std::string tool = ShellQuote(TAVRIX_CHECK_PATH) + " --verify ";
  auto ok = RunCommand(tool + ShellQuote(dir.File("good.p7s")) + " --html " +
                       ShellQuote(dir.File("r.html")) + " 2>&1");
  EXPECT_EQ(ok.exitCode, 0) << ok.output;
  EXPECT_EQ(ok.output.rfind("Подпись действительна.\n", 0), 0u) << ok.output;
  EXPECT_NE(ok.output.find("Подписал: "), std::string::npos);
  EXPECT_NE(Str(ReadFileBytes(dir.File("r.html"))).find("<html"),
            std::string::npos);
  EXPECT_EQ(Str(ReadFileBytes(dir.File("good"))), "акт");
  auto no = RunCommand(tool + ShellQuote(dir.File("bad.p7s")) + " 2>&1");
  EXPECT_EQ(no.exitCode, 1);
  EXPECT_NE(no.output.find("Подпись НЕ действительна."), std::string::npos);
  EXPECT_EQ(RunCommand(tool + ShellQuote(dir.File("none.p7s"))).exitCode, 1);
}

}  // namespace

namespace {

// CAdES-X Long Type 1 made by our own signing call with the CAdES runtime of
// the build: checked on the runtime's path, and on the provider's path when
// the runtime the controller finds is incomplete (which counts as absent).
TEST(VerifyCadesRuntime, XLongType1) {
  if (CadesF::FindCadesDll() != "1") GTEST_SKIP() << "no CAdES runtime";
  // The peers install their signers into the home in force.
  tavrix_test::SetProviderHome(TestPki::Get().home());
  tavrix_test::CadesPeers& peers = tavrix_test::CadesPeers::Get();
  const PkiCert& signer = peers.Signer("gost2012_256");
  TmpCertArhive cache;
  const std::string text = "счёт 42";
  for (int flags : {2 | 4, 2}) {
    SCOPED_TRACE(flags);
    TavrixCtrl ctrl(cache, "TspUrl=" + peers.Tsa());
    const std::string sig = ctrl.Sign(text, "#" + signer.serialHex, flags);
    ASSERT_EQ(sig.find("<Error>"), std::string::npos) << sig;
    const std::string data = flags & 4 ? "" : B64(text);
    Outcome o = RunVerify(data, sig, "HtmlOn=1");
    EXPECT_TRUE(o.valid()) << o.doc;
    EXPECT_EQ(o.message(), kTrusted);
    EXPECT_NE(o.doc.find("(Штамп времени на подпись)"), std::string::npos);
    if (flags & 4) {
      std::string raw(base64::GetLengthToDecode(sig.size()), '\0');
      size_t len = 0;
      base64::decoding(sig.data(), sig.size(), &raw[0], &len);
      raw.resize(len);
      std::string altered = raw;
      altered[altered.find(text)] ^= 1;
      Outcome bad = RunVerify("", altered);
      EXPECT_FALSE(bad.valid()) << bad.doc;

      TempDir dir;
      tavrix_test::WriteFileBytes(dir.File("x.p7s"), {raw.begin(), raw.end()});
      auto r = RunCommand(
          "LD_LIBRARY_PATH=" + ShellQuote(FRAME_FAKES_DIR "/cades-partial") +
          " " + ShellQuote(TAVRIX_CHECK_PATH) + " --verify " +
          ShellQuote(dir.File("x.p7s")) + " 2>&1");
      EXPECT_NE(r.output.find("Результат проверки: " + kMath),
                std::string::npos)
          << r.output;
    } else {
      Outcome other = RunVerify(B64("счёт 43"), sig);
      EXPECT_FALSE(other.valid()) << other.doc;
    }
  }
}

}  // namespace
