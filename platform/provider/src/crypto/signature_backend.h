// The elliptic-curve arithmetic under a GOST key, behind one interface:
// nettle has only two GOST curves but signs about twenty times faster than
// libgcrypt, which has them all. A key picks its backend once, when it is
// made, from its curve.
//
// Everything here is in the conventions of crypto/gost_key.h: scalars and
// coordinates little-endian, each as long as the curve's size; the hash value
// as the GOST tools print it; a signature s || r, big-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

namespace tavrix::provider::gost {

struct CurveInfo {
  const char* oid;
  const char* gcry_name;  // the name libgcrypt knows the curve by
  size_t size;            // octets in a coordinate, the order and the hash
  int nettle_curve;       // 0: none, 256: nettle's gc256b, 512: gc512a
};

// The parameter set named by `oid`, or null.
const CurveInfo* FindCurve(std::string_view oid);

class SignatureBackend {
 public:
  virtual ~SignatureBackend() = default;

  // The public point of the private scalar `d`; false when `d` is not in
  // 1..q-1.
  virtual bool DerivePublic(const CurveInfo& curve, const uint8_t* d,
                            uint8_t* x, uint8_t* y) const = 0;
  // True when (x, y) is a point of the curve with coordinates below p.
  virtual bool CheckPublicPoint(const CurveInfo& curve, const uint8_t* x,
                                const uint8_t* y) const = 0;
  // Signs a hash value of curve.size octets into `sig` (2 * curve.size).
  virtual bool Sign(const CurveInfo& curve, const uint8_t* d,
                    const uint8_t* hash, uint8_t* sig) const = 0;
  // True only for a valid signature (r and s in 1..q-1) over the hash value.
  virtual bool Verify(const CurveInfo& curve, const uint8_t* x,
                      const uint8_t* y, const uint8_t* hash,
                      const uint8_t* sig) const = 0;
};

const SignatureBackend& NettleBackend();
const SignatureBackend& GcryptBackend();

inline const SignatureBackend& BackendFor(const CurveInfo& curve) {
  return curve.nettle_curve ? NettleBackend() : GcryptBackend();
}

// Initialises libgcrypt for this process, once.
void EnsureGcrypt();

inline std::vector<uint8_t> Reversed(const uint8_t* p, size_t n) {
  return std::vector<uint8_t>(std::reverse_iterator<const uint8_t*>(p + n),
                              std::reverse_iterator<const uint8_t*>(p));
}

// Overwrites secret octets in a way the compiler may not drop.
inline void Wipe(std::vector<uint8_t>* v) {
  volatile uint8_t* p = v->data();
  for (size_t i = 0; i < v->size(); ++i) p[i] = 0;
  v->clear();
}

}  // namespace tavrix::provider::gost
