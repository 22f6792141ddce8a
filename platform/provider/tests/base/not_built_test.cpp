// The fall-backs compiled into this program alone: every unwritten call must
// fail and say why, never look like success.
#include <capi/capi.h>
#include <gtest/gtest.h>

namespace {

void ExpectNotImplemented() {
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
  SetLastError(0);
}

TEST(NotBuilt, EveryKindOfResultReadsAsFailure) {
  SetLastError(0);
  HCRYPTPROV prov = 7;
  EXPECT_FALSE(CryptAcquireContextA(&prov, "c", nullptr, PROV_GOST_2001_DH, 0));
  ExpectNotImplemented();
  HCRYPTHASH hash = 0;
  EXPECT_FALSE(CryptCreateHash(prov, CALG_GR3411, 0, 0, &hash));
  ExpectNotImplemented();
  EXPECT_EQ(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                          CERT_SYSTEM_STORE_CURRENT_USER, "MY"),
            nullptr);
  ExpectNotImplemented();
  EXPECT_EQ(CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0,
                                 0, nullptr, nullptr),
            nullptr);
  ExpectNotImplemented();
  EXPECT_EQ(CertOIDToAlgId("1.2.643.2.2.9"), 0u);
  ExpectNotImplemented();
  EXPECT_EQ(CertNameToStrW(X509_ASN_ENCODING, nullptr, CERT_X500_NAME_STR,
                           nullptr, 0),
            0u);
  ExpectNotImplemented();
  CERT_INFO info{};
  EXPECT_NE(CertVerifyTimeValidity(nullptr, &info), 0) << "0 means valid";
  ExpectNotImplemented();
  CertFreeCertificateChain(nullptr);
  ExpectNotImplemented();
}

}  // namespace
