// The verification record handed to callers and what it owns.
#include <cstddef>
#include <new>

#include "der/der.h"
#include "verify_internal.h"

namespace tavrix_cades_verify {

namespace {

// The record first, so the pointer handed out is the holder's own.
struct Holder {
  CADES_VERIFICATION_INFO info;
  FILETIME signing_time;
  FILETIME stamp_time;
};
static_assert(offsetof(Holder, info) == 0, "the record leads its holder");

}  // namespace

bool WantedType(const CADES_VERIFICATION_PARA* para, DWORD* type) {
  *type = 0;
  if (!para) return true;
  if (para->dwSize < sizeof(DWORD)) return false;
  if (para->dwSize >=
      offsetof(CADES_VERIFICATION_PARA, dwCadesType) + sizeof(DWORD))
    *type = para->dwCadesType;
  return *type == 0 || *type == CADES_BES || *type == CADES_T ||
         *type == CADES_X_LONG_TYPE_1;
}

PCADES_VERIFICATION_INFO NewInfo(DWORD status, const VerifyOutcome& o) {
  Holder* h = new (std::nothrow) Holder{};
  if (!h) return nullptr;
  h->info.dwSize = sizeof h->info;
  h->info.dwStatus = status;
  if (!o.signer_cert.empty())
    h->info.pSignerCert =
        CertCreateCertificateContext(X509_ASN_ENCODING, o.signer_cert.data(),
                                     static_cast<DWORD>(o.signer_cert.size()));
  if (o.has_signing_time) {
    h->signing_time = tavrix::provider::der::UnixToFileTime(o.signing_time);
    h->info.pSigningTime = &h->signing_time;
  }
  if (o.has_stamp_time) {
    h->stamp_time = tavrix::provider::der::UnixToFileTime(o.stamp_time);
    h->info.pSignatureTimeStampTime = &h->stamp_time;
  }
  return &h->info;
}

void DeleteInfo(PCADES_VERIFICATION_INFO info) {
  Holder* h = reinterpret_cast<Holder*>(info);
  if (h->info.pSignerCert) CertFreeCertificateContext(h->info.pSignerCert);
  delete h;
}

}  // namespace tavrix_cades_verify
