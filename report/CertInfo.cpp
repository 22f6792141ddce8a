// One certificate as an HTML fragment, and the small converters the report
// uses everywhere: identifiers to names, bytes to hexadecimal, names to text.
#include <boost/format.hpp>
#include <cstdint>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "PrintTemplate.h"
#include "ReportText.h"
#include "TavrixUtils.h"

using report_text::Html;
using report_text::kEncoding;

namespace {

std::string UtcText(const FILETIME& ft) {
  const time_t t = static_cast<time_t>(TavrixUtils::FILETIME2UNIXTIME(ft));
  struct tm parts = {};
  if (gmtime_r(&t, &parts) == nullptr) return "0000-00-00 00:00:00";
  return (boost::format("%04d-%02d-%02d %02d:%02d:%02d") %
          (parts.tm_year + 1900) % (parts.tm_mon + 1) % parts.tm_mday %
          parts.tm_hour % parts.tm_min % parts.tm_sec)
      .str();
}

std::string ObjId(const char* oid) { return oid != nullptr ? oid : ""; }

}  // namespace

std::string PrintTemplate::OIDtoStr(std::string oid) {
  // The lookup stops at a NUL: "1.2\0x" must not pass for "1.2".
  if (oid.empty() || oid.find('\0') != std::string::npos) return std::string();
  PCCRYPT_OID_INFO info = CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY,
                                           const_cast<char*>(oid.c_str()), 0);
  if (info == nullptr || info->pwszName == nullptr) return std::string();
  return TavrixUtils::wstring_to_string(info->pwszName);
}

std::string PrintTemplate::DumpMem(unsigned char* pb, unsigned int cb) {
  return DumpMem(pb, cb, true, false, 0);
}

std::string PrintTemplate::DumpMem(unsigned char* pb, unsigned int cb,
                                   bool reverse, bool spaced, int lineLength) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  if (pb == nullptr) return out;
  out.reserve(static_cast<size_t>(cb) * 3);
  for (unsigned int i = 0; i < cb; ++i) {
    const unsigned char b = pb[reverse ? cb - 1 - i : i];
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
    if (i + 1 == cb) break;
    if (lineLength > 0 && (i + 1) % static_cast<unsigned int>(lineLength) == 0)
      out += '\n';
    else if (spaced)
      out += ' ';
  }
  return out;
}

std::string PrintTemplate::GetCertName(CERT_NAME_BLOB* pName) {
  const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  if (pName == nullptr) return std::string();
  const DWORD need = CertNameToStrW(kEncoding, pName, type, nullptr, 0);
  if (need == 0) return std::string();
  std::vector<wchar_t> buffer;
  try {
    buffer.resize(need);
  } catch (const std::bad_alloc&) {
    return std::string();
  }
  const DWORD got = CertNameToStrW(kEncoding, pName, type, buffer.data(), need);
  if (got == 0 || got > need) return std::string();
  // The count includes the terminator; zeros inside the name are kept.
  return TavrixUtils::wstring_to_string(std::wstring(buffer.data(), got - 1));
}

std::string PrintTemplate::GetFormatedObject(char*, unsigned char*,
                                             unsigned int) {
  return std::string();
}

std::string PrintTemplate::ParseCert(CERT_INFO* pCertInfo) {
  TavrixUtils::ODebug("ParseCert: pCertInfo=" + toString(pCertInfo));
  if (pCertInfo == nullptr) return std::string();
  std::string html =
      "<p>Информация о сертификате</p>Параметры сертификата:"
      "<table class=\"Cert_params\"><tr><td width=\"20\"></td><td>";
  html += (boost::format("<p>Версия: %d</p>") %
           (static_cast<uint64_t>(pCertInfo->dwVersion) + 1))
              .str();
  html +=
      (boost::format("<p>Серийный номер: %s</p>") %
       DumpMem(pCertInfo->SerialNumber.pbData, pCertInfo->SerialNumber.cbData))
          .str();
  html += (boost::format("<p>Издатель: %s</p>") %
           Html(GetCertName(&pCertInfo->Issuer)))
              .str();
  html += (boost::format("<p>Действителен с: %s UTC<br />Действителен по: %s "
                         "UTC</p>") %
           UtcText(pCertInfo->NotBefore) % UtcText(pCertInfo->NotAfter))
              .str();
  html += (boost::format("<p>Владелец: %s</p>") %
           Html(GetCertName(&pCertInfo->Subject)))
              .str();
  const CERT_PUBLIC_KEY_INFO& key = pCertInfo->SubjectPublicKeyInfo;
  const std::string keyAlg = ObjId(key.Algorithm.pszObjId);
  html += (boost::format("Открытый ключ: <table><tr><td width=\"20\"></td><td>"
                         "<p>Алгоритм открытого ключа: %s (%s)</p><p>Значение "
                         "открытого ключа: %s (незначащих бит: %d)</p></td>"
                         "</tr></table>") %
           Html(keyAlg) % Html(OIDtoStr(keyAlg)) %
           DumpMem(key.PublicKey.pbData, key.PublicKey.cbData, false, true, 0) %
           key.PublicKey.cUnusedBits)
              .str();
  html += "<p>Расширения сертификата: ";
  if (pCertInfo->rgExtension != nullptr) {
    for (DWORD i = 0; i < pCertInfo->cExtension; ++i) {
      const CERT_EXTENSION& ext = pCertInfo->rgExtension[i];
      const std::string oid = Html(ObjId(ext.pszObjId));
      html += "<p>" + oid;
      const std::string name = OIDtoStr(ObjId(ext.pszObjId));
      if (!name.empty()) html += (boost::format(" (%s)") % Html(name)).str();
      if (ext.fCritical) html += ",критическое расширение";
      html += ":<br />";
      // The encoded value is not rendered; the identifier stands in for it.
      html += (boost::format("Значение: <table><tr><td width=\"20\"></td><td>%s"
                             "</td></tr></table>") %
               oid)
                  .str();
      html += "</p>";
    }
  }
  html += "</p></td></tr></table>";
  TavrixUtils::ODebug("ParseCert: exit");
  return html;
}

std::string PrintTemplate::ParseCertSignInfo(unsigned char* pbCertEncoded,
                                             unsigned int cbCertEncoded) {
  TavrixUtils::ODebug(
      "ParseCertSignInfo: pbCertEncoded=" + toString(pbCertEncoded) +
      " cbCertEncoded=" + toString(cbCertEncoded));
  if (pbCertEncoded == nullptr || cbCertEncoded == 0) return std::string();
  CERT_SIGNED_CONTENT_INFO* info = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(kEncoding, X509_CERT, pbCertEncoded, cbCertEncoded,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size) ||
      info == nullptr) {
    TavrixUtils::ODebug("ParseCertSignInfo: CryptDecodeObjectEx error! " +
                        toString(GetLastError()));
    return std::string();
  }
  const std::string alg = ObjId(info->SignatureAlgorithm.pszObjId);
  const std::string html =
      (boost::format("<p>Алгоритм подписи: %s (%s)</p><p>Значение подписи: %s "
                     "(незначащих бит: %d)</p>") %
       Html(alg) % Html(OIDtoStr(alg)) %
       DumpMem(info->Signature.pbData, info->Signature.cbData, false, true, 0) %
       info->Signature.cUnusedBits)
          .str();
  LocalFree(info);
  TavrixUtils::ODebug("ParseCertSignInfo: exit");
  return html;
}
