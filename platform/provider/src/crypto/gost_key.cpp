#include "crypto/gost_key.h"

#include <gcrypt.h>
#include <gmp.h>
#include <nettle/ecc-curve.h>
#include <nettle/ecc.h>
#include <nettle/gostdsa.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "der/der.h"

namespace tavrix::provider {
namespace gost {

using tavrix::provider::der::AppendTlv;
using tavrix::provider::der::DefiniteReader;
using tavrix::provider::der::kTagInteger;
using tavrix::provider::der::kTagOctetString;
using tavrix::provider::der::kTagOid;
using tavrix::provider::der::kTagSequence;
using tavrix::provider::der::OidToString;
using tavrix::provider::der::Tlv;

namespace {

// nettle has only two GOST curves; libgcrypt has them all but signs about
// twenty times slower, so nettle takes the curves it knows.
const CurveInfo kCurves[] = {
    {"1.2.643.2.2.35.1", "GOST2001-CryptoPro-A", 32, 256},
    {"1.2.643.2.2.35.2", "GOST2001-CryptoPro-B", 32, 0},
    {"1.2.643.2.2.35.3", "GOST2001-CryptoPro-C", 32, 0},
    {"1.2.643.2.2.36.0", "GOST2001-CryptoPro-XchA", 32, 256},
    {"1.2.643.2.2.36.1", "GOST2001-CryptoPro-XchB", 32, 0},
    // tc26-256-A is a twisted Edwards curve in its own right; B, C and D are
    // the CryptoPro A, B and C curves under new names.
    {"1.2.643.7.1.2.1.1.1", "GOST2012-256-A", 32, 0},
    {"1.2.643.7.1.2.1.1.2", "GOST2001-CryptoPro-A", 32, 256},
    {"1.2.643.7.1.2.1.1.3", "GOST2001-CryptoPro-B", 32, 0},
    {"1.2.643.7.1.2.1.1.4", "GOST2001-CryptoPro-C", 32, 0},
    {"1.2.643.7.1.2.1.2.1", "GOST2012-512-tc26-A", 64, 512},
    {"1.2.643.7.1.2.1.2.2", "GOST2012-512-tc26-B", 64, 0},
    {"1.2.643.7.1.2.1.2.3", "GOST2012-512-tc26-C", 64, 0},
};

const ecc_curve* NettleCurve(const CurveInfo& c) {
  return c.nettle_curve == 512 ? nettle_get_gost_gc512a()
                               : nettle_get_gost_gc256b();
}

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

std::vector<uint8_t> Reversed(const uint8_t* p, size_t n) {
  return std::vector<uint8_t>(std::reverse_iterator<const uint8_t*>(p + n),
                              std::reverse_iterator<const uint8_t*>(p));
}

void Wipe(std::vector<uint8_t>* v) {
  volatile uint8_t* p = v->data();
  for (size_t i = 0; i < v->size(); ++i) p[i] = 0;
  v->clear();
}

// ---- gmp / nettle helpers
struct Mpz {
  mpz_t z;
  Mpz() { mpz_init(z); }
  ~Mpz() { mpz_clear(z); }
  void FromLe(const uint8_t* p, size_t n) { mpz_import(z, n, -1, 1, 0, 0, p); }
  void FromBe(const uint8_t* p, size_t n) { mpz_import(z, n, 1, 1, 0, 0, p); }
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

void NettleRandom(void*, size_t length, uint8_t* dst) {
  RandomBytes(dst, length);
}

// ---- libgcrypt helpers
struct GMpi {
  gcry_mpi_t m = nullptr;
  ~GMpi() { gcry_mpi_release(m); }
  bool FromBe(const uint8_t* p, size_t n) {
    return gcry_mpi_scan(&m, GCRYMPI_FMT_USG, p, n, nullptr) == 0;
  }
};
struct GSexp {
  gcry_sexp_t s = nullptr;
  ~GSexp() { gcry_sexp_release(s); }
};
struct GCtx {
  gcry_ctx_t c = nullptr;
  ~GCtx() { gcry_ctx_release(c); }
};
struct GPoint {
  gcry_mpi_point_t p = nullptr;
  ~GPoint() { gcry_mpi_point_release(p); }
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

bool SexpMpiToBe(gcry_sexp_t list, const char* token, uint8_t* out, size_t n) {
  GSexp item;
  item.s = gcry_sexp_find_token(list, token, 0);
  if (!item.s) return false;
  GMpi m;
  m.m = gcry_sexp_nth_mpi(item.s, 1, GCRYMPI_FMT_USG);
  return m.m && MpiToBe(m.m, out, n);
}

// Parameters: SEQUENCE { curve OID, digest OID OPTIONAL, cipher OID OPTIONAL }
bool ParseParams(const uint8_t* p, size_t n, KeyFamily family,
                 const CurveInfo** curve, DWORD* error) {
  DefiniteReader outer(p, n);
  Tlv seq, oid;
  if (!outer.Expect(kTagSequence, &seq) || !outer.AtEnd()) {
    *error = NTE_BAD_DATA;
    return false;
  }
  DefiniteReader inner(seq);
  if (!inner.Expect(kTagOid, &oid)) {
    *error = NTE_BAD_DATA;
    return false;
  }
  const std::string curve_oid = OidToString(oid.value, oid.len);
  if (curve_oid.empty()) {
    *error = NTE_BAD_DATA;
    return false;
  }
  while (!inner.AtEnd()) {
    Tlv extra;
    if (!inner.Expect(kTagOid, &extra) ||
        OidToString(extra.value, extra.len).empty()) {
      *error = NTE_BAD_DATA;
      return false;
    }
  }
  const CurveInfo* c = FindCurve(curve_oid);
  const size_t want = family == KeyFamily::k2012_512 ? 64 : 32;
  if (!c || c->size != want) {
    *error = NTE_BAD_ALGID;
    return false;
  }
  *curve = c;
  return true;
}

}  // namespace

bool RandomBytes(uint8_t* buf, size_t len) {
  while (len) {
    ssize_t got = getrandom(buf, len, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      // No getrandom (old kernel, seccomp): libgcrypt's own pool.
      EnsureGcrypt();
      gcry_randomize(buf, len, GCRY_STRONG_RANDOM);
      return true;
    }
    buf += got;
    len -= static_cast<size_t>(got);
  }
  return true;
}

const CurveInfo* FindCurve(const std::string& oid) {
  for (const CurveInfo& c : kCurves)
    if (oid == c.oid) return &c;
  return nullptr;
}

bool FamilyForAlgorithmOid(const std::string& oid, KeyFamily* family) {
  if (oid == szOID_CP_GOST_R3410EL) {
    *family = KeyFamily::k2001;
  } else if (oid == szOID_CP_GOST_R3410_12_256) {
    *family = KeyFamily::k2012_256;
  } else if (oid == szOID_CP_GOST_R3410_12_512) {
    *family = KeyFamily::k2012_512;
  } else {
    return false;
  }
  return true;
}

namespace {

// What goes with each key family, in one place.
struct FamilyTraits {
  const char* oid;
  ALG_ID hash;
  ALG_ID sign;
  ALG_ID exchange;
  DWORD provType;
};

const FamilyTraits& Traits(KeyFamily family) {
  static const FamilyTraits k2001 = {szOID_CP_GOST_R3410EL, CALG_GR3411,
                                     CALG_GR3410EL, CALG_DH_EL_SF,
                                     PROV_GOST_2001_DH};
  static const FamilyTraits k256 = {
      szOID_CP_GOST_R3410_12_256, CALG_GR3411_2012_256, CALG_GR3410_12_256,
      CALG_DH_GR3410_12_256_SF, PROV_GOST_2012_256};
  static const FamilyTraits k512 = {
      szOID_CP_GOST_R3410_12_512, CALG_GR3411_2012_512, CALG_GR3410_12_512,
      CALG_DH_GR3410_12_512_SF, PROV_GOST_2012_512};
  switch (family) {
    case KeyFamily::k2001:
      return k2001;
    case KeyFamily::k2012_256:
      return k256;
    case KeyFamily::k2012_512:
      break;
  }
  return k512;
}

}  // namespace

const char* AlgorithmOid(KeyFamily family) { return Traits(family).oid; }
ALG_ID HashAlgFor(KeyFamily family) { return Traits(family).hash; }
ALG_ID SignAlgFor(KeyFamily family) { return Traits(family).sign; }
ALG_ID ExchangeAlgFor(KeyFamily family) { return Traits(family).exchange; }
DWORD ProvTypeFor(KeyFamily family) { return Traits(family).provType; }

size_t HashSizeFor(ALG_ID hash_alg) {
  switch (hash_alg) {
    case CALG_GR3411:
    case CALG_GR3411_2012_256:
      return 32;
    case CALG_GR3411_2012_512:
      return 64;
  }
  return 0;
}

GostKey::~GostKey() { Wipe(&d_le_); }

std::unique_ptr<GostKey> GostKey::FromPrivateKeyInfo(const uint8_t* der,
                                                     size_t len, DWORD* error) {
  *error = NTE_BAD_DATA;
  if (!der || len == 0) return nullptr;
  // PrivateKeyInfo ::= SEQUENCE { version INTEGER (0),
  //   privateKeyAlgorithm AlgorithmIdentifier, privateKey OCTET STRING,
  //   attributes [0] IMPLICIT OPTIONAL, publicKey [1] OPTIONAL }
  DefiniteReader top(der, len);
  Tlv pki, version, alg, priv;
  if (!top.Expect(kTagSequence, &pki) || !top.AtEnd()) return nullptr;
  DefiniteReader body(pki);
  if (!body.Expect(kTagInteger, &version) || version.len != 1 ||
      (version.value[0] != 0 && version.value[0] != 1))
    return nullptr;
  if (!body.Expect(kTagSequence, &alg)) return nullptr;
  if (!body.Expect(kTagOctetString, &priv)) return nullptr;
  while (!body.AtEnd()) {
    Tlv optional;
    if (!body.Next(&optional) ||
        (optional.tag != 0xA0 && optional.tag != 0x81 && optional.tag != 0xA1))
      return nullptr;
  }

  DefiniteReader alg_reader(alg);
  Tlv alg_oid, params;
  if (!alg_reader.Expect(kTagOid, &alg_oid)) return nullptr;
  const std::string oid = OidToString(alg_oid.value, alg_oid.len);
  if (!alg_reader.Next(&params) || !alg_reader.AtEnd()) return nullptr;
  std::unique_ptr<GostKey> key(new GostKey());
  if (!FamilyForAlgorithmOid(oid, &key->family_)) {
    *error = oid.empty() ? NTE_BAD_DATA : NTE_BAD_ALGID;
    return nullptr;
  }
  if (!ParseParams(params.start, params.total(), key->family_, &key->curve_,
                   error))
    return nullptr;
  key->params_der_ = params.WholeBytes();

  const size_t n = key->curve_->size;
  *error = NTE_BAD_DATA;
  if (priv.len == n) {
    // What the GOST engine writes: the scalar, little-endian.
    key->d_le_.assign(priv.value, priv.value + n);
  } else {
    DefiniteReader inner(priv.value, priv.len);
    Tlv wrapped;
    if (!inner.Next(&wrapped) || !inner.AtEnd()) return nullptr;
    if (wrapped.tag == kTagOctetString && wrapped.len == n) {
      key->d_le_.assign(wrapped.value, wrapped.value + n);
    } else if (wrapped.tag == kTagInteger && wrapped.len > 0) {
      // A DER INTEGER is big-endian and may carry a sign octet.
      const uint8_t* p = wrapped.value;
      size_t m = wrapped.len;
      if (p[0] & 0x80) return nullptr;  // negative
      while (m > 1 && p[0] == 0) {
        ++p;
        --m;
      }
      if (m > n) {
        *error = NTE_BAD_KEY;
        return nullptr;
      }
      key->d_le_.assign(n, 0);
      for (size_t i = 0; i < m; ++i) key->d_le_[i] = p[m - 1 - i];
    } else {
      return nullptr;
    }
  }
  if (!key->DerivePublic()) {
    *error = NTE_BAD_KEY;
    return nullptr;
  }
  *error = 0;
  return key;
}

std::unique_ptr<GostKey> GostKey::FromPublicKeyInfo(
    const std::string& alg_oid, const uint8_t* params, size_t params_len,
    const uint8_t* key_bits, size_t key_bits_len, DWORD* error) {
  std::unique_ptr<GostKey> key(new GostKey());
  if (!FamilyForAlgorithmOid(alg_oid, &key->family_)) {
    *error = NTE_BAD_ALGID;
    return nullptr;
  }
  if (!params || params_len == 0) {
    *error = CRYPT_E_MISSING_PUBKEY_PARA;
    return nullptr;
  }
  if (!ParseParams(params, params_len, key->family_, &key->curve_, error)) {
    if (*error == NTE_BAD_DATA) *error = NTE_BAD_PUBLIC_KEY;
    return nullptr;
  }
  key->params_der_.assign(params, params + params_len);
  const size_t n = key->curve_->size;
  DefiniteReader reader(key_bits, key_bits ? key_bits_len : 0);
  Tlv point;
  if (!key_bits || !reader.Expect(kTagOctetString, &point) || !reader.AtEnd() ||
      point.len != 2 * n) {
    *error = NTE_BAD_PUBLIC_KEY;
    return nullptr;
  }
  key->x_le_.assign(point.value, point.value + n);
  key->y_le_.assign(point.value + n, point.value + 2 * n);
  if (!key->CheckPublicPoint()) {
    *error = NTE_BAD_PUBLIC_KEY;
    return nullptr;
  }
  *error = 0;
  return key;
}

std::vector<uint8_t> GostKey::PublicKeyBits() const {
  std::vector<uint8_t> point(x_le_);
  point.insert(point.end(), y_le_.begin(), y_le_.end());
  std::vector<uint8_t> out;
  AppendTlv(&out, kTagOctetString, point.data(), point.size());
  return out;
}

bool GostKey::DerivePublic() {
  const size_t n = curve_->size;
  x_le_.assign(n, 0);
  y_le_.assign(n, 0);
  if (curve_->nettle_curve) {
    const ecc_curve* ec = NettleCurve(*curve_);
    Mpz d, x, y;
    d.FromLe(d_le_.data(), n);
    ecc_scalar scalar;
    ecc_scalar_init(&scalar, ec);
    const bool in_range = ecc_scalar_set(&scalar, d.z) == 1;
    bool ok = false;
    if (in_range) {
      ecc_point pub;
      ecc_point_init(&pub, ec);
      ecc_point_mul_g(&pub, &scalar);
      ecc_point_get(&pub, x.z, y.z);
      ecc_point_clear(&pub);
      ok = x.ToLe(x_le_.data(), n) && y.ToLe(y_le_.data(), n);
    }
    ecc_scalar_clear(&scalar);
    mpz_set_ui(d.z, 0);
    return ok;
  }
  EnsureGcrypt();
  GCtx ctx;
  if (gcry_mpi_ec_new(&ctx.c, nullptr, curve_->gcry_name) != 0) return false;
  std::vector<uint8_t> d_be = Reversed(d_le_.data(), n);
  GMpi d, order, x, y;
  const bool scanned = d.FromBe(d_be.data(), n);
  Wipe(&d_be);
  if (!scanned) return false;
  order.m = gcry_mpi_ec_get_mpi("n", ctx.c, 1);
  if (!order.m || gcry_mpi_cmp_ui(d.m, 0) == 0 ||
      gcry_mpi_cmp(d.m, order.m) >= 0)
    return false;
  GPoint g, q;
  g.p = gcry_mpi_ec_get_point("g", ctx.c, 1);
  q.p = gcry_mpi_point_new(0);
  if (!g.p) return false;
  gcry_mpi_ec_mul(q.p, d.m, g.p, ctx.c);
  x.m = gcry_mpi_new(0);
  y.m = gcry_mpi_new(0);
  if (gcry_mpi_ec_get_affine(x.m, y.m, q.p, ctx.c) != 0) return false;
  std::vector<uint8_t> be(n);
  if (!MpiToBe(x.m, be.data(), n)) return false;
  std::reverse_copy(be.begin(), be.end(), x_le_.begin());
  if (!MpiToBe(y.m, be.data(), n)) return false;
  std::reverse_copy(be.begin(), be.end(), y_le_.begin());
  return true;
}

bool GostKey::CheckPublicPoint() const {
  const size_t n = curve_->size;
  if (curve_->nettle_curve) {
    const ecc_curve* ec = NettleCurve(*curve_);
    Mpz x, y;
    x.FromLe(x_le_.data(), n);
    y.FromLe(y_le_.data(), n);
    ecc_point pub;
    ecc_point_init(&pub, ec);
    // ecc_point_set refuses coordinates off the curve or not below p.
    const bool ok = ecc_point_set(&pub, x.z, y.z) == 1;
    ecc_point_clear(&pub);
    return ok;
  }
  EnsureGcrypt();
  GCtx ctx;
  if (gcry_mpi_ec_new(&ctx.c, nullptr, curve_->gcry_name) != 0) return false;
  std::vector<uint8_t> xb = Reversed(x_le_.data(), n);
  std::vector<uint8_t> yb = Reversed(y_le_.data(), n);
  GMpi x, y, p;
  if (!x.FromBe(xb.data(), n) || !y.FromBe(yb.data(), n)) return false;
  p.m = gcry_mpi_ec_get_mpi("p", ctx.c, 1);
  if (!p.m || gcry_mpi_cmp(x.m, p.m) >= 0 || gcry_mpi_cmp(y.m, p.m) >= 0)
    return false;
  GPoint q;
  q.p = gcry_mpi_point_set(nullptr, x.m, y.m, GCRYMPI_CONST_ONE);
  return q.p && gcry_mpi_ec_curve_point(q.p, ctx.c) == 1;
}

bool GostKey::Sign(const uint8_t* hash, size_t hash_len,
                   std::vector<uint8_t>* sig) const {
  const size_t n = curve_->size;
  if (!has_private() || !hash || hash_len != n) return false;
  sig->assign(2 * n, 0);
  if (curve_->nettle_curve) {
    const ecc_curve* ec = NettleCurve(*curve_);
    Mpz d;
    d.FromLe(d_le_.data(), n);
    ecc_scalar scalar;
    ecc_scalar_init(&scalar, ec);
    bool ok = ecc_scalar_set(&scalar, d.z) == 1;
    mpz_set_ui(d.z, 0);
    if (ok) {
      dsa_signature rs;
      dsa_signature_init(&rs);
      // nettle reads the digest little-endian, as the convention wants.
      gostdsa_sign(&scalar, nullptr, NettleRandom, hash_len, hash, &rs);
      Mpz r, s;
      mpz_set(r.z, rs.r);
      mpz_set(s.z, rs.s);
      dsa_signature_clear(&rs);
      ok = s.ToBe(sig->data(), n) && r.ToBe(sig->data() + n, n);
    }
    ecc_scalar_clear(&scalar);
    return ok;
  }
  EnsureGcrypt();
  std::vector<uint8_t> d_be = Reversed(d_le_.data(), n);
  // libgcrypt reads the value big-endian; e is the hash read little-endian.
  std::vector<uint8_t> e_be = Reversed(hash, hash_len);
  GMpi d, e;
  const bool scanned =
      d.FromBe(d_be.data(), n) && e.FromBe(e_be.data(), e_be.size());
  Wipe(&d_be);
  if (!scanned) return false;
  GSexp skey, data, result;
  if (gcry_sexp_build(&skey.s, nullptr, "(private-key(ecc(curve %s)(d %m)))",
                      curve_->gcry_name, d.m) != 0 ||
      gcry_sexp_build(&data.s, nullptr, "(data(flags gost)(value %m))", e.m) !=
          0)
    return false;
  if (gcry_pk_sign(&result.s, data.s, skey.s) != 0) return false;
  return SexpMpiToBe(result.s, "s", sig->data(), n) &&
         SexpMpiToBe(result.s, "r", sig->data() + n, n);
}

bool GostKey::Verify(const uint8_t* hash, size_t hash_len, const uint8_t* sig,
                     size_t sig_len) const {
  const size_t n = curve_->size;
  if (!hash || hash_len != n || !sig || sig_len != 2 * n) return false;
  if (curve_->nettle_curve) {
    const ecc_curve* ec = NettleCurve(*curve_);
    Mpz x, y;
    x.FromLe(x_le_.data(), n);
    y.FromLe(y_le_.data(), n);
    ecc_point pub;
    ecc_point_init(&pub, ec);
    bool ok = ecc_point_set(&pub, x.z, y.z) == 1;
    if (ok) {
      dsa_signature rs;
      dsa_signature_init(&rs);
      mpz_import(rs.s, n, 1, 1, 0, 0, sig);
      mpz_import(rs.r, n, 1, 1, 0, 0, sig + n);
      // gostdsa_verify itself refuses r or s outside 1..q-1.
      ok = gostdsa_verify(&pub, hash_len, hash, &rs) == 1;
      dsa_signature_clear(&rs);
    }
    ecc_point_clear(&pub);
    return ok;
  }
  EnsureGcrypt();
  std::vector<uint8_t> q(1 + 2 * n);
  q[0] = 0x04;
  std::reverse_copy(x_le_.begin(), x_le_.end(), q.begin() + 1);
  std::reverse_copy(y_le_.begin(), y_le_.end(), q.begin() + 1 + n);
  std::vector<uint8_t> e_be = Reversed(hash, hash_len);
  GMpi e, r, s, order;
  if (!e.FromBe(e_be.data(), e_be.size()) || !s.FromBe(sig, n) ||
      !r.FromBe(sig + n, n))
    return false;
  GCtx ctx;
  if (gcry_mpi_ec_new(&ctx.c, nullptr, curve_->gcry_name) != 0) return false;
  order.m = gcry_mpi_ec_get_mpi("n", ctx.c, 1);
  if (!order.m || gcry_mpi_cmp_ui(r.m, 0) == 0 ||
      gcry_mpi_cmp_ui(s.m, 0) == 0 || gcry_mpi_cmp(r.m, order.m) >= 0 ||
      gcry_mpi_cmp(s.m, order.m) >= 0)
    return false;
  GSexp pkey, data, sigval;
  if (gcry_sexp_build(&pkey.s, nullptr, "(public-key(ecc(curve %s)(q %b)))",
                      curve_->gcry_name, static_cast<int>(q.size()),
                      q.data()) != 0 ||
      gcry_sexp_build(&data.s, nullptr, "(data(flags gost)(value %m))", e.m) !=
          0 ||
      gcry_sexp_build(&sigval.s, nullptr, "(sig-val(gost(r %m)(s %m)))", r.m,
                      s.m) != 0)
    return false;
  return gcry_pk_verify(sigval.s, data.s, pkey.s) == 0;
}

}  // namespace gost
}  // namespace tavrix::provider
