// CryptVerifyMessageSignature and CryptVerifyDetachedMessageSignature: the
// one-call checks, built on the message functions. Without a caller's
// lookup the signer's certificate is the one among the message's own
// certificates whose issuer and serial (or key identifier) name the signer.
#include <cstring>
#include <vector>

#include "base/c_boundary.h"
#include "base/handles.h"
#include "capi/capi.h"
#include "msg/cms.h"

namespace tavrix::provider::msg {
namespace {

bool GetBytes(HCRYPTMSG m, DWORD type, DWORD index, Bytes* out) {
  DWORD n = 0;
  if (!CryptMsgGetParam(m, type, index, nullptr, &n)) return false;
  out->assign(n, 0);
  if (n && !CryptMsgGetParam(m, type, index, out->data(), &n)) return false;
  out->resize(n);
  return true;
}

// Finds the signer's certificate, verifies the signature with its key and
// hands the certificate out when asked.
BOOL VerifyOpened(HCRYPTMSG msg, PCRYPT_VERIFY_MESSAGE_PARA para,
                  DWORD signer_index, PCCERT_CONTEXT* ppSignerCert) {
  DWORD count = 0, n = sizeof(count);
  if (!CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, &count, &n))
    return FALSE;
  if (signer_index >= count) return Fail(CRYPT_E_NO_SIGNER);

  Bytes ci_buf;
  if (!GetBytes(msg, CMSG_SIGNER_CERT_INFO_PARAM, signer_index, &ci_buf))
    return FALSE;
  // Kept as pointers into an aligned copy of the structure.
  std::vector<uint64_t> aligned((ci_buf.size() + 7) / 8);
  DWORD ci_n = static_cast<DWORD>(aligned.size() * 8);
  if (!CryptMsgGetParam(msg, CMSG_SIGNER_CERT_INFO_PARAM, signer_index,
                        aligned.data(), &ci_n))
    return FALSE;
  auto* signer_id = reinterpret_cast<CERT_INFO*>(aligned.data());

  Bytes signer_raw;
  if (!GetBytes(msg, CMSG_ENCODED_SIGNER, signer_index, &signer_raw))
    return FALSE;
  SignerRec signer;
  {
    der::BerReader r(signer_raw.data(), signer_raw.size());
    der::Tlv e;
    if (!r.Next(&e)) return Fail(r.error());
    if (!ParseSignerInfo(e, &signer)) return false;
  }

  DWORD enc = para->dwMsgAndCertEncodingType
                  ? para->dwMsgAndCertEncodingType
                  : (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING);
  if (para->pfnGetSignerCertificate) {
    StoreHandle store(
        CertOpenStore(CERT_STORE_PROV_MEMORY, enc, 0, 0, nullptr));
    if (!store) return FALSE;
    DWORD certs = 0;
    n = sizeof(certs);
    CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &certs, &n);
    for (DWORD i = 0; i < certs; ++i) {
      Bytes c;
      if (GetBytes(msg, CMSG_CERT_PARAM, i, &c))
        CertAddEncodedCertificateToStore(store.get(), enc, c.data(),
                                         static_cast<DWORD>(c.size()),
                                         CERT_STORE_ADD_ALWAYS, nullptr);
    }
    CertHandle cert(para->pfnGetSignerCertificate(para->pvGetArg, enc,
                                                  signer_id, store.get()));
    if (!cert) {
      DWORD e = GetLastError();
      return Fail(e ? e : CRYPT_E_SIGNER_NOT_FOUND);
    }
    store.reset();
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA vp{};
    vp.cbSize = sizeof(vp);
    vp.hCryptProv = para->hCryptProv;
    vp.dwSignerIndex = signer_index;
    vp.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    vp.pvSigner = const_cast<CERT_CONTEXT*>(cert.get());
    if (!CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &vp))
      return FALSE;
    if (ppSignerCert) *ppSignerCert = cert.release();
    return TRUE;
  }

  DWORD certs = 0;
  n = sizeof(certs);
  if (!CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &certs, &n))
    return FALSE;
  for (DWORD i = 0; i < certs; ++i) {
    Bytes c;
    x509::Certificate f;
    if (!GetBytes(msg, CMSG_CERT_PARAM, i, &c) ||
        !x509::ParseCertificate(c.data(), c.size(), &f) ||
        !CertMatchesSigner(f, signer))
      continue;
    CERT_PUBLIC_KEY_INFO pub = f.PublicKeyInfo();
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA vp{};
    vp.cbSize = sizeof(vp);
    vp.hCryptProv = para->hCryptProv;
    vp.dwSignerIndex = signer_index;
    vp.dwSignerType = CMSG_VERIFY_SIGNER_PUBKEY;
    vp.pvSigner = &pub;
    if (!CryptMsgControl(msg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &vp))
      return FALSE;
    if (ppSignerCert) {
      *ppSignerCert =
          CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                       c.data(), static_cast<DWORD>(c.size()));
      if (!*ppSignerCert) return FALSE;
    }
    return TRUE;
  }
  return Fail(CRYPT_E_SIGNER_NOT_FOUND);
}

bool ValidPara(PCRYPT_VERIFY_MESSAGE_PARA para) {
  return para &&
         para->cbSize >= sizeof(CRYPT_VERIFY_MESSAGE_PARA) - sizeof(void*) &&
         (para->dwMsgAndCertEncodingType == 0 ||
          (para->dwMsgAndCertEncodingType & PKCS_7_ASN_ENCODING) ||
          (para->dwMsgAndCertEncodingType & X509_ASN_ENCODING));
}

}  // namespace
}  // namespace tavrix::provider::msg

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::msg;

extern "C" {

CAPI_EXPORT BOOL WINAPI CryptVerifyMessageSignature(
    PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
    const BYTE* pbSignedBlob, DWORD cbSignedBlob, BYTE* pbDecoded,
    DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert) try {
  if (ppSignerCert) *ppSignerCert = nullptr;
  if (!ValidPara(pVerifyPara) || (!pbSignedBlob && cbSignedBlob) ||
      (pbDecoded && !pcbDecoded)) {
    if (pcbDecoded) *pcbDecoded = 0;
    return Fail(E_INVALIDARG);
  }
  DWORD enc = pVerifyPara->dwMsgAndCertEncodingType
                  ? pVerifyPara->dwMsgAndCertEncodingType
                  : (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING);
  MsgHandle msg(CryptMsgOpenToDecode(enc, 0, 0, pVerifyPara->hCryptProv,
                                     nullptr, nullptr));
  if (!msg || !CryptMsgUpdate(msg.get(), pbSignedBlob, cbSignedBlob, TRUE)) {
    if (pcbDecoded) *pcbDecoded = 0;
    return FALSE;
  }
  Bytes content;
  if (!GetBytes(msg.get(), CMSG_CONTENT_PARAM, 0, &content)) {
    if (pcbDecoded) *pcbDecoded = 0;
    return FALSE;
  }
  // The size is known even when the signature turns out bad, so a caller's
  // size query followed by a second call sees the same length.
  if (pcbDecoded && !pbDecoded)
    *pcbDecoded = static_cast<DWORD>(content.size());
  if (!VerifyOpened(msg.get(), pVerifyPara, dwSignerIndex, ppSignerCert)) {
    if (pcbDecoded && pbDecoded)
      *pcbDecoded = static_cast<DWORD>(content.size());
    return FALSE;
  }
  if (!pcbDecoded) return TRUE;
  if (pbDecoded) {
    if (*pcbDecoded < content.size()) {
      *pcbDecoded = static_cast<DWORD>(content.size());
      if (ppSignerCert && *ppSignerCert) {
        CertFreeCertificateContext(*ppSignerCert);
        *ppSignerCert = nullptr;
      }
      return Fail(ERROR_MORE_DATA);
    }
    if (!content.empty()) memcpy(pbDecoded, content.data(), content.size());
  }
  *pcbDecoded = static_cast<DWORD>(content.size());
  return TRUE;
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptVerifyDetachedMessageSignature(
    PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
    const BYTE* pbDetachedSignBlob, DWORD cbDetachedSignBlob, DWORD cToBeSigned,
    const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[],
    PCCERT_CONTEXT* ppSignerCert) try {
  if (ppSignerCert) *ppSignerCert = nullptr;
  if (!ValidPara(pVerifyPara) || !pbDetachedSignBlob ||
      (cToBeSigned && (!rgpbToBeSigned || !rgcbToBeSigned)))
    return Fail(E_INVALIDARG);
  DWORD enc = pVerifyPara->dwMsgAndCertEncodingType
                  ? pVerifyPara->dwMsgAndCertEncodingType
                  : (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING);
  MsgHandle msg(CryptMsgOpenToDecode(
      enc, CMSG_DETACHED_FLAG, 0, pVerifyPara->hCryptProv, nullptr, nullptr));
  if (!msg ||
      !CryptMsgUpdate(msg.get(), pbDetachedSignBlob, cbDetachedSignBlob, TRUE))
    return FALSE;
  for (DWORD i = 0; i < cToBeSigned; ++i) {
    if (!CryptMsgUpdate(msg.get(), rgpbToBeSigned[i], rgcbToBeSigned[i],
                        i + 1 == cToBeSigned))
      return FALSE;
  }
  if (!cToBeSigned && !CryptMsgUpdate(msg.get(), nullptr, 0, TRUE))
    return FALSE;
  return VerifyOpened(msg.get(), pVerifyPara, dwSignerIndex, ppSignerCert);
}
CAPI_GUARD(FALSE)

}  // extern "C"
