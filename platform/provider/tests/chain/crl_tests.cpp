// CRL contexts and certificate signature checks, including hostile input.
#include <gtest/gtest.h>

#include <random>

#include "chain_fixture.h"
#include "provider_test.h"

using namespace chain_test;

namespace {

using tavrix_test::CertHandle;
using tavrix_test::CrlHandle;

Bytes Crl() { return ReadFileBytes(Pki::Get().www + "/inter.crl"); }

TEST(CrlContext, ReadsTheCrlOpenSslWrote) {
  Bytes der = Crl();
  ASSERT_FALSE(der.empty());
  CrlHandle owner(CertCreateCRLContext(X509_ASN_ENCODING, der.data(),
                                       static_cast<DWORD>(der.size())));
  PCCRL_CONTEXT crl = owner.get();
  ASSERT_NE(crl, nullptr) << std::hex << GetLastError();
  EXPECT_EQ(crl->cbCrlEncoded, der.size());
  EXPECT_NE(crl->pbCrlEncoded, der.data());  // a copy, not the caller's bytes
  const CRL_INFO* info = crl->pCrlInfo;
  EXPECT_EQ(info->dwVersion, 1u);
  EXPECT_STREQ(info->SignatureAlgorithm.pszObjId, "1.2.643.7.1.1.3.2");
  // Two revoked certificates, serials 0x1004 and 0x1006, little-endian.
  ASSERT_EQ(info->cCRLEntry, 2u);
  ASSERT_EQ(info->rgCRLEntry[0].SerialNumber.cbData, 2u);
  EXPECT_EQ(info->rgCRLEntry[0].SerialNumber.pbData[0], 0x04);
  EXPECT_EQ(info->rgCRLEntry[0].SerialNumber.pbData[1], 0x10);
  EXPECT_EQ(info->rgCRLEntry[1].SerialNumber.pbData[0], 0x06);
  // Next update a week after this update.
  auto ticks = [](const FILETIME& f) {
    return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
  };
  EXPECT_EQ((ticks(info->NextUpdate) - ticks(info->ThisUpdate)) / 10000000ULL,
            7u * 86400u);
  EXPECT_GE(info->cExtension, 1u);  // the CRL number

  PCCRL_CONTEXT dup = CertDuplicateCRLContext(crl);
  EXPECT_EQ(dup, crl);
  EXPECT_TRUE(CertFreeCRLContext(owner.release()));
  EXPECT_EQ(dup->pCrlInfo->cCRLEntry, 2u);  // still alive through the copy
  EXPECT_TRUE(CertFreeCRLContext(dup));
  EXPECT_TRUE(CertFreeCRLContext(nullptr));
  // Freed already: refused, not a double free.
  EXPECT_FALSE(CertFreeCRLContext(dup));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
}

TEST(CrlContext, BadInputFailsCleanly) {
  Bytes der = Crl();
  EXPECT_EQ(CertCreateCRLContext(X509_ASN_ENCODING, nullptr, 10), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CertCreateCRLContext(X509_ASN_ENCODING, der.data(), 0), nullptr);
  EXPECT_EQ(CertCreateCRLContext(PKCS_7_ASN_ENCODING, der.data(),
                                 static_cast<DWORD>(der.size())),
            nullptr);
  // Every truncation is refused; copied into an exact-size buffer so that a
  // read past the end would be seen by the sanitizers.
  for (size_t n = 1; n < der.size(); ++n) {
    std::vector<unsigned char> cut(der.begin(), der.begin() + n);
    PCCRL_CONTEXT c = CertCreateCRLContext(X509_ASN_ENCODING, cut.data(),
                                           static_cast<DWORD>(n));
    EXPECT_EQ(c, nullptr) << "accepted " << n << " bytes";
    if (c) CertFreeCRLContext(c);
    EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
  }
  // An outer length claiming far more than there is.
  Bytes lying = {0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 0x30, 0x00};
  EXPECT_EQ(CertCreateCRLContext(X509_ASN_ENCODING, lying.data(),
                                 static_cast<DWORD>(lying.size())),
            nullptr);
  // Random damage never crashes; whatever parses must be self-consistent.
  std::mt19937 rng(7);
  for (int i = 0; i < 3000; ++i) {
    Bytes bad = der;
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < flips; ++k)
      bad[rng() % bad.size()] ^= 1u << (rng() % 8);
    PCCRL_CONTEXT c = CertCreateCRLContext(X509_ASN_ENCODING, bad.data(),
                                           static_cast<DWORD>(bad.size()));
    if (c) {
      EXPECT_LE(c->pCrlInfo->cCRLEntry, bad.size());
      CertFreeCRLContext(c);
    }
  }
}

TEST(CertificateSignature, GoodTamperedAndWrongKey) {
  const CertHandle inter_owner(Cert("inter"));
  const CertHandle root_owner(Cert("root"));
  PCCERT_CONTEXT inter = inter_owner.get();
  PCCERT_CONTEXT root = root_owner.get();
  ASSERT_NE(inter, nullptr);
  ASSERT_NE(root, nullptr);
  Bytes good = Pki::Get().Der("good");
  EXPECT_TRUE(CryptVerifyCertificateSignature(
      0, X509_ASN_ENCODING, good.data(), static_cast<DWORD>(good.size()),
      &inter->pCertInfo->SubjectPublicKeyInfo))
      << std::hex << GetLastError();
  // Signed by the intermediate, not the root.
  EXPECT_FALSE(CryptVerifyCertificateSignature(
      0, X509_ASN_ENCODING, good.data(), static_cast<DWORD>(good.size()),
      &root->pCertInfo->SubjectPublicKeyInfo));
  EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
  // One changed byte in the signed part.
  Bytes tampered = good;
  tampered[40] ^= 0x01;
  EXPECT_FALSE(
      CryptVerifyCertificateSignature(0, X509_ASN_ENCODING, tampered.data(),
                                      static_cast<DWORD>(tampered.size()),
                                      &inter->pCertInfo->SubjectPublicKeyInfo));
  // The CRL is signed the same way.
  Bytes crl = Crl();
  EXPECT_TRUE(CryptVerifyCertificateSignature(
      0, X509_ASN_ENCODING, crl.data(), static_cast<DWORD>(crl.size()),
      &inter->pCertInfo->SubjectPublicKeyInfo))
      << std::hex << GetLastError();
  // Truncated and missing input.
  EXPECT_FALSE(CryptVerifyCertificateSignature(
      0, X509_ASN_ENCODING, good.data(), static_cast<DWORD>(good.size() - 3),
      &inter->pCertInfo->SubjectPublicKeyInfo));
  EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
  EXPECT_FALSE(CryptVerifyCertificateSignature(0, X509_ASN_ENCODING,
                                               good.data(), 100, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
