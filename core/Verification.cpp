// Verification of CMS signed messages, attached and detached: the signature
// value through the provider (or the CAdES runtime for CAdES-X Long Type 1),
// the signer's chain, the result document and the content beside the file.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <cstring>
#include <string>
#include <vector>

#include "CadesF.h"
#include "PrintTemplate.h"
#include "TavrixCtrl.h"
#include "TavrixUtils.h"
#include "base64.h"

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const char kEnvelopePrefix[] = "<?xml version='1.0' encoding='utf-8'?><Error>";
const char kStatusMarker[] = "<!--Status-->";
// A log line shows this much of a page's signature: the rest would only be
// copied to be cut off again.
const size_t kLoggedSignature = 256;

std::string LogSample(const std::string& text) {
  if (text.size() <= kLoggedSignature) return text;
  return text.substr(0, kLoggedSignature) + "... (" + toString(text.size()) +
         " bytes)";
}

// Into `out`: base64 text decoded, anything else taken as the bytes
// themselves. The buffer is sized once and cut to what was decoded.
void TextToBytes(const std::string& text, std::vector<unsigned char>& out) {
  std::string& probe = const_cast<std::string&>(text);
  if (!text.empty() && base64::IsBase64(probe)) {
    out.assign(base64::GetLengthToDecode(text.size()), 0);
    size_t len = 0;
    base64::decoding(text.data(), text.size(),
                     reinterpret_cast<char*>(out.data()), &len);
    out.resize(len);
  } else {
    out.assign(text.begin(), text.end());
  }
}

// The provider's decoder sees a ContentInfo (a SEQUENCE) or nothing: content
// that does not start like one would be refused with a bad tag after being
// copied whole into a probe message, so the copy is skipped.
bool MayBeMessage(const std::vector<unsigned char>& content) {
  return !content.empty() && content[0] == 0x30;
}

std::string XmlAttrText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// One variable-size message parameter, asked twice as the provider expects.
// Kept in 8-byte units: structured parameters hold pointers into themselves.
bool GetMsgParam(HCRYPTMSG hMsg, DWORD type, DWORD index,
                 std::vector<uint64_t>& out, DWORD& size) {
  size = 0;
  if (!CryptMsgGetParam(hMsg, type, index, nullptr, &size)) return false;
  out.assign(size / 8 + 1, 0);
  return CryptMsgGetParam(hMsg, type, index, out.data(), &size) != FALSE;
}

// Signer verification hands the provider the very certificate that the
// chain check and the report judge.
PCCERT_CONTEXT WINAPI SignerCertificateCallback(void* pvGetArg, DWORD,
                                                PCERT_INFO, HCERTSTORE) {
  PCCERT_CONTEXT cert = static_cast<PCCERT_CONTEXT>(pvGetArg);
  if (cert == nullptr) {
    SetLastError(CRYPT_E_SIGNER_NOT_FOUND);
    return nullptr;
  }
  return CertDuplicateCertificateContext(cert);
}

// The first certificate in `store` with the signer's identifier.
PCCERT_CONTEXT FindById(HCERTSTORE store, const CERT_ID& id) {
  return CertFindCertificateInStore(store, kEncoding, 0, CERT_FIND_CERT_ID, &id,
                                    nullptr);
}

}  // namespace

std::string TavrixCtrl::Verify(const std::string& data,
                               const std::string& signature,
                               const std::string& params, int& nested) {
  TavrixUtils::ODebug("Verify: Params=" + params +
                      " Signature=" + LogSample(signature));
  bool attached = false;
  std::string extracted =
      ExtractSignedMessage(data, signature, nested, attached);
  if (!extracted.empty()) return extracted;

  checkRevocation = FindParam(params, "CheckRevocation") == "1";
  const bool htmlOn = FindParam(params, "HtmlOn") == "1";

  BOOL isCades = FALSE;
  if (cades == nullptr && CadesF::FindCadesDll() == "1") cades = new CadesF();
  if (cades != nullptr && cades->hCadesDll != nullptr) {
    if (!cades->FCadesMsgIsType(hMsg, 0, CADES_X_LONG_TYPE_1, &isCades)) {
      std::string envelope =
          MyHandleError("ExtractSignedMessage-CadesMsgIsType", false);
      CloseVerifiedMessage();
      return envelope;
    }
  }

  bool isValid = true;
  bool isMathValid = true;
  std::string status;
  if (isCades && !attached) {
    status = VerifyDetachedCades(isValid);
  } else {
    status = isCades ? VerifyCades(hMsg, isValid)
                     : VerifyCrypt(isValid, isMathValid, attached);
  }
  if (status.find(kEnvelopePrefix) != std::string::npos) isValid = false;

  std::string result = "<?xml version='1.0' encoding='utf-8'?><Result><Message";
  result += std::string(" isValid='") + (isValid ? "1" : "0") + "'";
  result += std::string(" isMathValid='") + (isMathValid ? "1" : "0") + "'";
  result += ">" + status + "</Message>";
  result += signerCertXml;
  if (htmlOn) {
    result += "<Html><![CDATA[";
    result += PrintTemplate::GetHTML(hMsg, pCertContextCurrent);
    const std::string row =
        (boost::format("<tr><td valign=\"top\">Статус</td><td><table>%s</table>"
                       "</td></tr>") %
         status)
            .str();
    const size_t marker = result.find(kStatusMarker);
    if (marker != std::string::npos)
      result.replace(marker, sizeof(kStatusMarker) - 1, row);
    result += "]]></Html>";
  }
  result += "</Result>";
  TavrixUtils::ODebug("Verify: " + result);

  if (!CryptMsgClose(hMsg)) {
    hMsg = nullptr;
    return MyHandleError("Verify-CryptMsgClose", false);
  }
  hMsg = nullptr;
  // The caller's bytes may go away once this call returns.
  signatureView = nullptr;
  signatureViewSize = 0;
  TavrixUtils::ODebug("Verify:exit!");
  return result;
}

void TavrixCtrl::CloseVerifiedMessage() {
  if (hMsg == nullptr) return;
  const DWORD err = GetLastError();
  CryptMsgClose(hMsg);
  hMsg = nullptr;
  SetLastError(err);
}

std::string TavrixCtrl::ExtractSignedMessage(const std::string& data,
                                             const std::string& signature,
                                             int& nested, bool& attached) {
  TavrixUtils::ODebug(
      "ExtractSignedMessage: dataSize=" + toString(data.size()) +
      " signatureSize=" + toString(signature.size()));
  if (signature.empty()) return MyHandleError("Пустая подпись.", false);

  // A second call on the same controller starts from a clean state.
  CloseVerifiedMessage();
  ReleaseVerifiedCert();

  // Raw DER is read where it stands: a copy of a large message would only
  // add its size to the peak.
  std::string& probe = const_cast<std::string&>(signature);
  if (base64::IsBase64(probe)) {
    TextToBytes(signature, signatureBytes);
    signatureView = signatureBytes.data();
    signatureViewSize = signatureBytes.size();
  } else {
    signatureBytes.clear();
    signatureView = reinterpret_cast<const BYTE*>(signature.data());
    signatureViewSize = signature.size();
  }
  TextToBytes(data, dataBytes);

  hMsg = CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
  if (hMsg == nullptr)
    return MyHandleError("ExtractSignedMessage-CryptMsgOpenToDecode", false);
  auto fail = [&](const char* step) {
    std::string envelope = MyHandleError(step, false);
    CloseVerifiedMessage();
    return envelope;
  };
  // The provider takes 32-bit sizes: a larger message must not be cut.
  if (signatureViewSize > 0xFFFFFFFFull || dataBytes.size() > 0xFFFFFFFFull) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return fail("ExtractSignedMessage-CryptMsgUpdate");
  }
  if (!CryptMsgUpdate(hMsg, signatureView,
                      static_cast<DWORD>(signatureViewSize), TRUE))
    return fail("ExtractSignedMessage-CryptMsgUpdate");
  const bool fromFile = &signature == &fileSignature;

  DWORD contentSize = 0;
  if (!CryptMsgGetParam(hMsg, CMSG_CONTENT_PARAM, 0, nullptr, &contentSize))
    return fail("ExtractSignedMessage-CryptMsgGetParam 1");

  if (contentSize > 0 && fromFile) {
    if (signatureBytes.empty()) {
      signatureView = nullptr;
      signatureViewSize = 0;
    }
    std::string().swap(fileSignature);
  }
  if (contentSize == 0) {
    contentBase64 = base64::encoding(data.data(), data.size());
    attached = false;
  } else {
    std::vector<unsigned char> content(contentSize);
    if (!CryptMsgGetParam(hMsg, CMSG_CONTENT_PARAM, 0, content.data(),
                          &contentSize))
      return fail("ExtractSignedMessage-CryptMsgGetParam 2");
    content.resize(contentSize);
    if (MayBeMessage(content)) {
      HCRYPTMSG probe =
          CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr);
      if (probe == nullptr)
        return fail("ExtractSignedMessage-CryptMsgOpenToDecodeN");
      if (CryptMsgUpdate(probe, content.data(),
                         static_cast<DWORD>(content.size()), TRUE))
        nested = 1;
      else if (GetLastError() == CRYPT_E_ASN1_BADTAG)
        nested = 0;
      CryptMsgClose(probe);
    } else {
      nested = 0;
    }
    contentBase64 = base64::encoding(
        reinterpret_cast<const char*>(content.data()), content.size());
    attached = true;
    // The open message holds everything the attached check needs (and
    // VerifyFile's own bytes went above).
    std::vector<unsigned char>().swap(signatureBytes);
    signatureView = nullptr;
    signatureViewSize = 0;
  }
  TavrixUtils::ODebug(
      "ExtractSignedMessage: attached=" + toString(attached ? 1 : 0) +
      " nested=" + toString(nested));

  if (!GetCetrificateFromMessage(hMsg, &pCertContextCurrent)) {
    pCertContextCurrent = nullptr;
    return fail("ExtractSignedMessage-GetCetrificateFromMessage");
  }
  verifiedCertOwned = true;
  signerCertXml = GetXmlFromCertificate(pCertContextCurrent, 366, 14);
  return std::string();
}

bool TavrixCtrl::GetCetrificateFromMessage(void* hMsgIn,
                                           const CERT_CONTEXT** ppCert) {
  // The certificate that signer 0 names by issuer and serial number or by
  // key identifier: any other certificate of the message (a CA's, say)
  // says nothing about who signed.
  *ppCert = nullptr;
  HCRYPTMSG msg = static_cast<HCRYPTMSG>(hMsgIn);
  std::vector<uint64_t> buffer;
  DWORD size = 0;
  if (!GetMsgParam(msg, CMSG_CMS_SIGNER_INFO_PARAM, 0, buffer, size)) {
    TavrixUtils::ODebug("GetCetrificateFromMessage: no signer 0, error=" +
                        toString(GetLastError()));
    return false;
  }
  const CMSG_CMS_SIGNER_INFO* signer =
      reinterpret_cast<const CMSG_CMS_SIGNER_INFO*>(buffer.data());
  const CERT_ID& id = signer->SignerId;

  PCCERT_CONTEXT found = nullptr;
  HCERTSTORE carried =
      CertOpenStore(CERT_STORE_PROV_MEMORY, kEncoding, 0, 0, nullptr);
  if (carried != nullptr) {
    DWORD count = 0;
    DWORD countSize = sizeof(count);
    if (!CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &count, &countSize))
      count = 0;
    for (DWORD i = 0; i < count; ++i) {
      std::vector<uint64_t> cert;
      DWORD certSize = 0;
      // A certificate that does not parse is left out, not fatal: the
      // signer's own may still be among the others.
      if (GetMsgParam(msg, CMSG_CERT_PARAM, i, cert, certSize))
        CertAddEncodedCertificateToStore(
            carried, kEncoding, reinterpret_cast<const BYTE*>(cert.data()),
            certSize, CERT_STORE_ADD_ALWAYS, nullptr);
    }
    found = FindById(carried, id);
    CertCloseStore(carried, 0);
  }
  static const wchar_t* const kUserStores[] = {L"MY", L"AddressBook", L"CA",
                                               L"ROOT"};
  for (const wchar_t* name : kUserStores) {
    if (found != nullptr) break;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER |
                                         CERT_STORE_READONLY_FLAG |
                                         CERT_STORE_OPEN_EXISTING_FLAG,
                                     name);
    if (store == nullptr) continue;
    found = FindById(store, id);
    CertCloseStore(store, 0);
  }
  TavrixUtils::ODebug("GetCetrificateFromMessage: found=" +
                      toString(found != nullptr ? 1 : 0));
  if (found == nullptr) {
    SetLastError(CRYPT_E_SIGNER_NOT_FOUND);
    return false;
  }
  *ppCert = found;
  return true;
}

std::string TavrixCtrl::VerifyCrypt(bool& isValid, bool& isMathValid,
                                    bool attached) {
  TavrixUtils::ODebug("VerifyCrypt: attached=" + toString(attached ? 1 : 0));
  std::string status;
  // True when the call failed for a reason other than the signature value.
  auto judge = [&](BOOL ok) {
    if (ok) {
      status = "Подпись математически верна. ";
      return false;
    }
    const DWORD err = GetLastError();
    if (err == static_cast<DWORD>(NTE_BAD_SIGNATURE) ||
        err == CRYPT_E_HASH_VALUE) {
      isValid = false;
      isMathValid = false;
      status = "Неверная подпись. " + MyHandleError("", true) + " ";
      return false;
    }
    SetLastError(err);
    return true;
  };

  if (attached) {
    // The message is open already: checking signer 0 on it with the
    // certificate the chain check judges decodes nothing a second time,
    // where the one-call check would decode and copy the whole message
    // (content included) once for its size and once more for the content.
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA para;
    std::memset(&para, 0, sizeof(para));
    para.cbSize = sizeof(para);
    para.dwSignerIndex = 0;
    para.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    para.pvSigner = const_cast<CERT_CONTEXT*>(pCertContextCurrent);
    BOOL ok = CryptMsgControl(hMsg, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &para);
    if (judge(ok))
      return MyHandleError("VerifyCrypt-CryptVerifyMessageSignature", false);
  } else {
    CRYPT_VERIFY_MESSAGE_PARA para;
    std::memset(&para, 0, sizeof(para));
    para.cbSize = 32;
    para.dwMsgAndCertEncodingType = kEncoding;
    para.pfnGetSignerCertificate = SignerCertificateCallback;
    para.pvGetArg = const_cast<CERT_CONTEXT*>(pCertContextCurrent);
    const BYTE* blocks[] = {dataBytes.data()};
    DWORD sizes[] = {static_cast<DWORD>(dataBytes.size())};
    BOOL ok = CryptVerifyDetachedMessageSignature(
        &para, 0, signatureView, static_cast<DWORD>(signatureViewSize), 1,
        blocks, sizes, nullptr);
    if (judge(ok))
      return MyHandleError("VerifyCrypt-CryptVerifyDetachedMessageSignature",
                           false);
  }
  status += VerifyTrust(pCertContextCurrent, checkRevocation, isValid);
  TavrixUtils::ODebug("VerifyCrypt: " + status);
  return status;
}

std::string TavrixCtrl::VerifyCades(void* hMsgIn, bool& isValid) {
  TavrixUtils::ODebug("VerifyCades:");
  PCADES_VERIFICATION_INFO info = nullptr;
  if (!cades->FCadesMsgVerifySignature(static_cast<HCRYPTMSG>(hMsgIn), 0,
                                       nullptr, &info)) {
    std::string envelope =
        MyHandleError("VerifyCades-CadesMsgVerifySignature", false);
    if (info != nullptr) cades->FCadesFreeVerificationInfo(info);
    return envelope;
  }
  // The record's layout is the runtime's; its second 32-bit field is the
  // verdict. A runtime that reports success without a record has none.
  DWORD dwStatus = 0xFFFFFFFF;
  if (info != nullptr)
    std::memcpy(&dwStatus, reinterpret_cast<const char*>(info) + 4, 4);
  TavrixUtils::ODebug("dwStatus: " + toString(dwStatus));

  static const char* const kTexts[] = {
      "Успешная проверка подписи.",
      "Отсутствуют или имеют неправильный формат атрибуты со ссылками и "
      "значениями доказательств подлинности.",
      "Сертификат, на ключе которого было подписано сообщение, не найден.",
      "В сообщении не найден действительный штамп времени на подпись.",
      "Значения ссылок на доказательства подлинности и сами доказательства, "
      "вложенные в сообщение, не соответствуют друг другу.",
      "Не удалось построить цепочку для сертификата, на ключе которого "
      "подписано сообщение.",
      "Ошибка проверки конечного сертификата на отзыв.",
      "Ошибка проверки сертификата цепочки на отзыв.",
      "Сообщение содержит неверную подпись.",
      "В сообщении не найден действительный штамп времени на доказательства "
      "подлинности подписи.",
      nullptr,
      nullptr,
      nullptr,
      "Значение подписанного атрибута content-type не совпадает со значением, "
      "указанным в поле encapContentInfo.eContentType."};
  const size_t known = sizeof(kTexts) / sizeof(kTexts[0]);
  std::string status;
  if (dwStatus < known && kTexts[dwStatus] != nullptr)
    status = kTexts[dwStatus];
  else
    status = "Неизвестный статус проверки" +
             (boost::format(" (0x%x)") % dwStatus).str();
  isValid = dwStatus == 0;
  TavrixUtils::ODebug("VerifyCades: " + status);
  if (info != nullptr && !cades->FCadesFreeVerificationInfo(info))
    return MyHandleError("VerifyCades-CadesFreeVerificationInfo", false);
  return status;
}

std::string TavrixCtrl::VerifyDetachedCades(bool& isValid) {
  // The message opened for the report carries no content, so the runtime
  // would judge the signature over nothing and call every detached
  // signature wrong; it gets a message that was given the data as well.
  HCRYPTMSG detached = CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0,
                                            nullptr, nullptr);
  if (detached == nullptr)
    return MyHandleError("VerifyCades-CryptMsgOpenToDecode", false);
  if (!CryptMsgUpdate(detached, signatureView,
                      static_cast<DWORD>(signatureViewSize), TRUE) ||
      !CryptMsgUpdate(detached, dataBytes.data(),
                      static_cast<DWORD>(dataBytes.size()), TRUE)) {
    std::string envelope = MyHandleError("VerifyCades-CryptMsgUpdate", false);
    CryptMsgClose(detached);
    return envelope;
  }
  std::string status = VerifyCades(detached, isValid);
  CryptMsgClose(detached);
  return status;
}

std::string TavrixCtrl::VerifyFile(const std::string& PathData,
                                   std::string PathSignature,
                                   const std::string& params, int& nested) {
  TavrixUtils::ODebug("VerifyFile: PathData=" + PathData +
                      " PathSignature=" + PathSignature + " Params=" + params);
  bool extract = true;
  std::string data;
  if (!PathData.empty()) {
    data = LoadFile(PathData, false);
    if (data.find("<Error>") != std::string::npos) return data;
    extract = false;
  }
  std::string refused = LoadSignatureFile(PathSignature, fileSignature);
  if (!refused.empty()) return refused;

  std::string result = Verify(data, fileSignature, params, nested);
  // What Verify decoded is all it needs from here on.
  std::string().swap(fileSignature);
  std::string().swap(data);
  if (result.find(kEnvelopePrefix) != std::string::npos) return result;

  if (extract) {
    if (contentBase64.empty()) {
      // A detached signature carries nothing to write, and no data was
      // given to check it against: an empty file over whatever stands at
      // the derived name would only destroy it.
      SetLastError(ERROR_INVALID_PARAMETER);
      return MyHandleError(
          "Подпись не содержит подписанных данных: укажите файл данных.",
          false);
    }
    std::string outPath = ExtractedContentPath(PathSignature);
    std::vector<char> content(base64::GetLengthToDecode(contentBase64.size()));
    size_t len = 0;
    base64::decoding(contentBase64.data(), contentBase64.size(), content.data(),
                     &len);
    std::string().swap(contentBase64);
    std::string saved = SaveFile(outPath, content.data(), len);
    if (saved.find("<Error>") != std::string::npos) return saved;
    const size_t close = result.find("</Message>");
    if (close != std::string::npos)
      result.replace(close, 10,
                     "</Message><ExtractedFilePath>" + XmlAttrText(saved) +
                         "</ExtractedFilePath>");
  }
  TavrixUtils::ODebug("VerifyFile: " + result);
  return result;
}

std::string TavrixCtrl::LoadSignatureFile(const std::string& path,
                                          std::string& bytes) {
  // The file as it stands, base64 or DER: Verify takes either, so the base64
  // round trip of a loader that always hands out text would only cost time
  // and a third of the size again in memory.
  TavrixUtils::ODebug("LoadSignatureFile: Path=" + path);
  std::string refused = CheckPagePath(path);
  if (!refused.empty()) return refused;
  const std::string normalized = NormalizeFileNamePath(path);
  std::string envelope;
  const int fd = OpenFileToRead(normalized, &envelope);
  if (fd < 0) return envelope;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int err = errno;
    close(fd);
    return FileReadEnvelope(normalized, err);
  }
  bytes.resize(static_cast<size_t>(st.st_size));
  const ssize_t got = ReadBlock(fd, &bytes[0], bytes.size());
  if (got < 0) {
    const int err = errno;
    close(fd);
    return FileReadEnvelope(normalized, err);
  }
  bytes.resize(static_cast<size_t>(got));
  NoteInputFile(fd);
  close(fd);
  return std::string();
}

std::string TavrixCtrl::ExtractedContentPath(const std::string& signaturePath) {
  for (const char* suffix : {".p7s", ".P7S"}) {
    const size_t at = signaturePath.rfind(suffix);
    if (at != std::string::npos) return std::string(signaturePath).erase(at, 4);
  }
  // Any other name: the content goes next to the signature under a name of
  // its own, never over the signature file itself.
  for (const char* suffix : {".p7m", ".P7M"}) {
    const size_t len = signaturePath.size();
    if (len > 4 && signaturePath.compare(len - 4, 4, suffix) == 0 &&
        signaturePath[len - 5] != '/')
      return signaturePath.substr(0, len - 4);
  }
  return signaturePath + ".data";
}

void TavrixCtrl::ReleaseVerifiedCert() {
  if (verifiedCertOwned && pCertContextCurrent != nullptr)
    CertFreeCertificateContext(pCertContextCurrent);
  if (verifiedCertOwned) pCertContextCurrent = nullptr;
  verifiedCertOwned = false;
}
