// Certificate contexts and stores as the certificate calls see them.
//
// Ownership, without a cycle:
//   - a store's list holds its certificates (shared pointers);
//   - a context handed to a caller is an entry of the context table whose
//     object is a lease: it holds the certificate and, for a certificate of
//     a store, that store, so the store outlives every context taken from it;
//   - a certificate names its store only weakly (a raw pointer for identity
//     and CERT_CONTEXT::hCertStore, a weak pointer to reach it), so nothing
//     points back from a certificate to its store's list.
// Closing the last handle of a store empties its list; a context still out
// keeps its certificate and the store object, but the store's handle is no
// longer live, so no call accepts it.
#pragma once

#include <capi/capi.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/handles.h"
#include "certs/values.h"
#include "x509/certificate.h"

namespace tavrix::provider::certs {

struct Store;

// One certificate as parsed from its encoding, with the CERT_INFO of it.
// Never changed once parsed, so any number of contexts (and the cache of
// store files) may share it; the views in `info` and `exts` point into
// `cert` (its encoding and strings), which is therefore never moved.
struct ParsedCert {
  ParsedCert() = default;
  ParsedCert(const ParsedCert&) = delete;
  ParsedCert& operator=(const ParsedCert&) = delete;

  x509::Certificate cert;
  CERT_INFO info{};
  std::vector<BYTE> serial;  // little-endian, as CryptoAPI keeps it
  std::vector<CERT_EXTENSION> exts;

  const std::vector<BYTE>& encoded() const { return cert.encoded; }
};
using Parsed = std::shared_ptr<const ParsedCert>;

// A certificate context. The CERT_CONTEXT comes first so that a
// PCCERT_CONTEXT handed out is the address of the whole object. Properties
// belong to the context (one per store), never to the shared parse, so what
// a caller sets on a certificate of one store is not seen through another.
struct CertObject {
  explicit CertObject(Parsed p);
  CertObject(const CertObject&) = delete;
  CertObject& operator=(const CertObject&) = delete;

  CERT_CONTEXT ctx{};
  Parsed parsed;
  // The caller's copies: a caller writing through pCertInfo changes this
  // context only.
  CERT_INFO info{};
  std::vector<CERT_EXTENSION> exts;
  const Store* owner = nullptr;  // identity only; null when free-standing
  std::weak_ptr<Store> store;
  std::string sortKey;  // position in the owner's list
  std::mutex propLock;
  std::map<DWORD, std::vector<BYTE>> props;

  const std::vector<BYTE>& encoded() const { return parsed->encoded(); }
};

using ContextTable = HandleTable<CertObject, PCCERT_CONTEXT>;
ContextTable& Contexts();

// Parses an encoded certificate; null with the last error set on failure.
// `checkShape` adds the libtasn1 check of the whole structure; stores skip
// it for files they wrote themselves after checking them once.
Parsed ParseCertificate(const BYTE* p, DWORD n, bool checkShape = true);
// The object behind a context handed out by this library, or null; the
// reference returned keeps it alive for the call.
std::shared_ptr<CertObject> FromContext(PCCERT_CONTEXT c);
// Hands `c` out as a new context reference (free-standing when `owner` is
// null).
PCCERT_CONTEXT HandOut(std::shared_ptr<CertObject> c,
                       std::shared_ptr<Store> owner);

// The key container named by the SHA-1 of the key's bit string.
std::string KeyContainerName(const CERT_INFO* info);
// The subject key identifier extension, else the SHA-1 of the key.
std::vector<BYTE> KeyIdentifier(const CertObject& c);

// Wide text of a name in CertNameToStr form.
std::wstring NameToString(const BYTE* p, size_t n, DWORD strType);
// Case folding for search, independent of the process locale.
std::wstring FoldCase(const std::wstring& s);

// X.500 key of an attribute identifier ("CN", "INN"...), or null.
const char* X500KeyForOid(const std::string& oid);

// Whether `p` has the shape of an X.509 certificate (libtasn1 check).
bool CertificateShapeIsValid(const uint8_t* p, size_t n);
// Provider type for a public key algorithm, 0 when not a GOST key.
DWORD ProvTypeForKeyOid(const std::string& oid);

}  // namespace tavrix::provider::certs
