// Structural check of certificates against an ASN.1 module written from
// RFC 5280, with libtasn1. The DER reader does the extraction; this makes
// sure the whole encoding has the shape X.509 requires before it is trusted.
#include <libtasn1.h>

#include <mutex>

#include "certs/certs_internal.h"

namespace tavrix::provider::certs {
namespace {

// Generated from pkix.asn by asn1Parser (see the command in that file).
#include "certs/pkix_asn1_tab.inc"

asn1_node Definitions() {
  static asn1_node defs = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    char err[ASN1_MAX_ERROR_DESCRIPTION_SIZE];
    if (asn1_array2tree(tavrix_pkix_asn1_tab, &defs, err) != ASN1_SUCCESS)
      defs = nullptr;
  });
  return defs;
}

}  // namespace

bool CertificateShapeIsValid(const uint8_t* p, size_t n) {
  asn1_node defs = Definitions();
  if (!defs) return false;
  asn1_node cert = nullptr;
  if (asn1_create_element(defs, "TavrixPKIX.Certificate", &cert) !=
      ASN1_SUCCESS)
    return false;
  int len = static_cast<int>(n);
  bool ok = n <= 0x7FFFFFFF &&
            asn1_der_decoding2(&cert, p, &len, 0, nullptr) == ASN1_SUCCESS &&
            static_cast<size_t>(len) == n;
  asn1_delete_structure(&cert);
  return ok;
}

}  // namespace tavrix::provider::certs
