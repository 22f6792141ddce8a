// The certificate selection listing: which certificates of the personal
// store a page may offer, with their names, effective validity and serial.
#include <utf8.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <iterator>
#include <limits>
#include <locale>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TavrixCtrl.h"
#include "TavrixUtils.h"

namespace {

const DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const char kXmlProlog[] = "<?xml version='1.0' encoding='utf-8'?>";
const char HexLine[] = "0123456789ABCDEF";
const int64_t kSecondsPerDay = 86400;

std::time_t SystemNow() { return time(NULL); }

// Wide text as the provider hands it out may hold values that are not code
// points; those become U+FFFD instead of losing the whole name.
std::string WideToUtf8Lenient(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    uint32_t cp = static_cast<uint32_t>(wc);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    utf8::unchecked::append(cp, std::back_inserter(out));
  }
  return out;
}

std::string WideToUtf8(const std::wstring& text) {
  try {
    return TavrixUtils::wstring_to_utf8(text);
  } catch (const std::exception&) {
    return WideToUtf8Lenient(text);
  }
}

// Upper-cases through the global locale object. That object is the classic
// locale unless the host changed it, and the classic locale folds Latin
// only, so a filter in lower-case Cyrillic (what users of Russian
// certificates type) would never match; Cyrillic, Ё included, is therefore
// folded here whatever the locale. A text that is not UTF-8 is compared as it
// stands rather than failing the whole listing.
std::string FoldCase(const std::string& text) {
  try {
    std::wstring wide = TavrixUtils::utf8_to_wstring(text);
    const std::ctype<wchar_t>& ct =
        std::use_facet<std::ctype<wchar_t>>(std::locale());
    if (!wide.empty()) ct.toupper(&wide[0], &wide[0] + wide.size());
    for (wchar_t& c : wide) {
      if (c >= L'\u0430' && c <= L'\u044F')  // а..я
        c -= 0x20;
      else if (c >= L'\u0450' && c <= L'\u045F')  // ѐ..џ, ё among them
        c -= 0x50;
    }
    return TavrixUtils::wstring_to_utf8(wide);
  } catch (const std::exception&) {
    return text;
  }
}

void ReplaceAll(std::string& text, const std::string& from,
                const std::string& to) {
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

// Certificate names are anybody's text ("AT&T", "Рога & Копыта"); one bare
// "&" would make the whole listing ill-formed, so element texts are escaped
// as a whole.
std::string XmlText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else
      out += c;
  }
  return out;
}

// A name as the provider writes it, unescaped: what the filters compare.
std::string RawName(const CERT_NAME_BLOB& blob, bool isNameX500) {
  DWORD type = (isNameX500 ? CERT_X500_NAME_STR : CERT_SIMPLE_NAME_STR) |
               CERT_NAME_STR_REVERSE_FLAG;
  // Not zero-filled: a listing calls this five times per certificate. The
  // first and last characters are set so that a call that writes nothing,
  // or fills the whole buffer, still leaves a terminated text.
  const DWORD kChars = 4096;
  std::unique_ptr<wchar_t[]> buffer(new wchar_t[kChars]);
  buffer[0] = L'\0';
  buffer[kChars - 1] = L'\0';
  CERT_NAME_BLOB copy = blob;
  CertNameToStrW(kCertEncoding, &copy, type, buffer.get(), kChars);
  buffer[kChars - 1] = L'\0';
  return WideToUtf8(std::wstring(buffer.get()));
}

std::vector<std::string> Fragments(const std::string& text,
                                   const std::string& separator) {
  std::vector<std::string> out;
  size_t start = 0;
  size_t sep;
  while ((sep = text.find(separator, start)) != std::string::npos) {
    out.push_back(text.substr(start, sep - start));
    start = sep + separator.size();
  }
  return out;
}

// The signed 32-bit form the listing prints times in.
int32_t AsInt32(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(value));
}

}  // namespace

std::time_t (*TavrixCtrl::CurrentTime)() = SystemNow;

std::string TavrixCtrl::SelectCertificate(std::string Name,
                                          std::string Params) {
  TavrixUtils::ODebug("SelectCertificate: Name=" + Name);
  HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kCertEncoding, 0,
                                    CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
  if (hStore == nullptr) {
    TavrixUtils::ODebug("SelectCertificate: CertOpenStore failed");
    return MyHandleError("Не удалось открыть хранилище сертификатов", false);
  }

  std::string oidFilter = FindParam(Params, "FilterOID");
  std::string text = FindParam(Params, "SecretKeyValidity");
  int secretKeyValidity = text.empty() ? 366 : fromString<int>(text);
  text = FindParam(Params, "NumDaysWarnBeforeCertEnd");
  int numDaysWarn = text.empty() ? 14 : fromString<int>(text);
  std::string issuerFilter = FindParam(Params, "Issuer");

  ReplaceAll(oidFilter, " ", "");
  if (!oidFilter.empty()) oidFilter += ",";
  if (!issuerFilter.empty()) issuerFilter += ";";
  std::string serialFilter;
  std::string subjectFilter;
  if (!Name.empty() && Name[0] == '#') {
    serialFilter = Name + ";";
  } else if (!Name.empty()) {
    subjectFilter = Name + ";";
  }
  TavrixUtils::ODebug("SelectCertificate: FilterOID=" + oidFilter +
                      " SecretKeyValidity=" + toString(secretKeyValidity) +
                      " NumDaysWarnBeforeCertEnd=" + toString(numDaysWarn) +
                      " Issuer=" + issuerFilter);

  std::string result = std::string(kXmlProlog) + "<Certificates>";
  PCCERT_CONTEXT pCert = nullptr;
  while ((pCert = FindCertificate(hStore, "", pCert)) != nullptr) {
    std::string usages;
    const CERT_INFO* info = pCert->pCertInfo;
    if (info == nullptr) continue;
    PCERT_EXTENSION ext = CertFindExtension(
        szOID_ENHANCED_KEY_USAGE, info->cExtension, info->rgExtension);
    if (ext != nullptr) {
      PCERT_ENHKEY_USAGE usage = nullptr;
      DWORD cbUsage = 0;
      if (CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE,
                              ext->Value.pbData, ext->Value.cbData,
                              CRYPT_DECODE_ALLOC_FLAG, nullptr, &usage,
                              &cbUsage) &&
          usage != nullptr) {
        for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
          if (usage->rgpszUsageIdentifier[i] != nullptr) {
            usages += usage->rgpszUsageIdentifier[i];
          }
          usages += ",";
        }
      }
      if (usage != nullptr) LocalFree(usage);
    }

    if (!IsValidBySerials(pCert, serialFilter, ";")) continue;
    // An empty filter accepts any text, so the names are only read when a
    // filter will look at them: a large store lists in half the time.
    std::string subjectText;
    // The filters see the names as the page's user reads them, unescaped.
    if (!subjectFilter.empty()) {
      subjectText = RawName(info->Subject, false);
      std::string names = GetSurAndGivenNamesFromCert(pCert);
      if (!names.empty()) subjectText += ", " + names;
      subjectText += ";";
    }
    if (!IsValidByFilter(subjectFilter, subjectText, ";")) continue;
    std::string issuerText;
    if (!issuerFilter.empty()) {
      issuerText = RawName(info->Issuer, false) + ";";
    }
    if (!IsValidByFilter(issuerFilter, issuerText, ";")) continue;
    if (!IsValidByFilter(oidFilter, usages, ",")) continue;

    result += GetXmlFromCertificate(pCert, secretKeyValidity, numDaysWarn);
  }
  result += "</Certificates>";
  CertCloseStore(hStore, CERT_CLOSE_STORE_CHECK_FLAG);
  TavrixUtils::ODebug("SelectCertificate: done, length=" +
                      toString(result.size()));
  return result;
}

std::string TavrixCtrl::GetXmlFromCertificate(PCCERT_CONTEXT cert,
                                              int SecretKeyValidity,
                                              int NumDaysWarnBeforeCertEnd) {
  if (cert == nullptr || cert->pCertInfo == nullptr) {
    TavrixUtils::ODebug("GetXmlFromCertificate: no certificate");
    return "";
  }
  const CERT_INFO* info = cert->pCertInfo;
  int64_t now = static_cast<int64_t>(CurrentTime());
  int64_t notBefore = TavrixUtils::FILETIME2UNIXTIME(info->NotBefore);
  int64_t notAfter = TavrixUtils::FILETIME2UNIXTIME(info->NotAfter);

  // The key period in seconds is a signed 32-bit quantity; periods beyond
  // its range (about 24855 days) saturate instead of wrapping, which for any
  // real certificate leaves notAfter as the effective end.
  int64_t keySeconds = static_cast<int64_t>(SecretKeyValidity) * kSecondsPerDay;
  if (keySeconds > std::numeric_limits<int32_t>::max()) {
    keySeconds = std::numeric_limits<int32_t>::max();
  } else if (keySeconds < std::numeric_limits<int32_t>::min()) {
    keySeconds = std::numeric_limits<int32_t>::min();
  }
  int64_t keyEnd = notBefore + keySeconds;
  int64_t end = notAfter < keyEnd ? notAfter : keyEnd;

  std::string status;
  std::string logStatus;
  if (now > end || now < notBefore) {
    status = "<Error>Срок действия закрытого ключа истек.</Error>";
    logStatus = "(expired)";
  } else {
    double seconds = static_cast<double>(end - now);
    if (NumDaysWarnBeforeCertEnd * 86400.0 > seconds) {
      int64_t days = static_cast<int64_t>(seconds) / kSecondsPerDay;
      status =
          "<Message>Срок действия закрытого ключа заканчивается.\nДо "
          "окончания срока действия осталось " +
          std::to_string(days) + " дней!</Message>";
      logStatus = "(expire on " + std::to_string(days) + ")";
    }
  }

  std::string subject = GetNameFromCert(info->Subject, false);
  std::string serial = GetSubjectSN(cert);
  std::string xml = "<Certificate>";
  xml += "<Subject>" + subject + "</Subject>";
  xml +=
      "<SubjectX500>" + GetNameFromCert(info->Subject, true) + "</SubjectX500>";
  xml += "<NotBefore>" + std::to_string(AsInt32(notBefore)) + "</NotBefore>";
  xml += "<NotAfter>" + std::to_string(AsInt32(end)) + "</NotAfter>";
  xml += status;
  xml += "<Serial>#" + serial + "</Serial>";
  xml += "<Issuer>" + GetNameFromCert(info->Issuer, false) + "</Issuer>";
  xml += "<IssuerX500>" + GetNameFromCert(info->Issuer, true) + "</IssuerX500>";
  xml += "</Certificate>";
  TavrixUtils::ODebug("GetXmlFromCertificate: Selected=" + logStatus + subject +
                      " #" + serial);
  return xml;
}

bool TavrixCtrl::IsValidByFilter(std::string whatValid, std::string whereValid,
                                 const std::string& separator) {
  return IsValidByFilter(std::move(whatValid), std::move(whereValid), separator,
                         false);
}

bool TavrixCtrl::IsValidByFilter(std::string whatValid, std::string whereValid,
                                 const std::string& separator,
                                 bool noCaseFolding) {
  if (!noCaseFolding) {
    // Folding goes through the global locale object and the Cyrillic table
    // above; the process locale (the browser's) is neither read nor set.
    whatValid = FoldCase(whatValid);
    whereValid = FoldCase(whereValid);
    TavrixUtils::ODebug("IsValidByFilter: To lowercase result:" + whatValid +
                        "-" + whereValid);
  }
  if (whatValid.empty()) return true;
  if (whereValid.empty()) return false;
  // Without a separator there are no closed fragments to compare.
  if (separator.empty()) return false;

  std::vector<std::string> what = Fragments(whatValid, separator);
  std::vector<std::string> where = Fragments(whereValid, separator);
  for (const std::string& place : where) {
    for (const std::string& fragment : what) {
      if (place.find(fragment) != std::string::npos) return true;
    }
  }
  return false;
}

std::string TavrixCtrl::GetNameFromCert(CERT_NAME_BLOB blob, bool isNameX500) {
  std::string name = XmlText(RawName(blob, isNameX500));
  TavrixUtils::ODebug("GetNameFromCert: " + name);
  return name;
}

std::string TavrixCtrl::GetSurAndGivenNamesFromCert(PCCERT_CONTEXT cert) {
  char surnameOid[] = "2.5.4.4";
  char givenNameOid[] = "2.5.4.42";
  DWORD cchSurname =
      CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, surnameOid, nullptr, 0);
  DWORD cchGiven = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0,
                                      givenNameOid, nullptr, 0);
  if (cchSurname < 2 || cchGiven < 2) {
    TavrixUtils::ODebug("GetSurAndGivenNamesFromCert: no names");
    return "";
  }
  // Buffers sized by what the provider reported, so no value is cut short
  // and none can overrun.
  std::vector<wchar_t> surname(cchSurname + 1, L'\0');
  std::vector<wchar_t> given(cchGiven + 1, L'\0');
  CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, surnameOid, surname.data(),
                     cchSurname);
  CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, givenNameOid, given.data(),
                     cchGiven);
  std::string result = ", " + WideToUtf8(std::wstring(surname.data())) + " " +
                       WideToUtf8(std::wstring(given.data()));
  TavrixUtils::ODebug("GetSurAndGivenNamesFromCert: " + result);
  return result;
}

std::string TavrixCtrl::GetSubjectSN(PCCERT_CONTEXT cert) {
  std::string serial;
  if (cert == nullptr || cert->pCertInfo == nullptr) return serial;
  const CRYPT_INTEGER_BLOB& sn = cert->pCertInfo->SerialNumber;
  if (sn.pbData == nullptr) return serial;
  serial.reserve(sn.cbData * 2);
  for (DWORD i = sn.cbData; i > 0; --i) {
    unsigned char b = sn.pbData[i - 1];
    serial += HexLine[b >> 4];
    serial += HexLine[b & 0x0F];
  }
  TavrixUtils::ODebug("GetSubjectSN: " + serial);
  return serial;
}

std::string TavrixCtrl::GetFieldValueFromCertNameString(
    const std::string& nameString, const std::string& field) {
  std::string key = field + "=";
  size_t pos = nameString.find(key);
  if (pos == std::string::npos) return "";
  pos += key.size();
  size_t end = nameString.find(',', pos);
  if (end == std::string::npos) return nameString.substr(pos);
  return nameString.substr(pos, end - pos);
}
