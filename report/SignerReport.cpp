// The HTML report of a message's first signer: its identifiers and
// algorithms, its certificate and that certificate's signature, and its
// signed and unsigned attributes.
#include <boost/format.hpp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "PrintTemplate.h"
#include "ReportText.h"
#include "TavrixUtils.h"

using report_text::Html;
using report_text::kEncoding;

namespace {

const char kSignerInfoMarker[] = "<!--SignerInfo-->";

const char kRowVersion[] =
    "<tr><td align=\"left\" valign=\"Top\">Версия</td><td align=\"justify\" "
    "valign=\"Top\">%d</td></tr>";
const char kRowIssuer[] =
    "<tr><td align=\"left\" valign=\"Top\">Издатель</td><td align=\"justify\" "
    "valign=\"Top\">%s</td></tr>";
const char kRowSerial[] =
    "<tr><td align=\"left\" valign=\"Top\">Серийный номер</td><td "
    "align=\"justify\" valign=\"Top\">%s</td></tr>";
const char kRowHashAlg[] =
    "<tr><td align=\"left\" valign=\"Top\">Алгоритм хэширования</td><td "
    "align=\"justify\" valign=\"Top\">%s (%s)</td></tr>";
const char kRowSignAlg[] =
    "<tr><td align=\"left\" valign=\"Top\">Алгоритм подписи</td><td "
    "align=\"justify\" valign=\"Top\">%s (%s)</td></tr>";
const char kRowEncryptedHash[] =
    "<tr><td align=\"left\" valign=\"Top\">Значение зашифрованного "
    "хэша</td><td "
    "align=\"justify\" valign=\"Top\">%s</td></tr>";
const char kAttrRow[] =
    "<tr><td width=\"20\"></td><td align=\"justify\" valign=\"Top\">%s</td><td "
    "align=\"justify\" valign=\"Top\">%s</td></tr>";

const char kOidContentType[] = "1.2.840.113549.1.9.3";
const char kOidRevocationValues[] = "1.2.840.113549.1.9.16.2.24";
const char kOidSignatureTimeStamp[] = "1.2.840.113549.1.9.16.2.14";
const char kOidEvidenceTimeStamp[] = "1.2.840.113549.1.9.16.2.25";
const char kOidCertValues[] = "1.2.840.113549.1.9.16.2.23";
const char kOidOtherSigCert[] = "1.2.840.113549.1.9.16.2.19";
const char kOidCertificateRefs[] = "1.2.840.113549.1.9.16.2.21";
const char kOidRevocationRefs[] = "1.2.840.113549.1.9.16.2.22";

std::string ObjId(const char* oid) { return oid != nullptr ? oid : ""; }

std::string AlgorithmText(const char* format,
                          const CRYPT_ALGORITHM_IDENTIFIER& alg) {
  const std::string oid = ObjId(alg.pszObjId);
  return (boost::format(format) % Html(oid) %
          Html(PrintTemplate::OIDtoStr(oid)))
      .str();
}

// CryptDecodeObject's two calls (size, then structure) into `out`.
bool Decode(LPCSTR type, const CRYPT_DER_BLOB& in, std::vector<BYTE>& out) {
  if (in.pbData == nullptr || in.cbData == 0) return false;
  DWORD size = 0;
  if (!CryptDecodeObject(kEncoding, type, in.pbData, in.cbData,
                         CRYPT_DECODE_NOCOPY_FLAG, nullptr, &size) ||
      size == 0)
    return false;
  try {
    out.assign(size, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return CryptDecodeObject(kEncoding, type, in.pbData, in.cbData,
                           CRYPT_DECODE_NOCOPY_FLAG, out.data(), &size) != 0;
}

// The certificate fragments of the certificates an attribute carries; those
// that do not decode are left out.
std::string CarriedCertificates(const CRYPT_DER_BLOB& value) {
  std::vector<BYTE> seqBuffer;
  if (!Decode(X509_SEQUENCE_OF_ANY, value, seqBuffer)) return std::string();
  const auto* seq = reinterpret_cast<CRYPT_SEQUENCE_OF_ANY*>(seqBuffer.data());
  std::string fragments;
  if (seq->rgValue == nullptr) return fragments;
  for (DWORD i = 0; i < seq->cValue; ++i) {
    std::vector<BYTE> certBuffer;
    if (!Decode(X509_CERT_TO_BE_SIGNED, seq->rgValue[i], certBuffer)) continue;
    fragments += PrintTemplate::ParseCert(
        reinterpret_cast<CERT_INFO*>(certBuffer.data()));
  }
  return fragments;
}

std::string AttributeRow(const CRYPT_ATTRIBUTE& attr) {
  const std::string oid = ObjId(attr.pszObjId);
  CRYPT_DER_BLOB value = {0, nullptr};
  if (attr.cValue > 0 && attr.rgValue != nullptr) value = attr.rgValue[0];

  const std::string name = PrintTemplate::OIDtoStr(oid);
  std::string caption =
      name.empty()
          ? Html(oid)
          : (boost::format("%s<br />(%s)") % Html(oid) % Html(name)).str();
  std::string text;
  if (oid == kOidContentType) {
    text = "N/A";
  } else if (oid == kOidRevocationValues) {
    text = PrintTemplate::ParseRevocationValues(value.pbData, value.cbData);
  } else if (oid == kOidSignatureTimeStamp) {
    caption += "<br />(Штамп времени на подпись)";
    text = PrintTemplate::ParseTS(value.pbData, value.cbData);
  } else if (oid == kOidEvidenceTimeStamp) {
    caption += "<br />(Штамп времени на доказательства подписи)";
    text = PrintTemplate::ParseTS(value.pbData, value.cbData);
  } else if (oid == kOidCertValues) {
    caption += "<br />(Дополнительные вложенные сертификаты)";
    text = CarriedCertificates(value);
  } else if (oid == kOidOtherSigCert) {
    caption += "<br />(id-aa-ets-otherSigCert)";
  } else if (oid == kOidCertificateRefs) {
    caption += "<br />(id-aa-ets-certificateRefs)";
  } else if (oid == kOidRevocationRefs) {
    caption += "<br />(id-aa-ets-revocationRefs)";
  } else {
    text = PrintTemplate::GetFormatedObject(attr.pszObjId, value.pbData,
                                            value.cbData);
  }
  return (boost::format(kAttrRow) % caption % text).str();
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

}  // namespace

std::string PrintTemplate::HtmlMain() {
  return std::string(
             "<html xmlns:msxsl=\"urn:schemas-microsoft-com:xslt\" "
             "xmlns:fo=\"") +
         "http://www.w3.org/1999/XSL/Format" +
         "\"><center><b>Подписи</b></center><table><tr><td "
         "colspan=\"2\"><b>Параметры подписи</b></td></tr><!--Status--><!--"
         "SignerInfo--></table></html>";
}

std::string PrintTemplate::GetHTML(void* hMsg,
                                   const CERT_CONTEXT*& pSignerCert) {
  TavrixUtils::ODebug("GetHTML: hMsg=" + toString(hMsg) +
                      " pSignerCert=" + toString(pSignerCert));
  std::string html = HtmlMain();
  DWORD size = 0;
  if (hMsg == nullptr ||
      !CryptMsgGetParam(hMsg, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) ||
      size == 0) {
    TavrixUtils::ODebug("GetHTML: CryptMsgGetParam1 error! " +
                        toString(GetLastError()));
    return html;
  }
  std::unique_ptr<void, FreeDeleter> buffer(std::malloc(size));
  if (!buffer) {
    TavrixUtils::ODebug("GetHTML: malloc error! " + toString(GetLastError()));
    return html;
  }
  if (!CryptMsgGetParam(hMsg, CMSG_SIGNER_INFO_PARAM, 0, buffer.get(), &size)) {
    TavrixUtils::ODebug("GetHTML: CryptMsgGetParam2 error! " +
                        toString(GetLastError()));
    return html;
  }
  auto* signer = static_cast<CMSG_SIGNER_INFO*>(buffer.get());
  // Without a certificate the signer's own rows still tell who signed.
  std::string sections = HtmlSignerInfo(signer);
  if (pSignerCert != nullptr) {
    sections += HtmlSignerCertInfo(pSignerCert->pCertInfo);
    sections += HtmlSignerCertSignInfo(pSignerCert->pbCertEncoded,
                                       pSignerCert->cbCertEncoded);
  } else {
    sections += HtmlSignerCertInfo(nullptr);
    sections += HtmlSignerCertSignInfo(nullptr, 0);
  }
  sections += HtmlSignerAtts(signer);
  html.replace(html.find(kSignerInfoMarker), std::strlen(kSignerInfoMarker),
               sections);
  TavrixUtils::ODebug("GetHTML: exit");
  return html;
}

std::string PrintTemplate::HtmlSignerInfo(CMSG_SIGNER_INFO* pSignerInfo) {
  TavrixUtils::ODebug("HtmlSignerInfo: pSignerInfo=" + toString(pSignerInfo));
  if (pSignerInfo == nullptr) return std::string();
  std::string html =
      (boost::format(kRowVersion) % pSignerInfo->dwVersion).str();
  html += (boost::format(kRowIssuer) % Html(GetCertName(&pSignerInfo->Issuer)))
              .str();
  html +=
      (boost::format(kRowSerial) % DumpMem(pSignerInfo->SerialNumber.pbData,
                                           pSignerInfo->SerialNumber.cbData))
          .str();
  html += AlgorithmText(kRowHashAlg, pSignerInfo->HashAlgorithm);
  html += AlgorithmText(kRowSignAlg, pSignerInfo->HashEncryptionAlgorithm);
  html += (boost::format(kRowEncryptedHash) %
           DumpMem(pSignerInfo->EncryptedHash.pbData,
                   pSignerInfo->EncryptedHash.cbData, false, true, 0))
              .str();
  TavrixUtils::ODebug("HtmlSignerInfo: exit");
  return html;
}

std::string PrintTemplate::HtmlSignerCertInfo(CERT_INFO* pCertInfo) {
  TavrixUtils::ODebug("HtmlSignerCertInfo: pCertInfo=" + toString(pCertInfo));
  return "<tr><td colspan=\"2\">Сертификат подписи</td></tr><tr><td "
         "colspan=\"2\"><table><tr><td width=\"20\"></td><td>" +
         ParseCert(pCertInfo) + "</td></tr></table></td></tr>";
}

std::string PrintTemplate::HtmlSignerCertSignInfo(unsigned char* pbCertEncoded,
                                                  unsigned int cbCertEncoded) {
  TavrixUtils::ODebug("HtmlSignerCertSignInfo: cbCertEncoded=" +
                      toString(cbCertEncoded));
  return (boost::format("<tr><td colspan=\"2\"><table "
                        "class=\"Cert_params\"><tr><td width=\"20\"></td><td>"
                        "%s</td></tr></table></td></tr><br/>") %
          ParseCertSignInfo(pbCertEncoded, cbCertEncoded))
      .str();
}

std::string PrintTemplate::HtmlSignerAtts(CMSG_SIGNER_INFO* pSignerInfo) {
  TavrixUtils::ODebug("HtmlSignerAtts: pSignerInfo=" + toString(pSignerInfo));
  std::string html =
      "<tr><td align=\"left\" valign=\"Top\" "
      "colspan=\"2\">Атрибуты</td></tr><tr><td colspan=\"2\"><table>";
  if (pSignerInfo != nullptr) {
    for (const CRYPT_ATTRIBUTES* list :
         {&pSignerInfo->AuthAttrs, &pSignerInfo->UnauthAttrs}) {
      if (list->rgAttr == nullptr) continue;
      for (DWORD i = 0; i < list->cAttr; ++i)
        html += AttributeRow(list->rgAttr[i]);
    }
  }
  html += "</table></td></tr>";
  TavrixUtils::ODebug("HtmlSignerAtts: exit");
  return html;
}

std::string PrintTemplate::ParseTS(unsigned char*, unsigned int) {
  return "N/A";
}

std::string PrintTemplate::ParseRevocationValues(unsigned char*, unsigned int) {
  return std::string();
}
