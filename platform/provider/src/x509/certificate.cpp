#include "x509/certificate.h"

namespace tavrix::provider::x509 {

bool ParseSigned(const uint8_t* p, size_t n, SignedParts* out) {
  DefiniteReader top(p, n);
  Tlv outer;
  if (!top.Expect(der::kTagSequence, &outer) || !top.AtEnd()) return false;
  DefiniteReader r(outer);
  Tlv alg, sig;
  if (!r.Expect(der::kTagSequence, &out->tbs)) return false;
  if (!r.Expect(der::kTagSequence, &alg)) return false;
  if (!r.Expect(der::kTagBitString, &sig) || !r.AtEnd()) return false;
  DefiniteReader ra(alg);
  Tlv oid;
  if (!ra.Expect(der::kTagOid, &oid)) return false;
  out->sig_alg = der::OidToString(oid.value, oid.len);
  if (out->sig_alg.empty()) return false;
  const uint8_t* sp;
  size_t sn;
  unsigned unused;
  if (!der::BitStringBytes(sig, &sp, &sn, &unused) || unused != 0) return false;
  out->signature.assign(sp, sp + sn);
  return true;
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

}  // namespace

bool ParseCertificate(const uint8_t* p, size_t n, Certificate* c) {
  if (!p || n == 0) return false;
  c->encoded.assign(p, p + n);
  const uint8_t* base = c->encoded.data();
  if (!ParseSigned(base, n, &c->signed_parts)) return false;
  DefiniteReader r(c->signed_parts.tbs);
  Tlv t;
  bool present;
  // version [0] EXPLICIT, v1 when absent (§4.1.2.1)
  if (!r.Optional(der::Context(0, true), &t, &present)) return false;
  if (present) {
    DefiniteReader vr(t);
    Tlv vi;
    uint64_t v;
    if (!vr.Expect(der::kTagInteger, &vi) || !der::ParseSmallUint(vi, &v) ||
        v > 2)
      return false;
    c->version = static_cast<DWORD>(v);
  }
  // serialNumber (§4.1.2.2): users must take up to 20 octets; beyond 64 is
  // refused rather than carried.
  if (!r.Expect(der::kTagInteger, &t) || t.len == 0 || t.len > 64) return false;
  c->serial = t.ValueBytes();
  if (!r.Expect(der::kTagSequence, &t)) return false;  // signature algorithm
  if (!r.Expect(der::kTagSequence, &t)) return false;
  c->issuer = t.WholeBytes();
  Tlv validity;  // notBefore, notAfter and nothing else (§4.1.2.5)
  if (!r.Expect(der::kTagSequence, &validity)) return false;
  {
    DefiniteReader vr(validity);
    Tlv a, b;
    if (!vr.Next(&a) || !vr.Next(&b) || !vr.AtEnd()) return false;
    if (!der::ParseTime(a, &c->not_before) || !der::ParseTime(b, &c->not_after))
      return false;
  }
  if (!r.Expect(der::kTagSequence, &t)) return false;
  c->subject = t.WholeBytes();
  Tlv spki;
  if (!r.Expect(der::kTagSequence, &spki)) return false;
  c->spki = spki.WholeBytes();
  {
    DefiniteReader sr(spki);
    Tlv alg, bits, oid, params;
    if (!sr.Expect(der::kTagSequence, &alg) ||
        !sr.Expect(der::kTagBitString, &bits) || !sr.AtEnd())
      return false;
    DefiniteReader ar(alg);
    if (!ar.Expect(der::kTagOid, &oid)) return false;
    c->key_alg = der::OidToString(oid.value, oid.len);
    if (c->key_alg.empty()) return false;
    if (ar.Next(&params)) c->key_alg_params = params.WholeBytes();
    const uint8_t* kp;
    size_t kn;
    if (!der::BitStringBytes(bits, &kp, &kn, nullptr)) return false;
    c->key_bits.assign(kp, kp + kn);
  }
  // issuerUniqueID [1], subjectUniqueID [2] (§4.1.2.8): skipped.
  if (!r.Optional(der::Context(1, false), &t, &present)) return false;
  if (!r.Optional(der::Context(2, false), &t, &present)) return false;
  // extensions [3] EXPLICIT (§4.1.2.9); critical defaults to FALSE.
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
      if (present) e.critical = crit.len == 1 && crit.value[0] != 0;
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
  info.PublicKey.cUnusedBits = 0;
  return info;
}

const Extension* Certificate::Find(const std::string& oid) const {
  for (const Extension& e : extensions)
    if (e.oid == oid) return &e;
  return nullptr;
}

}  // namespace tavrix::provider::x509
