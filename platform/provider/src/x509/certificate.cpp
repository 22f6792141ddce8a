#include "x509/certificate.h"

#include <nettle/sha1.h>

namespace tavrix::provider::x509 {

Bytes Sha1(const uint8_t* p, size_t n) {
  sha1_ctx ctx;
  sha1_init(&ctx);
  sha1_update(&ctx, n, p);
  Bytes d(SHA1_DIGEST_SIZE);
  sha1_digest(&ctx, d.size(), d.data());
  return d;
}

namespace {

// A BIT STRING as certificates have carried it: an unused-bits octet of 0 to
// 7 before the contents (X.690 §8.6.2).
bool ReadBits(const Tlv& t, BitsView* out) {
  if (t.len < 1 || t.value[0] > 7) return false;
  out->data = t.value + 1;
  out->size = t.len - 1;
  out->unused = t.value[0];
  return true;
}

bool ReadSigned(const uint8_t* p, size_t n, SignedParts* out, Tlv* alg,
                BitsView* sig) {
  DefiniteReader top(p, n);
  Tlv outer;
  if (!top.Expect(der::kTagSequence, &outer) || !top.AtEnd()) return false;
  DefiniteReader r(outer);
  Tlv bits;
  if (!r.Expect(der::kTagSequence, &out->tbs)) return false;
  if (!r.Expect(der::kTagSequence, alg)) return false;
  if (!r.Expect(der::kTagBitString, &bits) || !r.AtEnd()) return false;
  DefiniteReader ra(*alg);
  Tlv oid;
  if (!ra.Expect(der::kTagOid, &oid)) return false;
  out->sig_alg = der::OidToString(oid.value, oid.len);
  if (out->sig_alg.empty() || !ReadBits(bits, sig)) return false;
  out->signature.assign(sig->data, sig->data + sig->size);
  out->signature_unused = sig->unused;
  return true;
}

}  // namespace

bool ParseSigned(const uint8_t* p, size_t n, SignedParts* out) {
  Tlv alg;
  BitsView sig;
  return ReadSigned(p, n, out, &alg, &sig) && sig.unused == 0;
}

bool ParseAlgorithm(const Tlv& seq, std::string* oid, Tlv* params) {
  *params = Tlv();
  if (seq.tag != der::kTagSequence) return false;
  DefiniteReader r(seq);
  Tlv o;
  if (!r.Expect(der::kTagOid, &o)) return false;
  *oid = der::OidToString(o.value, o.len);
  if (oid->empty()) return false;
  return r.AtEnd() || (r.Next(params) && r.AtEnd());
}

bool HasHttpScheme(std::string_view uri) {
  std::string lower;
  for (char c : uri.substr(0, 8))
    lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return lower.compare(0, 7, "http://") == 0 ||
         lower.compare(0, 8, "https://") == 0;
}

void CollectUris(const Tlv& general_names, std::vector<std::string>* uris) {
  DefiniteReader r(general_names);
  Tlv gn;
  while (r.Next(&gn)) {
    // uniformResourceIdentifier [6] IA5String
    if (gn.tag != der::Context(6, false)) continue;
    std::string uri(reinterpret_cast<const char*>(gn.value), gn.len);
    if (uri.find('\0') != std::string::npos) continue;
    if (HasHttpScheme(uri)) uris->push_back(uri);
  }
}

namespace {

// An extension value that is exactly one element with the given tag.
bool Sole(const Tlv& v, uint8_t tag, Tlv* out) {
  DefiniteReader r(v);
  return r.Expect(tag, out) && r.AtEnd();
}

bool DecodeBasicConstraints(const Tlv& v, Certificate* c) {
  Tlv seq;
  if (!Sole(v, der::kTagSequence, &seq)) return false;
  DefiniteReader r(seq);
  Tlv t;
  bool present;
  if (!r.Optional(der::kTagBoolean, &t, &present)) return false;
  if (present) {
    if (t.len != 1) return false;
    c->is_ca = t.value[0] != 0;
  }
  if (!r.Optional(der::kTagInteger, &t, &present)) return false;
  if (present) {
    if (!der::ParseSmallUint(t, &c->path_len)) return false;
    c->has_path_len = true;
  }
  c->has_basic_constraints = true;
  return r.AtEnd();
}

bool DecodeKeyUsage(const Tlv& v, Certificate* c) {
  Tlv bits;
  if (!Sole(v, der::kTagBitString, &bits)) return false;
  const uint8_t* p;
  size_t n;
  if (!der::BitStringBytes(bits, &p, &n, nullptr)) return false;
  unsigned mask = 0;
  for (size_t i = 0; i < n && i < 2; ++i)
    for (unsigned b = 0; b < 8; ++b)
      if (p[i] & (0x80 >> b)) mask |= 1u << (i * 8 + b);
  c->key_usage = mask;
  c->has_key_usage = true;
  return true;
}

bool DecodeEku(const Tlv& v, Certificate* c) {
  Tlv seq;
  if (!Sole(v, der::kTagSequence, &seq)) return false;
  DefiniteReader r(seq);
  Tlv oid;
  while (!r.AtEnd()) {
    if (!r.Expect(der::kTagOid, &oid)) return false;
    std::string s = der::OidToString(oid.value, oid.len);
    if (s.empty()) return false;
    c->eku.push_back(s);
  }
  c->has_eku = true;
  return true;
}

bool DecodeSki(const Tlv& v, Certificate* c) {
  Tlv os;
  if (!Sole(v, der::kTagOctetString, &os)) return false;
  c->subject_key_id = os.ValueBytes();
  return true;
}

bool DecodeAki(const Tlv& v, Certificate* c) {
  Tlv seq;
  if (!Sole(v, der::kTagSequence, &seq)) return false;
  DefiniteReader r(seq);
  Tlv t;
  bool present;
  if (!r.Optional(der::Context(0, false), &t, &present)) return false;
  if (present) c->authority_key_id = t.ValueBytes();
  return true;
}

bool DecodeCdp(const Tlv& v, Certificate* c) {
  Tlv seq;
  if (!Sole(v, der::kTagSequence, &seq)) return false;
  DefiniteReader points(seq);
  Tlv dp;
  while (!points.AtEnd()) {
    if (!points.Expect(der::kTagSequence, &dp)) return false;
    DefiniteReader fields(dp);
    Tlv name;
    bool present;
    // distributionPoint [0] DistributionPointName
    if (!fields.Optional(der::Context(0, true), &name, &present)) return false;
    if (!present) continue;
    DefiniteReader choice(name);
    Tlv full;
    // fullName [0] GeneralNames (implicitly tagged); relative names skipped
    if (choice.Expect(der::Context(0, true), &full))
      CollectUris(full, &c->crl_urls);
  }
  return true;
}

bool DecodeAia(const Tlv& v, Certificate* c) {
  Tlv seq;
  if (!Sole(v, der::kTagSequence, &seq)) return false;
  DefiniteReader r(seq);
  Tlv ad;
  while (!r.AtEnd()) {
    if (!r.Expect(der::kTagSequence, &ad)) return false;
    DefiniteReader f(ad);
    Tlv method, loc;
    if (!f.Expect(der::kTagOid, &method) || !f.Next(&loc)) return false;
    if (der::OidToString(method.value, method.len) != szOID_PKIX_OCSP) continue;
    // The location is one GeneralName: reuse the list reader on it.
    Tlv wrapper;
    wrapper.start = wrapper.value = loc.start;
    wrapper.len = loc.total();
    CollectUris(wrapper, &c->ocsp_urls);
  }
  return true;
}

// Unique identifiers are carried as found, unused bits masked to 0-7.
void ReadUniqueId(const Tlv& t, BitsView* out) {
  if (t.len < 1) return;
  out->data = t.value + 1;
  out->size = t.len - 1;
  out->unused = t.value[0] & 7;
}

}  // namespace

bool ParseCertificate(const uint8_t* p, size_t n, Certificate* c) {
  if (!p || n == 0) return false;
  c->encoded.assign(p, p + n);
  Tlv outer_alg;
  std::string outer_oid;
  if (!ReadSigned(c->encoded.data(), n, &c->signed_parts, &outer_alg,
                  &c->signature_bits) ||
      !ParseAlgorithm(outer_alg, &outer_oid, &c->sig_params))
    return false;
  DefiniteReader r(c->signed_parts.tbs);
  Tlv t;
  bool present;
  // version [0] EXPLICIT, v1 when absent (§4.1.2.1): one INTEGER octet.
  if (!r.Optional(der::Context(0, true), &t, &present)) return false;
  if (present) {
    DefiniteReader vr(t);
    Tlv vi;
    if (!vr.Expect(der::kTagInteger, &vi) || !vr.AtEnd() || vi.len != 1 ||
        vi.value[0] > 2)
      return false;
    c->version = vi.value[0];
  }
  // serialNumber (§4.1.2.2): carried at any length; InProfile bounds it.
  if (!r.Expect(der::kTagInteger, &t) || t.len == 0) return false;
  c->serial = t.ValueBytes();
  if (!r.Expect(der::kTagSequence, &t) ||
      !ParseAlgorithm(t, &c->tbs_sig_alg, &c->tbs_sig_params))
    return false;
  if (!r.Expect(der::kTagSequence, &c->issuer_name)) return false;
  c->issuer = c->issuer_name.WholeBytes();
  Tlv validity;  // notBefore, notAfter and nothing else (§4.1.2.5)
  if (!r.Expect(der::kTagSequence, &validity)) return false;
  {
    DefiniteReader vr(validity);
    Tlv a, b;
    if (!vr.Next(&a) || !vr.Next(&b) || !vr.AtEnd()) return false;
    if (!der::ParseTime(a, &c->not_before, der::TimeForm::kAny) ||
        !der::ParseTime(b, &c->not_after, der::TimeForm::kAny))
      return false;
    int64_t strict;
    c->profile_times = der::ParseTime(a, &strict) && der::ParseTime(b, &strict);
  }
  if (!r.Expect(der::kTagSequence, &c->subject_name)) return false;
  c->subject = c->subject_name.WholeBytes();
  Tlv spki;
  if (!r.Expect(der::kTagSequence, &spki)) return false;
  c->spki = spki.WholeBytes();
  {
    DefiniteReader sr(spki);
    Tlv alg, bits;
    if (!sr.Expect(der::kTagSequence, &alg) ||
        !ParseAlgorithm(alg, &c->key_alg, &c->key_params) ||
        !sr.Expect(der::kTagBitString, &bits) || !sr.AtEnd() ||
        !ReadBits(bits, &c->key))
      return false;
    c->key_alg_params = c->key_params.WholeBytes();
    c->key_bits.assign(c->key.data, c->key.data + c->key.size);
  }
  // issuerUniqueID [1], subjectUniqueID [2] (§4.1.2.8)
  if (!r.Optional(der::Context(1, false), &t, &present)) return false;
  if (present) ReadUniqueId(t, &c->issuer_unique_id);
  if (!r.Optional(der::Context(2, false), &t, &present)) return false;
  if (present) ReadUniqueId(t, &c->subject_unique_id);
  // extensions [3] EXPLICIT (§4.1.2.9); critical defaults to FALSE and is
  // one octet when present (X.690 §8.2.1).
  Tlv exts_wrap;
  if (!r.Optional(der::Context(3, true), &exts_wrap, &present)) return false;
  if (present) {
    DefiniteReader w(exts_wrap);
    Tlv exts;
    if (!w.Expect(der::kTagSequence, &exts) || !w.AtEnd()) return false;
    DefiniteReader er(exts);
    Tlv ext;
    while (!er.AtEnd()) {
      if (!er.Expect(der::kTagSequence, &ext)) return false;
      DefiniteReader xr(ext);
      Tlv oid, crit, val;
      Extension e;
      if (!xr.Expect(der::kTagOid, &oid)) return false;
      e.oid = der::OidToString(oid.value, oid.len);
      if (e.oid.empty()) return false;
      if (!xr.Optional(der::kTagBoolean, &crit, &present)) return false;
      if (present && crit.len != 1) return false;
      e.critical = present && crit.value[0] != 0;
      if (!xr.Expect(der::kTagOctetString, &val) || !xr.AtEnd()) return false;
      e.value = val;
      c->extensions.push_back(e);
    }
  }
  if (!r.AtEnd()) return false;

  // §4.2: a critical extension that is not recognised must not be passed
  // over; a chain reports it (unknown_critical). Certificate policies,
  // subject alternative names, policy constraints and inhibitAnyPolicy are
  // taken as known without being acted on here.
  for (const Extension& e : c->extensions) {
    bool ok = true;
    if (e.oid == szOID_BASIC_CONSTRAINTS2)
      ok = DecodeBasicConstraints(e.value, c);
    else if (e.oid == szOID_KEY_USAGE)
      ok = DecodeKeyUsage(e.value, c);
    else if (e.oid == szOID_ENHANCED_KEY_USAGE)
      ok = DecodeEku(e.value, c);
    else if (e.oid == szOID_SUBJECT_KEY_IDENTIFIER)
      ok = DecodeSki(e.value, c);
    else if (e.oid == szOID_AUTHORITY_KEY_IDENTIFIER2)
      ok = DecodeAki(e.value, c);
    else if (e.oid == szOID_CRL_DIST_POINTS)
      ok = DecodeCdp(e.value, c);
    else if (e.oid == szOID_AUTHORITY_INFO_ACCESS)
      ok = DecodeAia(e.value, c);
    else if (e.critical && e.oid != szOID_CERT_POLICIES &&
             e.oid != szOID_SUBJECT_ALT_NAME2 && e.oid != "2.5.29.36" &&
             e.oid != "2.5.29.54")
      c->unknown_critical = true;
    if (!ok) c->bad_extension = true;
  }
  return true;
}

CERT_PUBLIC_KEY_INFO Certificate::PublicKeyInfo() const {
  CERT_PUBLIC_KEY_INFO info{};
  info.Algorithm.pszObjId = const_cast<char*>(key_alg.c_str());
  info.Algorithm.Parameters.cbData = static_cast<DWORD>(key_alg_params.size());
  info.Algorithm.Parameters.pbData = const_cast<BYTE*>(
      key_alg_params.empty() ? nullptr : key_alg_params.data());
  info.PublicKey.cbData = static_cast<DWORD>(key_bits.size());
  info.PublicKey.pbData = const_cast<BYTE*>(key_bits.data());
  info.PublicKey.cUnusedBits = key.unused;
  return info;
}

bool InProfile(const Certificate& c) {
  return c.signature_bits.unused == 0 && c.serial.size() <= 64 &&
         c.profile_times && !(c.key.size == 0 && c.key.unused != 0);
}

const Extension* Certificate::Find(const std::string& oid) const {
  for (const Extension& e : extensions)
    if (e.oid == oid) return &e;
  return nullptr;
}

}  // namespace tavrix::provider::x509
