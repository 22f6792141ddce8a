// The certificate and signer report: fixed texts, real GOST messages signed
// by OpenSSL with the test PKI, and hostile certificate values.
#include <capi/cades.h>
#include <capi/capi.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "PrintTemplate.h"
#include "cades_peers.h"
#include "test_support.h"

namespace {

using tavrix_test::PkiCert;
using tavrix_test::RunCommand;
using tavrix_test::ShellQuote;
using tavrix_test::TestPki;

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
typedef std::vector<unsigned char> Bytes;

Bytes Tlv(unsigned char tag, const Bytes& content) {
  Bytes out{tag};
  size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<unsigned char>(n >> 8));
    out.push_back(static_cast<unsigned char>(n));
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Cat(std::vector<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A name of one CN, its value a UTF8String of any bytes.
Bytes CnName(const std::string& value) {
  Bytes cn = Cat({{0x06, 0x03, 0x55, 0x04, 0x03},
                  Tlv(0x0C, Bytes(value.begin(), value.end()))});
  return Tlv(0x30, Tlv(0x31, Tlv(0x30, cn)));
}

FILETIME FromUnix(int64_t t) {
  uint64_t ticks = static_cast<uint64_t>(t + 11644473600LL) * 10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos;
       p = text.find(what, p + what.size()))
    ++n;
  return n;
}

// The report as verification sends it, inside one CDATA section: it must
// parse, and the section must hold the whole report.
void ExpectIntactInCdata(const std::string& report) {
  const std::string doc = "<Html><![CDATA[" + report + "]]></Html>";
  xmlDocPtr xml = xmlReadMemory(doc.data(), static_cast<int>(doc.size()),
                                nullptr, "UTF-8", XML_PARSE_NONET);
  ASSERT_NE(xml, nullptr) << report;
  xmlNodePtr root = xmlDocGetRootElement(xml);
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->children, root->last);  // one section, nothing after it
  xmlChar* text = xmlNodeGetContent(root);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(text)), report);
  xmlFree(text);
  xmlFreeDoc(xml);
  // The report is well-formed markup of its own.
  xml = xmlReadMemory(report.data(), static_cast<int>(report.size()), nullptr,
                      "UTF-8", XML_PARSE_NONET);
  EXPECT_NE(xml, nullptr) << report;
  xmlFreeDoc(xml);
}

struct Cert {
  PCCERT_CONTEXT ctx = nullptr;
  explicit Cert(const Bytes& der)
      : ctx(CertCreateCertificateContext(kEnc, der.data(),
                                         static_cast<DWORD>(der.size()))) {}
  ~Cert() { CertFreeCertificateContext(ctx); }
};

struct Msg {
  HCRYPTMSG h = nullptr;
  explicit Msg(const Bytes& der) {
    h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
    if (h &&
        !CryptMsgUpdate(h, der.data(), static_cast<DWORD>(der.size()), TRUE)) {
      CryptMsgClose(h);
      h = nullptr;
    }
  }
  ~Msg() {
    if (h) CryptMsgClose(h);
  }
};

// An attached CMS message over a short text, signed by OpenSSL.
Bytes SignWithOpenssl(const PkiCert& c) {
  const TestPki& pki = TestPki::Get();
  const std::string data = pki.dir() + "/report-data.txt";
  const std::string out = pki.dir() + "/report-" + c.name + ".p7s";
  tavrix_test::WriteFileBytes(data, Bytes{'t', 'e', 'x', 't'});
  auto r = RunCommand(
      "openssl cms -sign -engine gost -binary -nodetach "
      "-outform DER -in " +
      ShellQuote(data) + " -signer " + ShellQuote(c.certPem) + " -inkey " +
      ShellQuote(c.keyPem) + " -out " + ShellQuote(out) + " 2>&1");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  return tavrix_test::ReadFileBytes(out);
}

std::string Row(const std::string& caption, const std::string& value) {
  return "<tr><td align=\"left\" valign=\"Top\">" + caption +
         "</td><td align=\"justify\" valign=\"Top\">" + value + "</td></tr>";
}

std::string AttrRow(const std::string& caption, const std::string& value) {
  return "<tr><td width=\"20\"></td><td align=\"justify\" valign=\"Top\">" +
         caption + "</td><td align=\"justify\" valign=\"Top\">" + value +
         "</td></tr>";
}

std::string Named(const std::string& oid) {
  const std::string name = PrintTemplate::OIDtoStr(oid);
  return name.empty() ? oid : oid + "<br />(" + name + ")";
}

TEST(Converters, DumpMemAndOids) {
  unsigned char b[] = {0x01, 0x02, 0xAB, 0x0F};
  const struct {
    unsigned int cb;
    bool reverse, spaced;
    int line;
    const char* want;
  } cases[] = {
      {3, true, false, 0, "AB0201"},
      {3, false, true, 0, "01 02 AB"},
      {4, false, true, 2, "01 02\nAB 0F"},
      {4, true, false, 3, "0FAB02\n01"},
      {0, false, true, 0, ""},
      {1, true, true, 0, "01"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PrintTemplate::DumpMem(b, c.cb, c.reverse, c.spaced, c.line),
              c.want);
  EXPECT_EQ(PrintTemplate::DumpMem(b, 3), "AB0201");
  EXPECT_EQ(PrintTemplate::DumpMem(nullptr, 5), "");

  EXPECT_EQ(PrintTemplate::OIDtoStr(""), "");
  EXPECT_EQ(PrintTemplate::OIDtoStr("1.2.3.4.5.6.7.8"), "");
  EXPECT_NE(PrintTemplate::OIDtoStr("1.2.643.7.1.1.2.2"), "");
  EXPECT_EQ(PrintTemplate::OIDtoStr(std::string("1.2.643.7.1.1.2.2\0x", 19)),
            "");
  EXPECT_EQ(PrintTemplate::GetCertName(nullptr), "");
  Bytes junk{0x04, 0x01, 0x00};
  CERT_NAME_BLOB bad{static_cast<DWORD>(junk.size()), junk.data()};
  EXPECT_EQ(PrintTemplate::GetCertName(&bad), "");
}

TEST(CertFragment, FixedTextsByteForByte) {
  const PkiCert& user = TestPki::Get().Cert("user-gost2012_256");
  Cert cert(user.der);
  ASSERT_NE(cert.ctx, nullptr);
  CERT_INFO ci = *cert.ctx->pCertInfo;
  unsigned char serial[] = {0x01, 0x02, 0xAB};
  unsigned char key[] = {0x04, 0x40, 0x0A};
  ci.dwVersion = 2;
  ci.SerialNumber = {3, serial};
  ci.SubjectPublicKeyInfo.PublicKey = {3, key, 0};
  ci.NotBefore = FromUnix(1577836800);  // 2020-01-01 00:00:00
  ci.NotAfter = FromUnix(1640995199);   // 2021-12-31 23:59:59
  char ku[] = "2.5.29.15", odd[] = "1.2.3.4.5.6.7.8";
  CERT_EXTENSION ext[] = {{ku, TRUE, {0, nullptr}}, {odd, FALSE, {0, nullptr}}};
  const std::string keyOid = ci.SubjectPublicKeyInfo.Algorithm.pszObjId;
  const std::string head =
      "<p>Информация о сертификате</p>Параметры сертификата:<table "
      "class=\"Cert_params\"><tr><td width=\"20\"></td><td><p>Версия: "
      "3</p><p>Серийный номер: AB0201</p><p>Издатель: " +
      PrintTemplate::GetCertName(&ci.Issuer) +
      "</p><p>Действителен с: 2020-01-01 00:00:00 UTC<br />Действителен по: "
      "2021-12-31 23:59:59 UTC</p><p>Владелец: " +
      PrintTemplate::GetCertName(&ci.Subject) +
      "</p>Открытый ключ: <table><tr><td width=\"20\"></td><td><p>Алгоритм "
      "открытого ключа: " +
      keyOid + " (" + PrintTemplate::OIDtoStr(keyOid) +
      ")</p><p>Значение открытого ключа: 04 40 0A (незначащих бит: "
      "0)</p></td></tr></table><p>Расширения сертификата: ";
  const std::string tail = "</p></td></tr></table>";
  const std::string value = "Значение: <table><tr><td width=\"20\"></td><td>";

  ci.cExtension = 0;
  EXPECT_EQ(PrintTemplate::ParseCert(&ci), head + tail);
  ci.cExtension = 2;
  ci.rgExtension = ext;
  EXPECT_EQ(PrintTemplate::ParseCert(&ci),
            head + "<p>2.5.29.15 (" + PrintTemplate::OIDtoStr(ku) +
                "),критическое расширение:<br />" + value +
                "2.5.29.15</td></tr></table></p><p>1.2.3.4.5.6.7.8:<br />" +
                value + "1.2.3.4.5.6.7.8</td></tr></table></p>" + tail);
  EXPECT_NE(PrintTemplate::OIDtoStr(ku), "");
  EXPECT_EQ(PrintTemplate::ParseCert(nullptr), "");
  // The names are the provider's X.500 text of the PKI's own names.
  EXPECT_NE(head.find("CN=Подчинённый УЦ"), std::string::npos) << head;

  // The signature value is the end of the encoding, least significant
  // byte first as the provider hands it out.
  Bytes der = user.der;
  std::string sig;
  for (size_t i = 0; i < 64; ++i)
    sig += (i ? " " : "") +
           PrintTemplate::DumpMem(&der[der.size() - 1 - i], 1, false, false, 0);
  const std::string sigOid = "1.2.643.7.1.1.3.2";
  EXPECT_EQ(PrintTemplate::ParseCertSignInfo(der.data(),
                                             static_cast<unsigned>(der.size())),
            "<p>Алгоритм подписи: " + sigOid + " (" +
                PrintTemplate::OIDtoStr(sigOid) + ")</p><p>Значение подписи: " +
                sig + " (незначащих бит: 0)</p>");
  der.resize(der.size() - 10);
  EXPECT_EQ(PrintTemplate::ParseCertSignInfo(der.data(),
                                             static_cast<unsigned>(der.size())),
            "");
  EXPECT_EQ(PrintTemplate::ParseCertSignInfo(nullptr, 0), "");
}

// Signer 0 of real messages from OpenSSL, for every key type, and from
// certificates whose names carry markup and a CDATA end.
TEST(SignerReport, RealMessages) {
  TestPki& pki = TestPki::Get();
  const PkiCert& hostile = pki.MakeCert(
      "cdata", "gost2012_256", "/C=RU/O=]]>&amp;<b>/CN=A]]><script>alert(1)",
      -3600, 86400 * 30);
  const struct {
    const char* cert;
    const char* hashOid;
    size_t sigBytes;
  } cases[] = {
      {"user-gost2001", "1.2.643.2.2.9", 64},
      {"user-gost2012_256", "1.2.643.7.1.1.2.2", 64},
      {"user-gost2012_512", "1.2.643.7.1.1.2.3", 128},
      {"angle", "1.2.643.7.1.1.2.2", 64},
      {"cdata", "1.2.643.7.1.1.2.2", 64},
  };
  const std::string skeleton = PrintTemplate::HtmlMain();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cert);
    const PkiCert& pc =
        std::string(c.cert) == "cdata" ? hostile : pki.Cert(c.cert);
    Msg msg(SignWithOpenssl(pc));
    ASSERT_NE(msg.h, nullptr);
    Cert cert(pc.der);
    const CERT_CONTEXT* signer = cert.ctx;
    const std::string html = PrintTemplate::GetHTML(msg.h, signer);

    EXPECT_EQ(html.substr(0, skeleton.find("<!--SignerInfo-->")),
              skeleton.substr(0, skeleton.find("<!--SignerInfo-->")));
    EXPECT_EQ(Count(html, "<!--Status-->"), 1u);
    EXPECT_EQ(Count(html, "<!--SignerInfo-->"), 0u);
    EXPECT_EQ(html.substr(html.size() - 15), "</table></html>");
    EXPECT_NE(html.find("<!--Status-->" + Row("Версия", "1") +
                        Row("Издатель", PrintTemplate::GetCertName(
                                            &cert.ctx->pCertInfo->Issuer))),
              std::string::npos);
    EXPECT_NE(html.find(Row("Серийный номер", pc.serialHex)),
              std::string::npos);
    EXPECT_NE(html.find(Row("Алгоритм хэширования",
                            std::string(c.hashOid) + " (" +
                                PrintTemplate::OIDtoStr(c.hashOid) + ")")),
              std::string::npos);
    const size_t hashAt = html.find("Значение зашифрованного хэша</td>");
    ASSERT_NE(hashAt, std::string::npos);
    const size_t valueAt = html.find("\"Top\">", hashAt) + 6;
    EXPECT_EQ(html.find("</td>", valueAt) - valueAt, c.sigBytes * 3 - 1);
    // The certificate sections sit between the signer rows and attributes.
    const std::string certPart =
        PrintTemplate::HtmlSignerCertInfo(cert.ctx->pCertInfo) +
        PrintTemplate::HtmlSignerCertSignInfo(cert.ctx->pbCertEncoded,
                                              cert.ctx->cbCertEncoded) +
        "<tr><td align=\"left\" valign=\"Top\" colspan=\"2\">Атрибуты</td></tr>"
        "<tr><td colspan=\"2\"><table>" +
        AttrRow(Named("1.2.840.113549.1.9.3"), "N/A") +
        AttrRow(Named("1.2.840.113549.1.9.5"), "") +
        AttrRow(Named("1.2.840.113549.1.9.4"), "");
    EXPECT_NE(html.find(certPart), std::string::npos) << html;

    EXPECT_EQ(html.find("]]>"), std::string::npos);
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    ExpectIntactInCdata(html);
  }
  // What the hostile names became.
  Msg msg(SignWithOpenssl(hostile));
  Cert cert(hostile.der);
  const CERT_CONTEXT* signer = cert.ctx;
  const std::string html = PrintTemplate::GetHTML(msg.h, signer);
  EXPECT_NE(html.find("A]]&gt;&lt;script&gt;alert(1)"), std::string::npos)
      << html;
  EXPECT_NE(html.find("]]&gt;&amp;amp;&lt;b&gt;"), std::string::npos);
}

TEST(SignerReport, NoSignerLeavesSkeleton) {
  const PkiCert& user = TestPki::Get().Cert("user-gost2012_256");
  const std::string out = TestPki::Get().dir() + "/certs-only.p7b";
  auto r = RunCommand("openssl crl2pkcs7 -nocrl -outform DER -certfile " +
                      ShellQuote(user.certPem) + " -out " + ShellQuote(out));
  ASSERT_EQ(r.exitCode, 0);
  Msg msg(tavrix_test::ReadFileBytes(out));
  ASSERT_NE(msg.h, nullptr);
  Cert cert(user.der);
  const CERT_CONTEXT* signer = cert.ctx;
  EXPECT_EQ(PrintTemplate::GetHTML(msg.h, signer), PrintTemplate::HtmlMain());
  EXPECT_EQ(PrintTemplate::GetHTML(nullptr, signer), PrintTemplate::HtmlMain());
  EXPECT_EQ(PrintTemplate::HtmlMain(),
            "<html xmlns:msxsl=\"urn:schemas-microsoft-com:xslt\" "
            "xmlns:fo=\"http://www.w3.org/1999/XSL/Format\"><center><b>Подписи"
            "</b></center><table><tr><td colspan=\"2\"><b>Параметры "
            "подписи</b></td></tr><!--Status--><!--SignerInfo--></table>"
            "</html>");
  // A signed message without the signer's certificate still reports who
  // signed.
  Msg signedMsg(SignWithOpenssl(user));
  const CERT_CONTEXT* none = nullptr;
  const std::string html = PrintTemplate::GetHTML(signedMsg.h, none);
  EXPECT_NE(html.find(Row("Серийный номер", user.serialHex)),
            std::string::npos);
  EXPECT_NE(html.find(PrintTemplate::HtmlSignerCertInfo(nullptr) +
                      PrintTemplate::HtmlSignerCertSignInfo(nullptr, 0)),
            std::string::npos);
}

// Every attribute of the table, evidence certificates among them, and
// values that a hostile message may carry.
TEST(SignerReport, AttributeTable) {
  TestPki& pki = TestPki::Get();
  const PkiCert& a = pki.Cert("user-gost2012_256");
  const PkiCert& b = pki.Cert("root-gost2001");
  Bytes certs =
      Tlv(0x30, Cat({{0x02, 0x01, 0x05}, a.der, {0x30, 0x00}, b.der}));
  Bytes notSeq{0x04, 0x02, 0x30, 0x00};
  Bytes any{0x05, 0x00};
  CRYPT_ATTR_BLOB vCerts{static_cast<DWORD>(certs.size()), certs.data()};
  CRYPT_ATTR_BLOB vBad{static_cast<DWORD>(notSeq.size()), notSeq.data()};
  CRYPT_ATTR_BLOB vAny{2, any.data()};
  char o1[] = "1.2.840.113549.1.9.3", o2[] = "1.2.3.4.5.6.7.8",
       o3[] = "1.2.840.113549.1.9.16.2.19", o4[] = "1.2.840.113549.1.9.16.2.24",
       o5[] = "1.2.840.113549.1.9.16.2.14", o6[] = "1.2.840.113549.1.9.16.2.25",
       o7[] = "1.2.840.113549.1.9.16.2.23", o8[] = "1.2.840.113549.1.9.16.2.21",
       o9[] = "1.2.840.113549.1.9.16.2.22";
  CRYPT_ATTRIBUTE signedAttrs[] = {
      {o1, 1, &vAny}, {o2, 1, &vAny}, {o3, 0, nullptr}};
  CRYPT_ATTRIBUTE unsignedAttrs[] = {
      {o4, 1, &vAny}, {o5, 1, &vAny},   {o6, 1, &vAny}, {o7, 1, &vCerts},
      {o7, 1, &vBad}, {o7, 0, nullptr}, {o8, 1, &vAny}, {o9, 1, &vAny}};
  CMSG_SIGNER_INFO si = {};
  si.AuthAttrs = {3, signedAttrs};
  si.UnauthAttrs = {8, unsignedAttrs};

  Cert ca(a.der), cb(b.der);
  const std::string fragments = PrintTemplate::ParseCert(ca.ctx->pCertInfo) +
                                PrintTemplate::ParseCert(cb.ctx->pCertInfo);
  const std::string certs23 =
      Named(o7) + "<br />(Дополнительные вложенные сертификаты)";
  EXPECT_EQ(
      PrintTemplate::HtmlSignerAtts(&si),
      "<tr><td align=\"left\" valign=\"Top\" colspan=\"2\">Атрибуты</td></tr>"
      "<tr><td colspan=\"2\"><table>" +
          AttrRow(Named(o1), "N/A") + AttrRow(o2, "") +
          AttrRow(Named(o3) + "<br />(id-aa-ets-otherSigCert)", "") +
          AttrRow(Named(o4), "") +
          AttrRow(Named(o5) + "<br />(Штамп времени на подпись)", "N/A") +
          AttrRow(Named(o6) + "<br />(Штамп времени на доказательства подписи)",
                  "N/A") +
          AttrRow(certs23, fragments) + AttrRow(certs23, "") +
          AttrRow(certs23, "") +
          AttrRow(Named(o8) + "<br />(id-aa-ets-certificateRefs)", "") +
          AttrRow(Named(o9) + "<br />(id-aa-ets-revocationRefs)", "") +
          "</table></td></tr>");
  EXPECT_NE(PrintTemplate::OIDtoStr(o1), "");
  EXPECT_NE(fragments.find("<p>Серийный номер: " + b.serialHex + "</p>"),
            std::string::npos);
}

// Names with bytes no report may carry: NUL, controls, bad UTF-8, markup.
TEST(SignerReport, HostileNameBytes) {
  Cert cert(TestPki::Get().Cert("user-gost2012_256").der);
  CERT_INFO ci = *cert.ctx->pCertInfo;
  CMSG_SIGNER_INFO si = {};
  const std::string values[] = {std::string("a\0b]]>c", 7), "x\x01\x1F\x7Fy",
                                "<i>&lt;\xEF\xBF\xBF",
                                "bad \xC3\x28 \xED\xA0\x80 utf8"};
  for (const std::string& v : values) {
    Bytes name = CnName(v);
    ci.Subject = {static_cast<DWORD>(name.size()), name.data()};
    si.Issuer = ci.Subject;
    const std::string html =
        PrintTemplate::ParseCert(&ci) + PrintTemplate::HtmlSignerInfo(&si);
    EXPECT_EQ(html.find("]]>"), std::string::npos);
    EXPECT_EQ(html.find('\0'), std::string::npos);
    EXPECT_EQ(html.find("<i>"), std::string::npos);
    ExpectIntactInCdata("<div>" + html + "</div>");
  }
}

// A message that the CAdES runtime took to X Long Type 1 against the test
// time-stamp service and revocation sources: its evidence attributes get
// their captions, and the carried certificates their fragments.
TEST(SignerReport, XLongType1Evidence) {
  tavrix_test::CadesPeers& env = tavrix_test::CadesPeers::Get();
  const PkiCert& c = env.Signer("gost2012_256");
  tavrix_test::TempDir d;
  tavrix_test::WriteFileBytes(d.File("in"), Bytes{'x', 'l'});
  ASSERT_EQ(
      RunCommand("openssl cms -sign -engine gost -cades -binary "
                 "-nodetach -md md_gost12_256 -outform DER -in " +
                 ShellQuote(d.File("in")) + " -signer " +
                 ShellQuote(c.certPem) + " -inkey " + ShellQuote(c.keyPem) +
                 " -out " + ShellQuote(d.File("m")) + " 2>&1")
          .exitCode,
      0);
  Msg msg(tavrix_test::ReadFileBytes(d.File("m")));
  ASSERT_NE(msg.h, nullptr);
  const std::string tsa = env.Tsa();
  const std::wstring url(tsa.begin(), tsa.end());
  CADES_SERVICE_CONNECTION_PARA tsp{sizeof tsp, url.c_str(), nullptr};
  CADES_SIGN_PARA para{};
  para.dwSize = sizeof para;
  para.dwCadesType = CADES_X_LONG_TYPE_1;
  para.pTspConnectionPara = &tsp;
  ASSERT_TRUE(CadesMsgEnhanceSignature(msg.h, 0, &para)) << GetLastError();

  Cert cert(c.der);
  const CERT_CONTEXT* signer = cert.ctx;
  const std::string html = PrintTemplate::GetHTML(msg.h, signer);
  const struct {
    const char* oid;
    std::string suffixAndValue;
  } rows[] = {
      {"1.2.840.113549.1.9.16.2.14",
       "<br />(Штамп времени на подпись)</td><td "
       "align=\"justify\" valign=\"Top\">N/A<"},
      {"1.2.840.113549.1.9.16.2.25",
       "<br />(Штамп времени на доказательства подписи)</td><td "
       "align=\"justify\" valign=\"Top\">N/A<"},
      {"1.2.840.113549.1.9.16.2.21",
       "<br />(id-aa-ets-certificateRefs)</td><td "
       "align=\"justify\" valign=\"Top\"></td>"},
      {"1.2.840.113549.1.9.16.2.22",
       "<br />(id-aa-ets-revocationRefs)</td><td "
       "align=\"justify\" valign=\"Top\"></td>"},
      {"1.2.840.113549.1.9.16.2.24",
       "</td><td align=\"justify\" valign=\"Top\"></td>"},
      {"1.2.840.113549.1.9.16.2.23",
       "<br />(Дополнительные вложенные сертификаты)</td><td "
       "align=\"justify\" valign=\"Top\"><p>Информация о сертификате</p>"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(Count(html, Named(r.oid) + r.suffixAndValue), 1u) << r.oid;
  // The issuing CA travels among the evidence certificates.
  const PkiCert& ca = TestPki::Get().Cert(c.issuer);
  const size_t values = html.find(Named("1.2.840.113549.1.9.16.2.23"));
  EXPECT_NE(html.find("<p>Серийный номер: " + ca.serialHex + "</p>", values),
            std::string::npos);
  ExpectIntactInCdata(html);
}

}  // namespace
