// Signed messages published as examples with the TC 26 recommendations for
// CMS under GOST R 34.10-2012 (one with a 512-bit key and signed attributes,
// one with a 256-bit key and none), made by another implementation and
// carrying their signer certificates: they must decode and verify with the
// certificates inside them, and a changed byte must not.
#include <capi/capi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "provider_test.h"

namespace {

using tavrix_test::MsgHandle;

std::vector<BYTE> ReadPem(const std::string& name) {
  return tavrix_test::ReadPemFile(std::string(MSG_TEST_DATA_DIR) + "/" + name);
}

// "Контрольный пример для структуры SignedData." in windows-1251, as the
// examples carry it.
const std::string kContent =
    "\xCA\xEE\xED\xF2\xF0\xEE\xEB\xFC\xED\xFB\xE9 \xEF\xF0\xE8\xEC\xE5\xF0 "
    "\xE4\xEB\xFF \xF1\xF2\xF0\xF3\xEA\xF2\xF3\xF0\xFB SignedData.";

struct Example {
  const char* file;
  const char* hash_oid;
};

class PublishedExample : public ::testing::TestWithParam<Example> {};

TEST_P(PublishedExample, VerifiesWithItsOwnCertificateAndNotWhenChanged) {
  std::vector<BYTE> msg = ReadPem(GetParam().file);
  ASSERT_GT(msg.size(), 500u);

  CRYPT_VERIFY_MESSAGE_PARA para = {};
  para.cbSize = sizeof para;
  para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  DWORD n = 0;
  ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, msg.data(),
                                          static_cast<DWORD>(msg.size()),
                                          nullptr, &n, nullptr))
      << std::hex << GetLastError();
  std::vector<BYTE> content(n);
  PCCERT_CONTEXT signer = nullptr;
  ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, msg.data(),
                                          static_cast<DWORD>(msg.size()),
                                          content.data(), &n, &signer));
  EXPECT_EQ(std::string(content.begin(), content.begin() + n), kContent);
  ASSERT_NE(signer, nullptr);
  EXPECT_EQ(signer->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId,
            std::string(strcmp(GetParam().hash_oid, "1.2.643.7.1.1.2.3") == 0
                            ? "1.2.643.7.1.1.1.2"
                            : "1.2.643.7.1.1.1.1"));
  CertFreeCertificateContext(signer);

  // The decoder reports the digest algorithm the example names.
  const MsgHandle owner(CryptMsgOpenToDecode(
      X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
  HCRYPTMSG h = owner.get();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(
      CryptMsgUpdate(h, msg.data(), static_cast<DWORD>(msg.size()), TRUE));
  DWORD cb = 0;
  ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &cb));
  std::vector<BYTE> si(cb);
  ASSERT_TRUE(CryptMsgGetParam(h, CMSG_SIGNER_INFO_PARAM, 0, si.data(), &cb));
  auto* info = reinterpret_cast<CMSG_SIGNER_INFO*>(si.data());
  EXPECT_STREQ(info->HashAlgorithm.pszObjId, GetParam().hash_oid);

  // A changed byte of the signature value (near the end of the message)
  // breaks it.
  std::vector<BYTE> bad = msg;
  bad[bad.size() - 5] ^= 1;
  EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, bad.data(),
                                           static_cast<DWORD>(bad.size()),
                                           nullptr, &n, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NTE_BAD_SIGNATURE));
}

INSTANTIATE_TEST_SUITE_P(
    Tc26, PublishedExample,
    ::testing::Values(Example{"tc26_signed_512.pem", "1.2.643.7.1.1.2.3"},
                      Example{"tc26_signed_256.pem", "1.2.643.7.1.1.2.2"}));

}  // namespace
