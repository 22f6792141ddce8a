// Helpers of the message tests: signers from the test PKI, message
// encoding and decoding through the public calls, and the OpenSSL GOST
// engine as an independent peer.
#pragma once

#include <capi/capi.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace msg_test {

using Bytes = std::vector<uint8_t>;
constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

inline Bytes Pattern(size_t n, uint32_t seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    b[i] = static_cast<uint8_t>(seed >> 16);
  }
  return b;
}

using tavrix_test::HaveGostEngine;
using tavrix_test::ReadFileBytes;
using tavrix_test::RunCommand;
using tavrix_test::ShellQuote;
using tavrix_test::TempDir;
using tavrix_test::WriteFileBytes;

struct KeyKind {
  const char* name;  // key type of the test PKI
  const char* hash_oid;
  ALG_ID hash;
  DWORD prov_type;
};

inline const std::vector<KeyKind>& Kinds() {
  static const std::vector<KeyKind> k = {
      {"gost2001", szOID_CP_GOST_R3411, CALG_GR3411, PROV_GOST_2001_DH},
      {"gost2012_256", szOID_CP_GOST_R3411_12_256, CALG_GR3411_2012_256,
       PROV_GOST_2012_256},
      {"gost2012_512", szOID_CP_GOST_R3411_12_512, CALG_GR3411_2012_512,
       PROV_GOST_2012_512},
  };
  return k;
}

// A certificate of the test PKI with its private key opened.
class Signer {
 public:
  explicit Signer(const KeyKind& kind, const std::string& cert = "")
      : kind_(kind) {
    const auto& pki = tavrix_test::TestPki::Get();
    pki_ = &pki.Cert(cert.empty() ? std::string("user-") + kind.name : cert);
    ctx_ = CertCreateCertificateContext(kEnc, pki_->der.data(),
                                        static_cast<DWORD>(pki_->der.size()));
    if (!ctx_) return;
    DWORD spec = 0;
    BOOL must_free = FALSE;
    if (!CryptAcquireCertificatePrivateKey(ctx_, CRYPT_ACQUIRE_COMPARE_KEY_FLAG,
                                           nullptr, &prov_, &spec, &must_free))
      prov_ = 0;
  }
  ~Signer() {
    if (ctx_) CertFreeCertificateContext(ctx_);
    if (prov_) CryptReleaseContext(prov_, 0);
  }
  Signer(const Signer&) = delete;
  Signer& operator=(const Signer&) = delete;

  bool ok() const { return ctx_ && prov_; }
  PCCERT_CONTEXT cert() const { return ctx_; }
  const tavrix_test::PkiCert& pki() const { return *pki_; }
  const KeyKind& kind() const { return kind_; }

  CMSG_SIGNER_ENCODE_INFO Info() const {
    CMSG_SIGNER_ENCODE_INFO si{};
    si.cbSize = offsetof(CMSG_SIGNER_ENCODE_INFO, SignerId);
    si.pCertInfo = ctx_->pCertInfo;
    si.hCryptProv = prov_;
    si.dwKeySpec = AT_KEYEXCHANGE;
    si.HashAlgorithm.pszObjId = const_cast<char*>(kind_.hash_oid);
    return si;
  }
  CERT_BLOB Blob() const {
    return CERT_BLOB{ctx_->cbCertEncoded, ctx_->pbCertEncoded};
  }

 private:
  const KeyKind& kind_;
  const tavrix_test::PkiCert* pki_ = nullptr;
  PCCERT_CONTEXT ctx_ = nullptr;
  HCRYPTPROV prov_ = 0;
};

struct StreamSink {
  Bytes out;
  int calls = 0;
  int finals = 0;
  bool final_last = false;
  bool fail = false;
  static BOOL WINAPI Cb(const void* arg, BYTE* p, DWORD n, BOOL final) {
    auto* s = static_cast<StreamSink*>(const_cast<void*>(arg));
    if (s->fail) return FALSE;
    ++s->calls;
    if (n) s->out.insert(s->out.end(), p, p + n);
    s->final_last = final != 0;
    if (final) ++s->finals;
    return TRUE;
  }
};

inline bool GetBytes(HCRYPTMSG m, DWORD type, DWORD index, Bytes* out) {
  DWORD n = 0;
  if (!CryptMsgGetParam(m, type, index, nullptr, &n)) return false;
  out->assign(n, 0);
  if (!CryptMsgGetParam(m, type, index, out->data(), &n)) return false;
  out->resize(n);
  return true;
}

// Flat CryptoAPI structures are fetched into 8-byte aligned storage.
template <typename T>
struct Flat {
  std::vector<uint64_t> store;
  T* get() { return reinterpret_cast<T*>(store.data()); }
};
template <typename T>
bool GetFlat(HCRYPTMSG m, DWORD type, DWORD index, Flat<T>* out) {
  DWORD n = 0;
  if (!CryptMsgGetParam(m, type, index, nullptr, &n)) return false;
  out->store.assign((n + 7) / 8, 0);
  return CryptMsgGetParam(m, type, index, out->store.data(), &n) != 0;
}

// The encode information of a signed message over these signers and
// certificates (pointers into the caller's arrays).
inline CMSG_SIGNED_ENCODE_INFO EncodeInfo(CMSG_SIGNER_ENCODE_INFO* signers,
                                          size_t n, CERT_BLOB* certs = nullptr,
                                          size_t n_certs = 0) {
  CMSG_SIGNED_ENCODE_INFO info{};
  info.cbSize = sizeof(info);
  info.cSigners = static_cast<DWORD>(n);
  info.rgSigners = signers;
  info.cCertEncoded = static_cast<DWORD>(n_certs);
  info.rgCertEncoded = certs;
  return info;
}

// Signs `data` in one update; empty result on failure (the error is kept).
inline Bytes Sign(const std::vector<CMSG_SIGNER_ENCODE_INFO>& signers,
                  const std::vector<CERT_BLOB>& certs, const Bytes& data,
                  bool detached, DWORD extra_flags = 0) {
  CMSG_SIGNED_ENCODE_INFO info = EncodeInfo(
      const_cast<CMSG_SIGNER_ENCODE_INFO*>(signers.data()), signers.size(),
      const_cast<CERT_BLOB*>(certs.data()), certs.size());
  HCRYPTMSG m = CryptMsgOpenToEncode(
      kEnc, (detached ? CMSG_DETACHED_FLAG : 0) | extra_flags, CMSG_SIGNED,
      &info, nullptr, nullptr);
  if (!m) return {};
  Bytes out;
  if (!CryptMsgUpdate(m, data.data(), static_cast<DWORD>(data.size()), TRUE) ||
      !GetBytes(m, CMSG_CONTENT_PARAM, 0, &out)) {
    DWORD e = GetLastError();
    CryptMsgClose(m);
    SetLastError(e);
    return {};
  }
  CryptMsgClose(m);
  return out;
}

// Decodes a whole message, in pieces of `piece` bytes (0: one update).
inline HCRYPTMSG Decode(const Bytes& msg, size_t piece = 0, DWORD flags = 0) {
  HCRYPTMSG m = CryptMsgOpenToDecode(kEnc, flags, 0, 0, nullptr, nullptr);
  if (!m) return nullptr;
  size_t step = piece ? piece : (msg.empty() ? 1 : msg.size());
  size_t at = 0;
  do {
    size_t n = std::min(step, msg.size() - at);
    if (!CryptMsgUpdate(m, msg.data() + at, static_cast<DWORD>(n),
                        at + n == msg.size())) {
      DWORD e = GetLastError();
      CryptMsgClose(m);
      SetLastError(e);
      return nullptr;
    }
    at += n;
  } while (at < msg.size());
  return m;
}

inline BOOL VerifyAttached(const Bytes& msg, Bytes* content = nullptr) {
  CRYPT_VERIFY_MESSAGE_PARA p{};
  p.cbSize = sizeof(p);
  p.dwMsgAndCertEncodingType = kEnc;
  DWORD n = 0;
  if (!CryptVerifyMessageSignature(&p, 0, msg.data(),
                                   static_cast<DWORD>(msg.size()), nullptr, &n,
                                   nullptr))
    return FALSE;
  Bytes out(n);
  if (!CryptVerifyMessageSignature(&p, 0, msg.data(),
                                   static_cast<DWORD>(msg.size()), out.data(),
                                   &n, nullptr))
    return FALSE;
  out.resize(n);
  if (content) *content = out;
  return TRUE;
}

inline BOOL VerifyDetached(const Bytes& msg, const Bytes& data,
                           PCCERT_CONTEXT* signer = nullptr) {
  CRYPT_VERIFY_MESSAGE_PARA p{};
  p.cbSize = sizeof(p);
  p.dwMsgAndCertEncodingType = kEnc;
  const BYTE* parts[] = {data.data()};
  DWORD sizes[] = {static_cast<DWORD>(data.size())};
  return CryptVerifyDetachedMessageSignature(&p, 0, msg.data(),
                                             static_cast<DWORD>(msg.size()), 1,
                                             parts, sizes, signer);
}

}  // namespace msg_test
