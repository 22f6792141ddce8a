#include "msg/cms.h"

#include <algorithm>

namespace tavrix::provider::msg {

using der::BerReader;
using der::Tlv;

static bool Fail(DWORD* err, DWORD code) {
  *err = code;
  return false;
}

bool ParseAlgId(const Tlv& e, AlgId* out, DWORD* err) {
  if (e.tag != der::kTagSequence) return Fail(err, CRYPT_E_ASN1_BADTAG);
  BerReader r(e);
  Tlv oid;
  if (!r.Expect(der::kTagOid, &oid)) return Fail(err, r.error());
  if (!der::OidValue(oid, &out->oid, err)) return false;
  out->params.clear();
  if (!r.empty()) {
    Tlv p;
    if (!r.Next(&p)) return Fail(err, r.error());
    out->params.assign(p.start, p.start + p.total());
  }
  if (!r.empty()) return Fail(err, CRYPT_E_ASN1_CORRUPT);
  return true;
}

Bytes EncodeAlgId(const AlgId& a) {
  Bytes body;
  der::EncodeOid(a.oid, &body);
  der::Append(&body, a.params);
  return der::Wrap(der::kTagSequence, body);
}

bool ParseAttribute(const uint8_t* p, size_t n, Attr* out, DWORD* err) {
  BerReader outer(p, n);
  Tlv seq;
  if (!outer.Expect(der::kTagSequence, &seq)) return Fail(err, outer.error());
  if (!outer.empty()) return Fail(err, CRYPT_E_ASN1_CORRUPT);
  BerReader r(seq);
  Tlv oid, set;
  if (!r.Expect(der::kTagOid, &oid) || !r.Expect(der::kTagSet, &set))
    return Fail(err, r.error());
  if (!r.empty()) return Fail(err, CRYPT_E_ASN1_CORRUPT);
  if (!der::OidValue(oid, &out->oid, err)) return false;
  out->values.clear();
  BerReader vr(set);
  while (!vr.empty()) {
    Tlv v;
    if (!vr.Next(&v)) return Fail(err, vr.error());
    out->values.emplace_back(v.start, v.start + v.total());
  }
  return true;
}

bool ParseAttributes(const Tlv& set, std::vector<Attr>* out, DWORD* err) {
  out->clear();
  BerReader r(set);
  while (!r.empty()) {
    Tlv a;
    if (!r.Next(&a)) return Fail(err, r.error());
    Attr attr;
    if (!ParseAttribute(a.start, a.total(), &attr, err)) return false;
    out->push_back(std::move(attr));
  }
  return true;
}

Bytes EncodeAttribute(const Attr& a) {
  Bytes body;
  der::EncodeOid(a.oid, &body);
  der::Append(&body, der::EncodeSetOf(der::kTagSet, a.values));
  return der::Wrap(der::kTagSequence, body);
}

Bytes EncodeAttributes(uint8_t tag, const std::vector<Attr>& attrs) {
  std::vector<Bytes> items;
  for (const Attr& a : attrs) items.push_back(EncodeAttribute(a));
  return der::EncodeSetOf(tag, std::move(items));
}

bool ParseSignerInfo(const Tlv& e, SignerRec* s, DWORD* err) {
  if (e.tag != der::kTagSequence) return Fail(err, CRYPT_E_ASN1_BADTAG);
  BerReader r(e);
  Tlv el;
  if (!r.Expect(der::kTagInteger, &el)) return Fail(err, r.error());
  if (!der::SmallIntValue(el, &s->version, err)) return false;
  if (!r.Next(&el)) return Fail(err, r.error());
  if (el.tag == der::kTagSequence) {  // issuerAndSerialNumber
    s->by_key_id = false;
    BerReader ir(el);
    Tlv name, serial;
    if (!ir.Expect(der::kTagSequence, &name) ||
        !ir.Expect(der::kTagInteger, &serial))
      return Fail(err, ir.error());
    if (serial.constructed || serial.len == 0)
      return Fail(err, CRYPT_E_ASN1_CORRUPT);
    s->issuer.assign(name.start, name.start + name.total());
    s->serial.assign(serial.value, serial.value + serial.len);
  } else if (el.tag == der::Context(0, false)) {  // [0] SubjectKeyIdentifier
    s->by_key_id = true;
    s->key_id.assign(el.value, el.value + el.len);
  } else {
    return Fail(err, CRYPT_E_ASN1_BADTAG);
  }
  if (!r.Expect(der::kTagSequence, &el)) return Fail(err, r.error());
  if (!ParseAlgId(el, &s->digest, err)) return false;
  bool present = false;
  if (!r.Optional(der::Context(0, true), &el, &present))
    return Fail(err, r.error());
  s->has_signed_attrs = present;
  s->signed_attrs.clear();
  s->signed_attrs_set.clear();
  if (present) {
    if (!ParseAttributes(el, &s->signed_attrs, err)) return false;
    // The signature covers the attributes with the SET identifier in place
    // of the implicit tag, their contents exactly as they stand.
    s->signed_attrs_set = der::Wrap(der::kTagSet, el.value, el.len);
  }
  if (!r.Expect(der::kTagSequence, &el)) return Fail(err, r.error());
  if (!ParseAlgId(el, &s->sig_alg, err)) return false;
  if (!r.Next(&el)) return Fail(err, r.error());
  if ((el.tag & ~0x20) != der::kTagOctetString)
    return Fail(err, CRYPT_E_ASN1_BADTAG);
  if (!der::OctetStringValue(el, &s->signature, err)) return false;
  s->unsigned_attrs.clear();
  if (!r.Optional(der::Context(1, true), &el, &present))
    return Fail(err, r.error());
  if (present && !ParseAttributes(el, &s->unsigned_attrs, err)) return false;
  if (!r.empty()) return Fail(err, CRYPT_E_ASN1_CORRUPT);
  return true;
}

Bytes EncodeSignerInfo(const SignerRec& s) {
  Bytes body;
  der::Append(&body, der::EncodeSmallInt(s.version));
  if (s.by_key_id) {
    der::Append(&body, der::Wrap(der::Context(0, false), s.key_id));
  } else {
    Bytes ias = s.issuer;
    der::Append(&ias, der::Wrap(der::kTagInteger, s.serial));
    der::Append(&body, der::Wrap(der::kTagSequence, ias));
  }
  der::Append(&body, EncodeAlgId(s.digest));
  if (s.has_signed_attrs) {
    Bytes attrs = s.signed_attrs_set;
    if (!attrs.empty()) attrs[0] = der::Context(0, true);
    der::Append(&body, attrs);
  }
  der::Append(&body, EncodeAlgId(s.sig_alg));
  der::Append(&body, der::Wrap(der::kTagOctetString, s.signature));
  if (!s.unsigned_attrs.empty())
    der::Append(&body,
                EncodeAttributes(der::Context(1, true), s.unsigned_attrs));
  return der::Wrap(der::kTagSequence, body);
}

bool ParseCertificate(const uint8_t* p, size_t n, CertFields* c, DWORD* err) {
  BerReader top(p, n);
  Tlv cert, tbs, el;
  if (!top.Expect(der::kTagSequence, &cert)) return Fail(err, top.error());
  BerReader cr(cert);
  if (!cr.Expect(der::kTagSequence, &tbs)) return Fail(err, cr.error());
  BerReader r(tbs);
  bool present = false;
  if (!r.Optional(der::Context(0, true), &el, &present))
    return Fail(err, r.error());
  if (!r.Expect(der::kTagInteger, &el)) return Fail(err, r.error());
  if (el.constructed || el.len == 0) return Fail(err, CRYPT_E_ASN1_CORRUPT);
  c->serial.assign(el.value, el.value + el.len);
  if (!r.Expect(der::kTagSequence, &el)) return Fail(err, r.error());  // sigalg
  if (!r.Expect(der::kTagSequence, &el)) return Fail(err, r.error());  // issuer
  c->issuer.assign(el.start, el.start + el.total());
  if (!r.Expect(der::kTagSequence, &el))
    return Fail(err, r.error());  // validity
  if (!r.Expect(der::kTagSequence, &el))
    return Fail(err, r.error());  // subject
  Tlv spki;
  if (!r.Expect(der::kTagSequence, &spki)) return Fail(err, r.error());
  BerReader sr(spki);
  Tlv alg, bits;
  if (!sr.Expect(der::kTagSequence, &alg) ||
      !sr.Expect(der::kTagBitString, &bits))
    return Fail(err, sr.error());
  AlgId a;
  if (!ParseAlgId(alg, &a, err)) return false;
  if (bits.constructed || bits.len < 1 || bits.value[0] > 7)
    return Fail(err, CRYPT_E_ASN1_CORRUPT);
  c->key_alg = a.oid;
  c->key_alg_params = a.params;
  c->unused_bits = bits.value[0];
  c->public_key.assign(bits.value + 1, bits.value + bits.len);
  c->key_id.clear();
  // Optional unique identifiers, then [3] extensions.
  while (!r.empty()) {
    if (!r.Next(&el)) return Fail(err, r.error());
    if (el.tag != 0xA3) continue;
    BerReader xr(el);
    Tlv exts;
    if (!xr.Expect(der::kTagSequence, &exts)) return Fail(err, xr.error());
    BerReader er(exts);
    while (!er.empty()) {
      Tlv ext, oid, v;
      if (!er.Expect(der::kTagSequence, &ext)) return Fail(err, er.error());
      BerReader one(ext);
      if (!one.Expect(der::kTagOid, &oid)) return Fail(err, one.error());
      std::string o;
      if (!der::OidValue(oid, &o, err)) return false;
      bool crit = false;
      if (!one.Optional(der::kTagBoolean, &v, &crit))
        return Fail(err, one.error());
      if (!one.Expect(der::kTagOctetString, &v)) return Fail(err, one.error());
      if (o == "2.5.29.14") {
        BerReader kr(v.value, v.len);
        Tlv kid;
        if (kr.Expect(der::kTagOctetString, &kid))
          c->key_id.assign(kid.value, kid.value + kid.len);
      }
    }
  }
  return true;
}

static void Trim(const Bytes& b, size_t* off) {
  *off = 0;
  while (*off + 1 < b.size() && b[*off] == 0) ++*off;
}

bool SameSerial(const Bytes& a, const Bytes& b) {
  size_t i, j;
  Trim(a, &i);
  Trim(b, &j);
  return a.size() - i == b.size() - j &&
         std::equal(a.begin() + static_cast<std::ptrdiff_t>(i), a.end(),
                    b.begin() + static_cast<std::ptrdiff_t>(j));
}

bool CertMatchesSigner(const CertFields& c, const SignerRec& s) {
  if (s.by_key_id) return !c.key_id.empty() && c.key_id == s.key_id;
  return c.issuer == s.issuer && SameSerial(c.serial, s.serial);
}

}  // namespace tavrix::provider::msg
