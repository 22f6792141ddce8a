// GOST signatures on the two curves nettle has (gc256b, which is CryptoPro
// A and tc26-256-B, and gc512a, which is tc26-512-A), through gmp.
#include <gmp.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>
#include <nettle/gostdsa.h>

#include <cstring>
#include <vector>

#include "crypto/gost_key.h"
#include "crypto/signature_backend.h"

namespace tavrix::provider::gost {
namespace {

const ecc_curve* NettleCurve(const CurveInfo& c) {
  return c.nettle_curve == 512 ? nettle_get_gost_gc512a()
                               : nettle_get_gost_gc256b();
}

struct Mpz {
  mpz_t z;
  Mpz() { mpz_init(z); }
  ~Mpz() { mpz_clear(z); }
  Mpz(const Mpz&) = delete;
  Mpz& operator=(const Mpz&) = delete;
  void FromLe(const uint8_t* p, size_t n) { mpz_import(z, n, -1, 1, 0, 0, p); }
  bool ToLe(uint8_t* out, size_t n) const { return Export(out, n, -1); }
  bool ToBe(uint8_t* out, size_t n) const { return Export(out, n, 1); }

 private:
  bool Export(uint8_t* out, size_t n, int order) const {
    if ((mpz_sizeinbase(z, 2) + 7) / 8 > n) return false;
    std::vector<uint8_t> tmp(n);
    size_t count = 0;
    mpz_export(tmp.data(), &count, order, 1, 0, 0, z);
    std::memset(out, 0, n);
    if (order == 1)
      std::memcpy(out + n - count, tmp.data(), count);
    else
      std::memcpy(out, tmp.data(), count);
    return true;
  }
};

// A private scalar in nettle's form for as long as it lives; the copy in
// gmp's memory is cleared at once.
class Scalar {
 public:
  Scalar(const ecc_curve* ec, const uint8_t* d_le, size_t n) {
    ecc_scalar_init(&s_, ec);
    Mpz d;
    d.FromLe(d_le, n);
    in_range_ = ecc_scalar_set(&s_, d.z) == 1;
    mpz_set_ui(d.z, 0);
  }
  ~Scalar() { ecc_scalar_clear(&s_); }
  Scalar(const Scalar&) = delete;
  Scalar& operator=(const Scalar&) = delete;
  bool in_range() const { return in_range_; }
  const ecc_scalar* get() const { return &s_; }

 private:
  ecc_scalar s_;
  bool in_range_ = false;
};

class Point {
 public:
  explicit Point(const ecc_curve* ec) { ecc_point_init(&p_, ec); }
  ~Point() { ecc_point_clear(&p_); }
  Point(const Point&) = delete;
  Point& operator=(const Point&) = delete;
  // ecc_point_set refuses coordinates off the curve or not below p.
  bool Set(const uint8_t* x_le, const uint8_t* y_le, size_t n) {
    Mpz x, y;
    x.FromLe(x_le, n);
    y.FromLe(y_le, n);
    return ecc_point_set(&p_, x.z, y.z) == 1;
  }
  ecc_point* get() { return &p_; }

 private:
  ecc_point p_;
};

void NettleRandom(void*, size_t length, uint8_t* dst) {
  RandomBytes(dst, length);
}

class Nettle final : public SignatureBackend {
 public:
  bool DerivePublic(const CurveInfo& curve, const uint8_t* d, uint8_t* x,
                    uint8_t* y) const override {
    const ecc_curve* ec = NettleCurve(curve);
    Scalar scalar(ec, d, curve.size);
    if (!scalar.in_range()) return false;
    Point pub(ec);
    ecc_point_mul_g(pub.get(), scalar.get());
    Mpz px, py;
    ecc_point_get(pub.get(), px.z, py.z);
    return px.ToLe(x, curve.size) && py.ToLe(y, curve.size);
  }

  bool CheckPublicPoint(const CurveInfo& curve, const uint8_t* x,
                        const uint8_t* y) const override {
    Point pub(NettleCurve(curve));
    return pub.Set(x, y, curve.size);
  }

  bool Sign(const CurveInfo& curve, const uint8_t* d, const uint8_t* hash,
            uint8_t* sig) const override {
    const size_t n = curve.size;
    Scalar scalar(NettleCurve(curve), d, n);
    if (!scalar.in_range()) return false;
    dsa_signature rs;
    dsa_signature_init(&rs);
    // nettle reads the digest little-endian, as the convention wants.
    gostdsa_sign(scalar.get(), nullptr, NettleRandom, n, hash, &rs);
    Mpz r, s;
    mpz_set(r.z, rs.r);
    mpz_set(s.z, rs.s);
    dsa_signature_clear(&rs);
    return s.ToBe(sig, n) && r.ToBe(sig + n, n);
  }

  bool Verify(const CurveInfo& curve, const uint8_t* x, const uint8_t* y,
              const uint8_t* hash, const uint8_t* sig) const override {
    const size_t n = curve.size;
    Point pub(NettleCurve(curve));
    if (!pub.Set(x, y, n)) return false;
    dsa_signature rs;
    dsa_signature_init(&rs);
    mpz_import(rs.s, n, 1, 1, 0, 0, sig);
    mpz_import(rs.r, n, 1, 1, 0, 0, sig + n);
    // gostdsa_verify itself refuses r or s outside 1..q-1.
    const bool ok = gostdsa_verify(pub.get(), n, hash, &rs) == 1;
    dsa_signature_clear(&rs);
    return ok;
  }
};

}  // namespace

const SignatureBackend& NettleBackend() {
  static const Nettle backend;
  return backend;
}

}  // namespace tavrix::provider::gost
