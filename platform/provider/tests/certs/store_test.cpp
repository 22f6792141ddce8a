// Stores and certificate contexts against a PKI made by OpenSSL.
#include <capi/capi.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "provider_test.h"

using tavrix_test::CertHandle;
using tavrix_test::PkiCert;
using tavrix_test::StoreHandle;
using tavrix_test::TestPki;

namespace {

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

HCERTSTORE OpenMy(const char* name = "MY", DWORD extra = 0) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, kEnc, 0,
                       CERT_SYSTEM_STORE_CURRENT_USER | extra, name);
}

std::string SerialOf(PCCERT_CONTEXT c) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  const CRYPT_INTEGER_BLOB& b = c->pCertInfo->SerialNumber;
  for (DWORD i = b.cbData; i > 0; --i) {
    s += d[b.pbData[i - 1] >> 4];
    s += d[b.pbData[i - 1] & 15];
  }
  return s;
}

std::vector<std::string> Serials(HCERTSTORE s) {
  std::vector<std::string> out;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(s, c))) out.push_back(SerialOf(c));
  EXPECT_EQ(CRYPT_E_NOT_FOUND, GetLastError());
  return out;
}

std::vector<std::string> FindSubject(HCERTSTORE s, const wchar_t* what) {
  std::vector<std::string> out;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SUBJECT_STR_W,
                                         what, c)))
    out.push_back(SerialOf(c));
  return out;
}

TEST(Stores, PkiIsInstalledInTheRightStores) {
  TestPki& pki = TestPki::Get();
  for (const char* name : {"MY", "CA", "ROOT"}) {
    StoreHandle s(OpenMy(name));
    ASSERT_NE(nullptr, s.get()) << name;
    std::set<std::string> got;
    for (const std::string& serial : Serials(s.get())) got.insert(serial);
    std::set<std::string> want;
    for (const PkiCert* c : pki.InStore(name)) want.insert(c->serialHex);
    EXPECT_EQ(want, got) << name;
    EXPECT_TRUE(CertCloseStore(s.release(), CERT_CLOSE_STORE_CHECK_FLAG));
  }
}

TEST(Stores, NameIsCaseInsensitiveAndEnumerationOrderIsStable) {
  TestPki::Get();
  StoreHandle a(OpenMy("my"));
  StoreHandle b(OpenMy("MY"));
  ASSERT_TRUE(a && b);
  std::vector<std::string> first = Serials(a.get());
  EXPECT_EQ(first, Serials(b.get()));
  EXPECT_EQ(first, Serials(a.get()));
  EXPECT_GE(first.size(), 8u);
}

TEST(Stores, OpenExistingFailsForMissingStoreAndBadNamesAreRefused) {
  TestPki::Get();
  EXPECT_EQ(nullptr, OpenMy("NOSUCHSTORE", CERT_STORE_OPEN_EXISTING_FLAG));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(nullptr, OpenMy("../keys"));
  EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), GetLastError());
  EXPECT_EQ(nullptr, OpenMy(""));
  EXPECT_EQ(nullptr, CertOpenStore(CERT_STORE_PROV_SYSTEM_A, kEnc, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER, nullptr));
  EXPECT_TRUE(CertCloseStore(nullptr, 0));
}

TEST(Stores, FindBySubjectFoldsCyrillicAndLatinCase) {
  TestPki& pki = TestPki::Get();
  const StoreHandle store(OpenMy());
  HCERTSTORE s = store.get();
  ASSERT_NE(nullptr, s);
  std::string user = pki.Cert("user-gost2012_256").serialHex;
  std::string noeku = pki.Cert("noeku-gost2012_256").serialHex;
  for (const wchar_t* q :
       {L"ИВАНОВ ИВАН GOST2012_256", L"иванов иван gost2012_256",
        L"иВаНоВ иВаН GoSt2012_256"}) {
    std::vector<std::string> hits = FindSubject(s, q);
    ASSERT_EQ(1u, hits.size()) << q;
    EXPECT_EQ(user, hits[0]);
  }
  std::vector<std::string> latin = FindSubject(s, L"PETROV PETR GOST2012_256");
  ASSERT_EQ(1u, latin.size());
  EXPECT_EQ(noeku, latin[0]);
  // Ё and ё are the same letter to the search.
  EXPECT_EQ(1u, FindSubject(s, L"ЁЛКИН").size());
  EXPECT_EQ(1u, FindSubject(s, L"ёлкин").size());
  EXPECT_EQ(0u, FindSubject(s, L"елкин").size());
  // Empty text matches everything, in enumeration order.
  EXPECT_EQ(Serials(s), FindSubject(s, L""));
  EXPECT_EQ(0u, FindSubject(s, L"Нет такого").size());
  EXPECT_EQ(CRYPT_E_NOT_FOUND, GetLastError());
}

TEST(Stores, FindByOtherKeys) {
  TestPki& pki = TestPki::Get();
  const StoreHandle store(OpenMy());
  HCERTSTORE s = store.get();
  ASSERT_NE(nullptr, s);
  const PkiCert& u = pki.Cert("user-gost2012_512");
  const CertHandle cert(
      CertCreateCertificateContext(kEnc, u.der.data(), u.der.size()));
  PCCERT_CONTEXT ref = cert.get();
  ASSERT_NE(nullptr, ref);

  BYTE sha[20];
  DWORD n = sizeof sha;
  ASSERT_TRUE(
      CertGetCertificateContextProperty(ref, CERT_SHA1_HASH_PROP_ID, sha, &n));
  CRYPT_HASH_BLOB hb = {n, sha};
  struct Case {
    DWORD type;
    const void* para;
  } cases[] = {
      {CERT_FIND_SHA1_HASH, &hb},
      {CERT_FIND_EXISTING, ref},
      {CERT_FIND_SUBJECT_NAME, &ref->pCertInfo->Subject},
      {CERT_FIND_PUBLIC_KEY, &ref->pCertInfo->SubjectPublicKeyInfo},
      {CERT_FIND_SUBJECT_CERT, ref->pCertInfo},
  };
  for (const Case& c : cases) {
    CertHandle f(
        CertFindCertificateInStore(s, kEnc, 0, c.type, c.para, nullptr));
    ASSERT_NE(nullptr, f.get()) << std::hex << c.type;
    EXPECT_EQ(u.serialHex, SerialOf(f.get()));
    // A second search from the hit finds no other certificate (and frees
    // the hit it starts from).
    EXPECT_EQ(nullptr, CertFindCertificateInStore(s, kEnc, 0, c.type, c.para,
                                                  f.release()));
    EXPECT_EQ(CRYPT_E_NOT_FOUND, GetLastError());
  }
  CERT_ID id;
  id.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
  id.IssuerSerialNumber.Issuer = ref->pCertInfo->Issuer;
  id.IssuerSerialNumber.SerialNumber = ref->pCertInfo->SerialNumber;
  CertHandle f(
      CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_CERT_ID, &id, nullptr));
  ASSERT_NE(nullptr, f.get());
  EXPECT_EQ(u.serialHex, SerialOf(f.get()));

  BYTE kid[64];
  n = sizeof kid;
  ASSERT_TRUE(CertGetCertificateContextProperty(
      ref, CERT_KEY_IDENTIFIER_PROP_ID, kid, &n));
  CRYPT_HASH_BLOB kb = {n, kid};
  f.reset(CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_KEY_IDENTIFIER, &kb,
                                     nullptr));
  ASSERT_NE(nullptr, f.get());
  EXPECT_EQ(u.serialHex, SerialOf(f.get()));
  f.reset();

  // Issuer search: the user certificates of one intermediate.
  std::vector<std::string> byIssuer;
  PCCERT_CONTEXT hit = nullptr;
  while (
      (hit = CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_ISSUER_STR_W,
                                        L"подчинённый уц gost2012_512", hit)))
    byIssuer.push_back(SerialOf(hit));
  EXPECT_EQ(2u, byIssuer.size());

  // Unknown find type and missing parameter.
  EXPECT_EQ(nullptr,
            CertFindCertificateInStore(s, kEnc, 0, 0x7777, &hb, nullptr));
  EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), GetLastError());
  EXPECT_EQ(nullptr,
            CertFindCertificateInStore(s, kEnc, 0, CERT_FIND_SUBJECT_STR_W,
                                       nullptr, nullptr));
}

TEST(Stores, ContextsOutliveTheirStore) {
  TestPki::Get();
  StoreHandle s(OpenMy());
  ASSERT_NE(nullptr, s.get());
  CertHandle c(CertEnumCertificatesInStore(s.get(), nullptr));
  ASSERT_NE(nullptr, c.get());
  CertHandle dup(CertDuplicateCertificateContext(c.get()));
  EXPECT_EQ(c.get(), dup.get());
  EXPECT_FALSE(CertCloseStore(s.release(), CERT_CLOSE_STORE_CHECK_FLAG));
  EXPECT_EQ(CRYPT_E_PENDING_CLOSE, GetLastError());
  std::string serial = SerialOf(c.get());
  EXPECT_TRUE(CertFreeCertificateContext(c.release()));
  EXPECT_EQ(serial, SerialOf(dup.get()));
  WCHAR buf[256];
  EXPECT_GT(CertNameToStrW(kEnc, &dup.get()->pCertInfo->Subject,
                           CERT_SIMPLE_NAME_STR, buf, 256),
            1u);
  EXPECT_TRUE(CertFreeCertificateContext(dup.release()));
  EXPECT_TRUE(CertFreeCertificateContext(nullptr));
}

TEST(Stores, AddDeleteRoundTripWithDispositions) {
  TestPki& pki = TestPki::Get();
  tavrix_test::TempDir home;
  std::string old = getenv("TAVRIX_PROVIDER_HOME");
  tavrix_test::SetProviderHome(home.path());
  const PkiCert& a = pki.Cert("noeku-gost2001");
  const PkiCert& b = pki.Cert("noeku-gost2012_512");
  StoreHandle store(OpenMy("CA"));
  HCERTSTORE s = store.get();
  ASSERT_NE(nullptr, s);
  CertHandle added;
  ASSERT_TRUE(CertAddEncodedCertificateToStore(
      s, kEnc, a.der.data(), a.der.size(), CERT_STORE_ADD_NEW, added.out()));
  ASSERT_NE(nullptr, added.get());
  EXPECT_EQ(s, added.get()->hCertStore);
  EXPECT_FALSE(CertAddEncodedCertificateToStore(
      s, kEnc, a.der.data(), a.der.size(), CERT_STORE_ADD_NEW, nullptr));
  EXPECT_EQ(CRYPT_E_EXISTS, GetLastError());
  {
    CertHandle existing;
    EXPECT_TRUE(CertAddEncodedCertificateToStore(
        s, kEnc, a.der.data(), a.der.size(), CERT_STORE_ADD_USE_EXISTING,
        existing.out()));
    EXPECT_EQ(added.get(), existing.get());
  }
  EXPECT_TRUE(CertAddEncodedCertificateToStore(
      s, kEnc, b.der.data(), b.der.size(), CERT_STORE_ADD_REPLACE_EXISTING,
      nullptr));
  EXPECT_FALSE(CertAddEncodedCertificateToStore(s, kEnc, b.der.data(),
                                                b.der.size(), 99, nullptr));
  EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), GetLastError());
  EXPECT_EQ(2u, Serials(s).size());

  // Another handle sees the files written by the first one.
  StoreHandle again(OpenMy("CA"));
  EXPECT_EQ(2u, Serials(again.get()).size());
  again.reset();

  // Deleting frees the context whatever the result.
  EXPECT_TRUE(CertDeleteCertificateFromStore(added.release()));
  std::vector<std::string> left = Serials(s);
  ASSERT_EQ(1u, left.size());
  EXPECT_EQ(b.serialHex, left[0]);
  again.reset(OpenMy("CA"));
  EXPECT_EQ(left, Serials(again.get()));
  again.reset();
  EXPECT_TRUE(CertCloseStore(store.release(), CERT_CLOSE_STORE_CHECK_FLAG));

  struct stat st;
  ASSERT_EQ(0, stat((home.path() + "/stores/CA").c_str(), &st));
  tavrix_test::SetProviderHome(old);
}

// Opens share the parse of unchanged files, never what a caller changed:
// a file rewritten in place is read again, and a property set through one
// open is not seen through another.
TEST(Stores, OpensSeeRewrittenFilesAndKeepTheirOwnProperties) {
  TestPki& pki = TestPki::Get();
  tavrix_test::TempDir home;
  std::string old = getenv("TAVRIX_PROVIDER_HOME");
  tavrix_test::SetProviderHome(home.path());
  const PkiCert& a = pki.Cert("noeku-gost2001");
  const PkiCert& b = pki.Cert("noeku-gost2012_512");
  const StoreHandle s(OpenMy("CA"));
  ASSERT_NE(nullptr, s.get());
  CertHandle cert;
  ASSERT_TRUE(CertAddEncodedCertificateToStore(s.get(), kEnc, a.der.data(),
                                               a.der.size(), CERT_STORE_ADD_NEW,
                                               cert.out()));
  PCCERT_CONTEXT c = cert.get();
  BYTE value[] = {1, 2, 3};
  CRYPT_DATA_BLOB blob{sizeof value, value};
  ASSERT_TRUE(CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID,
                                                0, &blob));
  StoreHandle other(OpenMy("CA"));
  {
    const CertHandle seen(CertEnumCertificatesInStore(other.get(), nullptr));
    ASSERT_NE(nullptr, seen.get());
    DWORD n = 0;
    EXPECT_FALSE(CertGetCertificateContextProperty(
        seen.get(), CERT_FRIENDLY_NAME_PROP_ID, nullptr, &n));
  }
  other.reset();
  // The same file name, the same inode, another certificate.
  BYTE hash[20];
  DWORD n = sizeof hash;
  ASSERT_TRUE(
      CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, hash, &n));
  std::string name;
  for (BYTE x : hash) {
    static const char d[] = "0123456789abcdef";
    name += d[x >> 4];
    name += d[x & 15];
  }
  tavrix_test::WriteFileBytes(home.path() + "/stores/CA/" + name + ".cer",
                              b.der);
  other.reset(OpenMy("CA"));
  EXPECT_EQ(std::vector<std::string>{b.serialHex}, Serials(other.get()));
  other.reset();
  cert.reset();
  tavrix_test::SetProviderHome(old);
}

TEST(Stores, MemoryStoreKeepsInsertionOrderAndDuplicates) {
  TestPki& pki = TestPki::Get();
  StoreHandle store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  HCERTSTORE m = store.get();
  ASSERT_NE(nullptr, m);
  std::vector<std::string> want;
  for (const char* n : {"user-gost2001", "root-gost2012_512", "angle"}) {
    const PkiCert& c = pki.Cert(n);
    ASSERT_TRUE(CertAddEncodedCertificateToStore(
        m, kEnc, c.der.data(), c.der.size(), CERT_STORE_ADD_ALWAYS, nullptr));
    want.push_back(c.serialHex);
  }
  EXPECT_EQ(want, Serials(m));
  StoreHandle dup(CertDuplicateStore(m));
  EXPECT_EQ(m, dup.get());
  EXPECT_TRUE(CertCloseStore(store.release(), 0));
  EXPECT_EQ(want, Serials(dup.get()));  // still open through the duplicate
  EXPECT_TRUE(CertCloseStore(dup.release(), CERT_CLOSE_STORE_CHECK_FLAG));
}

TEST(Stores, ThousandCertificatesListQuickly) {
  TestPki& pki = TestPki::Get();
  tavrix_test::TempDir home;
  std::string old = getenv("TAVRIX_PROVIDER_HOME");
  tavrix_test::SetProviderHome(home.path());
  // Distinct certificates cheaply: same body, different signature bytes.
  std::vector<uint8_t> base = pki.Cert("user-gost2012_256").der;
  StoreHandle s(OpenMy("MY"));
  ASSERT_NE(nullptr, s.get());
  for (int i = 0; i < 1000; ++i) {
    std::vector<uint8_t> d = base;
    d[d.size() - 1] = static_cast<uint8_t>(i);
    d[d.size() - 2] = static_cast<uint8_t>(i >> 8);
    ASSERT_TRUE(CertAddEncodedCertificateToStore(
        s.get(), kEnc, d.data(), d.size(), CERT_STORE_ADD_NEW, nullptr));
  }
  s.reset();
  auto since = [](std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now() - t)
        .count();
  };
  auto t0 = std::chrono::steady_clock::now();
  s.reset(OpenMy("MY"));
  double openMs = since(t0);
  size_t n = Serials(s.get()).size();
  double listMs = since(t0);
  size_t found = FindSubject(s.get(), L"иванов").size();
  s.reset();
  double ms = since(t0);
  EXPECT_EQ(1000u, n);
  EXPECT_EQ(1000u, found);
#if defined(__SANITIZE_ADDRESS__)
  const double limit = 5000.0;  // instrumented build, several times slower
#else
  const double limit = 1000.0;
#endif
  EXPECT_LT(ms, limit);
  printf(
      "1000 certificates: open %.1f ms, list %.1f ms, "
      "+ subject search %.1f ms\n",
      openMs, listMs, ms);
  tavrix_test::SetProviderHome(old);
}

}  // namespace

namespace {

TEST(Contexts, IssuerLookupTimeValidityAndProperties) {
  TestPki& pki = TestPki::Get();
  StoreHandle ca(OpenMy("CA"));
  ASSERT_NE(nullptr, ca.get());
  const PkiCert& u = pki.Cert("user-gost2012_256");
  const CertHandle cert(
      CertCreateCertificateContext(kEnc, u.der.data(), u.der.size()));
  PCCERT_CONTEXT c = cert.get();
  ASSERT_NE(nullptr, c);
  DWORD flags = 0x2;  // CERT_STORE_TIME_VALIDITY_FLAG
  CertHandle issuer(
      CertGetIssuerCertificateFromStore(ca.get(), c, nullptr, &flags));
  ASSERT_NE(nullptr, issuer.get());
  EXPECT_EQ(pki.Cert("inter-gost2012_256").serialHex, SerialOf(issuer.get()));
  EXPECT_EQ(0u, flags);  // the intermediate is within its validity
  // The search from a previous hit frees that hit.
  EXPECT_EQ(nullptr, CertGetIssuerCertificateFromStore(
                         ca.get(), c, issuer.release(), nullptr));
  EXPECT_EQ(CRYPT_E_NOT_FOUND, GetLastError());
  ca.reset();

  const CertHandle self(
      CertCreateCertificateContext(kEnc, pki.Cert("selfsigned").der.data(),
                                   pki.Cert("selfsigned").der.size()));
  StoreHandle my(OpenMy());
  EXPECT_EQ(nullptr, CertGetIssuerCertificateFromStore(my.get(), self.get(),
                                                       nullptr, nullptr));
  EXPECT_EQ(CRYPT_E_SELF_SIGNED, GetLastError());
  my.reset();

  EXPECT_EQ(0, CertVerifyTimeValidity(nullptr, c->pCertInfo));
  const CertHandle expiredCert(CertCreateCertificateContext(
      kEnc, pki.Cert("expired").der.data(), pki.Cert("expired").der.size()));
  const CertHandle notyetCert(CertCreateCertificateContext(
      kEnc, pki.Cert("notyet").der.data(), pki.Cert("notyet").der.size()));
  PCCERT_CONTEXT expired = expiredCert.get();
  PCCERT_CONTEXT notyet = notyetCert.get();
  EXPECT_EQ(1, CertVerifyTimeValidity(nullptr, expired->pCertInfo));
  EXPECT_EQ(-1, CertVerifyTimeValidity(nullptr, notyet->pCertInfo));
  // At the exact bounds the certificate is valid.
  EXPECT_EQ(0, CertVerifyTimeValidity(&notyet->pCertInfo->NotBefore,
                                      notyet->pCertInfo));
  EXPECT_EQ(0, CertVerifyTimeValidity(&expired->pCertInfo->NotAfter,
                                      expired->pCertInfo));

  // Generic properties round-trip; the SHA-1 one is derived and fixed.
  BYTE name[] = {'x', 0, 0, 0, 0, 0, 0, 0};
  CRYPT_DATA_BLOB b = {sizeof name, name};
  ASSERT_TRUE(
      CertSetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, 0, &b));
  DWORD n = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID,
                                                nullptr, &n));
  EXPECT_EQ(sizeof name, n);
  BYTE small[2];
  n = sizeof small;
  EXPECT_FALSE(CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID,
                                                 small, &n));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
  EXPECT_EQ(sizeof name, n);
  EXPECT_FALSE(
      CertSetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, 0, &b));
  EXPECT_FALSE(CertGetCertificateContextProperty(c, 12345, nullptr, &n));
  EXPECT_EQ(CRYPT_E_NOT_FOUND, GetLastError());

  // Integer comparison ignores insignificant sign bytes.
  BYTE a1[] = {0x80, 0x00}, a2[] = {0x80}, a3[] = {0x7F, 0x00};
  CRYPT_INTEGER_BLOB i1 = {2, a1}, i2 = {1, a2}, i3 = {2, a3};
  EXPECT_FALSE(CertCompareIntegerBlob(&i1, &i2));  // 128 vs -128
  BYTE a4[] = {0x7F};
  CRYPT_INTEGER_BLOB i4 = {1, a4};
  EXPECT_TRUE(CertCompareIntegerBlob(&i3, &i4));
}

TEST(Contexts, MakeCertGivesFreshValidityWindows) {
  TestPki& pki = TestPki::Get();
  const PkiCert& soon = pki.MakeCert("ends-in-an-hour", "gost2012_256",
                                     "/CN=Скоро Истекает", -60, 3600);
  const CertHandle c(
      CertCreateCertificateContext(kEnc, soon.der.data(), soon.der.size()));
  ASSERT_NE(nullptr, c.get());
  EXPECT_EQ(0, CertVerifyTimeValidity(nullptr, c.get()->pCertInfo));
  FILETIME later = c.get()->pCertInfo->NotAfter;
  later.dwHighDateTime += 1;
  EXPECT_EQ(1, CertVerifyTimeValidity(&later, c.get()->pCertInfo));
}

}  // namespace
