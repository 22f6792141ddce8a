// Chains and certificate signatures for every key type of the test PKI
// (GOST R 34.10-2001 with GOST R 34.11-94, 2012-256 and 2012-512 with
// Streebog), issued by OpenSSL's GOST engine: the hash that goes with the
// issuer's key must be chosen for each, and the trust bits must not depend
// on the key type.
#include <capi/capi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "provider_test.h"

namespace {

using tavrix_test::CertHandle;
using tavrix_test::ChainHandle;
using tavrix_test::PkiCert;
using tavrix_test::TestPki;

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

CertHandle Context(const PkiCert& c) {
  return CertHandle(CertCreateCertificateContext(
      kEnc, c.der.data(), static_cast<DWORD>(c.der.size())));
}

ChainHandle Chain(const CertHandle& cert, const char* usage = nullptr) {
  CERT_CHAIN_PARA para = {};
  para.cbSize = sizeof para;
  LPSTR oids[1] = {const_cast<LPSTR>(usage)};
  if (usage) {
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = oids;
  }
  ChainHandle chain;
  if (!CertGetCertificateChain(nullptr, cert.get(), nullptr, nullptr, &para, 0,
                               nullptr, chain.out()))
    return ChainHandle();
  return chain;
}

class KeyType : public ::testing::TestWithParam<const char*> {};

TEST_P(KeyType, IssuerSignaturesVerifyAndTamperingIsCaught) {
  const TestPki& pki = TestPki::Get();
  const std::string kt = GetParam();
  const PkiCert& user = pki.Cert("user-" + kt);
  const PkiCert& inter = pki.Cert("inter-" + kt);
  const PkiCert& root = pki.Cert("root-" + kt);

  CertHandle issuer = Context(inter);
  CertHandle top = Context(root);
  ASSERT_NE(issuer.get(), nullptr);
  ASSERT_NE(top.get(), nullptr);
  EXPECT_TRUE(CryptVerifyCertificateSignature(
      0, X509_ASN_ENCODING, user.der.data(),
      static_cast<DWORD>(user.der.size()),
      &issuer.get()->pCertInfo->SubjectPublicKeyInfo))
      << std::hex << GetLastError();
  EXPECT_TRUE(CryptVerifyCertificateSignature(
      0, X509_ASN_ENCODING, inter.der.data(),
      static_cast<DWORD>(inter.der.size()),
      &top.get()->pCertInfo->SubjectPublicKeyInfo));
  // The wrong issuer's key, and a changed signature byte, do not verify.
  EXPECT_FALSE(CryptVerifyCertificateSignature(
      0, X509_ASN_ENCODING, user.der.data(),
      static_cast<DWORD>(user.der.size()),
      &top.get()->pCertInfo->SubjectPublicKeyInfo));
  std::vector<uint8_t> bad = user.der;
  bad[bad.size() - 3] ^= 0x01;
  EXPECT_FALSE(CryptVerifyCertificateSignature(
      0, X509_ASN_ENCODING, bad.data(), static_cast<DWORD>(bad.size()),
      &issuer.get()->pCertInfo->SubjectPublicKeyInfo));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_SIGNATURE));
}

TEST_P(KeyType, InstalledChainIsTrustedAndUsageIsChecked) {
  const TestPki& pki = TestPki::Get();
  const std::string kt = GetParam();
  CertHandle user = Context(pki.Cert("user-" + kt));
  ASSERT_NE(user.get(), nullptr);

  ChainHandle chain = Chain(user);
  ASSERT_NE(chain.get(), nullptr) << std::hex << GetLastError();
  EXPECT_EQ(chain.get()->TrustStatus.dwErrorStatus, 0u)
      << std::hex << chain.get()->TrustStatus.dwErrorStatus;
  ASSERT_EQ(chain.get()->cChain, 1u);
  ASSERT_EQ(chain.get()->rgpChain[0]->cElement, 3u);
  const PCERT_CHAIN_ELEMENT rootElement =
      chain.get()->rgpChain[0]->rgpElement[2];
  EXPECT_TRUE(rootElement->TrustStatus.dwInfoStatus &
              CERT_TRUST_IS_SELF_SIGNED);
  CertHandle root = Context(pki.Cert("root-" + kt));
  ASSERT_NE(root.get(), nullptr);
  EXPECT_TRUE(CertCompareCertificate(X509_ASN_ENCODING,
                                     rootElement->pCertContext->pCertInfo,
                                     root.get()->pCertInfo));
  root.reset();
  chain.reset();

  // The user certificates carry client authentication, not code signing.
  chain = Chain(user, "1.3.6.1.5.5.7.3.2");
  ASSERT_NE(chain.get(), nullptr);
  EXPECT_EQ(chain.get()->TrustStatus.dwErrorStatus, 0u);
  chain = Chain(user, "1.3.6.1.5.5.7.3.3");
  ASSERT_NE(chain.get(), nullptr);
  EXPECT_TRUE(chain.get()->TrustStatus.dwErrorStatus &
              CERT_TRUST_IS_NOT_VALID_FOR_USAGE);
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
    CertHandle cert = Context(pki.Cert(c.name));
    ASSERT_NE(cert.get(), nullptr) << c.name;
    ChainHandle chain = Chain(cert);
    ASSERT_NE(chain.get(), nullptr) << c.name;
    EXPECT_TRUE(chain.get()->TrustStatus.dwErrorStatus & c.mustHave)
        << c.name << " " << std::hex << chain.get()->TrustStatus.dwErrorStatus;
  }
}

}  // namespace
