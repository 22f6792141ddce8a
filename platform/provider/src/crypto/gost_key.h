// GOST R 34.10-2001 / 34.10-2012 keys: parameter sets, private keys from
// PKCS#8, public keys from certificates, signing and verifying a hash value.
//
// Conventions kept throughout: a hash value is held in the byte order the
// GOST tools print it, and e is that value read little-endian (RFC 4490);
// coordinates in a public key are little-endian; a signature is s || r, each
// big-endian and as long as the curve order (RFC 4491).
#pragma once

#include <capi/capi.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/gost_algorithms.h"
#include "crypto/signature_backend.h"

namespace tavrix::provider {
namespace gost {

class GostKey {
 public:
  ~GostKey();
  GostKey(const GostKey&) = delete;
  GostKey& operator=(const GostKey&) = delete;

  // Parses a PrivateKeyInfo as the GOST engine writes it (private key as an
  // OCTET STRING of the little-endian scalar, or wrapped in an inner OCTET
  // STRING or INTEGER) and derives the public point. Null with the last
  // error NTE_BAD_DATA (malformed), NTE_BAD_ALGID (unknown algorithm or
  // curve) or NTE_BAD_KEY (scalar out of range).
  static std::unique_ptr<GostKey> FromPrivateKeyInfo(const uint8_t* der,
                                                     size_t len);
  // A public key from the parts of a SubjectPublicKeyInfo: the algorithm
  // OID, its DER parameters and the subjectPublicKey bits. Null with the
  // last error NTE_BAD_ALGID (unknown algorithm or curve),
  // CRYPT_E_MISSING_PUBKEY_PARA (no parameters) or NTE_BAD_PUBLIC_KEY.
  static std::unique_ptr<GostKey> FromPublicKeyInfo(const std::string& alg_oid,
                                                    const uint8_t* params,
                                                    size_t params_len,
                                                    const uint8_t* key_bits,
                                                    size_t key_bits_len);

  KeyFamily family() const { return family_; }
  const CurveInfo& curve() const { return *curve_; }
  bool has_private() const { return !d_le_.empty(); }
  size_t signature_size() const { return 2 * curve_->size; }
  // DER of the algorithm parameters, as read (so an exported key carries
  // the same parameters as the file or certificate it came from).
  const std::vector<uint8_t>& params_der() const { return params_der_; }
  // The subjectPublicKey contents: DER OCTET STRING of X || Y little-endian.
  std::vector<uint8_t> PublicKeyBits() const;
  const std::vector<uint8_t>& x_le() const { return x_le_; }
  const std::vector<uint8_t>& y_le() const { return y_le_; }

  // Signs a hash value of curve().size octets; `sig` gets s || r big-endian.
  bool Sign(const uint8_t* hash, size_t hash_len,
            std::vector<uint8_t>* sig) const;
  // True only for a valid signature s || r over the hash value.
  bool Verify(const uint8_t* hash, size_t hash_len, const uint8_t* sig,
              size_t sig_len) const;

 private:
  GostKey() = default;
  // Takes the curve and, with it, the backend that does the arithmetic.
  void SetCurve(const CurveInfo* curve);

  KeyFamily family_ = KeyFamily::k2001;
  const CurveInfo* curve_ = nullptr;
  const SignatureBackend* backend_ = nullptr;
  std::vector<uint8_t> params_der_;
  std::vector<uint8_t> d_le_;
  std::vector<uint8_t> x_le_, y_le_;
};

// Fills `buf` with unpredictable bytes from the kernel; false if it cannot.
bool RandomBytes(uint8_t* buf, size_t len);

}  // namespace gost
}  // namespace tavrix::provider
