// Signed messages against the OpenSSL GOST engine, both directions, for
// every GOST key size, attached and detached, with and without signed
// attributes.
#include <algorithm>
#include <cstring>

#include "msg_test_util.h"

namespace msg_test {
namespace {

// The message with one bit changed inside the first signer's signature value.
Bytes FlipInSignature(const Bytes& msg) {
  HCRYPTMSG m = Decode(msg);
  Bytes sig;
  EXPECT_TRUE(m && GetBytes(m, CMSG_ENCRYPTED_DIGEST, 0, &sig));
  CryptMsgClose(m);
  Bytes bad = msg;
  auto at = std::search(bad.begin(), bad.end(), sig.begin(), sig.end());
  EXPECT_NE(at, bad.end());
  if (at != bad.end()) at[sig.size() / 2] ^= 0x40;
  return bad;
}

class Interop : public ::testing::TestWithParam<KeyKind> {
 protected:
  void SetUp() override {
    if (!HaveGostEngine()) GTEST_SKIP() << "no OpenSSL GOST engine";
    signer_.reset(new Signer(GetParam()));
    ASSERT_TRUE(signer_->ok()) << std::hex << GetLastError();
    data_ = Pattern(5000, 7);
    WriteFileBytes(dir_.File("data.bin"), data_);
  }

  // openssl cms -verify with the signer's own certificate as trust anchor
  // (-noverify: the chain is not what is tested here).
  int OpensslVerify(const Bytes& msg, bool detached) {
    WriteFileBytes(dir_.File("m.p7s"), msg);
    std::string cmd =
        "openssl cms -verify -engine gost -binary -noverify "
        "-inform DER -in " +
        ShellQuote(dir_.File("m.p7s")) + " -out " +
        ShellQuote(dir_.File("out.bin"));
    if (detached) cmd += " -content " + ShellQuote(dir_.File("data.bin"));
    return RunCommand(cmd + " >/dev/null 2>&1").exitCode;
  }

  Bytes OpensslSign(const std::string& extra) {
    const auto& c = signer_->pki();
    std::string cmd =
        "openssl cms -sign -engine gost -binary -outform DER"
        " -md " +
        MdName() + " -in " + ShellQuote(dir_.File("data.bin")) + " -signer " +
        ShellQuote(c.certPem) + " -inkey " + ShellQuote(c.keyPem) + " -out " +
        ShellQuote(dir_.File("o.p7s")) + " " + extra;
    if (RunCommand(cmd + " >/dev/null 2>&1").exitCode != 0) return {};
    return ReadFileBytes(dir_.File("o.p7s"));
  }

  std::string MdName() const {
    const std::string n = GetParam().name;
    if (n == "gost2001") return "md_gost94";
    return n == "gost2012_256" ? "md_gost12_256" : "md_gost12_512";
  }

  TempDir dir_;
  std::unique_ptr<Signer> signer_;
  Bytes data_;
};

TEST_P(Interop, OurMessagesVerifyWithOpenssl) {
  CMSG_SIGNER_ENCODE_INFO plain = signer_->Info();
  CMSG_SIGNER_ENCODE_INFO with_attrs = signer_->Info();
  // signingTime as a caller passes it: contentType and messageDigest are
  // added by the encoder.
  static BYTE utc[] = {0x17, 0x0d, '2', '6', '0', '1', '0', '2',
                       '0',  '3',  '0', '4', '0', '5', 'Z'};
  CRYPT_ATTR_BLOB tv{sizeof utc, utc};
  CRYPT_ATTRIBUTE time{const_cast<char*>(szOID_RSA_signingTime), 1, &tv};
  with_attrs.cAuthAttr = 1;
  with_attrs.rgAuthAttr = &time;
  for (const CMSG_SIGNER_ENCODE_INFO* si : {&plain, &with_attrs}) {
    for (bool detached : {true, false}) {
      SCOPED_TRACE(std::string(si == &plain ? "no attributes" : "attributes") +
                   (detached ? ", detached" : ", attached"));
      Bytes msg =
          Sign({*si}, {signer_->Blob()}, data_, detached, CMSG_GOST_OPEN_FLAG);
      ASSERT_FALSE(msg.empty()) << std::hex << GetLastError();
      EXPECT_EQ(OpensslVerify(msg, detached), 0);
      if (!detached) {
        EXPECT_EQ(ReadFileBytes(dir_.File("out.bin")), data_);
      }
      // And with ourselves.
      if (detached) {
        EXPECT_TRUE(VerifyDetached(msg, data_)) << std::hex << GetLastError();
      } else {
        Bytes content;
        EXPECT_TRUE(VerifyAttached(msg, &content))
            << std::hex << GetLastError();
        EXPECT_EQ(content, data_);
      }
    }
  }
}

TEST_P(Interop, OpensslMessagesVerifyHereAndTamperingIsCaught) {
  struct Case {
    const char* args;
    bool detached;
    bool attrs;
  } cases[] = {{"", true, true},
               {"-nodetach", false, true},
               {"-noattr", true, false},
               {"-noattr -nodetach", false, false},
               {"-nodetach -stream", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    Bytes msg = OpensslSign(c.args);
    ASSERT_FALSE(msg.empty());
    if (c.detached) {
      PCCERT_CONTEXT who = nullptr;
      EXPECT_TRUE(VerifyDetached(msg, data_, &who))
          << std::hex << GetLastError();
      ASSERT_NE(who, nullptr);
      EXPECT_EQ(
          Bytes(who->pbCertEncoded, who->pbCertEncoded + who->cbCertEncoded),
          signer_->pki().der);
      CertFreeCertificateContext(who);
      Bytes other = data_;
      other[100] ^= 1;
      EXPECT_FALSE(VerifyDetached(msg, other));
      EXPECT_EQ(GetLastError(),
                c.attrs ? CRYPT_E_HASH_VALUE : NTE_BAD_SIGNATURE);
    } else {
      Bytes content;
      EXPECT_TRUE(VerifyAttached(msg, &content)) << std::hex << GetLastError();
      EXPECT_EQ(content, data_);
      // A size query on a bad signature still tells the content's size, so
      // the second call of the two-call convention gets a fitting buffer.
      Bytes bad = FlipInSignature(msg);
      CRYPT_VERIFY_MESSAGE_PARA p{};
      p.cbSize = sizeof(p);
      p.dwMsgAndCertEncodingType = kEnc;
      DWORD n = 0;
      EXPECT_FALSE(CryptVerifyMessageSignature(&p, 0, bad.data(),
                                               static_cast<DWORD>(bad.size()),
                                               nullptr, &n, nullptr));
      EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
      EXPECT_EQ(n, data_.size());
    }
    // A flipped bit in the signature value is a bad signature.
    Bytes bad = FlipInSignature(msg);
    EXPECT_FALSE(c.detached ? VerifyDetached(bad, data_) : VerifyAttached(bad));
    EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, Interop, ::testing::ValuesIn(Kinds()),
                         [](const ::testing::TestParamInfo<KeyKind>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
}  // namespace msg_test
