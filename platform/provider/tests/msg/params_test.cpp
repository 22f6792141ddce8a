// What callers read from messages and change in them: parameters in the
// CryptoAPI conventions, the controls, and the error codes they rely on.
#include <algorithm>
#include <cstring>

#include "msg_test_util.h"
#include "provider_test.h"

namespace msg_test {
namespace {

using tavrix_test::CertHandle;
using tavrix_test::MsgHandle;

class Params : public ::testing::Test {
 protected:
  void SetUp() override {
    a_.reset(new Signer(Kinds()[1]));
    b_.reset(new Signer(Kinds()[2]));
    ASSERT_TRUE(a_->ok() && b_->ok()) << std::hex << GetLastError();
  }
  std::unique_ptr<Signer> a_, b_;
};

TEST_F(Params, TwoSignersAndTheirInformation) {
  Bytes data = Pattern(777);
  CMSG_SIGNER_ENCODE_INFO second = b_->Info();
  static BYTE utc[] = {0x17, 0x0d, '2', '6', '0', '1', '0', '2',
                       '0',  '3',  '0', '4', '0', '5', 'Z'};
  CRYPT_ATTR_BLOB tv{sizeof utc, utc};
  CRYPT_ATTRIBUTE time{const_cast<char*>(szOID_RSA_signingTime), 1, &tv};
  second.cAuthAttr = 1;
  second.rgAuthAttr = &time;
  Bytes msg = Sign({a_->Info(), second}, {a_->Blob(), b_->Blob()}, data, false);
  ASSERT_FALSE(msg.empty()) << std::hex << GetLastError();

  MsgHandle m_owner(Decode(msg));
  HCRYPTMSG m = m_owner.get();
  ASSERT_NE(m, nullptr);
  DWORD v = 0, n = sizeof(v);
  ASSERT_TRUE(CryptMsgGetParam(m, CMSG_TYPE_PARAM, 0, &v, &n));
  EXPECT_EQ(v, DWORD(CMSG_SIGNED));
  ASSERT_TRUE(CryptMsgGetParam(m, CMSG_SIGNER_COUNT_PARAM, 0, &v, &n));
  EXPECT_EQ(v, 2u);
  ASSERT_TRUE(CryptMsgGetParam(m, CMSG_CERT_COUNT_PARAM, 0, &v, &n));
  EXPECT_EQ(v, 2u);
  Bytes cert;
  ASSERT_TRUE(GetBytes(m, CMSG_CERT_PARAM, 1, &cert));
  EXPECT_EQ(cert, b_->pki().der);

  // Signer 0: no attributes; signer 1: contentType and messageDigest added
  // to the caller's signingTime.
  Flat<CMSG_SIGNER_INFO> s0, s1;
  ASSERT_TRUE(GetFlat(m, CMSG_SIGNER_INFO_PARAM, 0, &s0));
  ASSERT_TRUE(GetFlat(m, CMSG_SIGNER_INFO_PARAM, 1, &s1));
  EXPECT_EQ(s0.get()->AuthAttrs.cAttr, 0u);
  EXPECT_STREQ(s0.get()->HashAlgorithm.pszObjId, szOID_CP_GOST_R3411_12_256);
  EXPECT_STREQ(s0.get()->HashEncryptionAlgorithm.pszObjId,
               szOID_CP_GOST_R3410_12_256);
  EXPECT_STREQ(s1.get()->HashAlgorithm.pszObjId, szOID_CP_GOST_R3411_12_512);
  ASSERT_EQ(s1.get()->AuthAttrs.cAttr, 3u);
  std::vector<std::string> oids;
  for (DWORD i = 0; i < 3; ++i)
    oids.push_back(s1.get()->AuthAttrs.rgAttr[i].pszObjId);
  std::sort(oids.begin(), oids.end());
  EXPECT_EQ(oids, (std::vector<std::string>{szOID_RSA_contentType,
                                            szOID_RSA_messageDigest,
                                            szOID_RSA_signingTime}));
  // Serial numbers least significant byte first, as in CERT_INFO.
  const CRYPT_INTEGER_BLOB& want = a_->cert()->pCertInfo->SerialNumber;
  EXPECT_TRUE(CertCompareIntegerBlob(&s0.get()->SerialNumber,
                                     const_cast<CRYPT_INTEGER_BLOB*>(&want)));
  Bytes lsb(s0.get()->SerialNumber.pbData,
            s0.get()->SerialNumber.pbData + s0.get()->SerialNumber.cbData);
  while (lsb.size() > 1 && lsb.back() == 0) lsb.pop_back();
  std::string hex;
  for (auto it = lsb.rbegin(); it != lsb.rend(); ++it) {
    char b[3];
    snprintf(b, sizeof b, "%02X", *it);
    hex += b;
  }
  std::string pki_serial = a_->pki().serialHex;
  pki_serial.erase(
      0, std::min(pki_serial.find_first_not_of('0'), pki_serial.size() - 1));
  EXPECT_EQ(hex, pki_serial);
  // The signature value as it stands in the message.
  Bytes sig(s0.get()->EncryptedHash.pbData,
            s0.get()->EncryptedHash.pbData + s0.get()->EncryptedHash.cbData);
  EXPECT_EQ(sig.size(), 64u);
  EXPECT_NE(std::search(msg.begin(), msg.end(), sig.begin(), sig.end()),
            msg.end());
  Flat<CMSG_SIGNER_INFO> s512;
  ASSERT_TRUE(GetFlat(m, CMSG_SIGNER_INFO_PARAM, 1, &s512));
  EXPECT_EQ(s512.get()->EncryptedHash.cbData, 128u);

  Flat<CERT_INFO> id;
  ASSERT_TRUE(GetFlat(m, CMSG_SIGNER_CERT_INFO_PARAM, 1, &id));
  EXPECT_TRUE(CertCompareCertificateName(kEnc, &id.get()->Issuer,
                                         &b_->cert()->pCertInfo->Issuer));

  Flat<CMSG_CMS_SIGNER_INFO> cms;
  ASSERT_TRUE(GetFlat(m, CMSG_CMS_SIGNER_INFO_PARAM, 0, &cms));
  EXPECT_EQ(cms.get()->SignerId.dwIdChoice,
            DWORD(CERT_ID_ISSUER_SERIAL_NUMBER));

  // The computed hash is the content's hash.
  HCRYPTHASH h = 0;
  HCRYPTPROV prov = 0;
  ASSERT_TRUE(CryptAcquireContextA(&prov, nullptr, nullptr, PROV_GOST_2012_256,
                                   CRYPT_VERIFYCONTEXT));
  ASSERT_TRUE(CryptCreateHash(prov, CALG_GR3411_2012_256, 0, 0, &h));
  ASSERT_TRUE(
      CryptHashData(h, data.data(), static_cast<DWORD>(data.size()), 0));
  Bytes expect(32);
  n = 32;
  ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, expect.data(), &n, 0));
  CryptDestroyHash(h);
  CryptReleaseContext(prov, 0);
  Bytes computed;
  ASSERT_TRUE(GetBytes(m, CMSG_COMPUTED_HASH_PARAM, 0, &computed));
  EXPECT_EQ(computed, expect);

  // Both signers verify, each with its own certificate only.
  EXPECT_TRUE(
      CryptMsgControl(m, 0, CMSG_CTRL_VERIFY_SIGNATURE, a_->cert()->pCertInfo));
  CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA vp{};
  vp.cbSize = sizeof(vp);
  vp.dwSignerIndex = 1;
  vp.dwSignerType = CMSG_VERIFY_SIGNER_PUBKEY;
  vp.pvSigner = &b_->cert()->pCertInfo->SubjectPublicKeyInfo;
  EXPECT_TRUE(CryptMsgControl(m, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &vp));
  vp.pvSigner = &a_->cert()->pCertInfo->SubjectPublicKeyInfo;
  EXPECT_FALSE(CryptMsgControl(m, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &vp));
  m_owner.reset();

  CRYPT_VERIFY_MESSAGE_PARA p{};
  p.cbSize = sizeof(p);
  p.dwMsgAndCertEncodingType = kEnc;
  CertHandle who;
  ASSERT_TRUE(CryptVerifyMessageSignature(&p, 1, msg.data(),
                                          static_cast<DWORD>(msg.size()),
                                          nullptr, nullptr, who.out()));
  ASSERT_NE(who.get(), nullptr);
  EXPECT_TRUE(CertCompareCertificate(kEnc, who.get()->pCertInfo,
                                     b_->cert()->pCertInfo));
  who.reset();
  EXPECT_FALSE(CryptVerifyMessageSignature(&p, 2, msg.data(),
                                           static_cast<DWORD>(msg.size()),
                                           nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), CRYPT_E_NO_SIGNER);
}

TEST_F(Params, BuffersAndStatesFollowTheConventions) {
  Bytes data = Pattern(100);
  CMSG_SIGNER_ENCODE_INFO si = a_->Info();
  CERT_BLOB cert = a_->Blob();
  CMSG_SIGNED_ENCODE_INFO info = EncodeInfo(&si, 1, &cert, 1);
  HCRYPTMSG m = CryptMsgOpenToEncode(kEnc, CMSG_GOST_OPEN_FLAG, CMSG_SIGNED,
                                     &info, nullptr, nullptr);
  ASSERT_NE(m, nullptr);
  DWORD n = 0;
  // Nothing to give before the final update.
  EXPECT_FALSE(CryptMsgGetParam(m, CMSG_CONTENT_PARAM, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), CRYPT_E_STREAM_MSG_NOT_READY);
  ASSERT_TRUE(CryptMsgUpdate(m, data.data(), 60, FALSE));
  ASSERT_TRUE(CryptMsgUpdate(m, data.data() + 60, 40, TRUE));
  EXPECT_FALSE(CryptMsgUpdate(m, data.data(), 1, TRUE));
  ASSERT_TRUE(CryptMsgGetParam(m, CMSG_CONTENT_PARAM, 0, nullptr, &n));
  Bytes small(n - 1);
  DWORD sn = n - 1;
  EXPECT_FALSE(CryptMsgGetParam(m, CMSG_CONTENT_PARAM, 0, small.data(), &sn));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(sn, n);
  Bytes whole, bare, encoded;
  ASSERT_TRUE(GetBytes(m, CMSG_CONTENT_PARAM, 0, &whole));
  ASSERT_TRUE(GetBytes(m, CMSG_BARE_CONTENT_PARAM, 0, &bare));
  ASSERT_TRUE(GetBytes(m, CMSG_ENCODED_MESSAGE, 0, &encoded));
  // On an encoded message the content is the whole ContentInfo; the bare
  // content is the SignedData inside it.
  EXPECT_EQ(whole, encoded);
  ASSERT_LT(bare.size(), whole.size());
  EXPECT_TRUE(std::equal(bare.begin(), bare.end(), whole.end() - bare.size()));
  // A duplicate outlives the original's close.
  HCRYPTMSG dup = CryptMsgDuplicate(m);
  EXPECT_EQ(dup, m);
  EXPECT_TRUE(CryptMsgClose(m));
  Bytes again;
  EXPECT_TRUE(GetBytes(dup, CMSG_CONTENT_PARAM, 0, &again));
  EXPECT_EQ(again, whole);
  EXPECT_TRUE(CryptMsgClose(dup));
  EXPECT_FALSE(CryptMsgUpdate(dup, data.data(), 1, TRUE));
  EXPECT_TRUE(CryptMsgClose(nullptr));

  // On a decoded message the content is the data itself.
  MsgHandle d_owner(Decode(whole));
  HCRYPTMSG d = d_owner.get();
  ASSERT_NE(d, nullptr);
  Bytes content;
  ASSERT_TRUE(GetBytes(d, CMSG_CONTENT_PARAM, 0, &content));
  EXPECT_EQ(content, data);
  n = 0;
  EXPECT_FALSE(CryptMsgGetParam(d, CMSG_SIGNER_INFO_PARAM, 5, nullptr, &n));
  EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_INDEX);
  EXPECT_FALSE(CryptMsgControl(d, 0, 999, nullptr));
  EXPECT_EQ(GetLastError(), CRYPT_E_CONTROL_TYPE);
  d_owner.reset();
}

TEST_F(Params, NotAMessageAndWrongArguments) {
  // Plain text is not a CMS message: the callers tell nested content by
  // this very code.
  Bytes text = {'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(Decode(text), nullptr);
  EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
  Bytes zero = {'0', '1', '2', '3'};
  EXPECT_EQ(Decode(zero), nullptr);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(
      CryptMsgOpenToEncode(kEnc, 0, CMSG_HASHED, nullptr, nullptr, nullptr),
      nullptr);
  EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_MSG_TYPE);
  CMSG_SIGNER_ENCODE_INFO si = a_->Info();
  si.HashAlgorithm.pszObjId = const_cast<char*>("1.2.3.4");
  CMSG_SIGNED_ENCODE_INFO info = EncodeInfo(&si, 1);
  EXPECT_EQ(CryptMsgOpenToEncode(kEnc, 0, CMSG_SIGNED, &info, nullptr, nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), CRYPT_E_UNKNOWN_ALGO);
  EXPECT_FALSE(
      CryptMsgUpdate(reinterpret_cast<HCRYPTMSG>(&info), nullptr, 0, TRUE));
  EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
  // Every code set here has a text for the error envelope.
  for (DWORD code :
       {CRYPT_E_ASN1_BADTAG, CRYPT_E_HASH_VALUE, NTE_BAD_SIGNATURE,
        CRYPT_E_STREAM_MSG_NOT_READY, CRYPT_E_NO_SIGNER, CRYPT_E_ASN1_EOD,
        CRYPT_E_ASN1_CORRUPT, CRYPT_E_ASN1_LARGE, CRYPT_E_INVALID_INDEX,
        CRYPT_E_SIGNER_NOT_FOUND, CRYPT_E_STREAM_INSUFFICIENT_DATA,
        CRYPT_E_UNKNOWN_ALGO, CRYPT_E_AUTH_ATTR_MISSING, CRYPT_E_MSG_ERROR,
        static_cast<DWORD>(ERROR_MORE_DATA)}) {
    char buf[512] = {};
    EXPECT_GT(FormatMessageA(
                  FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                  nullptr, code, 0, buf, sizeof buf, nullptr),
              0u)
        << std::hex << code;
  }
}

// The hash-signing path of the controller: a placeholder message's signer
// is replaced by one whose signature was made over a given hash.
TEST_F(Params, SignerReplacedThroughControls) {
  Bytes data = Pattern(4321, 17);
  Bytes placeholder =
      Sign({a_->Info()}, {a_->Blob()}, Bytes{0x00, 0x0B, 0x16}, true);
  ASSERT_FALSE(placeholder.empty());

  HCRYPTHASH h = 0;
  ASSERT_TRUE(
      CryptCreateHash(a_->Info().hCryptProv, CALG_GR3411_2012_256, 0, 0, &h));
  ASSERT_TRUE(
      CryptHashData(h, data.data(), static_cast<DWORD>(data.size()), 0));
  DWORD n = 0;
  ASSERT_TRUE(CryptSignHashW(h, AT_KEYEXCHANGE, nullptr, 0, nullptr, &n));
  Bytes sig(n);
  ASSERT_TRUE(CryptSignHashW(h, AT_KEYEXCHANGE, nullptr, 0, sig.data(), &n));
  CryptDestroyHash(h);
  std::reverse(sig.begin(), sig.end());

  MsgHandle m_owner(Decode(placeholder));
  HCRYPTMSG m = m_owner.get();
  ASSERT_NE(m, nullptr);
  Flat<CMSG_CMS_SIGNER_INFO> si;
  ASSERT_TRUE(GetFlat(m, CMSG_CMS_SIGNER_INFO_PARAM, 0, &si));
  si.get()->EncryptedHash.pbData = sig.data();
  si.get()->EncryptedHash.cbData = static_cast<DWORD>(sig.size());
  ASSERT_TRUE(CryptMsgControl(m, CMSG_GOST_OPEN_FLAG,
                              CMSG_CTRL_ADD_CMS_SIGNER_INFO, si.get()));
  DWORD index = 0;
  ASSERT_TRUE(
      CryptMsgControl(m, CMSG_GOST_OPEN_FLAG, CMSG_CTRL_DEL_SIGNER, &index));
  index = 7;
  EXPECT_FALSE(CryptMsgControl(m, 0, CMSG_CTRL_DEL_SIGNER, &index));
  EXPECT_EQ(GetLastError(), CRYPT_E_INVALID_INDEX);

  // An unsigned attribute goes in and out again.
  Bytes attr = {0x30, 0x0d, 0x06, 0x06, 0x2a, 0x85, 0x03, 0x02,
                0x02, 0x09, 0x31, 0x03, 0x04, 0x01, 0x55};
  CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA add{
      sizeof(add), 0, {static_cast<DWORD>(attr.size()), attr.data()}};
  ASSERT_TRUE(CryptMsgControl(m, 0, CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR, &add));
  Flat<CRYPT_ATTRIBUTES> ua;
  ASSERT_TRUE(GetFlat(m, CMSG_SIGNER_UNAUTH_ATTR_PARAM, 0, &ua));
  ASSERT_EQ(ua.get()->cAttr, 1u);
  EXPECT_STREQ(ua.get()->rgAttr[0].pszObjId, "1.2.643.2.2.9");
  CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR_PARA del{sizeof(del), 0, 0};
  ASSERT_TRUE(CryptMsgControl(m, 0, CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR, &del));
  EXPECT_FALSE(CryptMsgControl(m, 0, CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR, &del));
  // A second certificate can be carried too.
  CERT_BLOB extra = b_->Blob();
  ASSERT_TRUE(CryptMsgControl(m, 0, CMSG_CTRL_ADD_CERT, &extra));

  Bytes out;
  ASSERT_TRUE(GetBytes(m, CMSG_ENCODED_MESSAGE, 0, &out));
  m_owner.reset();
  EXPECT_TRUE(VerifyDetached(out, data)) << std::hex << GetLastError();
  MsgHandle again_owner(Decode(out));
  HCRYPTMSG again = again_owner.get();
  ASSERT_NE(again, nullptr);
  DWORD count = 0;
  n = sizeof(count);
  ASSERT_TRUE(CryptMsgGetParam(again, CMSG_CERT_COUNT_PARAM, 0, &count, &n));
  EXPECT_EQ(count, 2u);
  ASSERT_TRUE(CryptMsgGetParam(again, CMSG_SIGNER_COUNT_PARAM, 0, &count, &n));
  EXPECT_EQ(count, 1u);
  again_owner.reset();
}

}  // namespace
}  // namespace msg_test

namespace msg_test {
namespace {

// A serial number is carried whole however long it is (one of more than
// 127 octets has a long-form length of its own).
TEST(SignerId, LongSerialNumberKeptWhole) {
  Signer s(Kinds()[1]);
  ASSERT_TRUE(s.ok());
  for (size_t len : {size_t(1), size_t(20), size_t(130)}) {
    Bytes serial = Pattern(len, 7);
    serial.back() &= 0x7F;  // positive as it stands (least significant first)
    CMSG_SIGNER_ENCODE_INFO si = s.Info();
    si.cbSize = sizeof(si);
    si.SignerId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
    si.SignerId.IssuerSerialNumber.Issuer = s.cert()->pCertInfo->Issuer;
    si.SignerId.IssuerSerialNumber.SerialNumber = {DWORD(len), serial.data()};
    Bytes msg = Sign({si}, {}, Pattern(10), false);
    ASSERT_FALSE(msg.empty()) << len;
    HCRYPTMSG m = Decode(msg);
    ASSERT_NE(m, nullptr) << len;
    Flat<CERT_INFO> ci;
    EXPECT_TRUE(GetFlat(m, CMSG_SIGNER_CERT_INFO_PARAM, 0, &ci)) << len;
    EXPECT_EQ(
        Bytes(ci.get()->SerialNumber.pbData,
              ci.get()->SerialNumber.pbData + ci.get()->SerialNumber.cbData),
        serial)
        << len;
    CryptMsgClose(m);
  }
}

// The length announced before encoding is the length the encoding takes.
TEST(EncodedLength, MatchesTheEncoding) {
  const Bytes data = Pattern(777);
  for (const KeyKind& kind : Kinds()) {
    Signer s(kind);
    ASSERT_TRUE(s.ok()) << kind.name;
    for (DWORD flags : {0u, DWORD(CMSG_DETACHED_FLAG),
                        DWORD(CMSG_AUTHENTICATED_ATTRIBUTES_FLAG)}) {
      CMSG_SIGNER_ENCODE_INFO si = s.Info();
      CERT_BLOB cert = s.Blob();
      CMSG_SIGNED_ENCODE_INFO info = EncodeInfo(&si, 1, &cert, 1);
      Bytes msg = Sign({si}, {cert}, data, flags & CMSG_DETACHED_FLAG,
                       flags & ~DWORD(CMSG_DETACHED_FLAG));
      ASSERT_FALSE(msg.empty()) << kind.name << " " << flags;
      EXPECT_EQ(CryptMsgCalculateEncodedLength(kEnc, flags, CMSG_SIGNED, &info,
                                               nullptr, DWORD(data.size())),
                msg.size())
          << kind.name << " " << flags;
    }
  }
  // ContentInfo { data, [0] OCTET STRING }, and the bare OCTET STRING.
  EXPECT_EQ(
      CryptMsgCalculateEncodedLength(kEnc, 0, CMSG_DATA, nullptr, nullptr, 777),
      800u);
  EXPECT_EQ(CryptMsgCalculateEncodedLength(kEnc, CMSG_BARE_CONTENT_FLAG,
                                           CMSG_DATA, nullptr, nullptr, 777),
            781u);
}

}  // namespace
}  // namespace msg_test
