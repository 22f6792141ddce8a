#include "TmpCertArhive.h"

#include <cstring>
#include <string>

#include "TavrixUtils.h"

namespace {

bool SameBlob(DWORD cbA, const BYTE* pbA, DWORD cbB, const BYTE* pbB) {
  if (cbA != cbB) return false;
  if (cbA == 0) return true;
  if (pbA == nullptr || pbB == nullptr) return false;
  return std::memcmp(pbA, pbB, cbA) == 0;
}

}  // namespace

TmpCertArhive::TmpCertArhive() {
  TavrixUtils::ODebug("TmpCertArhive: created");
}

TmpCertArhive::~TmpCertArhive() {
  TavrixUtils::ODebug("~TmpCertArhive: items=" + toString(items.size()));
  for (const _TmpCertArhiveStoreItem& item : items) {
    CertFreeCertificateContext(item.pCert);
    if (!CryptReleaseContext(item.hProv, 0)) {
      TavrixUtils::ODebug("~TmpCertArhive: Error by releasing crypt context " +
                          toString(item.hProv));
    }
  }
  items.clear();
}

TmpCertArhive::ItemList::iterator TmpCertArhive::FindItem(
    const CERT_CONTEXT* pCert) {
  if (pCert == nullptr || pCert->pCertInfo == nullptr) return items.end();
  const CERT_INFO* info = pCert->pCertInfo;
  for (auto it = items.begin(); it != items.end(); ++it) {
    if (it->pCert == nullptr || it->pCert->pCertInfo == nullptr) continue;
    const CERT_INFO* cached = it->pCert->pCertInfo;
    if (SameBlob(cached->SerialNumber.cbData, cached->SerialNumber.pbData,
                 info->SerialNumber.cbData, info->SerialNumber.pbData) &&
        SameBlob(cached->Issuer.cbData, cached->Issuer.pbData,
                 info->Issuer.cbData, info->Issuer.pbData)) {
      return it;
    }
  }
  return items.end();
}

bool TmpCertArhive::CheckItem(const CERT_CONTEXT* pCert) {
  bool found = FindItem(pCert) != items.end();
  TavrixUtils::ODebug("CheckItem: found=" + toString(found));
  return found;
}

bool TmpCertArhive::GetItem(PCCERT_CONTEXT* ppCert, unsigned long* phProv,
                            unsigned int* pdwKeySpec) {
  if (ppCert == nullptr || phProv == nullptr || pdwKeySpec == nullptr) {
    return false;
  }
  auto it = FindItem(*ppCert);
  if (it == items.end()) {
    TavrixUtils::ODebug("GetItem: not cached");
    return false;
  }
  if (it->pCert != *ppCert) CertFreeCertificateContext(*ppCert);
  *phProv = it->hProv;
  *pdwKeySpec = it->dwKeySpec;
  *ppCert = it->pCert;
  TavrixUtils::ODebug("GetItem: hProv=" + toString(it->hProv) +
                      " dwKeySpec=" + toString(it->dwKeySpec));
  return true;
}

bool TmpCertArhive::StoreItem(PCCERT_CONTEXT pCert, unsigned long hProv,
                              unsigned int dwKeySpec) {
  auto it = FindItem(pCert);
  if (it != items.end()) {
    if (it->pCert != pCert) CertFreeCertificateContext(it->pCert);
    if (it->hProv != hProv && !CryptReleaseContext(it->hProv, 0)) {
      TavrixUtils::ODebug("StoreItem: Error by releasing crypt context " +
                          toString(it->hProv));
    }
    it->pCert = pCert;
    it->hProv = hProv;
    it->dwKeySpec = dwKeySpec;
    TavrixUtils::ODebug("StoreItem: replaced hProv=" + toString(hProv));
    return true;
  }
  items.push_back(_TmpCertArhiveStoreItem{pCert, hProv, dwKeySpec});
  TavrixUtils::ODebug("StoreItem: added hProv=" + toString(hProv) +
                      " items=" + toString(items.size()));
  return false;
}
