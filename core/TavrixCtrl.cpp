// The controller's frame: construction, the Params string, the Error
// envelope, the version and the CAdES runtime probe.
#include "TavrixCtrl.h"

#include <boost/format.hpp>
#include <stdexcept>

#include "CadesF.h"
#include "LibXmlF.h"
#include "TavrixUtils.h"

namespace {

const char kEnvelopeOpen[] = "<?xml version='1.0' encoding='utf-8'?><Error>";
const char kEnvelopeClose[] = "</Error>";

}  // namespace

TavrixCtrl::TavrixCtrl() {
  TavrixUtils::ODebug("TavrixCtrl: version=" + GetVersion());
}

TavrixCtrl::TavrixCtrl(TmpCertArhive& certArch, std::string params)
    : certArch(&certArch) {
  tspUrl = FindParam(params, "TspUrl");
  TavrixUtils::ODebug("TavrixCtrl: certArch=" + toString(this->certArch) +
                      " TspUrl=" + tspUrl);
}

TavrixCtrl::~TavrixCtrl() {
  CloseVerifiedMessage();
  ReleaseVerifiedCert();
  ReleaseLookup();
  delete cades;
  cades = nullptr;
  delete libXml;
  libXml = nullptr;
}

std::string TavrixCtrl::FindParam(std::string params,
                                  const std::string& paramName) const {
  if (params.empty()) return std::string();
  size_t p = 0;
  for (;;) {
    const size_t eol = params.find("\r\n", p);
    const size_t end = eol == std::string::npos ? params.size() : eol;
    const size_t eq = params.find('=', p);
    if (eq != std::string::npos && eq > p && eq < end &&
        params.compare(p, eq - p, paramName) == 0 &&
        eq - p == paramName.size()) {
      std::string value = params.substr(eq + 1, end - eq - 1);
      TavrixUtils::ODebug("FindParam: " + paramName + "=" + value);
      return value;
    }
    if (eol == std::string::npos) break;
    p = eol + 2;
    while (p < params.size() && (params[p] == '\r' || params[p] == '\n')) ++p;
    if (p >= params.size()) break;
  }
  TavrixUtils::ODebug("FindParam: " + paramName + " not found");
  return std::string();
}

std::string TavrixCtrl::MyHandleError(std::string message, bool isOnlyText) {
  // First of all: every later call may overwrite the thread's last error.
  const DWORD dwErr = GetLastError();

  if (cades == nullptr && CadesF::FindCadesDll() == "1") cades = new CadesF();

  DWORD dwRetCAd = 0;
  LPWSTR cadesBuffer = nullptr;
  std::string text;
  if (cades != nullptr && cades->FCadesFormatMessage != nullptr) {
    dwRetCAd = cades->FCadesFormatMessage(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE, nullptr,
        dwErr, LANG_USER_DEFAULT, reinterpret_cast<LPWSTR>(&cadesBuffer), 8,
        nullptr);
    if (dwRetCAd != 0 && cadesBuffer != nullptr) {
      const std::wstring wide(cadesBuffer, dwRetCAd);
      try {
        text = TavrixUtils::wstring_to_utf8(wide);
      } catch (const std::range_error&) {
        // Not valid Unicode: the forgiving conversion keeps what it can.
        text = TavrixUtils::wstring_to_string(wide);
      }
    } else {
      dwRetCAd = 0;
    }
  }

  DWORD dwRet = 0;
  LPSTR systemBuffer = nullptr;
  if (dwRetCAd == 0) {
    dwRet = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
        dwErr, LANG_USER_DEFAULT, reinterpret_cast<LPSTR>(&systemBuffer), 0,
        nullptr);
    if (dwRet != 0 && systemBuffer != nullptr)
      text.assign(systemBuffer, dwRet);
    else
      dwRet = 0;
  }

  std::string result = isOnlyText ? std::string() : kEnvelopeOpen;
  result += message + " ";
  if ((dwRet != 0 || dwRetCAd != 0) && dwErr != 0)
    result += (boost::format("%s (%08x)") % text % dwErr).str();
  else
    result += (boost::format(" (%x)") % dwErr).str();

  if (cadesBuffer != nullptr) LocalFree(cadesBuffer);
  if (systemBuffer != nullptr) LocalFree(systemBuffer);

  if (!isOnlyText) result += kEnvelopeClose;
  TavrixUtils::ODebug("MyHandleError: " + result);
  return result;
}

std::string TavrixCtrl::GetVersion() {
  return (boost::format("%s.%s.%s.%s") % 1 % 0 % 7 % 68).str();
}

std::string TavrixCtrl::TestCades() const {
  const std::string result = CadesF::FindCadesDll();
  TavrixUtils::ODebug("TestCades: " + result);
  return result;
}
