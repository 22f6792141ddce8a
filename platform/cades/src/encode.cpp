// CAdES-BES: the provider's own signed-message encoder, given the signed
// attributes CAdES adds (signing time and signing-certificate-v2; the
// provider itself writes contentType and messageDigest). Streaming is the
// provider's, so content is never held here.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "cades_internal.h"

namespace tavrix_cades {
namespace {

// The signer's certificate: from the message's own certificates, else the
// user's personal store.
PCCERT_CONTEXT FindSignerCert(const CMSG_SIGNED_ENCODE_INFO& info,
                              const CERT_INFO* want) {
  for (DWORD i = 0; i < info.cCertEncoded && info.rgCertEncoded; ++i) {
    const CERT_BLOB& b = info.rgCertEncoded[i];
    if (!b.pbData || !b.cbData) continue;
    PCCERT_CONTEXT c =
        CertCreateCertificateContext(kEncoding, b.pbData, b.cbData);
    if (!c) continue;
    if (CertCompareCertificateName(
            kEncoding, &c->pCertInfo->Issuer,
            const_cast<PCERT_NAME_BLOB>(&want->Issuer)) &&
        CertCompareIntegerBlob(
            &c->pCertInfo->SerialNumber,
            const_cast<PCRYPT_INTEGER_BLOB>(&want->SerialNumber)))
      return c;
    CertFreeCertificateContext(c);
  }
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  if (!my) return nullptr;
  PCCERT_CONTEXT c = CertGetSubjectCertificateFromStore(
      my, kEncoding, const_cast<PCERT_INFO>(want));
  CertCloseStore(my, 0);
  return c;
}

// SigningCertificateV2 (RFC 5035) with one ESSCertIDv2 naming the
// certificate by its hash in the signer's hash algorithm (never the SHA-256
// default, so hashAlgorithm is always written) and by issuer and serial.
bool SigningCertificateV2(PCCERT_CONTEXT cert, const std::string& hash_oid,
                          Bytes* out) {
  Bytes hash;
  if (!HashWith(hash_oid, cert->pbCertEncoded, cert->cbCertEncoded, &hash))
    return false;
  const CERT_INFO* ci = cert->pCertInfo;
  Bytes directory_name =
      der::Wrap(der::Context(4, true), ci->Issuer.pbData, ci->Issuer.cbData);
  Bytes serial_be(ci->SerialNumber.pbData,
                  ci->SerialNumber.pbData + ci->SerialNumber.cbData);
  std::reverse(serial_be.begin(), serial_be.end());
  Bytes issuer_serial = der::Wrap(der::kTagSequence, directory_name);
  der::Append(&issuer_serial,
              der::EncodeUnsignedInteger(serial_be.data(), serial_be.size()));
  Bytes id = HashAlgId(hash_oid);
  der::AppendTlv(&id, der::kTagOctetString, hash);
  der::AppendTlv(&id, der::kTagSequence, issuer_serial);
  Bytes certs = der::Wrap(der::kTagSequence, id);
  *out = der::Wrap(der::kTagSequence, der::Wrap(der::kTagSequence, certs));
  return true;
}

Bytes SigningTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  // UTCTime covers 1950-2049; GeneralizedTime only outside it (RFC 5652).
  bool utc = tm.tm_year >= 50 && tm.tm_year < 150;
  std::snprintf(text, sizeof text,
                utc ? "%02d%02d%02d%02d%02d%02dZ" : "%04d%02d%02d%02d%02d%02dZ",
                utc ? tm.tm_year % 100 : tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return der::Wrap(utc ? der::kTagUtcTime : der::kTagGeneralizedTime,
                   reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

// One signer's encode information with the CAdES attributes added; owns
// everything the copy points at until the message has been opened.
struct SignerCopy {
  CMSG_SIGNER_ENCODE_INFO info{};
  std::vector<CRYPT_ATTRIBUTE> attrs;
  Bytes signing_time, ess;
  CRYPT_ATTR_BLOB time_blob{}, ess_blob{};
};

bool HasAttr(const CMSG_SIGNER_ENCODE_INFO& s, const char* oid) {
  for (DWORD i = 0; i < s.cAuthAttr && s.rgAuthAttr; ++i)
    if (s.rgAuthAttr[i].pszObjId &&
        std::strcmp(s.rgAuthAttr[i].pszObjId, oid) == 0)
      return true;
  return false;
}

bool PrepareSigner(const CMSG_SIGNED_ENCODE_INFO& info,
                   const CMSG_SIGNER_ENCODE_INFO& given, SignerCopy* out) {
  // Only what the caller's size covers is read; the rest stays zero.
  if (given.cbSize < offsetof(CMSG_SIGNER_ENCODE_INFO, cAuthAttr))
    return Fail(E_INVALIDARG);
  std::memcpy(&out->info, &given,
              std::min<size_t>(given.cbSize, sizeof out->info));
  if (!given.pCertInfo || !given.HashAlgorithm.pszObjId)
    return Fail(E_INVALIDARG);
  size_t auth_end =
      offsetof(CMSG_SIGNER_ENCODE_INFO, rgAuthAttr) + sizeof(given.rgAuthAttr);
  if (given.cbSize < auth_end) {
    out->info.cAuthAttr = 0;
    out->info.rgAuthAttr = nullptr;
  }
  for (DWORD i = 0; i < out->info.cAuthAttr && out->info.rgAuthAttr; ++i)
    out->attrs.push_back(out->info.rgAuthAttr[i]);
  if (!HasAttr(out->info, kOidSigningTime)) {
    out->signing_time = SigningTimeNow();
    out->time_blob = {static_cast<DWORD>(out->signing_time.size()),
                      out->signing_time.data()};
    out->attrs.push_back(
        {const_cast<LPSTR>(kOidSigningTime), 1, &out->time_blob});
  }
  if (!HasAttr(out->info, kOidSigningCertificateV2)) {
    PCCERT_CONTEXT cert = FindSignerCert(info, given.pCertInfo);
    if (!cert) return Fail(CADES_E_NO_SIGNER_CERT);
    bool ok =
        SigningCertificateV2(cert, given.HashAlgorithm.pszObjId, &out->ess);
    CertFreeCertificateContext(cert);
    if (!ok) return false;
    out->ess_blob = {static_cast<DWORD>(out->ess.size()), out->ess.data()};
    out->attrs.push_back(
        {const_cast<LPSTR>(kOidSigningCertificateV2), 1, &out->ess_blob});
  }
  if (given.cbSize < auth_end) out->info.cbSize = static_cast<DWORD>(auth_end);
  out->info.cAuthAttr = static_cast<DWORD>(out->attrs.size());
  out->info.rgAuthAttr = out->attrs.data();
  return true;
}

}  // namespace
}  // namespace tavrix_cades

using namespace tavrix_cades;

extern "C" CAPI_EXPORT HCRYPTMSG WINAPI CadesMsgOpenToEncode(
    DWORD dwMsgEncodingType, DWORD dwFlags, PCADES_ENCODE_INFO pEncodeInfo,
    LPSTR pszInnerContentObjID, PCMSG_STREAM_INFO pStreamInfo) {
  if (!pEncodeInfo ||
      pEncodeInfo->dwSize < offsetof(CADES_ENCODE_INFO, pSignedEncodeInfo) +
                                sizeof(pEncodeInfo->pSignedEncodeInfo) ||
      !pEncodeInfo->pSignedEncodeInfo) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  const CMSG_SIGNED_ENCODE_INFO& given = *pEncodeInfo->pSignedEncodeInfo;
  if (given.cbSize < offsetof(CMSG_SIGNED_ENCODE_INFO, cCrlEncoded) ||
      (given.cSigners && !given.rgSigners)) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  // Far more signers than any message has would only be an attack on memory.
  if (given.cSigners == 0 || given.cSigners > 64) {
    SetLastError(given.cSigners ? E_INVALIDARG : CADES_E_NO_SIGNER);
    return nullptr;
  }
  CMSG_SIGNED_ENCODE_INFO info{};
  std::memcpy(&info, &given, std::min<size_t>(given.cbSize, sizeof info));
  std::vector<std::unique_ptr<SignerCopy>> copies;
  std::vector<CMSG_SIGNER_ENCODE_INFO> signers;
  for (DWORD i = 0; i < given.cSigners; ++i) {
    copies.push_back(std::make_unique<SignerCopy>());
    if (!PrepareSigner(given, given.rgSigners[i], copies.back().get()))
      return nullptr;
    signers.push_back(copies.back()->info);
  }
  info.rgSigners = signers.data();
  return CryptMsgOpenToEncode(dwMsgEncodingType, dwFlags, CMSG_SIGNED, &info,
                              pszInnerContentObjID, pStreamInfo);
}
