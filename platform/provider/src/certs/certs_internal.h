// Certificate contexts and stores as the certificate calls see them.
#pragma once

#include <capi/capi.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "certs/values.h"

namespace tavrix::provider::certs {

struct Store;

// One parsed certificate. The CERT_CONTEXT comes first so that a
// PCCERT_CONTEXT handed out is the address of the whole object.
struct CertObject {
  CERT_CONTEXT ctx;
  uint32_t magic;
  std::atomic<long> refs{1};
  CERT_INFO info;
  std::vector<BYTE> encoded;
  std::vector<BYTE> serial;  // little-endian, as CryptoAPI keeps it
  std::string sigOid;
  std::string keyOid;
  std::vector<std::string> extOids;
  std::vector<CERT_EXTENSION> exts;
  // The outer signature (X509_CERT pieces).
  const BYTE* tbs = nullptr;
  size_t tbsLen = 0;
  const BYTE* sigValue = nullptr;  // BIT STRING contents after unused bits
  size_t sigLen = 0;
  DWORD sigUnused = 0;
  Store* store = nullptr;  // owner, or null for a free-standing context
  std::string sortKey;     // position in the owner's list
  std::mutex propLock;
  std::map<DWORD, std::vector<BYTE>> props;
};

static const uint32_t kCertMagic = 0x43455254;  // "CERT"

// Parses an encoded certificate; null with the last error set on failure.
// `checkShape` adds the libtasn1 check of the whole structure; stores skip
// it for files they wrote themselves after checking them once.
CertObject* ParseCertificate(const BYTE* p, DWORD n, bool checkShape = true);
// The object behind a context handed out by this library, or null.
CertObject* FromContext(PCCERT_CONTEXT c);
CertObject* AddRef(CertObject* c);
void Release(CertObject* c);

// SHA-1 of the encoded certificate and of the key's bit string.
std::vector<BYTE> Sha1(const BYTE* p, size_t n);
std::string KeyContainerName(const CERT_INFO* info);

// Wide text of a name in CertNameToStr form.
std::wstring NameToString(const BYTE* p, size_t n, DWORD strType);
// Case folding for search, independent of the process locale.
std::wstring FoldCase(const std::wstring& s);

// X.500 key of an attribute identifier ("CN", "INN"...), or null.
const char* X500KeyForOid(const std::string& oid);

void SetError(DWORD code);

}  // namespace tavrix::provider::certs

namespace tavrix::provider::certs {
// Called when the last reference to a context owned by `s` goes away.
void StoreContextGone(Store* s);
// Size-then-fill as CryptoAPI does: null `pv` reports the size, a short
// buffer gives ERROR_MORE_DATA with the size needed.
BOOL CopyOut(const void* src, DWORD n, void* pv, DWORD* pcb);
// Whether `p` has the shape of an X.509 certificate (libtasn1 check).
bool CertificateShapeIsValid(const uint8_t* p, size_t n);
// Provider type for a public key algorithm, 0 when not a GOST key.
DWORD ProvTypeForKeyOid(const std::string& oid);
}  // namespace tavrix::provider::certs
