// Private keys of certificates and the certificate manager, end to end.
#include <capi/capi.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "provider_test.h"

using tavrix_test::CertHandle;
using tavrix_test::CommandResult;
using tavrix_test::HashHandle;
using tavrix_test::KeyHandle;
using tavrix_test::PkiCert;
using tavrix_test::ProvHandle;
using tavrix_test::ShellQuote;
using tavrix_test::StoreHandle;
using tavrix_test::TestPki;

namespace {

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

CertHandle FindInMy(const std::string& serialHex) {
  StoreHandle s(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, kEnc, 0,
                              CERT_SYSTEM_STORE_CURRENT_USER, "MY"));
  if (!s) return CertHandle();
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(s.get(), c))) {
    std::string hex;
    const CRYPT_INTEGER_BLOB& b = c->pCertInfo->SerialNumber;
    static const char d[] = "0123456789ABCDEF";
    for (DWORD i = b.cbData; i > 0; --i) {
      hex += d[b.pbData[i - 1] >> 4];
      hex += d[b.pbData[i - 1] & 15];
    }
    if (hex == serialHex) break;
  }
  return CertHandle(c);
}

// Signs a hash with the acquired key and checks it with the certificate.
void SignAndVerify(HCRYPTPROV prov, DWORD spec, PCCERT_CONTEXT c, ALG_ID alg) {
  HashHandle h;
  ASSERT_TRUE(CryptCreateHash(prov, alg, 0, 0, h.out()));
  const BYTE data[] = "проверка";
  ASSERT_TRUE(CryptHashData(h.get(), data, sizeof data, 0));
  DWORD n = 0;
  ASSERT_TRUE(CryptSignHashA(h.get(), spec, nullptr, 0, nullptr, &n));
  std::vector<BYTE> sig(n);
  ASSERT_TRUE(CryptSignHashA(h.get(), spec, nullptr, 0, sig.data(), &n));
  KeyHandle pub;
  ASSERT_TRUE(CryptImportPublicKeyInfo(
      prov, kEnc, &c->pCertInfo->SubjectPublicKeyInfo, pub.out()));
  EXPECT_TRUE(
      CryptVerifySignatureA(h.get(), sig.data(), n, pub.get(), nullptr, 0));
}

TEST(PrivateKey, AcquiredForEveryKeyTypeAndSigns) {
  TestPki& pki = TestPki::Get();
  struct {
    const char* name;
    DWORD provType;
    ALG_ID hash;
  } cases[] = {{"user-gost2001", PROV_GOST_2001_DH, CALG_GR3411},
               {"user-gost2012_256", PROV_GOST_2012_256, CALG_GR3411_2012_256},
               {"user-gost2012_512", PROV_GOST_2012_512, CALG_GR3411_2012_512}};
  for (const auto& k : cases) {
    CertHandle c = FindInMy(pki.Cert(k.name).serialHex);
    ASSERT_NE(nullptr, c.get()) << k.name;
    ProvHandle prov;
    DWORD spec = 0;
    BOOL free = FALSE;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(
        c.get(), CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, prov.out(), &spec,
        &free))
        << k.name << " " << std::hex << GetLastError();
    EXPECT_EQ(static_cast<DWORD>(AT_KEYEXCHANGE), spec);
    EXPECT_TRUE(free);
    SignAndVerify(prov.get(), spec, c.get(), k.hash);

    // The key property names the same container and type.
    DWORD n = 0;
    ASSERT_TRUE(CertGetCertificateContextProperty(
        c.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n));
    std::vector<BYTE> buf(n);
    ASSERT_TRUE(CertGetCertificateContextProperty(
        c.get(), CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n));
    auto* info = reinterpret_cast<PCRYPT_KEY_PROV_INFO>(buf.data());
    EXPECT_EQ(k.provType, info->dwProvType);
    EXPECT_EQ(40u, wcslen(info->pwszContainerName));
    EXPECT_TRUE(CryptReleaseContext(prov.release(), 0));
  }
}

TEST(PrivateKey, MissingAndMismatchedKeys) {
  TestPki& pki = TestPki::Get();
  HCRYPTPROV prov = 7;
  DWORD spec = 0;
  BOOL free = FALSE;
  // A CA certificate has no key here.
  const PkiCert& root = pki.Cert("root-gost2012_256");
  CertHandle r(
      CertCreateCertificateContext(kEnc, root.der.data(), root.der.size()));
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(r.get(), 0, nullptr, &prov,
                                                 &spec, &free));
  EXPECT_EQ(CRYPT_E_NO_KEY_PROPERTY, GetLastError());
  EXPECT_EQ(0u, prov);
  DWORD n = 0;
  EXPECT_FALSE(CertGetCertificateContextProperty(
      r.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n));

  // A key property pointing at another certificate's container: the
  // container opens, but its key is not the certificate's.
  CertHandle other = FindInMy(pki.Cert("noeku-gost2012_256").serialHex);
  ASSERT_NE(nullptr, other.get());
  n = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(
      other.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n));
  std::vector<BYTE> buf(n);
  ASSERT_TRUE(CertGetCertificateContextProperty(
      other.get(), CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n));
  ASSERT_TRUE(CertSetCertificateContextProperty(
      r.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, buf.data()));
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(
      r.get(), CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &prov, &spec, &free));
  EXPECT_EQ(NTE_BAD_PUBLIC_KEY, GetLastError());
  {
    // Without the comparison the container is handed out as asked.
    ProvHandle acquired;
    ASSERT_TRUE(CryptAcquireCertificatePrivateKey(
        r.get(), 0, nullptr, acquired.out(), &spec, &free));
  }
  // Removing the property brings back "no key".
  ASSERT_TRUE(CertSetCertificateContextProperty(
      r.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, nullptr));
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(r.get(), 0, nullptr, &prov,
                                                 &spec, &free));
  EXPECT_EQ(CRYPT_E_NO_KEY_PROPERTY, GetLastError());
  other.reset();
  r.reset();
  EXPECT_FALSE(CryptAcquireCertificatePrivateKey(nullptr, 0, nullptr, &prov,
                                                 &spec, &free));
}

// The manager on its own provider folder.
class CertMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pki_ = &TestPki::Get();
    old_ = getenv("TAVRIX_PROVIDER_HOME");
    tavrix_test::SetProviderHome(home_.path());
  }
  void TearDown() override { tavrix_test::SetProviderHome(old_); }
  CommandResult Run(const std::string& args) { return pki_->CertMgr(args); }
  TestPki* pki_ = nullptr;
  std::string old_;
  tavrix_test::TempDir home_;
};

TEST_F(CertMgrTest, ImportListDeleteRoundTrip) {
  const PkiCert& u = pki_->Cert("user-gost2012_512");
  CommandResult r = Run("import --cert " + ShellQuote(u.certDer) + " --key " +
                        ShellQuote(u.keyDer));
  ASSERT_EQ(0, r.exitCode) << r.output;
  r = Run("add-root " + ShellQuote(pki_->Cert("root-gost2012_512").certPem));
  ASSERT_EQ(0, r.exitCode) << r.output;
  r = Run("add-ca " + ShellQuote(pki_->Cert("inter-gost2012_512").certDer));
  ASSERT_EQ(0, r.exitCode) << r.output;

  r = Run("list --store my");
  ASSERT_EQ(0, r.exitCode) << r.output;
  EXPECT_NE(std::string::npos, r.output.find("Store MY: 1 certificate(s)"));
  EXPECT_NE(std::string::npos, r.output.find("Serial:      " + u.serialHex));
  EXPECT_NE(std::string::npos,
            r.output.find("SubjectX500: E=ivanov@example.ru, OGRN="));
  EXPECT_NE(std::string::npos, r.output.find("PrivateKey:  yes"));
  r = Run("list");
  EXPECT_NE(std::string::npos, r.output.find("Store CA: 1 certificate(s)"));
  EXPECT_NE(std::string::npos, r.output.find("Store ROOT: 1 certificate(s)"));

  // The key file is private to its owner.
  CertHandle c = FindInMy(u.serialHex);
  ASSERT_NE(nullptr, c.get());
  DWORD n = 0;
  ASSERT_TRUE(CertGetCertificateContextProperty(
      c.get(), CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n));
  std::vector<BYTE> buf(n);
  ASSERT_TRUE(CertGetCertificateContextProperty(
      c.get(), CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &n));
  std::wstring wc =
      reinterpret_cast<PCRYPT_KEY_PROV_INFO>(buf.data())->pwszContainerName;
  std::string keyFile =
      home_.path() + "/keys/" + std::string(wc.begin(), wc.end()) + ".key";
  struct stat st;
  ASSERT_EQ(0, stat(keyFile.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  c.reset();

  r = Run("delete --store MY --serial " + u.serialHex.substr(0, 2) + ":" +
          u.serialHex.substr(2) + " --with-key");
  ASSERT_EQ(0, r.exitCode) << r.output;
  EXPECT_NE(0, stat(keyFile.c_str(), &st));
  r = Run("list --store MY");
  EXPECT_NE(std::string::npos, r.output.find("Store MY: 0 certificate(s)"));
  r = Run("delete --store MY --serial " + u.serialHex);
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.output.find("no certificate matches"));
}

TEST_F(CertMgrTest, RefusesMismatchedKeysAndGarbage) {
  const PkiCert& u = pki_->Cert("user-gost2012_256");
  const PkiCert& other = pki_->Cert("noeku-gost2012_256");
  CommandResult r = Run("import --cert " + ShellQuote(u.certPem) + " --key " +
                        ShellQuote(other.keyPem));
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.output.find("does not match"));
  // A key of another algorithm does not match either.
  r = Run("import --cert " + ShellQuote(u.certPem) + " --key " +
          ShellQuote(pki_->Cert("user-gost2001").keyPem));
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.output.find("does not match"));
  // Nothing was installed by the refusals.
  r = Run("list --store MY");
  EXPECT_NE(std::string::npos, r.output.find("Store MY: 0 certificate(s)"));

  tavrix_test::TempDir junk;
  tavrix_test::WriteFileBytes(junk.File("junk.pem"),
                              {'h', 'e', 'l', 'l', 'o', '\n'});
  r = Run("add-ca " + ShellQuote(junk.File("junk.pem")));
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.output.find("is not a certificate"));
  std::vector<uint8_t> cut(u.der.begin(), u.der.begin() + u.der.size() / 2);
  tavrix_test::WriteFileBytes(junk.File("cut.der"), cut);
  r = Run("add-root " + ShellQuote(junk.File("cut.der")));
  EXPECT_EQ(1, r.exitCode);
  r = Run("import --cert " + ShellQuote(u.certPem) + " --key " +
          ShellQuote(junk.File("junk.pem")));
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.output.find("not a usable GOST private key"));
  r = Run("import --cert " + ShellQuote(junk.File("missing.pem")));
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.output.find("cannot read"));
  r = Run("list --store OTHER");
  EXPECT_EQ(1, r.exitCode);
  r = Run("frobnicate");
  EXPECT_EQ(2, r.exitCode);
  r = Run("delete --store MY --serial xyz");
  EXPECT_EQ(1, r.exitCode);
  EXPECT_NE(std::string::npos, r.output.find("not hexadecimal"));
}

TEST_F(CertMgrTest, Pkcs12FromOpenSsl) {
  const PkiCert& u = pki_->Cert("user-gost2012_256");
  tavrix_test::TempDir d;
  std::string pfx = d.File("u.pfx");
  CommandResult r = tavrix_test::RunCommand(
      "openssl pkcs12 -engine gost -export -in " + ShellQuote(u.certPem) +
      " -inkey " + ShellQuote(u.keyPem) + " -out " + ShellQuote(pfx) +
      " -passout pass:secret -keypbe gost89 -certpbe gost89 -macalg "
      "md_gost12_256 2>&1");
  ASSERT_EQ(0, r.exitCode) << r.output;
  r = Run("import --pfx " + ShellQuote(pfx) + " --password wrong");
  EXPECT_EQ(1, r.exitCode);
  r = Run("import --pfx " + ShellQuote(pfx) + " --password secret");
  if (r.exitCode != 0) {
    // The GnuTLS backend may not decrypt GOST PKCS#12; it must say so.
    EXPECT_EQ(1, r.exitCode);
    EXPECT_NE(std::string::npos, r.output.find("cannot read"));
    GTEST_SKIP() << "GOST PKCS#12 not readable here: " << r.output;
  }
  r = Run("list --store MY");
  EXPECT_NE(std::string::npos, r.output.find("PrivateKey:  yes"));
}

}  // namespace
