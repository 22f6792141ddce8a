// The steps the runtime's tests share: CAdES-BES through the runtime with a
// key from the MY store, decoding, and enhancement against a service.
#pragma once

#include <capi/cades.h>
#include <capi/capi.h>
#include <capi/gost.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "test_support.h"

namespace cades_test {

using tavrix_test::PkiCert;
using Bytes = std::vector<uint8_t>;

inline const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
inline const char* const kKeyTypes[] = {"gost2001", "gost2012_256",
                                        "gost2012_512"};

struct CertPtr {
  PCCERT_CONTEXT c = nullptr;
  ~CertPtr() {
    if (c) CertFreeCertificateContext(c);
  }
};

inline const char* HashOid(const std::string& kt) {
  return kt == "gost2001"       ? szOID_CP_GOST_R3411
         : kt == "gost2012_256" ? szOID_CP_GOST_R3411_12_256
                                : szOID_CP_GOST_R3411_12_512;
}

inline BOOL WINAPI Collect(const void* arg, BYTE* p, DWORD n, BOOL) {
  auto* out = static_cast<Bytes*>(const_cast<void*>(arg));
  out->insert(out->end(), p, p + n);
  return TRUE;
}

// CAdES-BES through the runtime with the signer's key from the MY store.
// `emittedEarly` tells whether streamed output arrived before the last block.
inline Bytes SignBes(const PkiCert& cert, const std::string& kt,
                     const Bytes& data, bool detached, bool streamed,
                     bool* emittedEarly = nullptr) {
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  CertPtr probe, c;
  probe.c = CertCreateCertificateContext(kEnc, cert.der.data(),
                                         static_cast<DWORD>(cert.der.size()));
  c.c = CertFindCertificateInStore(my, kEnc, 0, CERT_FIND_EXISTING, probe.c,
                                   nullptr);
  CertCloseStore(my, 0);
  EXPECT_NE(c.c, nullptr);
  if (!c.c) return {};
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL free_prov = FALSE;
  EXPECT_TRUE(CryptAcquireCertificatePrivateKey(c.c, 0, nullptr, &prov, &spec,
                                                &free_prov));
  CMSG_SIGNER_ENCODE_INFO signer{};
  signer.cbSize = sizeof signer;
  signer.pCertInfo = c.c->pCertInfo;
  signer.hCryptProv = prov;
  signer.dwKeySpec = spec;
  signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(HashOid(kt));
  CERT_BLOB blob{c.c->cbCertEncoded, c.c->pbCertEncoded};
  CMSG_SIGNED_ENCODE_INFO info{};
  info.cbSize = sizeof info;
  info.cSigners = 1;
  info.rgSigners = &signer;
  info.cCertEncoded = 1;
  info.rgCertEncoded = &blob;
  CADES_ENCODE_INFO cades{};
  cades.dwSize = sizeof cades;
  cades.pSignedEncodeInfo = &info;
  Bytes out;
  CMSG_STREAM_INFO stream{static_cast<DWORD>(data.size()), Collect, &out};
  HCRYPTMSG m =
      CadesMsgOpenToEncode(kEnc, detached ? CMSG_DETACHED_FLAG : 0, &cades,
                           nullptr, streamed ? &stream : nullptr);
  EXPECT_NE(m, nullptr) << std::hex << GetLastError();
  if (!m) return {};
  const size_t kBlock = 1 << 20;
  for (size_t off = 0; off < data.size() || off == 0; off += kBlock) {
    size_t n = std::min(kBlock, data.size() - off);
    bool last = off + n >= data.size();
    EXPECT_TRUE(
        CryptMsgUpdate(m, data.data() + off, static_cast<DWORD>(n), last));
    if (!last && emittedEarly) *emittedEarly = !out.empty();
    if (last) break;
  }
  if (!streamed) {
    DWORD n = 0;
    EXPECT_TRUE(CryptMsgGetParam(m, CMSG_CONTENT_PARAM, 0, nullptr, &n));
    out.resize(n);
    EXPECT_TRUE(CryptMsgGetParam(m, CMSG_CONTENT_PARAM, 0, out.data(), &n));
    out.resize(n);
  }
  CryptMsgClose(m);
  if (free_prov) CryptReleaseContext(prov, 0);
  return out;
}

inline HCRYPTMSG Decode(const Bytes& der) {
  HCRYPTMSG m = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
  EXPECT_TRUE(
      CryptMsgUpdate(m, der.data(), static_cast<DWORD>(der.size()), TRUE));
  return m;
}

inline Bytes Encoded(HCRYPTMSG m) {
  DWORD n = 0;
  CryptMsgGetParam(m, CMSG_ENCODED_MESSAGE, 0, nullptr, &n);
  Bytes b(n);
  CryptMsgGetParam(m, CMSG_ENCODED_MESSAGE, 0, b.data(), &n);
  b.resize(n);
  return b;
}

struct Enhanced {
  bool ok = false;
  DWORD error = 0;
  double seconds = 0;
  Bytes der;  // the message after the call, whatever its outcome
};

inline Enhanced Enhance(const Bytes& der, DWORD type, const std::wstring& url) {
  HCRYPTMSG m = Decode(der);
  CADES_SERVICE_CONNECTION_PARA tsp{sizeof tsp, url.c_str(), nullptr};
  CADES_SIGN_PARA para{};
  para.dwSize = sizeof para;
  para.dwCadesType = type;
  para.pTspConnectionPara = &tsp;
  auto t0 = std::chrono::steady_clock::now();
  Enhanced e;
  e.ok = CadesMsgEnhanceSignature(m, 0, &para);
  e.error = e.ok ? 0 : GetLastError();
  e.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
          .count();
  e.der = Encoded(m);
  CryptMsgClose(m);
  return e;
}

inline std::wstring Wide(const std::string& s) {
  return std::wstring(s.begin(), s.end());
}

}  // namespace cades_test
