// Signing texts, hashes and XML with certificates made by OpenSSL's GOST
// engine at test time; every signature is checked by OpenSSL.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "CadesF.h"
#include "TavrixCtrl.h"
#include "TmpCertArhive.h"
#include "base64.h"
#include "cades_peers.h"
#include "capi_spy.h"
#include "test_support.h"

using tavrix_test::PkiCert;
using tavrix_test::RunCommand;
using tavrix_test::ShellQuote;
using tavrix_test::TempDir;
using tavrix_test::TestPki;

namespace {

const std::string kPrefix = "<?xml version='1.0' encoding='utf-8'?><Error>";

struct KeyCase {
  const char* cert;     // user certificate of the test PKI
  const char* hashOid;  // the hash that fits its key
  const char* md;       // OpenSSL's name of that hash
  ALG_ID hashAlg;
};
const KeyCase kKeys[] = {
    {"user-gost2001", "1.2.643.2.2.9", "md_gost94", CALG_GR3411},
    {"user-gost2012_256", "1.2.643.7.1.1.2.2", "md_gost12_256",
     CALG_GR3411_2012_256},
    {"user-gost2012_512", "1.2.643.7.1.1.2.3", "md_gost12_512",
     CALG_GR3411_2012_512},
};

bool IsEnvelope(const std::string& s) { return s.rfind(kPrefix, 0) == 0; }

std::string Bytes(const std::vector<unsigned char>& v) {
  return std::string(v.begin(), v.end());
}

std::vector<unsigned char> Unbase64(const std::string& text) {
  std::vector<unsigned char> out(base64::GetLengthToDecode(text.size()));
  size_t len = 0;
  base64::decoding(text.data(), text.size(),
                   reinterpret_cast<char*>(out.data()), &len);
  out.resize(len);
  return out;
}

std::string Base64(const std::string& bytes, bool split = true) {
  return base64::encoding(bytes.data(), bytes.size(), split);
}

std::string Name(const PkiCert& c) { return "#" + c.serialHex; }

// One signing call as the script object makes it: a fresh controller bound
// to the given cache (or a cache of its own) and Params.
std::string SignWith(const std::string& text, const std::string& certName,
                     int flags, const std::string& params = "",
                     TmpCertArhive* cache = nullptr) {
  TmpCertArhive own;
  TavrixCtrl ctrl(cache != nullptr ? *cache : own, params);
  return ctrl.Sign(text, certName, flags);
}

// Lines of 76 characters joined by CR LF, the last one not longer.
void ExpectWrapped(const std::string& b64) {
  size_t start = 0;
  while (true) {
    size_t crlf = b64.find("\r\n", start);
    std::string line = b64.substr(start, crlf - start);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    if (crlf == std::string::npos) {
      EXPECT_LE(line.size(), 76u);
      break;
    }
    EXPECT_EQ(line.size(), 76u);
    start = crlf + 2;
  }
}

struct Verified {
  bool ok = false;
  std::string content;  // what OpenSSL says was signed
  std::string signer;   // the signer certificate it found, DER
  std::string log;
};

// openssl cms -verify of a DER message, with the detached content if any.
Verified OpensslVerify(const std::vector<unsigned char>& der,
                       const std::string* detached = nullptr) {
  TempDir dir;
  tavrix_test::WriteFileBytes(dir.File("sig.der"),
                              std::vector<uint8_t>(der.begin(), der.end()));
  std::string cmd =
      "openssl cms -verify -engine gost -binary -noverify "
      "-inform DER -in " +
      ShellQuote(dir.File("sig.der")) + " -out " + ShellQuote(dir.File("out")) +
      " -signer " + ShellQuote(dir.File("signer.pem"));
  if (detached != nullptr) {
    tavrix_test::WriteFileBytes(
        dir.File("content"),
        std::vector<uint8_t>(detached->begin(), detached->end()));
    cmd += " -content " + ShellQuote(dir.File("content"));
  }
  Verified v;
  tavrix_test::CommandResult r = RunCommand(cmd + " 2>&1");
  v.log = r.output;
  v.ok = r.exitCode == 0;
  if (!v.ok) return v;
  v.content = Bytes(tavrix_test::ReadFileBytes(dir.File("out")));
  RunCommand("openssl x509 -in " + ShellQuote(dir.File("signer.pem")) +
             " -outform DER -out " + ShellQuote(dir.File("signer.der")));
  v.signer = Bytes(tavrix_test::ReadFileBytes(dir.File("signer.der")));
  return v;
}

// A raw GOST signature as the controller hands it out, checked by OpenSSL
// over the given bytes with the certificate's public key.
bool OpensslRawVerify(const PkiCert& cert, const std::string& md,
                      const std::vector<unsigned char>& sig,
                      const std::string& data) {
  TempDir dir;
  tavrix_test::WriteFileBytes(dir.File("sig"),
                              std::vector<uint8_t>(sig.begin(), sig.end()));
  tavrix_test::WriteFileBytes(dir.File("data"),
                              std::vector<uint8_t>(data.begin(), data.end()));
  std::string q = ShellQuote(dir.File("pub.pem"));
  RunCommand("openssl x509 -engine gost -pubkey -noout -in " +
             ShellQuote(cert.certPem) + " > " + q + " 2>/dev/null");
  return RunCommand("openssl dgst -engine gost -" + md + " -verify " + q +
                    " -signature " + ShellQuote(dir.File("sig")) + " " +
                    ShellQuote(dir.File("data")) + " >/dev/null 2>&1")
             .exitCode == 0;
}

std::string Xmllint(const std::string& doc) {
  TempDir dir;
  tavrix_test::WriteFileBytes(dir.File("d.xml"),
                              std::vector<uint8_t>(doc.begin(), doc.end()));
  return RunCommand("xmllint --exc-c14n " + ShellQuote(dir.File("d.xml")))
      .output;
}

// The provider's own hash of some content with the algorithm of the key.
std::string ProviderHash(const PkiCert& cert, ALG_ID alg,
                         const std::string& content) {
  PCCERT_CONTEXT ctx = CertCreateCertificateContext(
      X509_ASN_ENCODING, cert.der.data(), static_cast<DWORD>(cert.der.size()));
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL mustFree = FALSE;
  EXPECT_TRUE(CryptAcquireCertificatePrivateKey(ctx, 0, nullptr, &prov, &spec,
                                                &mustFree));
  HCRYPTHASH h = 0;
  EXPECT_TRUE(CryptCreateHash(prov, alg, 0, 0, &h));
  EXPECT_TRUE(CryptHashData(h, reinterpret_cast<const BYTE*>(content.data()),
                            static_cast<DWORD>(content.size()), 0));
  BYTE value[64];
  DWORD len = sizeof value;
  EXPECT_TRUE(CryptGetHashParam(h, HP_HASHVAL, value, &len, 0));
  CryptDestroyHash(h);
  if (mustFree) CryptReleaseContext(prov, 0);
  CertFreeCertificateContext(ctx);
  return std::string(reinterpret_cast<char*>(value), len);
}

struct XmlResult {
  std::string algOid, algName, signature, certificate;
};
bool ParseXml(const std::string& s, XmlResult* out) {
  static const std::regex re(
      "<\\?xml version='1.0' encoding='utf-8'\\?><root><signature "
      "algOID='([^']*)' algName='([^']*)'>([^<]*)</signature><certificate>"
      "([^<]*)</certificate></root>");
  std::smatch m;
  if (!std::regex_match(s, m, re)) return false;
  *out = {m[1], m[2], m[3], m[4]};
  return true;
}

class Signing : public ::testing::TestWithParam<KeyCase> {
 protected:
  static void SetUpTestSuite() { TestPki::Get(); }
  const PkiCert& cert() const { return TestPki::Get().Cert(GetParam().cert); }
};

TEST_P(Signing, CmsDetachedAttachedAndBase64VerifyWithOpenssl) {
  const std::string text = "Платёжное поручение №1\n\x01 end";
  std::string binary("\x00\xff\x10 binary \x00", 12);
  struct Row {
    int flags;
    std::string text, signedBytes;
    bool attached;
  };
  const Row rows[] = {{0, text, text, false},
                      {4, text, text, true},
                      {1, Base64(binary), binary, false},
                      {5, Base64(binary), binary, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE("flags " + std::to_string(row.flags));
    std::string r = SignWith(row.text, Name(cert()), row.flags);
    ASSERT_FALSE(IsEnvelope(r)) << r;
    ExpectWrapped(r);
    Verified v =
        OpensslVerify(Unbase64(r), row.attached ? nullptr : &row.signedBytes);
    ASSERT_TRUE(v.ok) << v.log;
    EXPECT_EQ(v.content, row.signedBytes);
    EXPECT_EQ(v.signer, Bytes(cert().der));
    if (!row.attached) {
      // Detached: OpenSSL must not find another content acceptable.
      std::string other = row.signedBytes + "x";
      EXPECT_FALSE(OpensslVerify(Unbase64(r), &other).ok);
    }
  }
}

TEST_P(Signing, QueryNamesTheHashThatFitsTheKey) {
  EXPECT_EQ(SignWith("", Name(cert()), 0x40), GetParam().hashOid);
  EXPECT_EQ(SignWith("not used", Name(cert()), 0x40 | 0x01 | 0x02),
            GetParam().hashOid);
  // Nothing to sign is not an error, whatever the other bits ask.
  for (int flags : {0, 1, 2, 4, 8, 0x20, 0x3f})
    EXPECT_EQ(SignWith("", Name(cert()), flags), "");
}

TEST_P(Signing, SignedHashStandsForADetachedSignatureOfItsContent) {
  const std::string content =
      std::string("content hashed by the page, ") + GetParam().md;
  std::string hash = ProviderHash(cert(), GetParam().hashAlg, content);
  std::string r = SignWith(Base64(hash, false), Name(cert()), 0x21);
  ASSERT_FALSE(IsEnvelope(r)) << r;
  Verified v = OpensslVerify(Unbase64(r), &content);
  ASSERT_TRUE(v.ok) << v.log;
  EXPECT_EQ(v.signer, Bytes(cert().der));

  // Attached, the message carries the placeholder bytes, which its
  // signature does not cover.
  r = SignWith(Base64(hash, false), Name(cert()), 0x25);
  ASSERT_FALSE(IsEnvelope(r)) << r;
  EXPECT_NE(Bytes(Unbase64(r)).find(std::string("\x04\x03\x00\x0b\x16", 5)),
            std::string::npos);
  EXPECT_FALSE(OpensslVerify(Unbase64(r)).ok);

  // Too short, too long, or another algorithm's size: refused before the
  // provider reads the value, and nothing is signed.
  capi_spy::Reset();
  for (size_t len : {1u, 31u, 33u, 48u, 63u, 65u, 300u}) {
    if (len == hash.size()) continue;
    std::string wrong(len, '\x5a');
    r = SignWith(Base64(wrong, false), Name(cert()), 0x21);
    EXPECT_NE(r.find(kPrefix + "Ошибка в SignHash-CryptSetHashParam "),
              std::string::npos)
        << len << ": " << r;
    EXPECT_NE(r.find("(80090002)"), std::string::npos) << r;
  }
  EXPECT_EQ(capi_spy::Get().hashes, capi_spy::Get().hashesFreed);
  EXPECT_EQ(capi_spy::Get().msgs, 0);
}

TEST_P(Signing, XmlCarriesARawSignatureOverTheCanonicalText) {
  const std::string doc =
      "<?xml version=\"1.0\"?>\n<doc xmlns:b='urn:b' xmlns:a='urn:a'>"
      "<a:x  z=\"1\" b:y='2'>Текст &amp; <![CDATA[<>]]></a:x><e/></doc>";
  std::string r = SignWith(doc, Name(cert()), 8);
  XmlResult x;
  ASSERT_TRUE(ParseXml(r, &x)) << r;
  EXPECT_EQ(x.algOid, GetParam().hashOid);
  EXPECT_FALSE(x.algName.empty());
  EXPECT_EQ(Unbase64(x.certificate), cert().der);
  EXPECT_EQ(x.signature.find_first_of("\r\n"), std::string::npos);
  std::string canonical = Xmllint(doc);
  ASSERT_NE(canonical, doc);
  EXPECT_TRUE(OpensslRawVerify(cert(), GetParam().md, Unbase64(x.signature),
                               canonical));
  EXPECT_FALSE(
      OpensslRawVerify(cert(), GetParam().md, Unbase64(x.signature), doc));

  r = SignWith("not <xml", Name(cert()), 8);
  EXPECT_EQ(r.rfind(kPrefix + "Некорректный xml документ.", 0), 0u) << r;
}

INSTANTIATE_TEST_SUITE_P(EveryKey, Signing, ::testing::ValuesIn(kKeys),
                         [](const auto& info) {
                           std::string n = info.param.cert;
                           return n.substr(n.find('-') + 1);
                         });

TEST(SigningXml, MixedCertificateNamesTheHashActuallyUsed) {
  // A 2012 key certified by a 2001 issuer: the certificate's own signature
  // algorithm names GOST R 34.11-94, the signature is made with Streebog.
  auto& pki = TestPki::Get();
  const PkiCert& issuer = pki.Cert("inter-gost2001");
  PkiCert c;
  c.certPem = pki.dir() + "/mixed.pem";
  c.keyPem = pki.dir() + "/mixed.key";
  c.serialHex = "4D1C5ED0";
  const std::string q = ShellQuote(pki.dir() + "/mixed");
  ASSERT_EQ(RunCommand("openssl genpkey -engine gost -algorithm gost2012_256 "
                       "-pkeyopt paramset:A -out " +
                       q +
                       ".key 2>&1 && "
                       "openssl req -engine gost -new -key " +
                       q + ".key -subj /CN=Mixed -out " + q +
                       ".csr 2>&1 && "
                       "openssl x509 -engine gost -req -in " +
                       q + ".csr -CA " + ShellQuote(issuer.certPem) +
                       " -CAkey " + ShellQuote(issuer.keyPem) +
                       " -md_gost94 -days 2 "
                       "-set_serial 0x" +
                       c.serialHex + " -out " + q + ".pem 2>&1")
                .exitCode,
            0);
  ASSERT_EQ(pki.CertMgr("import --cert " + ShellQuote(c.certPem) + " --key " +
                        ShellQuote(c.keyPem))
                .exitCode,
            0);
  XmlResult x;
  std::string r = SignWith("<a>1</a>", Name(c), 8);
  ASSERT_TRUE(ParseXml(r, &x)) << r;
  EXPECT_EQ(x.algOid, "1.2.643.7.1.1.2.2");
  EXPECT_TRUE(
      OpensslRawVerify(c, "md_gost12_256", Unbase64(x.signature), "<a>1</a>"));
}

TEST(SigningXml, CertificateAlgorithmWithoutEntryStillNamesTheHashUsed) {
  const PkiCert& c = TestPki::Get().Cert("user-gost2001");
  capi_spy::SetNoAnyGroupAlgIdEntry(true);
  std::string r = SignWith("<a>1</a>", Name(c), 8);
  capi_spy::SetNoAnyGroupAlgIdEntry(false);
  XmlResult x;
  ASSERT_TRUE(ParseXml(r, &x)) << r;
  EXPECT_EQ(x.algOid, "1.2.643.2.2.9");
  EXPECT_EQ(x.algName, "ГОСТ Р 34.11-94");
  EXPECT_TRUE(
      OpensslRawVerify(c, "md_gost94", Unbase64(x.signature), "<a>1</a>"));
}

TEST(SigningErrors, NoHashAlgorithmStopsEverySigningPath) {
  const std::string name = Name(TestPki::Get().Cert("user-gost2012_256"));
  capi_spy::SetNoAlgorithms(true);
  for (int flags : {0x40, 0, 4, 0x20, 8}) {
    std::string r = SignWith(
        flags == 0x20 ? Base64(std::string(32, 'h')) : "<a/>", name, flags);
    EXPECT_EQ(r.rfind(kPrefix + "Ошибка в FindHashAlgoritmByProvider", 0), 0u)
        << flags << ": " << r;
  }
  capi_spy::SetNoAlgorithms(false);
}

TEST(SigningErrors, LookupFailuresAndBadBase64AreEnvelopes) {
  const std::string name = Name(TestPki::Get().Cert("user-gost2001"));
  struct Row {
    std::string text, cert;
    int flags;
    std::string message;
  } rows[] = {
      {"text", "#00112233445566", 0, "Сертификат не найден!"},
      {"text", "Nobody at all", 0x20, "Сертификат не найден!"},
      {"text", "#00112233445566", 0x40, "Сертификат не найден!"},
      {"это не base64!", name, 1, "Ошибка в Sign: данные не в формате base64"},
      {std::string("QUJD\0REVG", 9), name, 1,
       "Ошибка в Sign: данные не в формате base64"},
  };
  for (const Row& row : rows) {
    std::string r = SignWith(row.text, row.cert, row.flags);
    EXPECT_EQ(r.rfind(kPrefix + row.message + " ", 0), 0u) << r;
  }
}

TEST(SigningCache, OneKeyAcquisitionPerCacheAndEveryHandleGivenBack) {
  const std::string name = Name(TestPki::Get().Cert("user-gost2012_512"));
  const capi_spy::Calls& spy = capi_spy::Get();
  capi_spy::Reset();
  {
    TmpCertArhive cache;
    EXPECT_FALSE(IsEnvelope(SignWith("one", name, 0, "", &cache)));
    EXPECT_FALSE(IsEnvelope(
        SignWith(Base64(std::string(64, 't')), name, 0x21, "", &cache)));
    ASSERT_EQ(spy.acquired.size(), 1u);
    EXPECT_EQ(capi_spy::TimesReleased(spy.acquired[0]), 0);
  }
  EXPECT_EQ(capi_spy::TimesReleased(spy.acquired[0]), 1);

  // Without a cache, whatever one call acquires is released when it ends,
  // on success and on failure alike. Handle values are reused, so each
  // call is watched by itself.
  for (int flags : {0, 0x21, 8, 0x40, 0x02}) {
    capi_spy::Reset();
    {
      TavrixCtrl ctrl;
      ctrl.Sign(flags == 0x21 ? Base64(std::string(5, 'h')) : "<a/>", name,
                flags);
    }
    ASSERT_EQ(spy.acquired.size(), 1u) << flags;
    EXPECT_EQ(capi_spy::TimesReleased(spy.acquired[0]), 1) << flags;
    EXPECT_EQ(spy.hashes, spy.hashesFreed) << flags;
    EXPECT_EQ(spy.msgs, spy.msgsClosed) << flags;
  }
}

TEST(SigningHostile, EveryFlagCombinationGivesAResultOrAnEnvelope) {
  const std::string name = Name(TestPki::Get().Cert("user-gost2012_256"));
  const std::string texts[] = {
      "plain",     std::string("nul\0inside<a/>", 14),
      "<a>ok</a>", Base64(std::string(32, '\x01'), false),
      "%%%",       "==="};
  std::vector<int> flags;
  for (int f = 0; f < 0x80; ++f) flags.push_back(f);
  for (int f : {INT32_MIN, -1, 0x80, 0x100 | 5, 0x7fffff00 | 0x21})
    flags.push_back(f);
  capi_spy::Reset();
  TmpCertArhive cache;
  for (int f : flags) {
    for (const std::string& t : texts) {
      TavrixCtrl ctrl(cache, "TspUrl=");
      std::string r = ctrl.Sign(t, name, f);
      if (IsEnvelope(r)) continue;
      ASSERT_FALSE(r.empty()) << f;
      if (f & 0x40) {
        EXPECT_EQ(r, "1.2.643.7.1.1.2.2");
      } else if (f & 0x08) {
        XmlResult x;
        EXPECT_TRUE(ParseXml(r, &x)) << f << " " << r;
      } else {
        std::string b64 = r;
        EXPECT_TRUE(base64::IsBase64(b64)) << f << " " << r;
      }
    }
  }
  EXPECT_EQ(capi_spy::Get().hashes, capi_spy::Get().hashesFreed);
  EXPECT_EQ(capi_spy::Get().msgs, capi_spy::Get().msgsClosed);
}

TEST(SigningHostile, HugeTextIsSignedWhole) {
  const PkiCert& c = TestPki::Get().Cert("user-gost2001");
  std::string big(8u << 20, 'A');
  big[12345] = 'B';
  std::string r = SignWith(big, Name(c), 0);
  ASSERT_FALSE(IsEnvelope(r)) << r.substr(0, 300);
  Verified v = OpensslVerify(Unbase64(r), &big);
  EXPECT_TRUE(v.ok) << v.log;
}

}  // namespace

namespace {

// Which runtime answers depends on the run: none installed, a stand-in that
// loads but makes no message, or the runtime of the build tree.
TEST(SigningCades, RuntimeAndTimeStampAddressAreCheckedFirst) {
  const std::string name = Name(TestPki::Get().Cert("user-gost2012_256"));
  if (CadesF::FindCadesDll() != "1") {
    for (int flags : {0x02, 0x06, 0x12, 0x0A, 0x22})
      EXPECT_EQ(SignWith("data", name, flags, "TspUrl=http://127.0.0.1:1/")
                    .rfind(kPrefix + "Не найдена библиотека cades.dll ", 0),
                0u)
          << flags;
    return;
  }
  for (int flags : {0x02, 0x06, 0x0A, 0x22, 0x03})
    EXPECT_EQ(SignWith("ZGF0YQ==", name, flags, "A=1\r\nTspUrl=")
                  .rfind(kPrefix + "Адрес штампов времени пустой! ", 0),
              0u)
        << flags;
  // Without a time stamp no address is needed: the runtime is asked, and
  // either refuses (the frame tests' stand-in) or makes a detached message.
  std::string r = SignWith("data", name, 0x12);
  if (IsEnvelope(r)) {
    EXPECT_EQ(r.rfind(kPrefix + "Ошибка в SignCades-CadesMsgOpenToEncode ", 0),
              0u);
  } else {
    const std::string content = "data";
    Verified v = OpensslVerify(Unbase64(r), &content);
    EXPECT_TRUE(v.ok) << v.log;
  }
}

}  // namespace

namespace {

// The XML frame of a CAdES result, read by hand: the wrapped message is far
// longer than std::regex can take.
bool ParseCadesXml(const std::string& s, XmlResult* out) {
  const std::string head =
      "<?xml version='1.0' encoding='utf-8'?><root><signature algOID='";
  const std::string tail = "</certificate></root>";
  const size_t name = s.find("' algName='");
  const size_t body = s.find("'>", name);
  const size_t cert = s.find("</signature><certificate>", body);
  if (s.rfind(head, 0) != 0 || cert == std::string::npos ||
      s.size() < tail.size() ||
      s.compare(s.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  *out = {s.substr(head.size(), name - head.size()),
          s.substr(name + 11, body - name - 11),
          s.substr(body + 2, cert - body - 2),
          s.substr(cert + 25, s.size() - tail.size() - cert - 25)};
  return true;
}

// As a page asks, through the runtime of the build tree and the loopback
// time-stamp service; OpenSSL checks every result (cms -verify -cades, the
// time stamps, the revocation answers and the references to the values).
TEST(CadesEndToEnd, SignFlagsForEveryKey) {
  ASSERT_EQ(CadesF::FindCadesDll(), "1");
  tavrix_test::CadesPeers& env = tavrix_test::CadesPeers::Get();
  const std::string text = "Договор поставки №1";
  const std::vector<uint8_t> content(text.begin(), text.end());
  const struct Row {
    int flags;
    bool stamp;  // a time-stamp address in Params
    const char* level;
    bool attached, xml;
  } rows[] = {
      {0x02, true, "xl", false, false},
      {0x06, true, "xl", true, false},
      {0x12, false, "bes", false, false},
      {0x0A, true, "xl", false, true},
  };
  for (const char* kt : {"gost2001", "gost2012_256", "gost2012_512"}) {
    const PkiCert& signer = env.Signer(kt);
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(kt) + " flags " + std::to_string(row.flags));
      std::string r = SignWith(text, Name(signer), row.flags,
                               "TspUrl=" + (row.stamp ? env.Tsa() : ""));
      ASSERT_FALSE(IsEnvelope(r)) << r;
      std::string message = r;
      if (row.xml) {
        XmlResult x;
        ASSERT_TRUE(ParseCadesXml(r, &x)) << r.substr(0, 300);
        // The issuer signs with GOST R 34.10-2012 (256): its hash is shown.
        EXPECT_EQ(x.algOid, "1.2.643.7.1.1.2.2");
        EXPECT_FALSE(x.algName.empty());
        ExpectWrapped(x.certificate);
        EXPECT_EQ(Unbase64(x.certificate), signer.der);
        message = x.signature;
      }
      ExpectWrapped(message);
      const std::vector<unsigned char> der = Unbase64(message);
      EXPECT_EQ(env.Check(der, row.level, row.attached ? nullptr : &content),
                "");
      Verified v = OpensslVerify(der, row.attached ? nullptr : &text);
      EXPECT_TRUE(v.ok) << v.log;
      EXPECT_EQ(v.content, text);
      EXPECT_EQ(v.signer, Bytes(signer.der));
    }
  }
}

}  // namespace
