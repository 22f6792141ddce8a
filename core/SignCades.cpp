// CAdES signing through the provider's CAdES runtime, enhanced at once with
// a time stamp from the service the page named in "TspUrl".
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "CadesF.h"
#include "SignerSetup.h"
#include "TavrixCtrl.h"
#include "TavrixUtils.h"
#include "base64.h"

namespace {

const DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

const DWORD kEncodeInfoSize = sizeof(CADES_ENCODE_INFO);
const DWORD kServiceParaSize = sizeof(CADES_SERVICE_CONNECTION_PARA);
const DWORD kSignParaSize = sizeof(CADES_SIGN_PARA);

std::string Encode(const std::vector<BYTE>& v) {
  return base64::encoding(reinterpret_cast<const char*>(v.data()), v.size(),
                          true);
}

}  // namespace

std::string TavrixCtrl::SignCades(const std::vector<unsigned char>& data,
                                  bool withTimeStamp) {
  TavrixUtils::ODebug("SignCades: size=" + toString(data.size()) +
                      " withTimeStamp=" + toString(withTimeStamp) +
                      " tspUrl=" + tspUrl);
  if (withTimeStamp && tspUrl.empty())
    return MyHandleError("Адрес штампов времени пустой!", false);
  if (cades == nullptr || cades->hCadesDll == nullptr) {
    TavrixUtils::ODebug("SignCades: no CAdES runtime");
    return MyHandleError("Не найдена библиотека cades.dll", false);
  }

  PCCRYPT_OID_INFO hashInfo = nullptr;
  std::string r = FindHashAlgoritmByProvider(hashInfo);
  if (r.find("<Error>") != std::string::npos) return r;

  tavrix_ctrl::SignedEncodeInfo encode(pCertContextCurrent, hProvCurrent,
                                       dwKeySpec, hashInfo->pszOID,
                                       sizeof(CMSG_SIGNER_ENCODE_INFO));
  CMSG_SIGNED_ENCODE_INFO& signedInfo = encode.info;

  CADES_ENCODE_INFO encodeInfo;
  std::memset(&encodeInfo, 0, sizeof encodeInfo);
  encodeInfo.dwSize = kEncodeInfoSize;
  encodeInfo.pSignedEncodeInfo = &signedInfo;

  auto closeAndFail = [&](HCRYPTMSG msg, const char* text) {
    DWORD err = GetLastError();
    CryptMsgClose(msg);
    SetLastError(err);
    TavrixUtils::ODebug(std::string("SignCades: failed ") + text);
    return MyHandleError(text, false);
  };

  HCRYPTMSG msg = cades->FCadesMsgOpenToEncode(kCertEncoding, dwMsgFlags,
                                               &encodeInfo, nullptr, nullptr);
  if (msg == nullptr) {
    TavrixUtils::ODebug("SignCades: CadesMsgOpenToEncode failed");
    return MyHandleError("Ошибка в SignCades-CadesMsgOpenToEncode", false);
  }
  if (!data.empty() &&
      !CryptMsgUpdate(msg, data.data(), static_cast<DWORD>(data.size()), TRUE))
    return closeAndFail(msg, "Ошибка в SignCades-CryptMsgUpdate-1");
  DWORD size = 0;
  if (!CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &size))
    return closeAndFail(msg, "Ошибка в SignCades-CryptMsgGetParam-1");
  std::vector<BYTE> encoded(size);
  if (!CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, encoded.data(), &size))
    return closeAndFail(msg, "Ошибка в SignCades-CryptMsgGetParam-2");
  encoded.resize(std::min<size_t>(size, encoded.size()));
  if (!CryptMsgClose(msg))
    return MyHandleError("Ошибка в SignCades-CryptMsgClose-1", false);
  TavrixUtils::ODebug("SignCades: BES " + toString(encoded.size()) + " bytes");

  if (withTimeStamp) {
    msg = CryptMsgOpenToDecode(kCertEncoding, 0, 0, 0, nullptr, nullptr);
    if (msg == nullptr)
      return MyHandleError("Ошибка в SignCades-CryptMsgOpenToDecode", false);
    if (!CryptMsgUpdate(msg, encoded.data(), static_cast<DWORD>(encoded.size()),
                        TRUE))
      return closeAndFail(msg, "Ошибка в SignCades-CryptMsgUpdate-2");

    // Byte by byte, as the address has always been passed: an ASCII
    // address arrives as written.
    std::wstring wideUrl;
    wideUrl.reserve(tspUrl.size());
    for (char c : tspUrl)
      wideUrl.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));

    CADES_SERVICE_CONNECTION_PARA tsp;
    std::memset(&tsp, 0, sizeof tsp);
    tsp.dwSize = kServiceParaSize;
    tsp.wszUri = wideUrl.c_str();
    CADES_SIGN_PARA signPara;
    std::memset(&signPara, 0, sizeof signPara);
    signPara.dwSize = kSignParaSize;
    signPara.pTspConnectionPara = &tsp;

    if (!cades->FCadesMsgEnhanceSignature(msg, 0, &signPara))
      return closeAndFail(msg, "Ошибка в SignCades-CadesMsgEnhanceSignature");
    size = 0;
    if (!CryptMsgGetParam(msg, CMSG_ENCODED_MESSAGE, 0, nullptr, &size))
      return closeAndFail(msg, "Ошибка в SignCades-CryptMsgGetParam-3");
    encoded.assign(size, 0);
    if (!CryptMsgGetParam(msg, CMSG_ENCODED_MESSAGE, 0, encoded.data(), &size))
      return closeAndFail(msg, "Ошибка в SignCades-CryptMsgGetParam-4");
    encoded.resize(std::min<size_t>(size, encoded.size()));
    if (!CryptMsgClose(msg))
      return MyHandleError("Ошибка в SignCades-CryptMsgClose-2", false);
    TavrixUtils::ODebug("SignCades: enhanced " + toString(encoded.size()) +
                        " bytes");
  }

  std::string message = Encode(encoded);
  if (!smevMode) return message;

  const char* certSigOid =
      pCertContextCurrent->pCertInfo->SignatureAlgorithm.pszObjId;
  PCCRYPT_OID_INFO shown = nullptr;
  if (certSigOid != nullptr) {
    ALG_ID certAlg = CertOIDToAlgId(certSigOid);
    shown = CryptFindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &certAlg, 0);
  }
  std::string algOid, algName;
  if (shown != nullptr && shown->pszOID != nullptr) {
    algOid = shown->pszOID;
    if (shown->pwszName != nullptr) {
      try {
        algName = TavrixUtils::wstring_to_utf8(shown->pwszName);
      } catch (const std::exception&) {
        algName.clear();
      }
    }
  } else if (certSigOid != nullptr) {
    // No registered entry: the certificate's identifier still tells a
    // verifier the family, and no name is invented.
    algOid = certSigOid;
  }
  std::vector<BYTE> certDer(
      pCertContextCurrent->pbCertEncoded,
      pCertContextCurrent->pbCertEncoded + pCertContextCurrent->cbCertEncoded);
  return "<?xml version='1.0' encoding='utf-8'?><root><signature algOID='" +
         algOid + "' algName='" + algName + "'>" + message +
         "</signature><certificate>" + Encode(certDer) +
         "</certificate></root>";
}
