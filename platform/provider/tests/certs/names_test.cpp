// Name strings and OID lookups.
#include <capi/capi.h>
#include <gtest/gtest.h>
#include <utf8.h>

#include <iterator>
#include <string>
#include <vector>

#include "provider_test.h"

using tavrix_test::CertHandle;
using tavrix_test::PkiCert;
using tavrix_test::TestPki;

namespace {

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

std::string Utf8(const std::wstring& w) {
  std::string s;
  utf8::utf32to8(w.begin(), w.end(), std::back_inserter(s));
  return s;
}

std::wstring NameStr(PCERT_NAME_BLOB b, DWORD type) {
  DWORD n = CertNameToStrW(kEnc, b, type, nullptr, 0);
  std::vector<wchar_t> buf(n + 1, L'#');
  EXPECT_EQ(n, CertNameToStrW(kEnc, b, type, buf.data(), n));
  EXPECT_EQ(L'\0', buf[n - 1]);
  return std::wstring(buf.data());
}

CertHandle Load(const PkiCert& c) {
  return CertHandle(
      CertCreateCertificateContext(kEnc, c.der.data(), c.der.size()));
}

// CERT_NAME_BLOB of a hand-made Name with one RDN per (oid, tag, value).
struct Rdn {
  std::vector<uint8_t> oid;
  uint8_t tag;
  std::string value;
};
std::vector<uint8_t> Tlv(uint8_t tag, const std::vector<uint8_t>& v) {
  std::vector<uint8_t> out = {tag};
  if (v.size() < 128) {
    out.push_back(static_cast<uint8_t>(v.size()));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<uint8_t>(v.size() >> 8));
    out.push_back(static_cast<uint8_t>(v.size()));
  }
  out.insert(out.end(), v.begin(), v.end());
  return out;
}
std::vector<uint8_t> MakeName(const std::vector<std::vector<Rdn>>& rdns) {
  std::vector<uint8_t> body;
  for (const auto& set : rdns) {
    std::vector<uint8_t> setBody;
    for (const Rdn& r : set) {
      std::vector<uint8_t> atv = Tlv(0x06, r.oid);
      std::vector<uint8_t> val =
          Tlv(r.tag, std::vector<uint8_t>(r.value.begin(), r.value.end()));
      atv.insert(atv.end(), val.begin(), val.end());
      std::vector<uint8_t> seq = Tlv(0x30, atv);
      setBody.insert(setBody.end(), seq.begin(), seq.end());
    }
    std::vector<uint8_t> s = Tlv(0x31, setBody);
    body.insert(body.end(), s.begin(), s.end());
  }
  return Tlv(0x30, body);
}
const std::vector<uint8_t> kCN = {0x55, 0x04, 0x03};
const std::vector<uint8_t> kO = {0x55, 0x04, 0x0A};
const std::vector<uint8_t> kC = {0x55, 0x04, 0x06};
const std::vector<uint8_t> kUnknown = {0x2A, 0x03, 0x04};  // 1.2.3.4

TEST(Names, SimpleFormMatchesOpenSslForEveryPkiCertificate) {
  TestPki& pki = TestPki::Get();
  for (const PkiCert* c : pki.All()) {
    if (c->name == "angle") continue;  // quoting differs, tested below
    tavrix_test::CommandResult r = tavrix_test::RunCommand(
        "openssl x509 -in " + tavrix_test::ShellQuote(c->certPem) +
        " -noout -subject -nameopt utf8,sep_comma_plus_space,nofname,dn_rev");
    ASSERT_EQ(0, r.exitCode);
    std::string want = r.output.substr(r.output.find('=') + 1);
    want.erase(want.find_last_not_of("\n") + 1);
    CertHandle ctx = Load(*c);
    ASSERT_NE(nullptr, ctx.get());
    EXPECT_EQ(want,
              Utf8(NameStr(&ctx.get()->pCertInfo->Subject,
                           CERT_SIMPLE_NAME_STR | CERT_NAME_STR_REVERSE_FLAG)))
        << c->name;
  }
}

TEST(Names, X500AndOidFormsWithRussianAttributeKeys) {
  CertHandle c = Load(TestPki::Get().Cert("user-gost2012_256"));
  ASSERT_NE(nullptr, c.get());
  PCERT_NAME_BLOB s = &c.get()->pCertInfo->Subject;
  EXPECT_EQ(
      L"E=ivanov@example.ru, OGRN=1027700132195, SNILS=12345678901, "
      L"INN=007712345678, G=Иван Петрович, SN=Иванов, CN=Иванов Иван "
      L"gost2012_256, O=ООО «Ромашка», L=Москва, C=RU",
      NameStr(s, CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG));
  std::wstring fwd = NameStr(s, CERT_X500_NAME_STR);
  EXPECT_EQ(0u, fwd.find(L"C=RU, L=Москва, O=ООО «Ромашка», CN="));
  std::wstring oid = NameStr(s, CERT_OID_NAME_STR);
  EXPECT_EQ(0u, oid.find(L"2.5.4.6=RU, 2.5.4.7=Москва"));
  EXPECT_NE(std::wstring::npos, oid.find(L"1.2.643.3.131.1.1=007712345678"));
  EXPECT_NE(std::wstring::npos,
            NameStr(s, CERT_X500_NAME_STR | CERT_NAME_STR_SEMICOLON_FLAG)
                .find(L"C=RU; L=Москва; "));
  EXPECT_NE(std::wstring::npos,
            NameStr(s, CERT_X500_NAME_STR | CERT_NAME_STR_CRLF_FLAG)
                .find(L"C=RU\r\nL=Москва\r\n"));
}

TEST(Names, StrToNameReadsWhatNameToStrWrites) {
  CertHandle c = Load(TestPki::Get().Cert("user-gost2012_256"));
  ASSERT_NE(nullptr, c.get());
  for (DWORD flags : {DWORD(0), DWORD(CERT_NAME_STR_SEMICOLON_FLAG),
                      DWORD(CERT_NAME_STR_CRLF_FLAG)}) {
    const std::wstring text =
        NameStr(&c.get()->pCertInfo->Subject, CERT_X500_NAME_STR | flags);
    DWORD n = 0;
    ASSERT_TRUE(CertStrToNameW(X509_ASN_ENCODING, text.c_str(),
                               CERT_X500_NAME_STR | flags, nullptr, nullptr, &n,
                               nullptr));
    std::vector<BYTE> der(n);
    ASSERT_TRUE(CertStrToNameW(X509_ASN_ENCODING, text.c_str(),
                               CERT_X500_NAME_STR | flags, nullptr, der.data(),
                               &n, nullptr));
    CERT_NAME_BLOB b{n, der.data()};
    EXPECT_EQ(text, NameStr(&b, CERT_X500_NAME_STR | flags));
  }
  c.reset();
  const wchar_t* bad = L"CN=a, NOSUCHKEY=b";
  const wchar_t* at = nullptr;
  DWORD n = 0;
  EXPECT_FALSE(CertStrToNameW(X509_ASN_ENCODING, bad, CERT_X500_NAME_STR,
                              nullptr, nullptr, &n, &at));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_X500_STRING));
  EXPECT_EQ(at, bad + 6);
}

TEST(Names, SpecialCharactersAreQuotedAndUnknownOidsShown) {
  std::vector<uint8_t> name = MakeName({
      {{kC, 0x13, "RU"}},
      {{kO, 0x0C, "A, \"B\" <C>"}},
      {{kCN, 0x0C, " padded"}, {kUnknown, 0x0C, "x=y"}},
      {{kCN, 0x0C, "#hash;semi+plus"}},
  });
  CERT_NAME_BLOB b = {static_cast<DWORD>(name.size()), name.data()};
  EXPECT_EQ(
      L"C=RU, O=\"A, \"\"B\"\" <C>\", CN=\" padded\" + OID.1.2.3.4=\"x=y\", "
      L"CN=\"#hash;semi+plus\"",
      NameStr(&b, CERT_X500_NAME_STR));
  EXPECT_EQ(L"RU, A, \"B\" <C>,  padded + x=y, #hash;semi+plus",
            NameStr(&b, CERT_SIMPLE_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG));
  EXPECT_EQ(
      L"#hash;semi+plus,  padded x=y, A, \"B\" <C>, RU",
      NameStr(&b, CERT_SIMPLE_NAME_STR | CERT_NAME_STR_NO_QUOTING_FLAG |
                      CERT_NAME_STR_NO_PLUS_FLAG | CERT_NAME_STR_REVERSE_FLAG));
  CertHandle a = Load(TestPki::Get().Cert("angle"));
  ASSERT_NE(nullptr, a.get());
  EXPECT_EQ(
      L"Семён, Смирнов, \"Угловой <Тест> Смирнов\", \"ООО <Угол> & Ко\", "
      L"RU",
      NameStr(&a.get()->pCertInfo->Subject,
              CERT_SIMPLE_NAME_STR | CERT_NAME_STR_REVERSE_FLAG));
}

TEST(Names, StringTypesDecodeToWideText) {
  // BMPString "Яa", TeletexString holding UTF-8, IA5, Numeric, and invalid
  // UTF-8 that must not be over-read.
  std::vector<uint8_t> name = MakeName({
      {{kCN, 0x1E, std::string("\x04\x2F\x00\x61", 4)}},
      {{kO, 0x14, "\xD0\x96"}},
      {{kC, 0x16, "ia5"}},
      {{kUnknown, 0x12, "0123"}},
      {{kCN, 0x0C, "\xD0"}},
  });
  CERT_NAME_BLOB b = {static_cast<DWORD>(name.size()), name.data()};
  EXPECT_EQ(L"Яa, Ж, ia5, 0123, \xFFFD", NameStr(&b, CERT_SIMPLE_NAME_STR));
}

TEST(Names, SizeQueryTruncationAndBadInput) {
  std::vector<uint8_t> name = MakeName({{{kCN, 0x0C, "abcdef"}}});
  CERT_NAME_BLOB b = {static_cast<DWORD>(name.size()), name.data()};
  EXPECT_EQ(10u, CertNameToStrW(kEnc, &b, CERT_X500_NAME_STR, nullptr, 0));
  wchar_t small[4] = {L'x', L'x', L'x', L'x'};
  EXPECT_EQ(4u, CertNameToStrW(kEnc, &b, CERT_X500_NAME_STR, small, 4));
  EXPECT_EQ(std::wstring(L"CN="), small);
  char narrow[64];
  EXPECT_EQ(10u, CertNameToStrA(kEnc, &b, CERT_X500_NAME_STR, narrow, 64));
  EXPECT_STREQ("CN=abcdef", narrow);
  // Truncation never splits a UTF-8 character.
  std::vector<uint8_t> cyr = MakeName({{{kCN, 0x0C, "\xD0\xAF\xD0\xAF"}}});
  CERT_NAME_BLOB cb = {static_cast<DWORD>(cyr.size()), cyr.data()};
  EXPECT_EQ(5u, CertNameToStrA(kEnc, &cb, CERT_SIMPLE_NAME_STR, nullptr, 0));
  EXPECT_EQ(3u, CertNameToStrA(kEnc, &cb, CERT_SIMPLE_NAME_STR, narrow, 4));
  EXPECT_STREQ("\xD0\xAF", narrow);

  // Garbage and truncated names give an empty string and a last error.
  for (size_t cut = 0; cut < name.size(); ++cut) {
    CERT_NAME_BLOB t = {static_cast<DWORD>(cut), name.data()};
    wchar_t out[32] = {L'z'};
    EXPECT_EQ(1u, CertNameToStrW(kEnc, &t, CERT_X500_NAME_STR, out, 32));
    EXPECT_EQ(L'\0', out[0]);
  }
  EXPECT_EQ(1u, CertNameToStrW(kEnc, nullptr, CERT_X500_NAME_STR, nullptr, 0));
  // An empty SEQUENCE is an empty name, not an error.
  uint8_t empty[] = {0x30, 0x00};
  CERT_NAME_BLOB e = {2, empty};
  EXPECT_EQ(1u, CertNameToStrW(kEnc, &e, CERT_X500_NAME_STR, nullptr, 0));
}

std::wstring GetName(PCCERT_CONTEXT c, DWORD type, DWORD flags, void* para) {
  DWORD n = CertGetNameStringW(c, type, flags, para, nullptr, 0);
  std::vector<wchar_t> buf(n);
  EXPECT_EQ(n, CertGetNameStringW(c, type, flags, para, buf.data(), n));
  return std::wstring(buf.data());
}

TEST(Names, GetNameStringTypes) {
  CertHandle c = Load(TestPki::Get().Cert("user-gost2001"));
  ASSERT_NE(nullptr, c.get());
  char sn[] = szOID_SUR_NAME, gn[] = szOID_GIVEN_NAME, inn[] = szOID_INN,
       title[] = szOID_TITLE, cn[] = szOID_COMMON_NAME;
  EXPECT_EQ(L"Иванов", GetName(c.get(), CERT_NAME_ATTR_TYPE, 0, sn));
  EXPECT_EQ(
      7u, CertGetNameStringW(c.get(), CERT_NAME_ATTR_TYPE, 0, sn, nullptr, 0));
  EXPECT_EQ(L"Иван Петрович", GetName(c.get(), CERT_NAME_ATTR_TYPE, 0, gn));
  EXPECT_EQ(L"007712345678", GetName(c.get(), CERT_NAME_ATTR_TYPE, 0, inn));
  EXPECT_EQ(1u, CertGetNameStringW(c.get(), CERT_NAME_ATTR_TYPE, 0, title,
                                   nullptr, 0));
  EXPECT_EQ(L"Подчинённый УЦ gost2001",
            GetName(c.get(), CERT_NAME_ATTR_TYPE, CERT_NAME_ISSUER_FLAG, cn));
  EXPECT_EQ(L"Иванов Иван gost2001",
            GetName(c.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr));
  EXPECT_EQ(L"ivanov@example.ru",
            GetName(c.get(), CERT_NAME_EMAIL_TYPE, 0, nullptr));
  DWORD x500 = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  EXPECT_EQ(0u,
            GetName(c.get(), CERT_NAME_RDN_TYPE, 0, &x500).find(L"E=ivanov"));
  wchar_t tiny[3];
  EXPECT_EQ(3u,
            CertGetNameStringW(c.get(), CERT_NAME_ATTR_TYPE, 0, sn, tiny, 3));
  EXPECT_EQ(std::wstring(L"Ив"), tiny);
  char a[64];
  EXPECT_EQ(13u,
            CertGetNameStringA(c.get(), CERT_NAME_ATTR_TYPE, 0, sn, a, 64));
  EXPECT_STREQ("Иванов", a);
  c.reset();
  EXPECT_EQ(1u, CertGetNameStringW(nullptr, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                                   nullptr, nullptr, 0));

  // Attributes of a CA name read the same way.
  CertHandle r = Load(TestPki::Get().Cert("root-gost2012_512"));
  EXPECT_EQ(L"Тестовый УЦ",
            GetName(r.get(), CERT_NAME_ATTR_TYPE, 0,
                    const_cast<char*>(szOID_ORGANIZATION_NAME)));
}

TEST(Oids, LookupsByEveryKeyAndGroup) {
  PCCRYPT_OID_INFO i = CryptFindOIDInfo(
      CRYPT_OID_INFO_OID_KEY, const_cast<char*>(szOID_CP_GOST_R3411), 0);
  ASSERT_NE(nullptr, i);
  EXPECT_EQ(std::wstring(L"ГОСТ Р 34.11-94"), i->pwszName);
  EXPECT_EQ(static_cast<ALG_ID>(CALG_GR3411), i->Algid);
  EXPECT_EQ(static_cast<DWORD>(CRYPT_HASH_ALG_OID_GROUP_ID), i->dwGroupId);
  EXPECT_EQ(nullptr, CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY,
                                      const_cast<char*>(szOID_CP_GOST_R3411),
                                      CRYPT_SIGN_ALG_OID_GROUP_ID));
  struct {
    const char* oid;
    const wchar_t* name;
  } named[] = {
      {szOID_INN, L"ИНН"},
      {szOID_OGRN, L"ОГРН"},
      {szOID_SNILS, L"СНИЛС"},
      {szOID_COMMON_NAME, L"Общее имя"},
      {szOID_SUR_NAME, L"Фамилия"},
      {szOID_ENHANCED_KEY_USAGE, L"Улучшенный ключ"},
      {szOID_PKIX_KP_EMAIL_PROTECTION, L"Защищенная электронная почта"},
      {szOID_PKIX_KP_CLIENT_AUTH, L"Проверка подлинности клиента"},
      {szOID_RSA_signingTime, L"Время подписания"},
      {szOID_RSA_messageDigest, L"Дайджест сообщения"},
      {szOID_CP_GOST_R3411_12_256, L"ГОСТ Р 34.11-2012 256 бит"},
      {szOID_CP_GOST_R3410EL, L"ГОСТ Р 34.10-2001"}};
  for (const auto& n : named) {
    PCCRYPT_OID_INFO o =
        CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(n.oid), 0);
    ASSERT_NE(nullptr, o) << n.oid;
    EXPECT_EQ(std::wstring(n.name), o->pwszName);
    // And back by name, case-insensitively.
    std::wstring upper = n.name;
    for (wchar_t& ch : upper)
      if (ch >= L'а' && ch <= L'я') ch = ch - L'а' + L'А';
    PCCRYPT_OID_INFO back = CryptFindOIDInfo(
        CRYPT_OID_INFO_NAME_KEY, const_cast<wchar_t*>(upper.c_str()), 0);
    ASSERT_NE(nullptr, back) << n.oid;
    EXPECT_STREQ(n.oid, back->pszOID);
  }
  ALG_ID hash = CALG_GR3411_2012_512;
  PCCRYPT_OID_INFO h = CryptFindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &hash,
                                        CRYPT_HASH_ALG_OID_GROUP_ID);
  ASSERT_NE(nullptr, h);
  EXPECT_STREQ(szOID_CP_GOST_R3411_12_512, h->pszOID);
  ALG_ID pair[2] = {CALG_GR3411_2012_256, CALG_GR3410_12_256};
  PCCRYPT_OID_INFO s = CryptFindOIDInfo(CRYPT_OID_INFO_SIGN_KEY, pair, 0);
  ASSERT_NE(nullptr, s);
  EXPECT_STREQ(szOID_CP_GOST_R3411_12_256_R3410, s->pszOID);
  ASSERT_EQ(sizeof(DWORD), s->ExtraInfo.cbData);
  EXPECT_EQ(static_cast<DWORD>(CALG_GR3410_12_256),
            *reinterpret_cast<DWORD*>(s->ExtraInfo.pbData));
  ALG_ID unknown = 0x1234;
  EXPECT_EQ(nullptr, CryptFindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &unknown, 0));
  EXPECT_EQ(nullptr, CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, nullptr, 0));
  EXPECT_EQ(nullptr,
            CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(""), 0));
  EXPECT_EQ(nullptr, CryptFindOIDInfo(99, const_cast<char*>("1.2"), 0));
}

TEST(Oids, AlgIdConversions) {
  EXPECT_EQ(static_cast<ALG_ID>(CALG_GR3411),
            CertOIDToAlgId(szOID_CP_GOST_R3411_R3410EL));
  EXPECT_EQ(static_cast<ALG_ID>(CALG_GR3411_2012_256),
            CertOIDToAlgId(szOID_CP_GOST_R3411_12_256_R3410));
  EXPECT_EQ(static_cast<ALG_ID>(CALG_GR3410_12_512),
            CertOIDToAlgId(szOID_CP_GOST_R3410_12_512));
  EXPECT_EQ(0u, CertOIDToAlgId("1.2.3.4.5"));
  EXPECT_EQ(0u, CertOIDToAlgId(szOID_COMMON_NAME));
  EXPECT_EQ(0u, CertOIDToAlgId(nullptr));
  EXPECT_STREQ(szOID_CP_GOST_R3411, CertAlgIdToOID(CALG_GR3411));
  EXPECT_STREQ(szOID_CP_GOST_R3410EL, CertAlgIdToOID(CALG_GR3410EL));
  EXPECT_EQ(nullptr, CertAlgIdToOID(0x1234));
  // What the signing path does: signature OID -> ALG_ID -> entry.
  ALG_ID a = CertOIDToAlgId(szOID_CP_GOST_R3411_R3410EL);
  PCCRYPT_OID_INFO i = CryptFindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &a, 0);
  ASSERT_NE(nullptr, i);
  EXPECT_STREQ(szOID_CP_GOST_R3411, i->pszOID);
}

}  // namespace
