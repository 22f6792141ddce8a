// Chains and certificate signatures for every key type of the test PKI
// (GOST R 34.10-2001 with GOST R 34.11-94, 2012-256 and 2012-512 with
// Streebog), issued by OpenSSL's GOST engine: the hash that goes with the
// issuer's key must be chosen for each, and the trust bits must not depend
// on the key type.
#include <capi/capi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

using tavrix_test::PkiCert;
using tavrix_test::TestPki;

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

PCCERT_CONTEXT Context(const PkiCert& c) {
  return CertCreateCertificateContext(kEnc, c.der.data(),
                                      static_cast<DWORD>(c.der.size()));
}

PCCERT_CHAIN_CONTEXT Chain(PCCERT_CONTEXT cert, const char* usage = nullptr) {
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof para;
  LPSTR oids[1] = {const_cast<LPSTR>(usage)};
  if (usage) {
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = oids;
  }
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(nullptr, cert, nullptr, nullptr, &para, 0,
                               nullptr, &chain))
    return nullptr;
  return chain;
}

class KeyType : public ::testing::TestWithParam<const char*> {};

TEST_P(KeyType, IssuerSignaturesVerifyAndTamperingIsCaught) {
  const TestPki& pki = TestPki::Get();
  const std::string kt = GetParam();
  const PkiCert& user = pki.Cert("user-" + kt);
  const PkiCert& inter = pki.Cert("inter-" + kt);
  const PkiCert& root = pki.Cert("root-" + kt);

  PCCERT_CONTEXT issuer = Context(inter);
  PCCERT_CONTEXT top = Context(root);
  ASSERT_NE(issuer, nullptr);
  ASSERT_NE(top, nullptr);
  EXPECT_TRUE(
      CryptVerifyCertificateSignature(0, X509_ASN_ENCODING, user.der.data(),
                                      static_cast<DWORD>(user.der.size()),
                                      &issuer->pCertInfo->SubjectPublicKeyInfo))
      << std::hex << GetLastError();
  EXPECT_TRUE(
      CryptVerifyCertificateSignature(0, X509_ASN_ENCODING, inter.der.data(),
                                      static_cast<DWORD>(inter.der.size()),
                                      &top->pCertInfo->SubjectPublicKeyInfo));
  // The wrong issuer's key, and a changed signature byte, do not verify.
  EXPECT_FALSE(
      CryptVerifyCertificateSignature(0, X509_ASN_ENCODING, user.der.data(),
                                      static_cast<DWORD>(user.der.size()),
                                      &top->pCertInfo->SubjectPublicKeyInfo));
  std::vector<uint8_t> bad = user.der;
  bad[bad.size() - 3] ^= 0x01;
  EXPECT_FALSE(CryptVerifyCertificateSignature(
      0, X509_ASN_ENCODING, bad.data(), static_cast<DWORD>(bad.size()),
      &issuer->pCertInfo->SubjectPublicKeyInfo));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_SIGNATURE));
  CertFreeCertificateContext(issuer);
  CertFreeCertificateContext(top);
}

TEST_P(KeyType, InstalledChainIsTrustedAndUsageIsChecked) {
  const TestPki& pki = TestPki::Get();
  const std::string kt = GetParam();
  PCCERT_CONTEXT user = Context(pki.Cert("user-" + kt));
  ASSERT_NE(user, nullptr);

  PCCERT_CHAIN_CONTEXT chain = Chain(user);
  ASSERT_NE(chain, nullptr) << std::hex << GetLastError();
  EXPECT_EQ(chain->TrustStatus.dwErrorStatus, 0u)
      << std::hex << chain->TrustStatus.dwErrorStatus;
  ASSERT_EQ(chain->cChain, 1u);
  ASSERT_EQ(chain->rgpChain[0]->cElement, 3u);
  const PCERT_CHAIN_ELEMENT rootElement = chain->rgpChain[0]->rgpElement[2];
  EXPECT_TRUE(rootElement->TrustStatus.dwInfoStatus &
              CERT_TRUST_IS_SELF_SIGNED);
  PCCERT_CONTEXT root = Context(pki.Cert("root-" + kt));
  ASSERT_NE(root, nullptr);
  EXPECT_TRUE(CertCompareCertificate(X509_ASN_ENCODING,
                                     rootElement->pCertContext->pCertInfo,
                                     root->pCertInfo));
  CertFreeCertificateContext(root);
  CertFreeCertificateChain(chain);

  // The user certificates carry client authentication, not code signing.
  chain = Chain(user, "1.3.6.1.5.5.7.3.2");
  ASSERT_NE(chain, nullptr);
  EXPECT_EQ(chain->TrustStatus.dwErrorStatus, 0u);
  CertFreeCertificateChain(chain);
  chain = Chain(user, "1.3.6.1.5.5.7.3.3");
  ASSERT_NE(chain, nullptr);
  EXPECT_TRUE(chain->TrustStatus.dwErrorStatus &
              CERT_TRUST_IS_NOT_VALID_FOR_USAGE);
  CertFreeCertificateChain(chain);
  CertFreeCertificateContext(user);
}

INSTANTIATE_TEST_SUITE_P(Gost, KeyType,
                         ::testing::Values("gost2001", "gost2012_256",
                                           "gost2012_512"));

TEST(OddCertificates, TimeAndTrustBits) {
  const TestPki& pki = TestPki::Get();
  struct Case {
    const char* name;
    DWORD mustHave;
  } cases[] = {
      {"expired", CERT_TRUST_IS_NOT_TIME_VALID},
      {"notyet", CERT_TRUST_IS_NOT_TIME_VALID},
      {"selfsigned", CERT_TRUST_IS_UNTRUSTED_ROOT},
  };
  for (const Case& c : cases) {
    PCCERT_CONTEXT cert = Context(pki.Cert(c.name));
    ASSERT_NE(cert, nullptr) << c.name;
    PCCERT_CHAIN_CONTEXT chain = Chain(cert);
    ASSERT_NE(chain, nullptr) << c.name;
    EXPECT_TRUE(chain->TrustStatus.dwErrorStatus & c.mustHave)
        << c.name << " " << std::hex << chain->TrustStatus.dwErrorStatus;
    CertFreeCertificateChain(chain);
    CertFreeCertificateContext(cert);
  }
}

}  // namespace
