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

struct GMpi {
  gcry_mpi_t m = nullptr;
  GMpi() = default;
  ~GMpi() { gcry_mpi_release(m); }
  GMpi(const GMpi&) = delete;
  GMpi& operator=(const GMpi&) = delete;
  bool FromBe(const uint8_t* p, size_t n) {
    return gcry_mpi_scan(&m, GCRYMPI_FMT_USG, p, n, nullptr) == 0;
  }
  // From a little-endian value; the turned copy is wiped.
  bool FromLe(const uint8_t* p, size_t n) {
    std::vector<uint8_t> be = Reversed(p, n);
    const bool ok = FromBe(be.data(), n);
    Wipe(&be);
    return ok;
  }
};
struct GSexp {
  gcry_sexp_t s = nullptr;
  GSexp() = default;
  ~GSexp() { gcry_sexp_release(s); }
  GSexp(const GSexp&) = delete;
  GSexp& operator=(const GSexp&) = delete;
};
struct GCtx {
  gcry_ctx_t c = nullptr;
  GCtx() = default;
  ~GCtx() { gcry_ctx_release(c); }
  GCtx(const GCtx&) = delete;
  GCtx& operator=(const GCtx&) = delete;
};
struct GPoint {
  gcry_mpi_point_t p = nullptr;
  GPoint() = default;
  ~GPoint() { gcry_mpi_point_release(p); }
  GPoint(const GPoint&) = delete;
  GPoint& operator=(const GPoint&) = delete;
};

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
  item.s = gcry_sexp_find_token(list, token, 0);
  if (!item.s) return false;
  GMpi m;
  m.m = gcry_sexp_nth_mpi(item.s, 1, GCRYMPI_FMT_USG);
  return m.m && MpiToBe(m.m, out, n);
}

// True when v is below the curve parameter `name` ("n" for the order, "p"
// for the field) and, if `nonzero`, not 0.
bool Below(const GCtx& ctx, const char* name, const GMpi& v, bool nonzero) {
  GMpi bound;
  bound.m = gcry_mpi_ec_get_mpi(name, ctx.c, 1);
  return bound.m && (!nonzero || gcry_mpi_cmp_ui(v.m, 0) != 0) &&
         gcry_mpi_cmp(v.m, bound.m) < 0;
}

class Gcrypt final : public SignatureBackend {
 public:
  bool DerivePublic(const CurveInfo& curve, const uint8_t* d_le, uint8_t* x,
                    uint8_t* y) const override {
    EnsureGcrypt();
    const size_t n = curve.size;
    GCtx ctx;
    if (gcry_mpi_ec_new(&ctx.c, nullptr, curve.gcry_name) != 0) return false;
    GMpi d;
    if (!d.FromLe(d_le, n) || !Below(ctx, "n", d, true)) return false;
    GPoint g, q;
    g.p = gcry_mpi_ec_get_point("g", ctx.c, 1);
    q.p = gcry_mpi_point_new(0);
    if (!g.p) return false;
    gcry_mpi_ec_mul(q.p, d.m, g.p, ctx.c);
    GMpi qx, qy;
    qx.m = gcry_mpi_new(0);
    qy.m = gcry_mpi_new(0);
    if (gcry_mpi_ec_get_affine(qx.m, qy.m, q.p, ctx.c) != 0) return false;
    return MpiToLe(qx.m, x, n) && MpiToLe(qy.m, y, n);
  }

  bool CheckPublicPoint(const CurveInfo& curve, const uint8_t* x_le,
                        const uint8_t* y_le) const override {
    EnsureGcrypt();
    const size_t n = curve.size;
    GCtx ctx;
    if (gcry_mpi_ec_new(&ctx.c, nullptr, curve.gcry_name) != 0) return false;
    GMpi x, y;
    if (!x.FromLe(x_le, n) || !y.FromLe(y_le, n)) return false;
    if (!Below(ctx, "p", x, false) || !Below(ctx, "p", y, false)) return false;
    GPoint q;
    q.p = gcry_mpi_point_set(nullptr, x.m, y.m, GCRYMPI_CONST_ONE);
    return q.p && gcry_mpi_ec_curve_point(q.p, ctx.c) == 1;
  }

  bool Sign(const CurveInfo& curve, const uint8_t* d_le, const uint8_t* hash,
            uint8_t* sig) const override {
    EnsureGcrypt();
    const size_t n = curve.size;
    // e is the hash value read little-endian.
    GMpi d, e;
    if (!d.FromLe(d_le, n) || !e.FromLe(hash, n)) return false;
    GSexp skey, data, result;
    if (gcry_sexp_build(&skey.s, nullptr, "(private-key(ecc(curve %s)(d %m)))",
                        curve.gcry_name, d.m) != 0 ||
        gcry_sexp_build(&data.s, nullptr, "(data(flags gost)(value %m))",
                        e.m) != 0)
      return false;
    if (gcry_pk_sign(&result.s, data.s, skey.s) != 0) return false;
    return SexpMpiToBe(result.s, "s", sig, n) &&
           SexpMpiToBe(result.s, "r", sig + n, n);
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
    if (!e.FromLe(hash, n) || !s.FromBe(sig, n) || !r.FromBe(sig + n, n))
      return false;
    GCtx ctx;
    if (gcry_mpi_ec_new(&ctx.c, nullptr, curve.gcry_name) != 0) return false;
    if (!Below(ctx, "n", r, true) || !Below(ctx, "n", s, true)) return false;
    GSexp pkey, data, sigval;
    if (gcry_sexp_build(&pkey.s, nullptr, "(public-key(ecc(curve %s)(q %b)))",
                        curve.gcry_name, static_cast<int>(q.size()),
                        q.data()) != 0 ||
        gcry_sexp_build(&data.s, nullptr, "(data(flags gost)(value %m))",
                        e.m) != 0 ||
        gcry_sexp_build(&sigval.s, nullptr, "(sig-val(gost(r %m)(s %m)))", r.m,
                        s.m) != 0)
      return false;
    return gcry_pk_verify(sigval.s, data.s, pkey.s) == 0;
  }
};

}  // namespace

const SignatureBackend& GcryptBackend() {
  static const Gcrypt backend;
  return backend;
}

}  // namespace tavrix::provider::gost
