#include "crypto/gost_key.h"

#include <gcrypt.h>
#include <sys/random.h>

#include <cerrno>

#include "base/c_boundary.h"
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

// Parameters: SEQUENCE { curve OID, digest OID OPTIONAL, cipher OID OPTIONAL }.
// False with the last error `malformed` when they do not parse, NTE_BAD_ALGID
// for a curve unknown or of the wrong size for the family.
bool ParseParams(const uint8_t* p, size_t n, KeyFamily family, DWORD malformed,
                 const CurveInfo** curve) {
  DefiniteReader outer(p, n);
  Tlv seq, oid;
  if (!outer.Expect(kTagSequence, &seq) || !outer.AtEnd())
    return Fail(malformed);
  DefiniteReader inner(seq);
  if (!inner.Expect(kTagOid, &oid)) return Fail(malformed);
  const std::string curve_oid = OidToString(oid.value, oid.len);
  if (curve_oid.empty()) return Fail(malformed);
  while (!inner.AtEnd()) {
    Tlv extra;
    if (!inner.Expect(kTagOid, &extra) ||
        OidToString(extra.value, extra.len).empty())
      return Fail(malformed);
  }
  const CurveInfo* c = FindCurve(curve_oid);
  if (!c || c->size != ForFamily(family).coordinate_size)
    return Fail(NTE_BAD_ALGID);
  *curve = c;
  return true;
}

// The key family of a public key algorithm in its signature form (the
// key-agreement OIDs name no key this provider signs with).
bool FamilyForKeyOid(const std::string& oid, KeyFamily* family) {
  const Algorithms* a = FindBy(&Algorithms::key_oid, std::string_view(oid));
  if (!a) return false;
  *family = a->family;
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

GostKey::~GostKey() { Wipe(&d_le_); }

void GostKey::SetCurve(const CurveInfo* curve) {
  curve_ = curve;
  backend_ = &BackendFor(*curve);
}

std::unique_ptr<GostKey> GostKey::FromPrivateKeyInfo(const uint8_t* der,
                                                     size_t len) {
  if (!der || len == 0) return FailWith(NTE_BAD_DATA, nullptr);
  // PrivateKeyInfo ::= SEQUENCE { version INTEGER (0),
  //   privateKeyAlgorithm AlgorithmIdentifier, privateKey OCTET STRING,
  //   attributes [0] IMPLICIT OPTIONAL, publicKey [1] OPTIONAL }
  DefiniteReader top(der, len);
  Tlv pki, version, alg, priv;
  if (!top.Expect(kTagSequence, &pki) || !top.AtEnd())
    return FailWith(NTE_BAD_DATA, nullptr);
  DefiniteReader body(pki);
  if (!body.Expect(kTagInteger, &version) || version.len != 1 ||
      (version.value[0] != 0 && version.value[0] != 1))
    return FailWith(NTE_BAD_DATA, nullptr);
  if (!body.Expect(kTagSequence, &alg) || !body.Expect(kTagOctetString, &priv))
    return FailWith(NTE_BAD_DATA, nullptr);
  while (!body.AtEnd()) {
    Tlv optional;
    if (!body.Next(&optional) ||
        (optional.tag != 0xA0 && optional.tag != 0x81 && optional.tag != 0xA1))
      return FailWith(NTE_BAD_DATA, nullptr);
  }

  DefiniteReader alg_reader(alg);
  Tlv alg_oid, params;
  if (!alg_reader.Expect(kTagOid, &alg_oid))
    return FailWith(NTE_BAD_DATA, nullptr);
  const std::string oid = OidToString(alg_oid.value, alg_oid.len);
  if (!alg_reader.Next(&params) || !alg_reader.AtEnd())
    return FailWith(NTE_BAD_DATA, nullptr);
  std::unique_ptr<GostKey> key(new GostKey());
  if (!FamilyForKeyOid(oid, &key->family_))
    return FailWith(oid.empty() ? NTE_BAD_DATA : NTE_BAD_ALGID, nullptr);
  const CurveInfo* curve = nullptr;
  if (!ParseParams(params.start, params.total(), key->family_, NTE_BAD_DATA,
                   &curve))
    return nullptr;
  key->SetCurve(curve);
  key->params_der_ = params.WholeBytes();

  const size_t n = curve->size;
  if (priv.len == n) {
    // What the GOST engine writes: the scalar, little-endian.
    key->d_le_.assign(priv.value, priv.value + n);
  } else {
    DefiniteReader inner(priv.value, priv.len);
    Tlv wrapped;
    if (!inner.Next(&wrapped) || !inner.AtEnd())
      return FailWith(NTE_BAD_DATA, nullptr);
    if (wrapped.tag == kTagOctetString && wrapped.len == n) {
      key->d_le_.assign(wrapped.value, wrapped.value + n);
    } else if (wrapped.tag == kTagInteger && wrapped.len > 0) {
      // A DER INTEGER is big-endian and may carry a sign octet.
      const uint8_t* p = wrapped.value;
      size_t m = wrapped.len;
      if (p[0] & 0x80) return FailWith(NTE_BAD_DATA, nullptr);  // negative
      while (m > 1 && p[0] == 0) {
        ++p;
        --m;
      }
      if (m > n) return FailWith(NTE_BAD_KEY, nullptr);
      key->d_le_.assign(n, 0);
      for (size_t i = 0; i < m; ++i) key->d_le_[i] = p[m - 1 - i];
    } else {
      return FailWith(NTE_BAD_DATA, nullptr);
    }
  }
  key->x_le_.assign(n, 0);
  key->y_le_.assign(n, 0);
  if (!key->backend_->DerivePublic(*curve, key->d_le_.data(), key->x_le_.data(),
                                   key->y_le_.data()))
    return FailWith(NTE_BAD_KEY, nullptr);
  return key;
}

std::unique_ptr<GostKey> GostKey::FromPublicKeyInfo(const std::string& alg_oid,
                                                    const uint8_t* params,
                                                    size_t params_len,
                                                    const uint8_t* key_bits,
                                                    size_t key_bits_len) {
  std::unique_ptr<GostKey> key(new GostKey());
  if (!FamilyForKeyOid(alg_oid, &key->family_))
    return FailWith(NTE_BAD_ALGID, nullptr);
  if (!params || params_len == 0)
    return FailWith(CRYPT_E_MISSING_PUBKEY_PARA, nullptr);
  const CurveInfo* curve = nullptr;
  if (!ParseParams(params, params_len, key->family_, NTE_BAD_PUBLIC_KEY,
                   &curve))
    return nullptr;
  key->SetCurve(curve);
  key->params_der_.assign(params, params + params_len);
  const size_t n = curve->size;
  DefiniteReader reader(key_bits, key_bits ? key_bits_len : 0);
  Tlv point;
  if (!key_bits || !reader.Expect(kTagOctetString, &point) || !reader.AtEnd() ||
      point.len != 2 * n)
    return FailWith(NTE_BAD_PUBLIC_KEY, nullptr);
  key->x_le_.assign(point.value, point.value + n);
  key->y_le_.assign(point.value + n, point.value + 2 * n);
  if (!key->backend_->CheckPublicPoint(*curve, key->x_le_.data(),
                                       key->y_le_.data()))
    return FailWith(NTE_BAD_PUBLIC_KEY, nullptr);
  return key;
}

std::vector<uint8_t> GostKey::PublicKeyBits() const {
  std::vector<uint8_t> point(x_le_);
  point.insert(point.end(), y_le_.begin(), y_le_.end());
  std::vector<uint8_t> out;
  AppendTlv(&out, kTagOctetString, point.data(), point.size());
  return out;
}

bool GostKey::Sign(const uint8_t* hash, size_t hash_len,
                   std::vector<uint8_t>* sig) const {
  const size_t n = curve_->size;
  if (!has_private() || !hash || hash_len != n) return false;
  sig->assign(2 * n, 0);
  return backend_->Sign(*curve_, d_le_.data(), hash, sig->data());
}

bool GostKey::Verify(const uint8_t* hash, size_t hash_len, const uint8_t* sig,
                     size_t sig_len) const {
  const size_t n = curve_->size;
  if (!hash || hash_len != n || !sig || sig_len != 2 * n) return false;
  return backend_->Verify(*curve_, x_le_.data(), y_le_.data(), hash, sig);
}

}  // namespace gost
}  // namespace tavrix::provider
