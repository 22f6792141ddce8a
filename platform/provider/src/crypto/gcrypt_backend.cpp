// GOST signatures through libgcrypt, for every curve nettle lacks. libgcrypt
// reads numbers big-endian, so scalars, coordinates and the hash value are
// turned round on the way in and out.
#include <gcrypt.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "crypto/signature_backend.h"

namespace tavrix::provider::gost {

void EnsureGcrypt() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      gcry_check_version(nullptr);
      // Keys live in ordinary memory here; without this libgcrypt complains
      // on stderr when it cannot lock pages.
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
  });
}

namespace {

// Sole owner of one libgcrypt object, released on every path out.
template <class T, void (*Release)(T)>
struct Owner {
  T v = nullptr;
  Owner() = default;
  ~Owner() { Release(v); }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
};
using GMpi = Owner<gcry_mpi_t, gcry_mpi_release>;
using GSexp = Owner<gcry_sexp_t, gcry_sexp_release>;
using GCtx = Owner<gcry_ctx_t, gcry_ctx_release>;
using GPoint = Owner<gcry_mpi_point_t, gcry_mpi_point_release>;

bool FromBe(GMpi* m, const uint8_t* p, size_t n) {
  return gcry_mpi_scan(&m->v, GCRYMPI_FMT_USG, p, n, nullptr) == 0;
}
// From a little-endian value; the turned copy is wiped.
bool FromLe(GMpi* m, const uint8_t* p, size_t n) {
  std::vector<uint8_t> be = Reversed(p, n);
  const bool ok = FromBe(m, be.data(), n);
  Wipe(&be);
  return ok;
}

bool MpiToBe(gcry_mpi_t m, uint8_t* out, size_t n) {
  size_t written = 0;
  if (gcry_mpi_print(GCRYMPI_FMT_USG, nullptr, 0, &written, m) != 0 ||
      written > n)
    return false;
  std::vector<uint8_t> tmp(written ? written : 1);
  if (gcry_mpi_print(GCRYMPI_FMT_USG, tmp.data(), tmp.size(), &written, m) != 0)
    return false;
  std::memset(out, 0, n);
  std::memcpy(out + n - written, tmp.data(), written);
  return true;
}

bool MpiToLe(gcry_mpi_t m, uint8_t* out, size_t n) {
  std::vector<uint8_t> be(n);
  if (!MpiToBe(m, be.data(), n)) return false;
  std::reverse_copy(be.begin(), be.end(), out);
  return true;
}

bool SexpMpiToBe(gcry_sexp_t list, const char* token, uint8_t* out, size_t n) {
  GSexp item;
  item.v = gcry_sexp_find_token(list, token, 0);
  if (!item.v) return false;
  GMpi m;
  m.v = gcry_sexp_nth_mpi(item.v, 1, GCRYMPI_FMT_USG);
  return m.v && MpiToBe(m.v, out, n);
}

// True when `value` is below the curve parameter `name` ("n" for the order, "p"
// for the field) and, if `nonzero`, not 0.
bool Below(const GCtx& ctx, const char* name, const GMpi& value, bool nonzero) {
  GMpi bound;
  bound.v = gcry_mpi_ec_get_mpi(name, ctx.v, 1);
  return bound.v && (!nonzero || gcry_mpi_cmp_ui(value.v, 0) != 0) &&
         gcry_mpi_cmp(value.v, bound.v) < 0;
}

class Gcrypt final : public SignatureBackend {
 public:
  bool DerivePublic(const CurveInfo& curve, const uint8_t* d_le, uint8_t* x,
                    uint8_t* y) const override {
    EnsureGcrypt();
    const size_t n = curve.size;
    GCtx ctx;
    if (gcry_mpi_ec_new(&ctx.v, nullptr, curve.gcry_name) != 0) return false;
    GMpi d;
    if (!FromLe(&d, d_le, n) || !Below(ctx, "n", d, true)) return false;
    GPoint g, q;
    g.v = gcry_mpi_ec_get_point("g", ctx.v, 1);
    q.v = gcry_mpi_point_new(0);
    if (!g.v) return false;
    gcry_mpi_ec_mul(q.v, d.v, g.v, ctx.v);
    GMpi qx, qy;
    qx.v = gcry_mpi_new(0);
    qy.v = gcry_mpi_new(0);
    if (gcry_mpi_ec_get_affine(qx.v, qy.v, q.v, ctx.v) != 0) return false;
    return MpiToLe(qx.v, x, n) && MpiToLe(qy.v, y, n);
  }

  bool CheckPublicPoint(const CurveInfo& curve, const uint8_t* x_le,
                        const uint8_t* y_le) const override {
    EnsureGcrypt();
    const size_t n = curve.size;
    GCtx ctx;
    if (gcry_mpi_ec_new(&ctx.v, nullptr, curve.gcry_name) != 0) return false;
    GMpi x, y;
    if (!FromLe(&x, x_le, n) || !FromLe(&y, y_le, n)) return false;
    if (!Below(ctx, "p", x, false) || !Below(ctx, "p", y, false)) return false;
    GPoint q;
    q.v = gcry_mpi_point_set(nullptr, x.v, y.v, GCRYMPI_CONST_ONE);
    return q.v && gcry_mpi_ec_curve_point(q.v, ctx.v) == 1;
  }

  bool Sign(const CurveInfo& curve, const uint8_t* d_le, const uint8_t* hash,
            uint8_t* sig) const override {
    EnsureGcrypt();
    const size_t n = curve.size;
    // e is the hash value read little-endian.
    GMpi d, e;
    if (!FromLe(&d, d_le, n) || !FromLe(&e, hash, n)) return false;
    GSexp skey, data, result;
    if (gcry_sexp_build(&skey.v, nullptr, "(private-key(ecc(curve %s)(d %m)))",
                        curve.gcry_name, d.v) != 0 ||
        gcry_sexp_build(&data.v, nullptr, "(data(flags gost)(value %m))",
                        e.v) != 0)
      return false;
    if (gcry_pk_sign(&result.v, data.v, skey.v) != 0) return false;
    return SexpMpiToBe(result.v, "s", sig, n) &&
           SexpMpiToBe(result.v, "r", sig + n, n);
  }

  bool Verify(const CurveInfo& curve, const uint8_t* x_le, const uint8_t* y_le,
              const uint8_t* hash, const uint8_t* sig) const override {
    EnsureGcrypt();
    const size_t n = curve.size;
    std::vector<uint8_t> q(1 + 2 * n);
    q[0] = 0x04;
    std::reverse_copy(x_le, x_le + n, q.begin() + 1);
    std::reverse_copy(y_le, y_le + n, q.begin() + 1 + n);
    GMpi e, r, s;
    if (!FromLe(&e, hash, n) || !FromBe(&s, sig, n) || !FromBe(&r, sig + n, n))
      return false;
    GCtx ctx;
    if (gcry_mpi_ec_new(&ctx.v, nullptr, curve.gcry_name) != 0) return false;
    if (!Below(ctx, "n", r, true) || !Below(ctx, "n", s, true)) return false;
    GSexp pkey, data, sigval;
    if (gcry_sexp_build(&pkey.v, nullptr, "(public-key(ecc(curve %s)(q %b)))",
                        curve.gcry_name, static_cast<int>(q.size()),
                        q.data()) != 0 ||
        gcry_sexp_build(&data.v, nullptr, "(data(flags gost)(value %m))",
                        e.v) != 0 ||
        gcry_sexp_build(&sigval.v, nullptr, "(sig-val(gost(r %m)(s %m)))", r.v,
                        s.v) != 0)
      return false;
    return gcry_pk_verify(sigval.v, data.v, pkey.v) == 0;
  }
};

}  // namespace

const SignatureBackend& GcryptBackend() {
  static const Gcrypt backend;
  return backend;
}

}  // namespace tavrix::provider::gost
