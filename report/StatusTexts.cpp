// What a verification found, in Russian: the signature, the certificate
// lookup and the chain, and the status block of a report built from them.
#include <boost/format.hpp>
#include <string>

#include "PrintTemplate.h"
#include "TavrixUtils.h"

namespace {

// Each sentence ends with a blank that belongs to it; they are appended in
// this order.
const struct {
  DWORD bit;
  const char* sentence;
} kTrustSentences[] = {
    {CERT_TRUST_IS_NOT_TIME_VALID,
     "Сертификат недействителен в данный момент. "},
    {CERT_TRUST_IS_NOT_TIME_NESTED,
     "В цепочке сертификатов время неправильное. "},
    {CERT_TRUST_IS_REVOKED, "Один из сертифкатов в цепочке был аннулирован. "},
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "Неверная подпись сертификата. "},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE,
     "Сертификат сервера не одобрен для таких соединений. "},
    {CERT_TRUST_IS_UNTRUSTED_ROOT,
     "Корневой сертификат цепочки не является доверенным. "},
    {CERT_TRUST_REVOCATION_STATUS_UNKNOWN,
     "Статус аннулирования сертификатов не выяснен. "},
    {CERT_TRUST_IS_CYCLIC, "Циклическая зависимость сертификатов. "},
    {CERT_TRUST_IS_PARTIAL_CHAIN,
     "Один из сертификатов в цепочке не является доверенным. "},
    {CERT_TRUST_CTL_IS_NOT_TIME_VALID,
     "Цепочка проверки сертификатов недействительная в данный момент. "},
    {CERT_TRUST_CTL_IS_NOT_SIGNATURE_VALID,
     "Цепочка проверки сертификатов не имеет правильной подписи. "},
    {CERT_TRUST_CTL_IS_NOT_VALID_FOR_USAGE,
     "Цепочка проверки сертификатов не одобрена для такого использования. "},
    {CERT_TRUST_IS_OFFLINE_REVOCATION,
     "Не удалось загрузить действующий список отозванных сертификатов. "},
};

const char kBlockOpen[] = "<tr><td valign=\"top\">Статус</td><td><table>";
const char kBlockClose[] = "</table></td></tr>";
const char kStatusRows[] =
    "<tr><td align=\"left\" valign=\"Top\">Общий статус подписи</td><td "
    "align=\"justify\" valign=\"Top\">%s</td></tr><tr><td align=\"left\" "
    "valign=\"Top\">Статус проверки математической корректности</td><td "
    "align=\"justify\" valign=\"Top\">%s</td></tr><tr><td align=\"left\" "
    "valign=\"Top\">Статус проверки сертификата</td><td align=\"justify\" "
    "valign=\"Top\">%s</td></tr>";
const char kSignatureValid[] = "Подпись верна";
// The "c" after "дей" is the Latin letter: the text is kept as users know it.
const char kCertificateValid[] = "Сертификат дейcтвителен";
const char kSomeCheckFailed[] =
    "Одна или несколько проверок окончились неудачей";

bool IsTrailingSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' ||
         c == '\f';
}

// The system's text for an error code with the code beside it; the code
// alone when there is no text (or for 0 and -1, which are not errors).
std::string ErrorCodeText(DWORD code) {
  if (code != 0 && code != 0xFFFFFFFF) {
    LPSTR buffer = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
        code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (n != 0 && buffer != nullptr) {
      std::string text(buffer, n);
      LocalFree(buffer);
      while (!text.empty() && IsTrailingSpace(text.back())) text.pop_back();
      return (boost::format("%s (%08x)") % text % code).str();
    }
    if (buffer != nullptr) LocalFree(buffer);
  }
  return (boost::format("%08x") % code).str();
}

}  // namespace

std::string PrintTemplate::HtmlStatus(_CHECKSIGNRESULT* pResult) {
  TavrixUtils::ODebug("HtmlStatus: pResult=" + toString(pResult));
  if (pResult == nullptr) return std::string();
  std::string html = kBlockOpen;
  const std::string signatureText = pResult->bSignatureValid
                                        ? std::string(kSignatureValid)
                                        : GetMsgCheckSignatureStatus(pResult);
  const std::string certificateText =
      pResult->bChainBuilt && pResult->dwChainStatus == 0
          ? std::string(kCertificateValid)
          : GetMsgCheckChainStatus(pResult);
  // Read after the chain text: rendering trust bits clears bChainBuilt.
  const char* verdict = pResult->bSignatureValid && pResult->bChainBuilt
                            ? kSignatureValid
                            : kSomeCheckFailed;
  html +=
      (boost::format(kStatusRows) % verdict % signatureText % certificateText)
          .str();
  html += kBlockClose;
  TavrixUtils::ODebug("HtmlStatus: exit");
  return html;
}

std::string PrintTemplate::GetMsgCheckSignatureStatus(
    _CHECKSIGNRESULT* pResult) {
  if (pResult == nullptr) return std::string();
  const std::string text = ErrorCodeText(pResult->dwSignatureError);
  TavrixUtils::ODebug("GetMsgCheckSignatureStatus: " + text);
  return text;
}

std::string PrintTemplate::GetMsgFindCertificateStatus(
    _CHECKSIGNRESULT* pResult) {
  if (pResult == nullptr) return std::string();
  const std::string text = ErrorCodeText(pResult->dwFindCertError);
  TavrixUtils::ODebug("GetMsgFindCertificateStatus: " + text);
  return text;
}

std::string PrintTemplate::GetMsgCheckChainStatus(_CHECKSIGNRESULT* pResult) {
  if (pResult == nullptr) return std::string();
  std::string text;
  if (pResult->bChainBuilt && pResult->dwChainStatus != 0) {
    pResult->bChainBuilt = false;
    std::string sentences;
    for (const auto& s : kTrustSentences)
      if (pResult->dwChainStatus & s.bit) sentences += s.sentence;
    text =
        (boost::format("%s (%08x)") % sentences % pResult->dwChainStatus).str();
  } else {
    text = ErrorCodeText(pResult->dwChainStatus);
  }
  TavrixUtils::ODebug("GetMsgCheckChainStatus: " + text);
  return text;
}

std::string PrintTemplate::GetMsgCheckCadesStatus(_CHECKSIGNRESULT*) {
  return std::string();
}
