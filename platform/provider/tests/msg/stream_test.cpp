// Streamed encoding and decoding: output through the callback as it is
// produced, definite lengths when the size is given and indefinite when it
// is not, and streamed input in pieces of any size.
#include <algorithm>

#include "msg_test_util.h"
#include "provider_test.h"

namespace msg_test {
namespace {

using tavrix_test::MsgHandle;

class Streaming : public ::testing::Test {
 protected:
  void SetUp() override {
    signer_.reset(new Signer(Kinds()[1]));
    ASSERT_TRUE(signer_->ok()) << std::hex << GetLastError();
  }

  // Encodes `data` in updates of `block` bytes through the stream callback.
  bool StreamSign(const Bytes& data, size_t block, bool detached, bool definite,
                  StreamSink* sink, bool attrs = false) {
    CMSG_SIGNER_ENCODE_INFO si = signer_->Info();
    CERT_BLOB cert = signer_->Blob();
    CMSG_SIGNED_ENCODE_INFO info = EncodeInfo(&si, 1, &cert, 1);
    CMSG_STREAM_INFO stream{};
    stream.cbContent =
        definite ? static_cast<DWORD>(data.size()) : CMSG_INDEFINITE_LENGTH;
    stream.pfnStreamOutput = &StreamSink::Cb;
    stream.pvArg = sink;
    DWORD flags = CMSG_GOST_OPEN_FLAG | (detached ? CMSG_DETACHED_FLAG : 0) |
                  (attrs ? CMSG_AUTHENTICATED_ATTRIBUTES_FLAG : 0);
    // The owner's close keeps the last error a failed update set.
    const MsgHandle m(CryptMsgOpenToEncode(kEnc, flags, CMSG_SIGNED, &info,
                                           nullptr, &stream));
    if (!m) return false;
    size_t at = 0;
    bool ok = true;
    do {
      size_t n = std::min(block, data.size() - at);
      ok = CryptMsgUpdate(m.get(), data.data() + at, static_cast<DWORD>(n),
                          at + n == data.size());
      at += n;
    } while (ok && at < data.size());
    return ok;
  }

  std::unique_ptr<Signer> signer_;
};

TEST_F(Streaming, EveryFormDecodesAndVerifies) {
  Bytes data = Pattern(120000, 3);
  for (bool detached : {false, true}) {
    for (bool definite : {true, false}) {
      for (bool attrs : {false, true}) {
        SCOPED_TRACE(::testing::Message()
                     << "detached=" << detached << " definite=" << definite
                     << " attrs=" << attrs);
        StreamSink sink;
        ASSERT_TRUE(StreamSign(data, 65536, detached, definite, &sink, attrs))
            << std::hex << GetLastError();
        EXPECT_EQ(sink.finals, 1);
        EXPECT_TRUE(sink.final_last);
        // Output came in pieces as it was produced, not all at the end.
        // Head, one piece per update when attached, and the tail.
        const int updates = static_cast<int>((data.size() + 65535) / 65536);
        EXPECT_GE(sink.calls, detached ? 2 : updates + 2);
        ASSERT_GT(sink.out.size(), 4u);
        EXPECT_EQ(sink.out[0], 0x30);
        // Indefinite outer length exactly when no size was given.
        EXPECT_EQ(sink.out[1] == 0x80, !definite);
        if (detached) {
          EXPECT_LT(sink.out.size(), 4000u);
          EXPECT_TRUE(VerifyDetached(sink.out, data))
              << std::hex << GetLastError();
        } else {
          Bytes content;
          EXPECT_TRUE(VerifyAttached(sink.out, &content))
              << std::hex << GetLastError();
          EXPECT_EQ(content, data);
        }
      }
    }
  }
}

// Definite lengths are announced before the signatures exist; they must
// hold for every key size and for several signers at once.
TEST_F(Streaming, AnnouncedLengthsHoldForEveryKeyAndSeveralSigners) {
  std::vector<std::unique_ptr<Signer>> all;
  std::vector<CMSG_SIGNER_ENCODE_INFO> infos;
  std::vector<CERT_BLOB> certs;
  for (const KeyKind& k : Kinds()) {
    all.emplace_back(new Signer(k));
    ASSERT_TRUE(all.back()->ok()) << k.name;
    infos.push_back(all.back()->Info());
    certs.push_back(all.back()->Blob());
  }
  static BYTE utc[] = {0x17, 0x0d, '2', '6', '0', '1', '0', '2',
                       '0',  '3',  '0', '4', '0', '5', 'Z'};
  CRYPT_ATTR_BLOB tv{sizeof utc, utc};
  CRYPT_ATTRIBUTE time{const_cast<char*>(szOID_RSA_signingTime), 1, &tv};
  infos[2].cAuthAttr = 1;
  infos[2].rgAuthAttr = &time;
  Bytes data = Pattern(3000, 21);
  CMSG_SIGNED_ENCODE_INFO info =
      EncodeInfo(infos.data(), infos.size(), certs.data(), certs.size());
  StreamSink sink;
  CMSG_STREAM_INFO stream{static_cast<DWORD>(data.size()), &StreamSink::Cb,
                          &sink};
  MsgHandle m(
      CryptMsgOpenToEncode(kEnc, 0, CMSG_SIGNED, &info, nullptr, &stream));
  ASSERT_NE(m.get(), nullptr) << std::hex << GetLastError();
  ASSERT_TRUE(CryptMsgUpdate(m.get(), data.data(), 1000, FALSE));
  ASSERT_TRUE(CryptMsgUpdate(m.get(), data.data() + 1000, 2000, TRUE))
      << std::hex << GetLastError();
  m.reset();
  const MsgHandle d(Decode(sink.out));
  ASSERT_NE(d.get(), nullptr) << std::hex << GetLastError();
  for (DWORD i = 0; i < 3; ++i) {
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA vp{};
    vp.cbSize = sizeof(vp);
    vp.dwSignerIndex = i;
    vp.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    vp.pvSigner = const_cast<CERT_CONTEXT*>(all[i]->cert());
    EXPECT_TRUE(CryptMsgControl(d.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &vp))
        << i << " " << std::hex << GetLastError();
  }
}

TEST_F(Streaming, OpensslAcceptsStreamedOutput) {
  if (!HaveGostEngine()) GTEST_SKIP() << "no OpenSSL GOST engine";
  TempDir dir;
  Bytes data = Pattern(100000, 9);
  WriteFileBytes(dir.File("data.bin"), data);
  for (bool definite : {true, false}) {
    for (bool detached : {false, true}) {
      SCOPED_TRACE(::testing::Message()
                   << "definite=" << definite << " detached=" << detached);
      StreamSink sink;
      ASSERT_TRUE(StreamSign(data, 7000, detached, definite, &sink, true));
      WriteFileBytes(dir.File("m.p7s"), sink.out);
      std::string cmd =
          "openssl cms -verify -engine gost -binary -noverify -inform DER "
          "-in " +
          ShellQuote(dir.File("m.p7s")) + " -out " +
          ShellQuote(dir.File("out.bin"));
      if (detached) cmd += " -content " + ShellQuote(dir.File("data.bin"));
      EXPECT_EQ(RunCommand(cmd + " >/dev/null 2>&1").exitCode, 0);
      if (!detached) {
        EXPECT_EQ(ReadFileBytes(dir.File("out.bin")), data);
      }
    }
  }
}

TEST_F(Streaming, ContentSizeIsEnforcedAndCallbackFailureFailsTheUpdate) {
  Bytes data = Pattern(1000);
  StreamSink sink;
  // More than announced.
  Bytes more = data;
  more.push_back(1);
  CMSG_SIGNER_ENCODE_INFO si = signer_->Info();
  CMSG_SIGNED_ENCODE_INFO info = EncodeInfo(&si, 1);
  CMSG_STREAM_INFO stream{1000, &StreamSink::Cb, &sink};
  MsgHandle m(
      CryptMsgOpenToEncode(kEnc, 0, CMSG_SIGNED, &info, nullptr, &stream));
  ASSERT_NE(m.get(), nullptr);
  EXPECT_FALSE(CryptMsgUpdate(m.get(), more.data(), 1001, TRUE));
  // Fewer than announced, then final.
  EXPECT_TRUE(CryptMsgUpdate(m.get(), data.data(), 500, FALSE));
  EXPECT_FALSE(CryptMsgUpdate(m.get(), nullptr, 0, TRUE));
  m.reset();

  StreamSink failing;
  failing.fail = true;
  stream.pvArg = &failing;
  m.reset(CryptMsgOpenToEncode(kEnc, 0, CMSG_SIGNED, &info, nullptr, &stream));
  ASSERT_NE(m.get(), nullptr);
  EXPECT_FALSE(CryptMsgUpdate(m.get(), data.data(), 1000, TRUE));
  EXPECT_NE(GetLastError(), 0u);
  // A streamed message has no content to give back.
  DWORD n = 0;
  EXPECT_FALSE(CryptMsgGetParam(m.get(), CMSG_CONTENT_PARAM, 0, nullptr, &n));
  EXPECT_EQ(GetLastError(), CRYPT_E_STREAM_MSG_NOT_READY);
}

TEST_F(Streaming, DecodeInPiecesOfAnySizeGivesTheSameResult) {
  Bytes data = Pattern(20000, 5);
  StreamSink indefinite;
  ASSERT_TRUE(StreamSign(data, 3000, false, false, &indefinite, true));
  Bytes definite = Sign({signer_->Info()}, {signer_->Blob()}, data, false);
  ASSERT_FALSE(definite.empty());
  for (const Bytes* msg : {&definite, &indefinite.out}) {
    for (size_t piece : {size_t(1), size_t(2), size_t(7), size_t(1000),
                         size_t(4096), size_t(0)}) {
      SCOPED_TRACE(::testing::Message() << "piece " << piece);
      const MsgHandle owner(Decode(*msg, piece));
      HCRYPTMSG m = owner.get();
      ASSERT_NE(m, nullptr) << std::hex << GetLastError();
      Bytes content;
      EXPECT_TRUE(GetBytes(m, CMSG_CONTENT_PARAM, 0, &content));
      EXPECT_EQ(content, data);
      DWORD signers = 0, n = sizeof(signers);
      EXPECT_TRUE(
          CryptMsgGetParam(m, CMSG_SIGNER_COUNT_PARAM, 0, &signers, &n));
      EXPECT_EQ(signers, 1u);
      CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA vp{};
      vp.cbSize = sizeof(vp);
      vp.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
      vp.pvSigner = const_cast<CERT_CONTEXT*>(signer_->cert());
      EXPECT_TRUE(CryptMsgControl(m, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &vp))
          << std::hex << GetLastError();
    }
  }
}

TEST_F(Streaming, StreamedDecodeHandsContentToTheCallback) {
  Bytes data = Pattern(50000, 11);
  StreamSink enc;
  ASSERT_TRUE(StreamSign(data, 4096, false, false, &enc));
  StreamSink dec;
  CMSG_STREAM_INFO stream{CMSG_INDEFINITE_LENGTH, &StreamSink::Cb, &dec};
  MsgHandle m(CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, &stream));
  ASSERT_NE(m.get(), nullptr);
  for (size_t at = 0; at < enc.out.size(); at += 999) {
    size_t n = std::min<size_t>(999, enc.out.size() - at);
    ASSERT_TRUE(CryptMsgUpdate(m.get(), enc.out.data() + at,
                               static_cast<DWORD>(n), at + n == enc.out.size()))
        << std::hex << GetLastError();
  }
  EXPECT_EQ(dec.out, data);
  EXPECT_EQ(dec.finals, 1);
  CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA vp{};
  vp.cbSize = sizeof(vp);
  vp.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
  vp.pvSigner = const_cast<CERT_CONTEXT*>(signer_->cert());
  EXPECT_TRUE(CryptMsgControl(m.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &vp));
  m.reset();

  // Cut short: the final update says what is missing.
  StreamSink cut;
  stream.pvArg = &cut;
  m.reset(CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, &stream));
  EXPECT_FALSE(CryptMsgUpdate(m.get(), enc.out.data(),
                              static_cast<DWORD>(enc.out.size() - 10), TRUE));
  EXPECT_EQ(GetLastError(), CRYPT_E_STREAM_INSUFFICIENT_DATA);
}

TEST_F(Streaming, DetachedContentSuppliedAfterTheMessage) {
  Bytes data = Pattern(70000, 13);
  Bytes msg = Sign({signer_->Info()}, {signer_->Blob()}, data, true);
  ASSERT_FALSE(msg.empty());
  const MsgHandle m(Decode(msg, 100, CMSG_DETACHED_FLAG));
  ASSERT_NE(m.get(), nullptr) << std::hex << GetLastError();
  for (size_t at = 0; at < data.size(); at += 30000) {
    size_t n = std::min<size_t>(30000, data.size() - at);
    ASSERT_TRUE(CryptMsgUpdate(m.get(), data.data() + at, static_cast<DWORD>(n),
                               at + n == data.size()));
  }
  EXPECT_TRUE(CryptMsgControl(m.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE,
                              signer_->cert()->pCertInfo))
      << std::hex << GetLastError();
}

}  // namespace
}  // namespace msg_test
