// The certificate selection listing over a real personal store.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>

#include "TavrixCtrl.h"
#include "test_support.h"
#include "world.h"

using lookup_pki::Cert;
using lookup_pki::Child;
using lookup_pki::Elements;
using lookup_pki::HasChild;
using lookup_pki::kDay;
using lookup_pki::NewContext;
using lookup_pki::TheWorld;

namespace {

const char kProlog[] = "<?xml version='1.0' encoding='utf-8'?>";
const char kExpired[] = "<Error>Срок действия закрытого ключа истек.</Error>";

std::string WarnText(int days) {
  return "Срок действия закрытого ключа заканчивается.\nДо окончания срока "
         "действия осталось " +
         std::to_string(days) + " дней!";
}

std::string List(const std::string& name, const std::string& params = "") {
  TheWorld();
  TavrixCtrl ctrl;
  return ctrl.SelectCertificate(name, params);
}

// The listed element of a certificate, or "" when it is not listed.
std::string ElementOf(const std::string& xml, const Cert& cert) {
  for (const std::string& e : Elements(xml, "Certificate")) {
    if (Child(e, "Serial") == "#" + cert.serialHex) return e;
  }
  return "";
}

std::vector<std::string> ListedNames(const std::string& xml) {
  std::vector<std::string> names;
  for (const Cert* c : TheWorld().inMy) {
    if (!ElementOf(xml, *c).empty()) names.push_back(c->name);
  }
  return names;
}

typedef std::vector<std::string> Names;

std::time_t g_pinned = 0;
std::time_t Pinned() { return g_pinned; }

struct PinClock {
  explicit PinClock(int64_t t) {
    g_pinned = static_cast<std::time_t>(t);
    TavrixCtrl::CurrentTime = Pinned;
  }
  ~PinClock() { TavrixCtrl::CurrentTime = saved; }
  std::time_t (*saved)() = TavrixCtrl::CurrentTime;
};

TEST(SelectCertificate, EmptyNameListsTheWholeStoreInOneDocument) {
  auto& w = TheWorld();
  std::string xml = List("");
  ASSERT_EQ(xml.rfind(std::string(kProlog) + "<Certificates><Certificate>", 0),
            0u)
      << xml;
  const std::string tail = "</Certificate></Certificates>";
  ASSERT_GT(xml.size(), tail.size());
  ASSERT_EQ(xml.substr(xml.size() - tail.size()), tail);
  EXPECT_EQ(Elements(xml, "Certificate").size(), w.inMy.size());
  EXPECT_EQ(ListedNames(xml).size(), w.inMy.size());
  // Line breaks come only from the warning texts.
  EXPECT_EQ(std::count(xml.begin(), xml.end(), '\n'),
            static_cast<long>(Elements(xml, "Message").size()));

  // Children come in their fixed order, status between the times and serial.
  std::string e = ElementOf(xml, w.soon);
  size_t last = 0;
  for (const char* tag :
       {"<Subject>", "<SubjectX500>", "<NotBefore>", "<NotAfter>", "<Message>",
        "<Serial>", "<Issuer>", "<IssuerX500>"}) {
    size_t at = e.find(tag);
    ASSERT_NE(at, std::string::npos) << tag;
    EXPECT_GT(at, last) << tag;
    last = at;
  }
}

TEST(SelectCertificate, DescribesNamesTimesAndSerial) {
  auto& w = TheWorld();
  std::string e = ElementOf(List(""), w.ivanov);
  ASSERT_FALSE(e.empty());
  EXPECT_NE(Child(e, "Subject").find("Иванов Иван"), std::string::npos) << e;
  EXPECT_NE(Child(e, "SubjectX500").find("CN=Иванов Иван"), std::string::npos);
  EXPECT_NE(Child(e, "SubjectX500").find("O=Romashka LLC"), std::string::npos);
  EXPECT_NE(Child(e, "Issuer").find("Lookup Root CA"), std::string::npos);
  EXPECT_NE(Child(e, "IssuerX500").find("CN=Lookup Root CA"),
            std::string::npos);
  EXPECT_EQ(Child(e, "NotBefore"), std::to_string(w.ivanov.notBefore));
  EXPECT_EQ(Child(e, "NotAfter"), std::to_string(w.ivanov.notAfter));
  EXPECT_FALSE(HasChild(e, "Message"));
  EXPECT_FALSE(HasChild(e, "Error"));

  // "<", ">" and "&" are escaped, so the whole listing stays well-formed
  // (one bare "&" made every page fail to parse it).
  const std::string all = List("");
  std::string angle = ElementOf(all, w.angle);
  EXPECT_NE(Child(angle, "Subject").find("Угол &lt;Тест&gt; &amp; Ко"),
            std::string::npos)
      << angle;
  EXPECT_EQ(angle.find("<Тест>"), std::string::npos);
  EXPECT_EQ(angle.find("& "), std::string::npos);
  tavrix_test::TempDir dir;
  tavrix_test::WriteFileBytes(dir.File("list.xml"),
                              std::vector<uint8_t>(all.begin(), all.end()));
  auto lint = tavrix_test::RunCommand(
      "xmllint --noout " + tavrix_test::ShellQuote(dir.File("list.xml")) +
      " 2>&1");
  EXPECT_EQ(lint.exitCode, 0) << lint.output;
  // Filters compare the names as written, not their escaped form.
  EXPECT_EQ(ListedNames(List("<Тест> & Ко")), Names{"angle"});
}

TEST(SelectCertificate, LeavesTheProcessLocaleAsTheHostSetIt) {
  // A host whose environment names a locale with a decimal comma, while the
  // process itself stays in the classic locale.
  const char* old = std::getenv("LC_ALL");
  const std::string saved = old ? old : "";
  setenv("LC_ALL", "ru_RU.UTF-8", 1);
  std::setlocale(LC_ALL, "C");
  const std::string before = std::setlocale(LC_ALL, nullptr);
  EXPECT_FALSE(List("Иванов").empty());
  EXPECT_FALSE(List("").empty());
  EXPECT_EQ(std::string(std::setlocale(LC_ALL, nullptr)), before);
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.2f", 1.5);
  EXPECT_STREQ(printed, "1.50");
  EXPECT_EQ(std::strtod("2.75", nullptr), 2.75);
  if (old)
    setenv("LC_ALL", saved.c_str(), 1);
  else
    unsetenv("LC_ALL");
}

TEST(SelectCertificate, SerialNameListsOnlyThoseCertificates) {
  auto& w = TheWorld();
  EXPECT_EQ(ListedNames(List("#" + w.petrov.serialHex)), Names{"petrov"});
  EXPECT_EQ(
      ListedNames(List("#" + w.ivanov.serialHex + ";#" + w.petrov.serialHex)),
      (Names{"ivanov", "petrov"}));
  // A serial list switches the subject filter off entirely.
  std::string none = List("#0102030405");
  EXPECT_EQ(none, std::string(kProlog) + "<Certificates></Certificates>");
}

TEST(SelectCertificate, SubjectFragmentsMatchAnyOneOfThem) {
  EXPECT_EQ(ListedNames(List("Иванов")), Names{"ivanov"});
  // Latin letters match in either case.
  EXPECT_EQ(ListedNames(List("pETROV")), Names{"petrov"});
  EXPECT_EQ(ListedNames(List("Иванов;Petrov")), (Names{"ivanov", "petrov"}));
  // The surname and given name are part of the subject text.
  EXPECT_EQ(ListedNames(List(", , Petrov Petr")), Names{"petrov"});
  // Cyrillic is folded too, although the host runs in the classic locale.
  EXPECT_EQ(ListedNames(List("иванов")), Names{"ivanov"});
  EXPECT_EQ(ListedNames(List("ИВАНОВ ИВАН")), Names{"ivanov"});
  // An empty fragment accepts everything.
  EXPECT_EQ(ListedNames(List("Nobody;;")).size(), TheWorld().inMy.size());
  EXPECT_TRUE(ListedNames(List("Nobody")).empty());
}

TEST(SelectCertificate, IssuerAndPurposeFilters) {
  auto& w = TheWorld();
  EXPECT_EQ(ListedNames(List("", "Issuer=Second Test CA")), Names{"petrov"});
  EXPECT_EQ(ListedNames(List("", "Issuer=lookup root ca")).size(),
            w.inMy.size() - 1);
  EXPECT_EQ(ListedNames(List("Petrov", "Issuer=Lookup Root CA")), Names{});

  // Blanks are removed; either usage lists; no usages means dropped.
  EXPECT_EQ(ListedNames(List("",
                             "FilterOID=1.3.6.1.5.5.7.3.2, "
                             "1.3.6.1.5.5.7.3.1")),
            (Names{"ivanov", "soon"}));
  // A fragment accepts longer identifiers that contain it.
  EXPECT_EQ(ListedNames(List("", "FilterOID=1.2.643.2.2")), Names{"ivanov"});
  EXPECT_EQ(ListedNames(List("", "FilterOID=1.3.6.1.5.5.7.3.4")), Names{});
  // All filters at once, read from a multi-line Params string.
  EXPECT_EQ(ListedNames(List("#" + w.ivanov.serialHex + ";#" + w.soon.serialHex,
                             "Issuer=Lookup\r\nFilterOID=1.2.643.2.2.34.6")),
            Names{"ivanov"});
}

TEST(SelectCertificate, ExpiryAgainstTheRealClock) {
  auto& w = TheWorld();
  std::string xml = List("");
  // 13 days 23 hours left (minus the seconds the test took).
  std::string soon = ElementOf(xml, w.soon);
  EXPECT_EQ(Child(soon, "Message"), WarnText(13)) << soon;
  EXPECT_FALSE(HasChild(soon, "Error"));
  EXPECT_EQ(Child(ElementOf(xml, w.tenHours), "Message"), WarnText(0));

  // Issued 400 days ago for three years: the key ended after 366 days.
  std::string old = ElementOf(xml, w.old);
  EXPECT_EQ(Child(old, "NotAfter"),
            std::to_string(w.old.notBefore + 366 * kDay));
  EXPECT_NE(old.find(kExpired), std::string::npos) << old;
  EXPECT_FALSE(HasChild(old, "Message"));

  // Not valid before tomorrow: listed, with the expiry note.
  std::string future = ElementOf(xml, w.future);
  EXPECT_NE(future.find(kExpired), std::string::npos) << future;
  EXPECT_EQ(Child(future, "NotBefore"), std::to_string(w.future.notBefore));
}

TEST(SelectCertificate, DayCountParameters) {
  auto& w = TheWorld();
  // A longer key period lets the three-year certificate live again.
  std::string old = ElementOf(List("", "SecretKeyValidity=1200"), w.old);
  EXPECT_EQ(Child(old, "NotAfter"), std::to_string(w.old.notAfter));
  EXPECT_FALSE(HasChild(old, "Error")) << old;

  // A wide warning window warns about everything still valid.
  std::string iv =
      ElementOf(List("", "NumDaysWarnBeforeCertEnd=400"), w.ivanov);
  int64_t left = (w.ivanov.notAfter - time(nullptr)) / kDay;
  std::string msg = Child(iv, "Message");
  EXPECT_TRUE(msg == WarnText(static_cast<int>(left)) ||
              msg == WarnText(static_cast<int>(left) - 1))
      << msg;
  EXPECT_FALSE(HasChild(
      ElementOf(List("", "NumDaysWarnBeforeCertEnd=0"), w.soon), "Message"));

  // Periods whose seconds overflow 32 bits mean the certificate's own end;
  // a negative period ends the key before it began.
  for (const char* big : {"SecretKeyValidity=24856", "SecretKeyValidity=30000",
                          "SecretKeyValidity=2147483647"}) {
    std::string e = ElementOf(List("", big), w.old);
    EXPECT_EQ(Child(e, "NotAfter"), std::to_string(w.old.notAfter)) << big;
    EXPECT_FALSE(HasChild(e, "Error")) << big;
  }
  for (const char* negative :
       {"SecretKeyValidity=-1", "SecretKeyValidity=-2147483648"}) {
    std::string e = ElementOf(List("", negative), w.ivanov);
    EXPECT_NE(e.find(kExpired), std::string::npos) << negative;
  }
  std::string e = ElementOf(List("", "SecretKeyValidity=-1"), w.ivanov);
  EXPECT_EQ(Child(e, "NotAfter"), std::to_string(w.ivanov.notBefore - kDay));
  // Text that is not a number reads as 0: the key period is empty.
  e = ElementOf(List("", "SecretKeyValidity=many"), w.ivanov);
  EXPECT_EQ(Child(e, "NotAfter"), std::to_string(w.ivanov.notBefore));
}

TEST(SelectCertificate, StoreThatCannotBeOpenedIsAnErrorEnvelope) {
  TheWorld();
  const char* saved = getenv("TAVRIX_PROVIDER_HOME");
  ASSERT_NE(saved, nullptr);
  const std::string home = saved;
  // A home below a file: the personal store can be neither found nor made.
  setenv("TAVRIX_PROVIDER_HOME", "/dev/null/home", 1);
  TavrixCtrl ctrl;
  std::string listing = ctrl.SelectCertificate("", "");
  std::string lookup = ctrl.CertProvFinder("Romashka");
  setenv("TAVRIX_PROVIDER_HOME", home.c_str(), 1);
  const std::string expected = std::string(kProlog) +
                               "<Error>Не удалось открыть хранилище "
                               "сертификатов ";
  EXPECT_EQ(listing.rfind(expected, 0), 0u) << listing;
  EXPECT_EQ(listing.find("<Certificates>"), std::string::npos);
  EXPECT_EQ(lookup.rfind(expected, 0), 0u) << lookup;
  EXPECT_EQ(ctrl.pCertContextCurrent, nullptr);
}

TEST(GetXmlFromCertificate, WarningAndExpiryBoundariesWithAPinnedClock) {
  auto& w = TheWorld();
  PCCERT_CONTEXT ctx = NewContext(w.ivanov);
  ASSERT_NE(ctx, nullptr);
  TavrixCtrl ctrl;
  const int64_t end = w.ivanov.notAfter;
  auto at = [&](int64_t now) {
    PinClock pin(now);
    return ctrl.GetXmlFromCertificate(ctx, 366, 14);
  };
  EXPECT_FALSE(HasChild(at(end - 14 * kDay), "Message"));
  EXPECT_EQ(Child(at(end - 14 * kDay + 1), "Message"), WarnText(13));
  EXPECT_EQ(Child(at(end - 13 * kDay - 23 * 3600), "Message"), WarnText(13));
  EXPECT_EQ(Child(at(end - 10 * 3600), "Message"), WarnText(0));
  EXPECT_EQ(Child(at(end), "Message"), WarnText(0));
  EXPECT_NE(at(end + 1).find(kExpired), std::string::npos);
  EXPECT_FALSE(HasChild(at(w.ivanov.notBefore), "Error"));
  EXPECT_NE(at(w.ivanov.notBefore - 1).find(kExpired), std::string::npos);

  // The key period ends the validity when it is shorter.
  const int64_t keyEnd = w.ivanov.notBefore + 30 * kDay;
  std::string e;
  {
    PinClock pin(keyEnd - 2 * kDay);
    e = ctrl.GetXmlFromCertificate(ctx, 30, 14);
  }
  EXPECT_EQ(Child(e, "NotAfter"), std::to_string(keyEnd));
  EXPECT_EQ(Child(e, "Message"), WarnText(2));
  CertFreeCertificateContext(ctx);
  EXPECT_EQ(ctrl.GetXmlFromCertificate(nullptr, 366, 14), "");
}

TEST(GetXmlFromCertificate, TimesAreSigned32BitDecimals) {
  auto& w = TheWorld();
  PCCERT_CONTEXT ctx = NewContext(w.ivanov);
  CERT_INFO info = *ctx->pCertInfo;
  CERT_CONTEXT shifted = *ctx;
  shifted.pCertInfo = &info;
  // 2040-01-01 and 2041-01-01 in FILETIME units.
  auto filetime = [](int64_t unix) {
    uint64_t v =
        static_cast<uint64_t>(unix) * 10000000ULL + 116444736000000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(v);
    ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
    return ft;
  };
  const int64_t t2040 = 2208988800LL, t2041 = 2240611200LL;
  info.NotBefore = filetime(t2040);
  info.NotAfter = filetime(t2041);
  TavrixCtrl ctrl;
  std::string e;
  {
    PinClock pin(t2040 + kDay);
    e = ctrl.GetXmlFromCertificate(&shifted, 366, 14);
  }
  EXPECT_EQ(Child(e, "NotBefore"),
            std::to_string(static_cast<int32_t>(t2040 - 4294967296LL)));
  EXPECT_EQ(Child(e, "NotAfter"),
            std::to_string(static_cast<int32_t>(t2041 - 4294967296LL)));
  // The expiry arithmetic itself is not confused by the printed form.
  EXPECT_FALSE(HasChild(e, "Error")) << e;
  CertFreeCertificateContext(ctx);
}

TEST(CertNames, SerialSurnameAndFieldValues) {
  auto& w = TheWorld();
  TavrixCtrl ctrl;
  BYTE bytes[] = {0x01, 0x02, 0x03};
  CERT_INFO info{};
  CERT_CONTEXT ctx{};
  ctx.pCertInfo = &info;
  info.SerialNumber.cbData = 3;
  info.SerialNumber.pbData = bytes;
  EXPECT_EQ(ctrl.GetSubjectSN(&ctx), "030201");
  BYTE high[] = {0xAB, 0xF0};
  info.SerialNumber.cbData = 2;
  info.SerialNumber.pbData = high;
  EXPECT_EQ(ctrl.GetSubjectSN(&ctx), "F0AB");
  info.SerialNumber.cbData = 0;
  EXPECT_EQ(ctrl.GetSubjectSN(&ctx), "");

  PCCERT_CONTEXT ivanov = NewContext(w.ivanov);
  PCCERT_CONTEXT ca = NewContext(w.ca);
  EXPECT_EQ(ctrl.GetSurAndGivenNamesFromCert(ivanov), ", Иванов Иван");
  EXPECT_EQ(ctrl.GetSurAndGivenNamesFromCert(ca), "");
  std::string x500 = ctrl.GetNameFromCert(ivanov->pCertInfo->Subject, true);
  EXPECT_EQ(ctrl.GetFieldValueFromCertNameString(x500, "O"), "Romashka LLC")
      << x500;
  CertFreeCertificateContext(ivanov);
  CertFreeCertificateContext(ca);

  const std::string name = "CN=Иванов Иван, O=Romashka LLC, C=RU";
  EXPECT_EQ(ctrl.GetFieldValueFromCertNameString(name, "CN"), "Иванов Иван");
  EXPECT_EQ(ctrl.GetFieldValueFromCertNameString(name, "C"), "RU");
  EXPECT_EQ(ctrl.GetFieldValueFromCertNameString(name, "OU"), "");
}

TEST(IsValidByFilter, FragmentsClosedBySeparators) {
  TavrixCtrl ctrl;
  EXPECT_TRUE(ctrl.IsValidByFilter("", "", ";"));
  EXPECT_TRUE(ctrl.IsValidByFilter("", "anything;", ";"));
  EXPECT_FALSE(ctrl.IsValidByFilter("a;", "", ";"));
  EXPECT_TRUE(ctrl.IsValidByFilter("van;", "CN=Ivanov;", ";"));
  EXPECT_TRUE(ctrl.IsValidByFilter("x;VAN;", "first;CN=Ivanov;", ";"));
  // Text after the last separator is no fragment, on either side.
  EXPECT_FALSE(ctrl.IsValidByFilter("x;van", "CN=Ivanov;", ";"));
  EXPECT_FALSE(ctrl.IsValidByFilter("van;", "CN=Ivanov", ";"));
  // A fragment must sit inside one fragment, not across the separator.
  EXPECT_FALSE(ctrl.IsValidByFilter("Ivanov Ivan;", "CN=Ivanov;Ivan;", ";"));
  // The four-argument form can compare letter case exactly.
  EXPECT_FALSE(ctrl.IsValidByFilter("ivanov;", "IVANOV;", ";", true));
  EXPECT_TRUE(ctrl.IsValidByFilter("ivanov;", "IVANOV;", ";", false));
  EXPECT_TRUE(ctrl.IsValidByFilter("ёлкин;", "CN=ЁЛКИН Пётр;", ";"));
  EXPECT_FALSE(ctrl.IsValidByFilter("ёлкин;", "CN=ЁЛКИН;", ";", true));
  // Text that is not UTF-8 is compared as it stands.
  EXPECT_TRUE(ctrl.IsValidByFilter("\xff;", "a\xff;", ";"));
  EXPECT_FALSE(ctrl.IsValidByFilter("a;", "b;", ""));
}

}  // namespace
