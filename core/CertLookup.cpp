// Finding the signing certificate and its private key by a page-supplied
// name: a subject fragment, or "#" and the hexadecimal serial number.
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "TavrixCtrl.h"
#include "TavrixUtils.h"
#include "TmpCertArhive.h"

namespace {

const DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool SerialEquals(const CERT_CONTEXT* pCert, const unsigned char* pbSN,
                  unsigned int cbSN) {
  if (pCert == nullptr || pCert->pCertInfo == nullptr) return false;
  const CRYPT_INTEGER_BLOB& sn = pCert->pCertInfo->SerialNumber;
  if (sn.cbData != cbSN) return false;
  if (cbSN == 0) return true;
  return sn.pbData != nullptr && std::memcmp(sn.pbData, pbSN, cbSN) == 0;
}

}  // namespace

std::string TavrixCtrl::CertProvFinder(const std::string& certName) {
  TavrixUtils::ODebug("CertProvFinder: certName=" + certName);
  // A second lookup on the same controller must not leak the first one's
  // context or key.
  ReleaseLookup();

  HCERTSTORE hStore = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kCertEncoding, 0,
                                    CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
  if (hStore == nullptr) {
    TavrixUtils::ODebug("CertProvFinder: CertOpenStore failed");
    return MyHandleError("Не удалось открыть хранилище сертификатов", false);
  }

  pCertContextCurrent = FindCertificate(hStore, certName, nullptr);
  if (pCertContextCurrent == nullptr) {
    // Read the reason before closing the store can overwrite it.
    DWORD err = GetLastError();
    CertCloseStore(hStore, 0);
    SetLastError(err);
    TavrixUtils::ODebug("CertProvFinder: certificate not found");
    return MyHandleError("Сертификат не найден!", false);
  }
  // The context keeps what it needs of the store alive by itself.
  CertCloseStore(hStore, 0);
  TavrixUtils::ODebug("CertProvFinder: pCertContextCurrent=" +
                      toString(pCertContextCurrent));

  if (certArch != nullptr && certArch->CheckItem(pCertContextCurrent)) {
    unsigned long hProv = hProvCurrent;
    unsigned int keySpec = dwKeySpec;
    if (certArch->GetItem(&pCertContextCurrent, &hProv, &keySpec)) {
      hProvCurrent = hProv;
      dwKeySpec = keySpec;
      TavrixUtils::ODebug("CertProvFinder: from cache hProv=" +
                          toString(hProvCurrent));
      return "";
    }
  }

  // Until the cache takes it, the context is this controller's to free.
  lookupOwnedCert = pCertContextCurrent;

  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE hProv = 0;
  DWORD keySpec = 0;
  BOOL callerFree = FALSE;
  if (!CryptAcquireCertificatePrivateKey(
          pCertContextCurrent, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &hProv,
          &keySpec, &callerFree)) {
    TavrixUtils::ODebug(
        "CertProvFinder: CryptAcquireCertificatePrivateKey "
        "failed");
    return MyHandleError("Не удалось получить закрытый ключ сертификата!",
                         false);
  }
  hProvCurrent = hProv;
  dwKeySpec = keySpec;
  TavrixUtils::ODebug("CertProvFinder: hProv=" + toString(hProvCurrent) +
                      " dwKeySpec=" + toString(dwKeySpec) +
                      " callerFree=" + toString(callerFree));

  if (certArch != nullptr) {
    certArch->StoreItem(pCertContextCurrent, hProvCurrent, dwKeySpec);
    lookupOwnedCert = nullptr;
  } else if (callerFree) {
    lookupOwnedProv = hProvCurrent;
  }
  return "";
}

void TavrixCtrl::ReleaseLookup() {
  if (lookupOwnedProv != 0) {
    if (!CryptReleaseContext(lookupOwnedProv, 0)) {
      TavrixUtils::ODebug("ReleaseLookup: Error by releasing crypt context");
    }
    if (hProvCurrent == lookupOwnedProv) hProvCurrent = 0;
    lookupOwnedProv = 0;
  }
  if (lookupOwnedCert != nullptr) {
    CertFreeCertificateContext(lookupOwnedCert);
    if (pCertContextCurrent == lookupOwnedCert) pCertContextCurrent = nullptr;
    lookupOwnedCert = nullptr;
  }
}

PCCERT_CONTEXT TavrixCtrl::FindCertificate(void* hStoreHandle, std::string name,
                                           const CERT_CONTEXT* pSignerCert) {
  TavrixUtils::ODebug("FindCertificate: name=" + name +
                      " prev=" + toString(pSignerCert));
  if (name.empty() || name[0] != '#') {
    std::wstring wideName;
    try {
      wideName = TavrixUtils::utf8_to_wstring(name);
    } catch (const std::exception&) {
      // A name that is not UTF-8 cannot match any subject; the walk ends
      // here, so the previous context is released as the store would.
      TavrixUtils::ODebug("FindCertificate: name is not UTF-8");
      if (pSignerCert != nullptr) CertFreeCertificateContext(pSignerCert);
      SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
      return nullptr;
    }
    return CertFindCertificateInStore(hStoreHandle, kCertEncoding, 0,
                                      CERT_FIND_SUBJECT_STR_W, wideName.c_str(),
                                      pSignerCert);
  }

  std::string serialText = name;
  size_t second = name.find('#', 1);
  if (second != std::string::npos) serialText = name.substr(0, second);
  PCCERT_CONTEXT found =
      SelectCertContextOnlyBySerialNum(hStoreHandle, serialText);

  // A serial names one certificate: asking again past it yields nothing.
  if (pSignerCert != nullptr && found != nullptr &&
      pSignerCert->cbCertEncoded == found->cbCertEncoded &&
      (found->cbCertEncoded == 0 ||
       std::memcmp(pSignerCert->pbCertEncoded, found->pbCertEncoded,
                   found->cbCertEncoded) == 0)) {
    CertFreeCertificateContext(found);
    found = nullptr;
  }
  if (pSignerCert != nullptr) CertFreeCertificateContext(pSignerCert);
  if (found == nullptr) SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
  TavrixUtils::ODebug("FindCertificate: by serial found=" + toString(found));
  return found;
}

PCCERT_CONTEXT TavrixCtrl::SelectCertContextOnlyBySerialNum(
    void* hStoreHandle, const std::string& serialText) {
  size_t maxcbSN = serialText.size() / 2;
  TavrixUtils::ODebug("SelectCertContextOnlyBySerialNum: serial=" + serialText +
                      " maxcbSN=" + toString(maxcbSN));
  if (maxcbSN <= 1) return nullptr;

  std::vector<unsigned char> pbSN(maxcbSN, 0);
  unsigned int cbSN = 0;
  ConvertSerialNumToBytes(pbSN.data(), &cbSN, serialText, 1,
                          static_cast<int>(serialText.size()) - 1);

  PCCERT_CONTEXT pCert = nullptr;
  while ((pCert = CertEnumCertificatesInStore(hStoreHandle, pCert)) !=
         nullptr) {
    if (SerialEquals(pCert, pbSN.data(), cbSN)) break;
  }
  TavrixUtils::ODebug("SelectCertContextOnlyBySerialNum: found=" +
                      toString(pCert));
  return pCert;
}

bool TavrixCtrl::IsValidBySerials(const CERT_CONTEXT* pCert,
                                  const std::string& serials,
                                  const std::string& separator) {
  if (serials.empty()) return true;
  // An empty separator would never advance the walk.
  if (separator.empty()) return false;

  bool matched = false;
  size_t start = 0;
  while (!matched) {
    size_t sep = serials.find(separator, start);
    if (sep == std::string::npos) break;
    std::string entry = serials.substr(start, sep - start);
    size_t cb = entry.size() / 2;
    if (cb > 1) {
      std::vector<unsigned char> buffer(cb, 0);
      unsigned int count = 0;
      ConvertSerialNumToBytes(buffer.data(), &count, entry, 1,
                              static_cast<int>(entry.size()) - 1);
      matched = SerialEquals(pCert, buffer.data(), count);
    }
    start = sep + 1;
  }
  TavrixUtils::ODebug("IsValidBySerials: serials=" + serials +
                      " matched=" + toString(matched));
  return matched;
}

void TavrixCtrl::ConvertSerialNumToBytes(unsigned char* pbSN,
                                         unsigned int* cbSN,
                                         const std::string& text, int first,
                                         int last) {
  unsigned int count = 0;
  // Positions outside the text are never read.
  if (first < 0) first = 0;
  if (last >= static_cast<int>(text.size())) {
    last = static_cast<int>(text.size()) - 1;
  }
  size_t j = 0;
  bool high = false;
  for (int i = last; i >= first; --i) {
    int c = static_cast<signed char>(text[static_cast<size_t>(i)]);
    int v = c - 0x30;
    if (static_cast<unsigned int>(v) > 9) v = (c & 0xDF) - 0x37;
    if (static_cast<unsigned int>(v) > 15) continue;
    if (!high) {
      pbSN[j] = static_cast<unsigned char>(v);
      ++count;
    } else {
      pbSN[j] = static_cast<unsigned char>(pbSN[j] | (v << 4));
      ++j;
    }
    high = !high;
  }
  if (cbSN != nullptr) *cbSN = count;
}
