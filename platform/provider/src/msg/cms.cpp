#include "msg/cms.h"

#include <algorithm>

#include "base/c_boundary.h"

namespace tavrix::provider::msg {

using der::BerReader;
using der::Tlv;

bool ParseAlgId(const Tlv& e, AlgId* out) {
  if (e.tag != der::kTagSequence) return Fail(CRYPT_E_ASN1_BADTAG);
  BerReader r(e);
  Tlv oid;
  if (!r.Expect(der::kTagOid, &oid)) return Fail(r.error());
  if (!der::OidValue(oid, &out->oid)) return false;
  out->params.clear();
  if (!r.empty()) {
    Tlv p;
    if (!r.Next(&p)) return Fail(r.error());
    out->params.assign(p.start, p.start + p.total());
  }
  if (!r.empty()) return Fail(CRYPT_E_ASN1_CORRUPT);
  return true;
}

Bytes EncodeAlgId(const AlgId& a) {
  Bytes body;
  der::EncodeOid(a.oid, &body);
  der::Append(&body, a.params);
  return der::Wrap(der::kTagSequence, body);
}

bool ParseAttribute(const uint8_t* p, size_t n, Attr* out) {
  BerReader outer(p, n);
  Tlv seq;
  if (!outer.Expect(der::kTagSequence, &seq)) return Fail(outer.error());
  if (!outer.empty()) return Fail(CRYPT_E_ASN1_CORRUPT);
  BerReader r(seq);
  Tlv oid, set;
  if (!r.Expect(der::kTagOid, &oid) || !r.Expect(der::kTagSet, &set))
    return Fail(r.error());
  if (!r.empty()) return Fail(CRYPT_E_ASN1_CORRUPT);
  if (!der::OidValue(oid, &out->oid)) return false;
  out->values.clear();
  BerReader vr(set);
  while (!vr.empty()) {
    Tlv v;
    if (!vr.Next(&v)) return Fail(vr.error());
    out->values.emplace_back(v.start, v.start + v.total());
  }
  return true;
}

bool ParseAttributes(const Tlv& set, std::vector<Attr>* out) {
  out->clear();
  BerReader r(set);
  while (!r.empty()) {
    Tlv a;
    if (!r.Next(&a)) return Fail(r.error());
    Attr attr;
    if (!ParseAttribute(a.start, a.total(), &attr)) return false;
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

bool ParseSignerInfo(const Tlv& e, SignerRec* s) {
  if (e.tag != der::kTagSequence) return Fail(CRYPT_E_ASN1_BADTAG);
  BerReader r(e);
  Tlv el;
  if (!r.Expect(der::kTagInteger, &el)) return Fail(r.error());
  if (!der::SmallIntValue(el, &s->version)) return false;
  if (!r.Next(&el)) return Fail(r.error());
  if (el.tag == der::kTagSequence) {  // issuerAndSerialNumber
    s->by_key_id = false;
    BerReader ir(el);
    Tlv name, serial;
    if (!ir.Expect(der::kTagSequence, &name) ||
        !ir.Expect(der::kTagInteger, &serial))
      return Fail(ir.error());
    if (serial.constructed || serial.len == 0)
      return Fail(CRYPT_E_ASN1_CORRUPT);
    s->issuer.assign(name.start, name.start + name.total());
    s->serial.assign(serial.value, serial.value + serial.len);
  } else if (el.tag == der::Context(0, false)) {  // [0] SubjectKeyIdentifier
    s->by_key_id = true;
    s->key_id.assign(el.value, el.value + el.len);
  } else {
    return Fail(CRYPT_E_ASN1_BADTAG);
  }
  if (!r.Expect(der::kTagSequence, &el)) return Fail(r.error());
  if (!ParseAlgId(el, &s->digest)) return false;
  bool present = false;
  if (!r.Optional(der::Context(0, true), &el, &present)) return Fail(r.error());
  s->has_signed_attrs = present;
  s->signed_attrs.clear();
  s->signed_attrs_set.clear();
  if (present) {
    if (!ParseAttributes(el, &s->signed_attrs)) return false;
    // The signature covers the attributes with the SET identifier in place
    // of the implicit tag, their contents exactly as they stand.
    s->signed_attrs_set = der::Wrap(der::kTagSet, el.value, el.len);
  }
  if (!r.Expect(der::kTagSequence, &el)) return Fail(r.error());
  if (!ParseAlgId(el, &s->sig_alg)) return false;
  if (!r.Next(&el)) return Fail(r.error());
  if ((el.tag & ~0x20) != der::kTagOctetString)
    return Fail(CRYPT_E_ASN1_BADTAG);
  if (!der::OctetStringValue(el, &s->signature)) return false;
  s->unsigned_attrs.clear();
  if (!r.Optional(der::Context(1, true), &el, &present)) return Fail(r.error());
  if (present && !ParseAttributes(el, &s->unsigned_attrs)) return false;
  if (!r.empty()) return Fail(CRYPT_E_ASN1_CORRUPT);
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

bool CertMatchesSigner(const x509::Certificate& c, const SignerRec& s) {
  if (s.by_key_id)
    return !c.subject_key_id.empty() && c.subject_key_id == s.key_id;
  return c.issuer == s.issuer && SameSerial(c.serial, s.serial);
}

}  // namespace tavrix::provider::msg
