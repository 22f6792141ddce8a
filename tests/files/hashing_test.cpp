// GOST R 34.11-94 hashes and exclusive XML canonicalisation, checked against
// OpenSSL's GOST engine and xmllint.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "TavrixCtrl.h"
#include "base64.h"
#include "files_helpers.h"
#include "test_support.h"

using files_test::Exists;
using files_test::HttpServer;
using files_test::ReadAll;
using files_test::WriteAll;

namespace {

const std::string kPrefix = "<?xml version='1.0' encoding='utf-8'?><Error>";
const std::string kSubject = "Files Hash Signer";

// A provider home with a GOST R 34.10-2001 certificate and its key in the
// personal store, made by OpenSSL at test time.
class HashEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    auto& pki = tavrix_test::TestPki::Get();
    const auto& cert = pki.MakeCert("files-hash", "gost2001", "/CN=" + kSubject,
                                    -3600, 864000, "self");
    ASSERT_TRUE(pki.Install(cert, "MY", true));
  }
};

::testing::Environment* const env =
    ::testing::AddGlobalTestEnvironment(new HashEnv());

std::string Sh(const std::string& cmd) {
  tavrix_test::CommandResult r = tavrix_test::RunCommand(cmd);
  EXPECT_EQ(r.exitCode, 0) << cmd;
  return r.output;
}

// base64 of OpenSSL's GOST R 34.11-94 digest of the bytes.
std::string OpensslHash(const std::string& bytes) {
  tavrix_test::TempDir dir;
  WriteAll(dir.File("in"), bytes);
  std::string digest =
      Sh("openssl dgst -engine gost -md_gost94 -binary " +
         tavrix_test::ShellQuote(dir.File("in")) + " 2>/dev/null");
  return base64::encoding(digest.data(), digest.size(), false);
}

// xmllint's exclusive canonical form of the document without its comments
// (xmllint keeps them; the plug-in's form drops them).
std::string Xmllint(const std::string& doc) {
  tavrix_test::TempDir dir;
  WriteAll(dir.File("doc.xml"),
           std::regex_replace(doc, std::regex("<!--[^]*?-->"), ""));
  return Sh("xmllint --exc-c14n " +
            tavrix_test::ShellQuote(dir.File("doc.xml")));
}

std::string Utf8ToCp1251(const std::string& utf8) {
  tavrix_test::TempDir dir;
  WriteAll(dir.File("in"), utf8);
  return Sh("iconv -f UTF-8 -t WINDOWS-1251 " +
            tavrix_test::ShellQuote(dir.File("in")));
}

bool IsEnvelope(const std::string& s) { return s.rfind(kPrefix, 0) == 0; }

TEST(Hash, MatchesOpensslForTextAndForTheSameBytesInBase64) {
  std::string binary;
  for (int i = 0; i < 3000; ++i) binary += static_cast<char>(i * 31 % 256);
  for (const std::string& data :
       {std::string("abc"), std::string("Подпись документа\n"),
        std::string(1, '\0'), binary}) {
    const std::string expected = OpensslHash(data);
    TavrixCtrl plain;
    std::string asText = plain.Hash(data, kSubject, 0);
    EXPECT_EQ(asText, expected);
    EXPECT_EQ(asText.size(), 44u);
    EXPECT_EQ(asText.back(), '=');

    TavrixCtrl lines;
    EXPECT_EQ(lines.Hash(base64::encoding(data.data(), data.size(), true),
                         kSubject, 1),
              expected);
    TavrixCtrl oneLine;
    // Unknown bits are ignored.
    EXPECT_EQ(oneLine.Hash(base64::encoding(data.data(), data.size(), false),
                           kSubject, 1 | 0x40),
              expected);
  }
}

TEST(Hash, EmptyDataAndLookupFailures) {
  TavrixCtrl ctrl;
  // Empty data is answered before any certificate is looked up.
  EXPECT_EQ(ctrl.Hash("", "no such certificate at all", 0), "");
  EXPECT_EQ(ctrl.Hash("", "no such certificate at all", 3), "");
  // A text that decodes to no bytes is hashed as empty data. OpenSSL's
  // engine is no reference here (it gives 3f25bc1f... for no input); the
  // published GOST R 34.11-94 value with the CryptoPro parameters is
  // 981e5f3ca30c841487830f84fb433e13ac1101569b9c13584ac483234cd656c0.
  TavrixCtrl padding;
  EXPECT_EQ(padding.Hash("==\r\n", kSubject, 1),
            "mB5fPKMMhBSHgw+E+0M+E6wRAVabnBNYSsSDI0zWVsA=");

  TavrixCtrl missing;
  std::string r = missing.Hash("abc", "no such certificate at all", 0);
  EXPECT_EQ(r.rfind(kPrefix + "Сертификат не найден! ", 0), 0u) << r;

  // Without a provider handle the hash cannot even be created.
  TavrixCtrl bare;
  unsigned char byte = 'a';
  std::string noProv = bare.GetHashInBase64(CALG_GR3411, &byte, 1);
  EXPECT_EQ(
      noProv.rfind(kPrefix + "Ошибка в GetHashInBase64-CryptCreateHash ", 0),
      0u)
      << noProv;
}

// Documents whose canonical form xmllint must agree with.
const std::vector<std::string>& Documents() {
  static const std::vector<std::string> docs = {
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- note -->\n"
      "<doc b='2' a=\"1\"><empty/><t>Текст &amp; &#x41;</t><!--c--></doc>\n",
      "<r xmlns:u=\"urn:unused\" xmlns:x=\"urn:x\"><x:e x:z=\"1\" "
      "xmlns:y=\"urn:y\"><![CDATA[<cdata> & ]]></x:e>\n  <?pi data?></r>",
      "<!DOCTYPE r [<!ENTITY who \"мир\"><!ATTLIST r lang CDATA \"ru\">]>"
      "<r>привет, &who;!<a   attr = \"\t v \"/></r>",
      "<a xmlns=\"urn:default\"><b xmlns=\"\"><c/></b>\r\n</a>",
  };
  return docs;
}

TEST(CanonicalizeXml, AgreesWithXmllint) {
  for (const auto& doc : Documents()) {
    TavrixCtrl ctrl;
    std::string c14n = ctrl.CanonicalizeXml(doc);
    EXPECT_FALSE(IsEnvelope(c14n)) << c14n;
    EXPECT_EQ(c14n, Xmllint(doc)) << doc;
  }
  // One controller, several documents in a row.
  TavrixCtrl reused;
  for (const auto& doc : Documents())
    EXPECT_EQ(reused.CanonicalizeXml(doc), Xmllint(doc));
}

TEST(CanonicalizeXml, Windows1251DocumentsCanonicaliseOnTheSecondAttempt) {
  const std::string utf8 =
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?>"
      "<Документ Автор=\"Иванов\"><Текст>Съешь же ещё этих мягких "
      "французских булок</Текст></Документ>";
  const std::string cp1251 = Utf8ToCp1251(utf8);
  ASSERT_NE(cp1251, utf8);
  TavrixCtrl a, b;
  std::string fromUtf8 = a.CanonicalizeXml(utf8);
  std::string fromCp1251 = b.CanonicalizeXml(cp1251);
  EXPECT_FALSE(IsEnvelope(fromCp1251)) << fromCp1251;
  EXPECT_EQ(fromCp1251, fromUtf8);
  EXPECT_EQ(fromCp1251, Xmllint(cp1251));

  TavrixCtrl h1, h2;
  EXPECT_EQ(h1.Hash(cp1251, kSubject, 2), h2.Hash(utf8, kSubject, 2));
  EXPECT_EQ(h1.Hash(cp1251, kSubject, 2), OpensslHash(fromUtf8));
}

TEST(CanonicalizeXml, HashingAfterCanonicalisationIgnoresFormOnly) {
  const std::string x = "<?xml version=\"1.0\"?><a y=\"2\" x=\"1\"><b/></a>";
  const std::string y = "<!-- other --><a x='1' y='2'><b></b></a>";
  TavrixCtrl ctrl;
  EXPECT_EQ(ctrl.Hash(x, kSubject, 2), ctrl.Hash(y, kSubject, 2));
  EXPECT_NE(ctrl.Hash(x, kSubject, 0), ctrl.Hash(y, kSubject, 0));
  // Base64 and canonicalisation together: decoded first.
  EXPECT_EQ(ctrl.Hash(base64::encoding(y.data(), y.size()), kSubject, 3),
            ctrl.Hash(x, kSubject, 2));
  EXPECT_EQ(ctrl.Hash(x, kSubject, 2),
            OpensslHash("<a x=\"1\" y=\"2\"><b></b></a>"));
}

TEST(CanonicalizeXml, BadDocumentsGiveTheirEnvelopes) {
  for (const std::string& bad :
       {std::string("not xml at all"), std::string("<a><b></a>"),
        std::string("<?xml version=\"1.0\"?>"), std::string("")}) {
    TavrixCtrl ctrl;
    std::string r = ctrl.CanonicalizeXml(bad);
    EXPECT_EQ(r.rfind(kPrefix + "Некорректный xml документ. ", 0), 0u) << r;
    EXPECT_EQ(r.substr(r.size() - 8), "</Error>");
  }
  TavrixCtrl ctrl;
  std::string viaHash = ctrl.Hash("not xml", kSubject, 2);
  EXPECT_EQ(viaHash.rfind(kPrefix + "Некорректный xml документ. ", 0), 0u);
}

// One element with tens of thousands of attributes held the main thread for
// half a minute in the parse and the canonical sort; it is refused unparsed,
// while "=" in values, comments and text does not count against a document.
TEST(CanonicalizeXml, ElementsWithTooManyAttributesAreRefusedUnparsed) {
  auto element = [](size_t attributes) {
    std::string xml = "<r";
    for (size_t i = 0; i < attributes; ++i)
      xml += " a" + std::to_string(i) + "=\"v=w\"";
    return xml + ">";
  };
  // Defaults from the internal subset multiply over every element.
  std::string defaults = "<!DOCTYPE r [<!ATTLIST e";
  for (int i = 0; i < 1024; ++i)
    defaults += " d" + std::to_string(i) + " CDATA \"x\"";
  defaults += ">]><r>";
  for (int i = 0; i < 2000; ++i) defaults += "<e/>";
  defaults += "</r>";
  EXPECT_EQ(TavrixCtrl().CanonicalizeXml(defaults).rfind(
                kPrefix + "Некорректный xml документ. ", 0),
            0u);
  const std::string many = element(60000) + "</r>";
  const std::string fine = element(TavrixCtrl::kMaxXmlAttributes) + "<!--" +
                           std::string(5000, '=') + "-->" +
                           std::string(5000, '=') + "</r>";
  TavrixCtrl ctrl;
  const auto started = std::chrono::steady_clock::now();
  std::string r = ctrl.CanonicalizeXml(many);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started)
          .count();
  EXPECT_EQ(r.rfind(kPrefix + "Некорректный xml документ. ", 0), 0u) << r;
  EXPECT_LT(seconds, 1.0);
  EXPECT_EQ(ctrl.CanonicalizeXml(fine).find("<Error>"), std::string::npos);
}

TEST(CanonicalizeXml, NothingExternalIsLoaded) {
  tavrix_test::TempDir dir;
  WriteAll(dir.File("secret.txt"), "TOP-SECRET-CONTENT");
  WriteAll(dir.File("ext.dtd"),
           "<!ENTITY leak \"DTD-SECRET\"><!ATTLIST r extattr CDATA "
           "\"DTD-DEFAULT\">");
  WriteAll(dir.File("pe.ent"), "<!ENTITY pleak \"PE-SECRET\">");
  HttpServer server(dir.path());

  const std::vector<std::string> attacks = {
      // External general entity, by path and by address.
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + dir.File("secret.txt") +
          "\">]><r>&x;</r>",
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + dir.File("secret.txt") +
          "\">]><r>&x;</r>",
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + server.url("/secret.txt") +
          "\">]><r>&x;</r>",
      // External DTD with an entity and a default attribute.
      "<!DOCTYPE r SYSTEM \"" + dir.File("ext.dtd") + "\"><r>&leak;</r>",
      "<!DOCTYPE r SYSTEM \"" + dir.File("ext.dtd") + "\"><r/>",
      // External parameter entity pulled into the internal subset.
      "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + dir.File("pe.ent") +
          "\"> %p;]><r>&pleak;</r>",
  };
  for (const auto& doc : attacks) {
    TavrixCtrl ctrl;
    std::string r = ctrl.CanonicalizeXml(doc);
    for (const char* secret :
         {"TOP-SECRET", "DTD-SECRET", "DTD-DEFAULT", "PE-SECRET"})
      EXPECT_EQ(r.find(secret), std::string::npos) << doc << "\n=> " << r;
  }

  // What the document itself declares still applies.
  const std::string internal =
      "<!DOCTYPE r SYSTEM \"" + dir.File("ext.dtd") +
      "\" [<!ENTITY own \"своё\"><!ATTLIST r lang CDATA \"ru\">]>"
      "<r>&own;</r>";
  TavrixCtrl ctrl;
  EXPECT_EQ(ctrl.CanonicalizeXml(internal), "<r lang=\"ru\">своё</r>");
}

TEST(CanonicalizeXml, LeavesLibxml2ProcessDefaultsAlone) {
  void* lib = dlopen("libxml2.so", RTLD_LAZY);
  ASSERT_NE(lib, nullptr);
  auto loadExtDtd =
      reinterpret_cast<int* (*)()>(dlsym(lib, "__xmlLoadExtDtdDefaultValue"));
  auto substitute = reinterpret_cast<int (*)(int)>(
      dlsym(lib, "xmlSubstituteEntitiesDefault"));
  ASSERT_NE(loadExtDtd, nullptr);
  ASSERT_NE(substitute, nullptr);
  const int dtdBefore = *loadExtDtd();
  const int substBefore = substitute(0);
  substitute(substBefore);

  TavrixCtrl ctrl;
  EXPECT_EQ(ctrl.CanonicalizeXml(Documents()[2]), Xmllint(Documents()[2]));
  EXPECT_EQ(*loadExtDtd(), dtdBefore);
  EXPECT_EQ(substitute(substBefore), substBefore);
  dlclose(lib);
}

TEST(HashFile, WritesTheHashBesideTheFile) {
  tavrix_test::TempDir dir;
  std::string content;
  for (int i = 0; i < 100000; ++i) content += static_cast<char>(i % 253);
  WriteAll(dir.File("data.bin"), content);
  TavrixCtrl ctrl;
  EXPECT_EQ(ctrl.HashFile("file://" + dir.File("data.bin"), kSubject, 0),
            dir.File("data.bin.hash"));
  // Exactly the base64 line, no line break.
  EXPECT_EQ(ReadAll(dir.File("data.bin.hash")), OpensslHash(content));

  // A file that holds base64 text is hashed as it stands, not decoded.
  WriteAll(dir.File("b64.txt"), "QUJD");
  TavrixCtrl b64;
  EXPECT_EQ(b64.HashFile(dir.File("b64.txt"), kSubject, 0),
            dir.File("b64.txt.hash"));
  EXPECT_EQ(ReadAll(dir.File("b64.txt.hash")), OpensslHash("QUJD"));

  // XML files with canonicalisation.
  WriteAll(dir.File("doc.xml"), Documents()[0]);
  TavrixCtrl xml;
  EXPECT_EQ(xml.HashFile(dir.File("doc.xml"), kSubject, 2),
            dir.File("doc.xml.hash"));
  EXPECT_EQ(ReadAll(dir.File("doc.xml.hash")),
            OpensslHash(Xmllint(Documents()[0])));

  // An empty file: an empty hash file, and its path.
  WriteAll(dir.File("empty"), "");
  TavrixCtrl empty;
  EXPECT_EQ(empty.HashFile(dir.File("empty"), kSubject, 0),
            dir.File("empty.hash"));
  EXPECT_TRUE(Exists(dir.File("empty.hash")));
  EXPECT_EQ(ReadAll(dir.File("empty.hash")), "");

  TavrixCtrl missing;
  EXPECT_EQ(missing.HashFile(dir.File("nope"), kSubject, 0),
            kPrefix + "Error open file 2" + dir.File("nope") + "</Error>");
  EXPECT_FALSE(Exists(dir.File("nope.hash")));
  TavrixCtrl noCert;
  std::string r = noCert.HashFile(dir.File("data.bin"), "nobody at all", 0);
  EXPECT_EQ(r.rfind(kPrefix + "Сертификат не найден! ", 0), 0u) << r;
}

}  // namespace
