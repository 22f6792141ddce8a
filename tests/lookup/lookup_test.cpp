// Finding a certificate and its key by subject fragment or serial number.
#include <gtest/gtest.h>

#include <memory>

#include "TavrixCtrl.h"
#include "TmpCertArhive.h"
#include "capi_spy.h"
#include "world.h"

using lookup_pki::NewContext;
using lookup_pki::TheWorld;

namespace {

const char kEnvelope[] = "<?xml version='1.0' encoding='utf-8'?><Error>";

std::vector<unsigned char> Convert(const std::string& text) {
  TavrixCtrl ctrl;
  std::vector<unsigned char> buf(text.size() + 2, 0xEE);
  unsigned int cb = 999;
  ctrl.ConvertSerialNumToBytes(buf.data(), &cb, text, 1,
                               static_cast<int>(text.size()) - 1);
  // Nothing may be written past the bytes counted.
  for (size_t i = cb; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE) << text;
  buf.resize(cb);
  return buf;
}

// The serial as the provider holds it: least significant byte first.
std::string StoredSerialHex(PCCERT_CONTEXT ctx) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  const CRYPT_INTEGER_BLOB& sn = ctx->pCertInfo->SerialNumber;
  for (DWORD i = sn.cbData; i > 0; --i) {
    out += hex[sn.pbData[i - 1] >> 4];
    out += hex[sn.pbData[i - 1] & 15];
  }
  return out;
}

struct Store {
  HCERTSTORE h;
  Store() {
    TheWorld();
    h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W,
                      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                      CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
  }
  ~Store() { CertCloseStore(h, 0); }
};

bool SameCert(PCCERT_CONTEXT ctx, const lookup_pki::Cert& cert) {
  return ctx != nullptr && ctx->cbCertEncoded == cert.der.size() &&
         std::equal(cert.der.begin(), cert.der.end(), ctx->pbCertEncoded);
}

TEST(SerialText, ConvertsLastDigitsFirstAndSkipsForeignCharacters) {
  EXPECT_EQ(Convert("#ABC"), (std::vector<unsigned char>{0xBC, 0x0A}));
  EXPECT_EQ(Convert("#abc"), Convert("#ABC"));
  EXPECT_EQ(Convert("#0a:bc"), (std::vector<unsigned char>{0xBC, 0x0A}));
  EXPECT_EQ(Convert("#01 02 03"),
            (std::vector<unsigned char>{0x03, 0x02, 0x01}));
  // "@" and "`" fall through the letter arithmetic as 9.
  EXPECT_EQ(Convert("#@`"), (std::vector<unsigned char>{0x99}));
  // Bytes of a multibyte character and other letters are skipped.
  EXPECT_EQ(Convert("#Я1G2"), (std::vector<unsigned char>{0x12}));
  EXPECT_TRUE(Convert("#xyz").empty());
  // The character at position 0 is never read.
  EXPECT_EQ(Convert("F12"), (std::vector<unsigned char>{0x12}));

  // Positions outside the text are not read.
  TavrixCtrl ctrl;
  unsigned char buf[4] = {0, 0, 0, 0};
  unsigned int cb = 7;
  ctrl.ConvertSerialNumToBytes(buf, &cb, "#12", 1, 40);
  EXPECT_EQ(cb, 1u);
  EXPECT_EQ(buf[0], 0x12);
  ctrl.ConvertSerialNumToBytes(buf, &cb, "#12", 3, 1);
  EXPECT_EQ(cb, 0u);
}

TEST(SerialText, IsValidBySerialsReadsOnlyClosedEntries) {
  auto& w = TheWorld();
  PCCERT_CONTEXT ivanov = NewContext(w.ivanov);
  PCCERT_CONTEXT petrov = NewContext(w.petrov);
  TavrixCtrl ctrl;
  const std::string iv = "#" + w.ivanov.serialHex;
  const std::string pe = "#" + w.petrov.serialHex;
  EXPECT_TRUE(ctrl.IsValidBySerials(ivanov, "", ";"));
  EXPECT_TRUE(ctrl.IsValidBySerials(ivanov, iv + ";" + pe + ";", ";"));
  EXPECT_TRUE(ctrl.IsValidBySerials(petrov, iv + ";" + pe + ";", ";"));
  // Without the final separator only the first entry is examined.
  EXPECT_TRUE(ctrl.IsValidBySerials(ivanov, iv + ";" + pe, ";"));
  EXPECT_FALSE(ctrl.IsValidBySerials(petrov, iv + ";" + pe, ";"));
  EXPECT_FALSE(ctrl.IsValidBySerials(petrov, iv + ";", ";"));
  // Short entries are passed over, not misread.
  EXPECT_TRUE(ctrl.IsValidBySerials(petrov, "#1;;#;" + pe + ";", ";"));
  // Lower case and separators inside the serial do no harm.
  std::string lower;
  for (size_t i = 0; i < w.ivanov.serialHex.size(); ++i) {
    if (i > 0 && i % 2 == 0) lower += ':';
    lower += static_cast<char>(std::tolower(w.ivanov.serialHex[i]));
  }
  EXPECT_TRUE(ctrl.IsValidBySerials(ivanov, "#" + lower + ";", ";"));
  EXPECT_FALSE(ctrl.IsValidBySerials(ivanov, iv, ""));
  CertFreeCertificateContext(ivanov);
  CertFreeCertificateContext(petrov);
}

TEST(FindCertificate, BySerialInEveryAcceptedSpelling) {
  auto& w = TheWorld();
  Store store;
  ASSERT_NE(store.h, nullptr);
  TavrixCtrl ctrl;
  const std::string sn = w.ivanov.serialHex;
  std::string spaced;
  for (size_t i = 0; i < sn.size(); i += 2) {
    spaced += (i ? " " : "") + sn.substr(i, 2);
  }
  std::string lower = sn;
  for (char& c : lower) c = static_cast<char>(std::tolower(c));
  for (const std::string& name :
       {"#" + sn, "#" + lower, "#" + spaced, "#" + sn + "#ignored text"}) {
    PCCERT_CONTEXT found = ctrl.FindCertificate(store.h, name, nullptr);
    EXPECT_TRUE(SameCert(found, w.ivanov)) << name;
    CertFreeCertificateContext(found);
  }
  // The serial really is the one CryptoAPI holds.
  PCCERT_CONTEXT found = ctrl.FindCertificate(store.h, "#" + sn, nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(StoredSerialHex(found), sn);
  EXPECT_EQ(ctrl.GetSubjectSN(found), sn);
  CertFreeCertificateContext(found);

  // Too short, or a serial with one more leading zero byte.
  EXPECT_EQ(
      ctrl.FindCertificate(store.h, "#" + sn.substr(sn.size() - 2), nullptr),
      nullptr);
  EXPECT_EQ(ctrl.FindCertificate(store.h, "#00" + sn, nullptr), nullptr);
  EXPECT_EQ(ctrl.SelectCertContextOnlyBySerialNum(store.h, "#0"), nullptr);
  EXPECT_EQ(ctrl.SelectCertContextOnlyBySerialNum(store.h, "#"), nullptr);
}

TEST(FindCertificate, SerialSearchYieldsOneCertificateAndFreesThePrevious) {
  auto& w = TheWorld();
  Store store;
  TavrixCtrl ctrl;
  PCCERT_CONTEXT first =
      ctrl.FindCertificate(store.h, "#" + w.petrov.serialHex, nullptr);
  ASSERT_TRUE(SameCert(first, w.petrov));
  CertFreeCertificateContext(first);

  // A context of its own (not one the store shares out) shows exactly what
  // the search frees: the previous result, once, and nothing is returned.
  PCCERT_CONTEXT previous = NewContext(w.petrov);
  capi_spy::Reset();
  EXPECT_EQ(ctrl.FindCertificate(store.h, "#" + w.petrov.serialHex, previous),
            nullptr);
  EXPECT_EQ(capi_spy::TimesFreed(previous), 1);

  // A previous context of another certificate is freed too, and the serial
  // still finds its certificate.
  PCCERT_CONTEXT other = NewContext(w.ivanov);
  capi_spy::Reset();
  PCCERT_CONTEXT found =
      ctrl.FindCertificate(store.h, "#" + w.petrov.serialHex, other);
  EXPECT_TRUE(SameCert(found, w.petrov));
  EXPECT_EQ(capi_spy::TimesFreed(other), 1);
  CertFreeCertificateContext(found);
}

TEST(FindCertificate, BySubjectFragmentWalksEveryMatch) {
  auto& w = TheWorld();
  Store store;
  TavrixCtrl ctrl;
  // Another letter case still matches.
  PCCERT_CONTEXT found = ctrl.FindCertificate(store.h, "romashka", nullptr);
  EXPECT_TRUE(SameCert(found, w.ivanov));
  CertFreeCertificateContext(found);
  found = ctrl.FindCertificate(store.h, "Иванов", nullptr);
  EXPECT_TRUE(SameCert(found, w.ivanov));
  EXPECT_EQ(ctrl.FindCertificate(store.h, "Иванов", found), nullptr);

  // The empty name is the first certificate of the store, then every other.
  PCCERT_CONTEXT first = CertEnumCertificatesInStore(store.h, nullptr);
  found = ctrl.FindCertificate(store.h, "", nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->cbCertEncoded, first->cbCertEncoded);
  CertFreeCertificateContext(first);
  size_t count = 0;
  for (; found != nullptr; found = ctrl.FindCertificate(store.h, "", found)) {
    ++count;
  }
  EXPECT_EQ(count, w.inMy.size());

  EXPECT_EQ(ctrl.FindCertificate(store.h, "No Such Subject Anywhere", nullptr),
            nullptr);
  // A name that is not UTF-8 finds nothing rather than throwing.
  EXPECT_EQ(ctrl.FindCertificate(store.h, "\xff\xfe", nullptr), nullptr);
}

TEST(CertProvFinder, FindsCertificateAndKey) {
  auto& w = TheWorld();
  for (const std::string& name :
       {std::string("Romashka"), "#" + w.ivanov.serialHex,
        "#" + w.ivanov.serialHex + "#Иванов"}) {
    TavrixCtrl ctrl;
    EXPECT_EQ(ctrl.CertProvFinder(name), "") << name;
    EXPECT_TRUE(SameCert(ctrl.pCertContextCurrent, w.ivanov));
    EXPECT_NE(ctrl.hProvCurrent, 0u);
    EXPECT_NE(ctrl.dwKeySpec, 0u);
  }
}

TEST(CertProvFinder, FailuresAreErrorEnvelopes) {
  auto& w = TheWorld();
  {
    TavrixCtrl ctrl;
    std::string r = ctrl.CertProvFinder("No Such Subject Anywhere");
    EXPECT_EQ(r.rfind(std::string(kEnvelope) + "Сертификат не найден!", 0), 0u)
        << r;
    EXPECT_EQ(ctrl.pCertContextCurrent, nullptr);
  }
  {
    // "#" and two digits is too short even for a real serial's last byte.
    TavrixCtrl ctrl;
    std::string r = ctrl.CertProvFinder(
        "#" + w.ivanov.serialHex.substr(w.ivanov.serialHex.size() - 2));
    EXPECT_NE(r.find("Сертификат не найден!"), std::string::npos) << r;
  }
  capi_spy::Reset();
  PCCERT_CONTEXT leftOver = nullptr;
  {
    TavrixCtrl ctrl;
    std::string r = ctrl.CertProvFinder("#" + w.petrov.serialHex);
    EXPECT_EQ(r.rfind(std::string(kEnvelope) +
                          "Не удалось получить закрытый ключ сертификата!",
                      0),
              0u)
        << r;
    EXPECT_NE(r.find("</Error>"), std::string::npos);
    leftOver = ctrl.pCertContextCurrent;
    EXPECT_TRUE(SameCert(leftOver, w.petrov));
  }
  // The context found for a key that is not there is not leaked.
  EXPECT_EQ(capi_spy::TimesFreed(leftOver), 1);
}

TEST(CertProvFinder, CacheAcquiresTheKeyOnceAndKeepsOwnership) {
  auto& w = TheWorld();
  capi_spy::Reset();
  HCRYPTPROV firstProv = 0;
  PCCERT_CONTEXT firstCtx = nullptr;
  {
    TmpCertArhive cache;
    {
      TavrixCtrl ctrl(cache, "");
      ASSERT_EQ(ctrl.CertProvFinder("Romashka"), "");
      firstProv = ctrl.hProvCurrent;
      firstCtx = ctrl.pCertContextCurrent;
    }
    // The controller's end must not touch what the cache owns.
    EXPECT_EQ(capi_spy::TimesReleased(firstProv), 0);
    EXPECT_EQ(capi_spy::TimesFreed(firstCtx), 0);
    for (const std::string& name :
         {std::string("Romashka"), "#" + w.ivanov.serialHex}) {
      TavrixCtrl ctrl(cache, "");
      ASSERT_EQ(ctrl.CertProvFinder(name), "");
      EXPECT_EQ(ctrl.hProvCurrent, firstProv);
      EXPECT_EQ(ctrl.pCertContextCurrent, firstCtx);
    }
    EXPECT_EQ(capi_spy::Get().acquireCalls, 1);
    EXPECT_EQ(cache.Size(), 1u);
    EXPECT_EQ(capi_spy::TimesReleased(firstProv), 0);
  }
  EXPECT_EQ(capi_spy::TimesReleased(firstProv), 1);
  EXPECT_EQ(capi_spy::TimesFreed(firstCtx), 1);
}

TEST(CertProvFinder, WithoutCacheEveryCallAcquiresAndReleasesAtTheEnd) {
  TheWorld();
  for (int i = 0; i < 2; ++i) {
    capi_spy::Reset();
    HCRYPTPROV h = 0;
    PCCERT_CONTEXT c = nullptr;
    {
      TavrixCtrl ctrl;
      ASSERT_EQ(ctrl.CertProvFinder("Romashka"), "");
      h = ctrl.hProvCurrent;
      c = ctrl.pCertContextCurrent;
      EXPECT_EQ(capi_spy::TimesReleased(h), 0);
      EXPECT_EQ(capi_spy::TimesFreed(c), 0);
    }
    EXPECT_EQ(capi_spy::Get().acquireCalls, 1);
    EXPECT_EQ(capi_spy::TimesReleased(h), 1);
    EXPECT_EQ(capi_spy::TimesFreed(c), 1);
  }

  // A second lookup on one controller gives back the first one's resources.
  capi_spy::Reset();
  {
    TavrixCtrl ctrl;
    ASSERT_EQ(ctrl.CertProvFinder("Romashka"), "");
    HCRYPTPROV h = ctrl.hProvCurrent;
    PCCERT_CONTEXT c = ctrl.pCertContextCurrent;
    ASSERT_EQ(ctrl.CertProvFinder("#" + TheWorld().ivanov.serialHex), "");
    EXPECT_EQ(capi_spy::TimesReleased(h), 1);
    EXPECT_EQ(capi_spy::TimesFreed(c), 1);
  }
  EXPECT_EQ(capi_spy::Get().released.size(), 2u);
}

}  // namespace
