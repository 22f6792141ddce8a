#include "msg/cms.h"

#include <algorithm>

namespace tavrix_msg {

using der::Element;
using der::Reader;

static bool Fail(DWORD* err, DWORD code) {
  *err = code;
  return false;
}

bool ParseAlgId(const Element& e, AlgId* out, DWORD* err) {
  if (e.tag != der::kSequence) return Fail(err, CRYPT_E_ASN1_BADTAG);
  Reader r(e);
  Element oid;
  if (!r.Expect(der::kOid, &oid)) return Fail(err, r.error());
  if (!der::OidValue(oid, &out->oid, err)) return false;
  out->params.clear();
  if (!r.empty()) {
    Element p;
    if (!r.Next(&p)) return Fail(err, r.error());
    out->params.assign(p.full, p.full + p.full_len);
  }
  if (!r.empty()) return Fail(err, CRYPT_E_ASN1_CORRUPT);
  return true;
}

Bytes EncodeAlgId(const AlgId& a) {
  Bytes body;
  der::EncodeOid(a.oid, &body);
  der::Append(&body, a.params);
  return der::Tlv(der::kSequence, body);
}

bool ParseAttribute(const uint8_t* p, size_t n, Attr* out, DWORD* err) {
  Reader outer(p, n);
  Element seq;
  if (!outer.Expect(der::kSequence, &seq)) return Fail(err, outer.error());
  if (!outer.empty()) return Fail(err, CRYPT_E_ASN1_CORRUPT);
  Reader r(seq);
  Element oid, set;
  if (!r.Expect(der::kOid, &oid) || !r.Expect(der::kSet, &set))
    return Fail(err, r.error());
  if (!r.empty()) return Fail(err, CRYPT_E_ASN1_CORRUPT);
  if (!der::OidValue(oid, &out->oid, err)) return false;
  out->values.clear();
  Reader vr(set);
  while (!vr.empty()) {
    Element v;
    if (!vr.Next(&v)) return Fail(err, vr.error());
    out->values.emplace_back(v.full, v.full + v.full_len);
  }
  return true;
}

bool ParseAttributes(const Element& set, std::vector<Attr>* out, DWORD* err) {
  out->clear();
  Reader r(set);
  while (!r.empty()) {
    Element a;
    if (!r.Next(&a)) return Fail(err, r.error());
    Attr attr;
    if (!ParseAttribute(a.full, a.full_len, &attr, err)) return false;
    out->push_back(std::move(attr));
  }
  return true;
}

Bytes EncodeAttribute(const Attr& a) {
  Bytes body;
  der::EncodeOid(a.oid, &body);
  der::Append(&body, der::EncodeSetOf(der::kSet, a.values));
  return der::Tlv(der::kSequence, body);
}

Bytes EncodeAttributes(uint8_t tag, const std::vector<Attr>& attrs) {
  std::vector<Bytes> items;
  for (const Attr& a : attrs) items.push_back(EncodeAttribute(a));
  return der::EncodeSetOf(tag, std::move(items));
}

bool ParseSignerInfo(const Element& e, SignerRec* s, DWORD* err) {
  if (e.tag != der::kSequence) return Fail(err, CRYPT_E_ASN1_BADTAG);
  Reader r(e);
  Element el;
  if (!r.Expect(der::kInteger, &el)) return Fail(err, r.error());
  if (!der::SmallIntValue(el, &s->version, err)) return false;
  if (!r.Next(&el)) return Fail(err, r.error());
  if (el.tag == der::kSequence) {  // issuerAndSerialNumber
    s->by_key_id = false;
    Reader ir(el);
    Element name, serial;
    if (!ir.Expect(der::kSequence, &name) || !ir.Expect(der::kInteger, &serial))
      return Fail(err, ir.error());
    if (serial.constructed || serial.content_len == 0)
      return Fail(err, CRYPT_E_ASN1_CORRUPT);
    s->issuer.assign(name.full, name.full + name.full_len);
    s->serial.assign(serial.content, serial.content + serial.content_len);
  } else if (el.tag == der::kContextPrim0) {  // [0] SubjectKeyIdentifier
    s->by_key_id = true;
    s->key_id.assign(el.content, el.content + el.content_len);
  } else {
    return Fail(err, CRYPT_E_ASN1_BADTAG);
  }
  if (!r.Expect(der::kSequence, &el)) return Fail(err, r.error());
  if (!ParseAlgId(el, &s->digest, err)) return false;
  bool present = false;
  if (!r.Optional(der::kContext0, &el, &present)) return Fail(err, r.error());
  s->has_signed_attrs = present;
  s->signed_attrs.clear();
  s->signed_attrs_set.clear();
  if (present) {
    if (!ParseAttributes(el, &s->signed_attrs, err)) return false;
    // The signature covers the attributes with the SET identifier in place
    // of the implicit tag, their contents exactly as they stand.
    s->signed_attrs_set = der::Tlv(der::kSet, el.content, el.content_len);
  }
  if (!r.Expect(der::kSequence, &el)) return Fail(err, r.error());
  if (!ParseAlgId(el, &s->sig_alg, err)) return false;
  if (!r.Next(&el)) return Fail(err, r.error());
  if ((el.tag & ~0x20) != der::kOctetString)
    return Fail(err, CRYPT_E_ASN1_BADTAG);
  if (!der::OctetStringValue(el, &s->signature, err)) return false;
  s->unsigned_attrs.clear();
  if (!r.Optional(der::kContext1, &el, &present)) return Fail(err, r.error());
  if (present && !ParseAttributes(el, &s->unsigned_attrs, err)) return false;
  if (!r.empty()) return Fail(err, CRYPT_E_ASN1_CORRUPT);
  return true;
}

Bytes EncodeSignerInfo(const SignerRec& s) {
  Bytes body;
  der::Append(&body, der::EncodeSmallInt(s.version));
  if (s.by_key_id) {
    der::Append(&body, der::Tlv(der::kContextPrim0, s.key_id));
  } else {
    Bytes ias = s.issuer;
    der::Append(&ias, der::Tlv(der::kInteger, s.serial));
    der::Append(&body, der::Tlv(der::kSequence, ias));
  }
  der::Append(&body, EncodeAlgId(s.digest));
  if (s.has_signed_attrs) {
    Bytes attrs = s.signed_attrs_set;
    if (!attrs.empty()) attrs[0] = der::kContext0;
    der::Append(&body, attrs);
  }
  der::Append(&body, EncodeAlgId(s.sig_alg));
  der::Append(&body, der::Tlv(der::kOctetString, s.signature));
  if (!s.unsigned_attrs.empty())
    der::Append(&body, EncodeAttributes(der::kContext1, s.unsigned_attrs));
  return der::Tlv(der::kSequence, body);
}

bool ParseCertificate(const uint8_t* p, size_t n, CertFields* c, DWORD* err) {
  Reader top(p, n);
  Element cert, tbs, el;
  if (!top.Expect(der::kSequence, &cert)) return Fail(err, top.error());
  Reader cr(cert);
  if (!cr.Expect(der::kSequence, &tbs)) return Fail(err, cr.error());
  Reader r(tbs);
  bool present = false;
  if (!r.Optional(der::kContext0, &el, &present)) return Fail(err, r.error());
  if (!r.Expect(der::kInteger, &el)) return Fail(err, r.error());
  if (el.constructed || el.content_len == 0)
    return Fail(err, CRYPT_E_ASN1_CORRUPT);
  c->serial.assign(el.content, el.content + el.content_len);
  if (!r.Expect(der::kSequence, &el)) return Fail(err, r.error());  // sigalg
  if (!r.Expect(der::kSequence, &el)) return Fail(err, r.error());  // issuer
  c->issuer.assign(el.full, el.full + el.full_len);
  if (!r.Expect(der::kSequence, &el)) return Fail(err, r.error());  // validity
  if (!r.Expect(der::kSequence, &el)) return Fail(err, r.error());  // subject
  Element spki;
  if (!r.Expect(der::kSequence, &spki)) return Fail(err, r.error());
  Reader sr(spki);
  Element alg, bits;
  if (!sr.Expect(der::kSequence, &alg) || !sr.Expect(der::kBitString, &bits))
    return Fail(err, sr.error());
  AlgId a;
  if (!ParseAlgId(alg, &a, err)) return false;
  if (bits.constructed || bits.content_len < 1 || bits.content[0] > 7)
    return Fail(err, CRYPT_E_ASN1_CORRUPT);
  c->key_alg = a.oid;
  c->key_alg_params = a.params;
  c->unused_bits = bits.content[0];
  c->public_key.assign(bits.content + 1, bits.content + bits.content_len);
  c->key_id.clear();
  // Optional unique identifiers, then [3] extensions.
  while (!r.empty()) {
    if (!r.Next(&el)) return Fail(err, r.error());
    if (el.tag != 0xA3) continue;
    Reader xr(el);
    Element exts;
    if (!xr.Expect(der::kSequence, &exts)) return Fail(err, xr.error());
    Reader er(exts);
    while (!er.empty()) {
      Element ext, oid, v;
      if (!er.Expect(der::kSequence, &ext)) return Fail(err, er.error());
      Reader one(ext);
      if (!one.Expect(der::kOid, &oid)) return Fail(err, one.error());
      std::string o;
      if (!der::OidValue(oid, &o, err)) return false;
      bool crit = false;
      if (!one.Optional(der::kBoolean, &v, &crit))
        return Fail(err, one.error());
      if (!one.Expect(der::kOctetString, &v)) return Fail(err, one.error());
      if (o == "2.5.29.14") {
        Reader kr(v.content, v.content_len);
        Element kid;
        if (kr.Expect(der::kOctetString, &kid))
          c->key_id.assign(kid.content, kid.content + kid.content_len);
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

}  // namespace tavrix_msg
