// The per-script-object cache of signing certificates and the private-key
// handles acquired for them, so a page that signs twice with one certificate
// does not make the provider open the key container again.
#pragma once

#include <capi/capi.h>

#include <cstddef>
#include <list>

struct _TmpCertArhiveStoreItem {
  PCCERT_CONTEXT pCert;
  HCRYPTPROV hProv;
  DWORD dwKeySpec;
};

class TmpCertArhive {
 public:
  typedef std::list<_TmpCertArhiveStoreItem> ItemList;

  TmpCertArhive();
  ~TmpCertArhive();

  // The cache owns provider handles and contexts; a copy would release them
  // twice.
  TmpCertArhive(const TmpCertArhive&) = delete;
  TmpCertArhive& operator=(const TmpCertArhive&) = delete;

  // Identity is serial number plus encoded issuer name, so any context of
  // the same certificate finds the item.
  ItemList::iterator FindItem(const CERT_CONTEXT* pCert);
  bool CheckItem(const CERT_CONTEXT* pCert);
  // On a hit the caller's context is replaced by the cached one (the caller's
  // own context is freed when it is a different one) and the cached handle
  // and key specification are delivered. The context stays the cache's.
  bool GetItem(PCCERT_CONTEXT* ppCert, unsigned long* phProv,
               unsigned int* pdwKeySpec);
  // Takes ownership of pCert and hProv. Returns whether the certificate was
  // cached before (its old context and handle are then released unless they
  // are the very ones given).
  bool StoreItem(PCCERT_CONTEXT pCert, unsigned long hProv,
                 unsigned int dwKeySpec);

  size_t Size() const { return items.size(); }

 private:
  ItemList items;
};
