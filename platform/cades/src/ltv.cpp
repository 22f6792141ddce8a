#include "ltv.h"

#include <nettle/gosthash94.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>
#include <nettle/streebog.h>

#include <algorithm>

#include "chain/ocsp_oids.h"

namespace tavrix_ltv {

namespace der = ::tavrix::provider::der;
using der::DefiniteReader;
using der::Tlv;

namespace {

const char kOidSha1[] = "1.3.14.3.2.26";
const char kOidSha256[] = "2.16.840.1.101.3.4.2.1";
const char kOidGost94[] = "1.2.643.2.2.9";
const char kOidStreebog256[] = "1.2.643.7.1.1.2.2";
const char kOidStreebog512[] = "1.2.643.7.1.1.2.3";
const char kOidEku[] = "2.5.29.37";

// Servers' and signers' clocks differ a little.
constexpr int64_t kClockSkew = 300;

bool ParseOtherHash(const Tlv& e, OtherHash* out) {
  if (e.tag == der::kTagOctetString) {
    out->alg_oid = kOidSha1;
    out->value = e.ValueBytes();
    return true;
  }
  if (e.tag != der::kTagSequence) return false;
  DefiniteReader r(e);
  Tlv alg, value, oid;
  if (!r.Expect(der::kTagSequence, &alg) ||
      !r.Expect(der::kTagOctetString, &value) || !r.AtEnd())
    return false;
  DefiniteReader ar(alg);
  if (!ar.Expect(der::kTagOid, &oid)) return false;
  out->alg_oid = der::OidToString(oid.value, oid.len);
  out->value = value.ValueBytes();
  return !out->alg_oid.empty();
}

// The one element a value holds, with this tag.
bool Sole(const Bytes& value, uint8_t tag, Tlv* out) {
  DefiniteReader r(value.data(), value.size());
  return r.Expect(tag, out) && r.AtEnd();
}

// What revocation judgement reads from a certificate.
struct CertView {
  Bytes serial;  // INTEGER contents
  Bytes issuer, subject;
  int64_t not_before = 0, not_after = 0;
  Bytes key_bits;  // subjectPublicKey contents without the unused-bits octet
  std::vector<std::string> eku;
};

bool ParseCertView(const Bytes& enc, CertView* out) {
  DefiniteReader top(enc.data(), enc.size());
  Tlv cert, tbs, t;
  if (!top.Expect(der::kTagSequence, &cert) || !top.AtEnd()) return false;
  DefiniteReader cr(cert);
  if (!cr.Expect(der::kTagSequence, &tbs)) return false;
  DefiniteReader r(tbs);
  bool present;
  if (!r.Optional(der::Context(0, true), &t, &present)) return false;
  Tlv serial, sig, issuer, validity, subject, spki;
  if (!r.Expect(der::kTagInteger, &serial) ||
      !r.Expect(der::kTagSequence, &sig) ||
      !r.Expect(der::kTagSequence, &issuer) ||
      !r.Expect(der::kTagSequence, &validity) ||
      !r.Expect(der::kTagSequence, &subject) ||
      !r.Expect(der::kTagSequence, &spki))
    return false;
  out->serial = serial.ValueBytes();
  out->issuer = issuer.WholeBytes();
  out->subject = subject.WholeBytes();
  DefiniteReader vr(validity);
  Tlv nb, na;
  if (!vr.Next(&nb) || !vr.Next(&na) || !der::ParseTime(nb, &out->not_before) ||
      !der::ParseTime(na, &out->not_after))
    return false;
  DefiniteReader sr(spki);
  Tlv alg, bits;
  if (!sr.Expect(der::kTagSequence, &alg) ||
      !sr.Expect(der::kTagBitString, &bits))
    return false;
  const uint8_t* kp;
  size_t kn;
  unsigned unused;
  if (!der::BitStringBytes(bits, &kp, &kn, &unused)) return false;
  out->key_bits.assign(kp, kp + kn);
  while (!r.AtEnd()) {
    Tlv wrap;
    if (!r.Next(&wrap)) return false;
    if (wrap.tag != der::Context(3, true)) continue;
    DefiniteReader wr(wrap);
    Tlv exts, ext;
    if (!wr.Expect(der::kTagSequence, &exts)) return false;
    DefiniteReader er(exts);
    while (er.Next(&ext)) {
      DefiniteReader xr(ext);
      Tlv oid, crit, val;
      if (!xr.Expect(der::kTagOid, &oid) ||
          !xr.Optional(der::kTagBoolean, &crit, &present) ||
          !xr.Expect(der::kTagOctetString, &val))
        return false;
      if (der::OidToString(oid.value, oid.len) != kOidEku) continue;
      DefiniteReader vr2(val);
      Tlv list, one;
      if (!vr2.Expect(der::kTagSequence, &list)) return false;
      DefiniteReader lr(list);
      while (lr.Expect(der::kTagOid, &one))
        out->eku.push_back(der::OidToString(one.value, one.len));
    }
  }
  return true;
}

bool SameSerial(const Bytes& a, const Bytes& b) {
  auto strip = [](const Bytes& v) {
    size_t i = 0;
    while (i + 1 < v.size() && v[i] == 0) ++i;
    return Bytes(v.begin() + static_cast<long>(i), v.end());
  };
  return strip(a) == strip(b);
}

// ------------------------------------------------------------------ OCSP

struct SingleAnswer {
  bool found = false;
  bool good = false, revoked = false;
  int64_t revoked_at = 0;
  int64_t this_update = 0;
  bool has_next = false;
  int64_t next_update = 0;
};

bool CertIdMatches(const Tlv& id, const CertView& cert,
                   const CertView& issuer) {
  DefiniteReader r(id);
  Tlv alg, name_hash, key_hash, serial, oid;
  if (!r.Expect(der::kTagSequence, &alg) ||
      !r.Expect(der::kTagOctetString, &name_hash) ||
      !r.Expect(der::kTagOctetString, &key_hash) ||
      !r.Expect(der::kTagInteger, &serial))
    return false;
  DefiniteReader ar(alg);
  if (!ar.Expect(der::kTagOid, &oid)) return false;
  std::string hash_oid = der::OidToString(oid.value, oid.len);
  Bytes nh, kh;
  if (!HashByOid(hash_oid, cert.issuer.data(), cert.issuer.size(), &nh) ||
      !HashByOid(hash_oid, issuer.key_bits.data(), issuer.key_bits.size(), &kh))
    return false;
  return name_hash.ValueBytes() == nh && key_hash.ValueBytes() == kh &&
         SameSerial(serial.ValueBytes(), cert.serial);
}

// The answer about `cert` in one BasicOCSPResponse, when its signature is
// the issuer's or that of a responder the issuer certified for OCSP signing.
SingleAnswer ReadBasicResponse(const Bytes& basic, const CertView& cert,
                               const CertView& issuer, const Bytes& issuer_der,
                               const std::vector<Bytes>& certs) {
  SingleAnswer none;
  DefiniteReader top(basic.data(), basic.size());
  Tlv outer;
  if (!top.Expect(der::kTagSequence, &outer) || !top.AtEnd()) return none;
  DefiniteReader br(outer);
  Tlv tbs, alg, sig, certs_wrap;
  bool present;
  if (!br.Expect(der::kTagSequence, &tbs) ||
      !br.Expect(der::kTagSequence, &alg) ||
      !br.Expect(der::kTagBitString, &sig) ||
      !br.Optional(der::Context(0, true), &certs_wrap, &present))
    return none;

  DefiniteReader tr(tbs);
  Tlv t, produced, responses;
  if (!tr.Optional(der::Context(0, true), &t, &present) || !tr.Next(&t) ||
      !tr.Expect(der::kTagGeneralizedTime, &produced) ||
      !tr.Expect(der::kTagSequence, &responses))
    return none;
  int64_t produced_at;
  if (!der::ParseTime(produced, &produced_at, der::TimeForm::kAny)) return none;

  SingleAnswer ans;
  DefiniteReader rr(responses);
  Tlv single;
  while (!ans.found && rr.Expect(der::kTagSequence, &single)) {
    DefiniteReader sr(single);
    Tlv id, cs, this_upd, next_wrap;
    if (!sr.Expect(der::kTagSequence, &id) || !sr.Next(&cs) ||
        !sr.Expect(der::kTagGeneralizedTime, &this_upd))
      return none;
    if (!CertIdMatches(id, cert, issuer)) continue;
    if (!der::ParseTime(this_upd, &ans.this_update, der::TimeForm::kAny))
      return none;
    if (!sr.Optional(der::Context(0, true), &next_wrap, &present)) return none;
    if (present) {
      DefiniteReader nr(next_wrap);
      Tlv nt;
      if (!nr.Next(&nt) ||
          !der::ParseTime(nt, &ans.next_update, der::TimeForm::kAny))
        return none;
      ans.has_next = true;
    }
    if (cs.tag == der::Context(0, false)) {
      ans.good = true;
    } else if (cs.tag == der::Context(1, true)) {
      DefiniteReader vr(cs);
      Tlv when;
      if (!vr.Expect(der::kTagGeneralizedTime, &when) ||
          !der::ParseTime(when, &ans.revoked_at, der::TimeForm::kAny))
        return none;
      ans.revoked = true;
    }
    ans.found = true;
  }
  if (!ans.found) return none;

  // The signature covers tbsResponseData alone: check it in the shape of a
  // certificate, without the responder's certificates behind it.
  Bytes shaped;
  der::Append(&shaped, tbs.WholeBytes());
  der::Append(&shaped, alg.WholeBytes());
  der::Append(&shaped, sig.WholeBytes());
  shaped = der::Wrap(der::kTagSequence, shaped);
  if (SignedBy(shaped.data(), shaped.size(), issuer_der)) return ans;

  std::vector<Bytes> candidates = certs;
  if (present) {
    DefiniteReader cw(certs_wrap);
    Tlv list, one;
    if (cw.Expect(der::kTagSequence, &list)) {
      DefiniteReader lr(list);
      while (lr.Expect(der::kTagSequence, &one))
        candidates.push_back(one.WholeBytes());
    }
  }
  for (const Bytes& c : candidates) {
    CertView rv;
    if (!ParseCertView(c, &rv) || rv.issuer != issuer.subject ||
        std::find(rv.eku.begin(), rv.eku.end(), szOID_PKIX_KP_OCSP_SIGNING) ==
            rv.eku.end() ||
        rv.not_before > produced_at + kClockSkew || rv.not_after < produced_at)
      continue;
    if (!SignedBy(c.data(), c.size(), issuer_der)) continue;
    if (SignedBy(shaped.data(), shaped.size(), c)) return ans;
  }
  return none;
}

// A status said at `this_update` (valid until `next_update` when given)
// speaks for `when` if it was current then or was issued after it.
bool SpeaksFor(int64_t this_update, bool has_next, int64_t next_update,
               int64_t when) {
  if (this_update + kClockSkew >= when) return true;
  return has_next && next_update + kClockSkew >= when;
}

}  // namespace

// ------------------------------------------------------------------ hashes

bool HashByOid(const std::string& oid, const uint8_t* p, size_t n, Bytes* out) {
  if (oid == kOidSha1) {
    sha1_ctx c;
    sha1_init(&c);
    sha1_update(&c, n, p);
    out->resize(SHA1_DIGEST_SIZE);
    sha1_digest(&c, SHA1_DIGEST_SIZE, out->data());
  } else if (oid == kOidSha256) {
    sha256_ctx c;
    sha256_init(&c);
    sha256_update(&c, n, p);
    out->resize(SHA256_DIGEST_SIZE);
    sha256_digest(&c, SHA256_DIGEST_SIZE, out->data());
  } else if (oid == kOidGost94) {
    gosthash94cp_ctx c;
    gosthash94cp_init(&c);
    gosthash94cp_update(&c, n, p);
    out->resize(GOSTHASH94CP_DIGEST_SIZE);
    gosthash94cp_digest(&c, GOSTHASH94CP_DIGEST_SIZE, out->data());
  } else if (oid == kOidStreebog256) {
    streebog256_ctx c;
    streebog256_init(&c);
    streebog256_update(&c, n, p);
    out->resize(STREEBOG256_DIGEST_SIZE);
    streebog256_digest(&c, STREEBOG256_DIGEST_SIZE, out->data());
  } else if (oid == kOidStreebog512) {
    streebog512_ctx c;
    streebog512_init(&c);
    streebog512_update(&c, n, p);
    out->resize(STREEBOG512_DIGEST_SIZE);
    streebog512_digest(&c, STREEBOG512_DIGEST_SIZE, out->data());
  } else {
    return false;
  }
  return true;
}

bool OtherHash::Matches(const uint8_t* p, size_t n) const {
  Bytes h;
  return HashByOid(alg_oid, p, n, &h) && h == value;
}

// ------------------------------------------------------------ attributes

bool ParseCertRefs(const Bytes& value, std::vector<CertRef>* out) {
  Tlv seq, one;
  if (!Sole(value, der::kTagSequence, &seq)) return false;
  DefiniteReader r(seq);
  while (!r.AtEnd()) {
    if (!r.Expect(der::kTagSequence, &one)) return false;
    DefiniteReader o(one);
    Tlv h, is;
    CertRef ref;
    if (!o.Next(&h) || !ParseOtherHash(h, &ref.hash)) return false;
    bool present;
    if (!o.Optional(der::kTagSequence, &is, &present) || !o.AtEnd())
      return false;
    if (present) {
      DefiniteReader ir(is);
      Tlv names, serial;
      if (!ir.Expect(der::kTagSequence, &names) ||
          !ir.Expect(der::kTagInteger, &serial) || !ir.AtEnd())
        return false;
      ref.has_issuer_serial = true;
      ref.serial = serial.ValueBytes();
    }
    out->push_back(std::move(ref));
  }
  return true;
}

bool ParseRevRefs(const Bytes& value, RevRefs* out) {
  Tlv seq, one;
  if (!Sole(value, der::kTagSequence, &seq)) return false;
  DefiniteReader r(seq);
  while (!r.AtEnd()) {
    if (!r.Expect(der::kTagSequence, &one)) return false;
    DefiniteReader o(one);
    Tlv part;
    while (o.Next(&part)) {
      DefiniteReader pr(part);
      Tlv list, inner, item;
      if (part.tag == der::Context(0, true)) {  // crlids: CRLListID
        if (!pr.Expect(der::kTagSequence, &list) || !pr.AtEnd()) return false;
        DefiniteReader lr(list);
        if (!lr.Expect(der::kTagSequence, &inner) || !lr.AtEnd()) return false;
        DefiniteReader ir(inner);
        while (!ir.AtEnd()) {
          if (!ir.Expect(der::kTagSequence, &item)) return false;
          DefiniteReader vr(item);
          Tlv h, ident;
          CrlRef ref;
          if (!vr.Next(&h) || !ParseOtherHash(h, &ref.hash)) return false;
          bool has_ident;
          if (!vr.Optional(der::kTagSequence, &ident, &has_ident) ||
              !vr.AtEnd())
            return false;
          if (has_ident) {
            DefiniteReader cr(ident);
            Tlv issuer, issued, number;
            if (!cr.Expect(der::kTagSequence, &issuer) ||
                !cr.Expect(der::kTagUtcTime, &issued) ||
                !der::ParseTime(issued, &ref.issued_at, der::TimeForm::kAny) ||
                !cr.Optional(der::kTagInteger, &number, &ref.has_number) ||
                !cr.AtEnd())
              return false;
            ref.has_ident = true;
            ref.issuer = issuer.WholeBytes();
            ref.number = number.ValueBytes();
          }
          out->crls.push_back(std::move(ref));
        }
      } else if (part.tag == der::Context(1, true)) {  // ocspids
        if (!pr.Expect(der::kTagSequence, &list) || !pr.AtEnd()) return false;
        DefiniteReader lr(list);
        if (!lr.Expect(der::kTagSequence, &inner) || !lr.AtEnd()) return false;
        DefiniteReader ir(inner);
        while (!ir.AtEnd()) {
          if (!ir.Expect(der::kTagSequence, &item)) return false;
          DefiniteReader vr(item);
          Tlv ident, rid, produced, h;
          OcspRef ref;
          if (!vr.Expect(der::kTagSequence, &ident)) return false;
          DefiniteReader idr(ident);
          if (!idr.Next(&rid) ||
              !idr.Expect(der::kTagGeneralizedTime, &produced) ||
              !der::ParseTime(produced, &ref.produced_at, der::TimeForm::kAny))
            return false;
          ref.responder_id = rid.WholeBytes();
          if (!vr.AtEnd()) {
            if (!vr.Next(&h) || !ParseOtherHash(h, &ref.hash) || !vr.AtEnd())
              return false;
            ref.has_hash = true;
          }
          out->ocsps.push_back(std::move(ref));
        }
      } else if (part.tag != der::Context(2, true)) {
        return false;
      }
    }
    if (!o.AtEnd()) return false;
  }
  return true;
}

bool ParseCertValues(const Bytes& value, std::vector<Bytes>* out) {
  Tlv seq, one;
  if (!Sole(value, der::kTagSequence, &seq)) return false;
  DefiniteReader r(seq);
  while (!r.AtEnd()) {
    if (!r.Expect(der::kTagSequence, &one)) return false;
    out->push_back(one.WholeBytes());
  }
  return true;
}

bool ParseRevValues(const Bytes& value, RevValues* out) {
  Tlv seq, part;
  if (!Sole(value, der::kTagSequence, &seq)) return false;
  DefiniteReader r(seq);
  while (!r.AtEnd()) {
    if (!r.Next(&part)) return false;
    if (part.tag == der::Context(2, true)) continue;  // other kinds
    if (part.tag != der::Context(0, true) && part.tag != der::Context(1, true))
      return false;
    DefiniteReader pr(part);
    Tlv list, one;
    if (!pr.Expect(der::kTagSequence, &list) || !pr.AtEnd()) return false;
    DefiniteReader lr(list);
    auto* into = part.tag == der::Context(0, true) ? &out->crls : &out->ocsps;
    while (!lr.AtEnd()) {
      if (!lr.Expect(der::kTagSequence, &one)) return false;
      into->push_back(one.WholeBytes());
    }
  }
  return true;
}

// Every reference must find its value; values may hold more than the
// references name (the signer's own certificate, a time-stamp authority's
// evidence), which the chain and revocation checks use only as candidates.
bool CertRefsMatchValues(const std::vector<CertRef>& refs,
                         const std::vector<Bytes>& values) {
  for (const CertRef& ref : refs) {
    bool found = false;
    for (size_t i = 0; i < values.size() && !found; ++i) {
      if (!ref.hash.Matches(values[i])) continue;
      if (ref.has_issuer_serial) {
        CertView v;
        if (!ParseCertView(values[i], &v) || !SameSerial(v.serial, ref.serial))
          continue;
      }
      found = true;
    }
    if (!found) return false;
  }
  return true;
}

namespace {

// The whole OCSPResponse a basic response came in: fixed by its encoding.
Bytes WrapBasic(const Bytes& basic) {
  Bytes wrapped, body;
  der::AppendOid(&body, tavrix::provider::chain::kOidOcspBasic);
  der::AppendTlv(&body, der::kTagOctetString, basic);
  const Bytes status{der::kTagEnumerated, 1, 0};
  der::Append(&wrapped, status);
  der::AppendTlv(&wrapped, der::Context(0, true),
                 der::Wrap(der::kTagSequence, body));
  return der::Wrap(der::kTagSequence, wrapped);
}

// The issuer, issue time and number a CRL names itself by.
bool CrlRefMatches(const CrlRef& ref, const Bytes& crl) {
  if (!ref.hash.Matches(crl)) return false;
  if (!ref.has_ident) return true;
  DefiniteReader top(crl.data(), crl.size());
  Tlv seq, tbs, t, issuer, this_update;
  bool present;
  if (!top.Expect(der::kTagSequence, &seq)) return false;
  DefiniteReader r(seq);
  if (!r.Expect(der::kTagSequence, &tbs)) return false;
  DefiniteReader tr(tbs);
  int64_t at;
  if (!tr.Optional(der::kTagInteger, &t, &present) ||
      !tr.Expect(der::kTagSequence, &t) ||
      !tr.Expect(der::kTagSequence, &issuer) || !tr.Next(&this_update) ||
      !der::ParseTime(this_update, &at, der::TimeForm::kAny))
    return false;
  if (issuer.WholeBytes() != ref.issuer || at != ref.issued_at) return false;
  if (!ref.has_number) return true;
  // cRLNumber (2.5.29.20) among the CRL extensions [0].
  while (tr.Next(&t)) {
    if (t.tag != der::Context(0, true)) continue;
    DefiniteReader er(t);
    Tlv exts, ext, oid, crit, val, number;
    if (!er.Expect(der::kTagSequence, &exts)) return false;
    DefiniteReader xr(exts);
    while (xr.Expect(der::kTagSequence, &ext)) {
      DefiniteReader one(ext);
      if (!one.Expect(der::kTagOid, &oid) ||
          !one.Optional(der::kTagBoolean, &crit, &present) ||
          !one.Expect(der::kTagOctetString, &val))
        return false;
      if (der::OidToString(oid.value, oid.len) != "2.5.29.20") continue;
      DefiniteReader nr(val);
      return nr.Expect(der::kTagInteger, &number) &&
             SameSerial(number.ValueBytes(), ref.number);
    }
  }
  return false;
}

bool OcspRefMatches(const OcspRef& ref, const Bytes& basic) {
  DefiniteReader top(basic.data(), basic.size());
  Tlv outer, tbs, t, rid, produced;
  bool present;
  if (!top.Expect(der::kTagSequence, &outer)) return false;
  DefiniteReader br(outer);
  if (!br.Expect(der::kTagSequence, &tbs)) return false;
  DefiniteReader tr(tbs);
  int64_t at;
  if (!tr.Optional(der::Context(0, true), &t, &present) || !tr.Next(&rid) ||
      !tr.Expect(der::kTagGeneralizedTime, &produced) ||
      !der::ParseTime(produced, &at, der::TimeForm::kAny))
    return false;
  if (rid.WholeBytes() != ref.responder_id || at != ref.produced_at)
    return false;
  // The hash may cover the basic response or the OCSPResponse around it.
  return !ref.has_hash || ref.hash.Matches(basic) ||
         ref.hash.Matches(WrapBasic(basic));
}

}  // namespace

bool RevRefsMatchValues(const RevRefs& refs, const RevValues& values) {
  for (const CrlRef& ref : refs.crls)
    if (std::none_of(values.crls.begin(), values.crls.end(),
                     [&ref](const Bytes& v) { return CrlRefMatches(ref, v); }))
      return false;
  for (const OcspRef& ref : refs.ocsps)
    if (std::none_of(values.ocsps.begin(), values.ocsps.end(),
                     [&ref](const Bytes& v) { return OcspRefMatches(ref, v); }))
      return false;
  return true;
}

// ------------------------------------------------------------ revocation

bool SignedBy(const uint8_t* p, size_t n, const Bytes& signer_cert) {
  PCCERT_CONTEXT c =
      CertCreateCertificateContext(X509_ASN_ENCODING, signer_cert.data(),
                                   static_cast<DWORD>(signer_cert.size()));
  if (!c) return false;
  BOOL ok =
      n <= 0xFFFFFFFFu && CryptVerifyCertificateSignature(
                              0, X509_ASN_ENCODING, p, static_cast<DWORD>(n),
                              &c->pCertInfo->SubjectPublicKeyInfo);
  CertFreeCertificateContext(c);
  return ok != FALSE;
}

RevVerdict JudgeRevocation(const Bytes& cert_der, const Bytes& issuer_der,
                           int64_t when, const RevValues& values,
                           const std::vector<Bytes>& certs) {
  CertView cert, issuer;
  if (!ParseCertView(cert_der, &cert) || !ParseCertView(issuer_der, &issuer) ||
      cert.issuer != issuer.subject)
    return RevVerdict::kNoEvidence;
  bool good = false;
  for (const Bytes& basic : values.ocsps) {
    SingleAnswer a = ReadBasicResponse(basic, cert, issuer, issuer_der, certs);
    if (!a.found) continue;
    if (a.revoked && a.revoked_at <= when) return RevVerdict::kRevoked;
    if ((a.good || a.revoked) &&
        SpeaksFor(a.this_update, a.has_next, a.next_update, when))
      good = true;
  }
  for (const Bytes& enc : values.crls) {
    PCCRL_CONTEXT crl = CertCreateCRLContext(X509_ASN_ENCODING, enc.data(),
                                             static_cast<DWORD>(enc.size()));
    if (!crl) continue;
    const CRL_INFO* ci = crl->pCrlInfo;
    bool usable =
        ci && ci->Issuer.cbData == cert.issuer.size() &&
        std::equal(cert.issuer.begin(), cert.issuer.end(), ci->Issuer.pbData) &&
        SignedBy(enc.data(), enc.size(), issuer_der);
    for (DWORD i = 0; usable && i < ci->cExtension; ++i)
      if (ci->rgExtension[i].fCritical) usable = false;  // delta, scope
    if (usable) {
      int64_t this_update = der::FileTimeToUnix(ci->ThisUpdate);
      bool has_next = ci->NextUpdate.dwLowDateTime != 0 ||
                      ci->NextUpdate.dwHighDateTime != 0;
      int64_t next_update = der::FileTimeToUnix(ci->NextUpdate);
      for (DWORD i = 0; i < ci->cCRLEntry; ++i) {
        const CRL_ENTRY& e = ci->rgCRLEntry[i];
        // The blob is little-endian, as CryptoAPI keeps serial numbers.
        Bytes be(e.SerialNumber.pbData,
                 e.SerialNumber.pbData + e.SerialNumber.cbData);
        std::reverse(be.begin(), be.end());
        if (SameSerial(be, cert.serial) &&
            der::FileTimeToUnix(e.RevocationDate) <= when) {
          CertFreeCRLContext(crl);
          return RevVerdict::kRevoked;
        }
      }
      if (SpeaksFor(this_update, has_next, next_update, when)) good = true;
    }
    CertFreeCRLContext(crl);
  }
  return good ? RevVerdict::kGood : RevVerdict::kNoEvidence;
}

}  // namespace tavrix_ltv
