// CadesMsgVerifySignature and CadesFreeVerificationInfo: one signer of a
// decoded message checked as CAdES-BES, -T or -X Long Type 1. The chain and
// the revocation status are judged at the time of the signature time stamp
// from what the message carries, so a signature keeps verifying after its
// certificate expired and with every server gone; trust comes from the
// user's ROOT store alone.
#include <capi/cades.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "base/c_boundary.h"
#include "cades_internal.h"
#include "ltv.h"
#include "ltv_check.h"
#include "tsp.h"
#include "verify_internal.h"

namespace tavrix_cades_verify {

namespace der = ::tavrix::provider::der;
using der::DefiniteReader;
using der::Tlv;
using tavrix_ltv::Bytes;

namespace {

const char kOidContentType[] = "1.2.840.113549.1.9.3";
const char kOidSigningTime[] = "1.2.840.113549.1.9.5";
const char kOidSigningCertV1[] = "1.2.840.113549.1.9.16.2.12";
const char kOidSigningCertV2[] = "1.2.840.113549.1.9.16.2.47";
const char kOidSha1[] = "1.3.14.3.2.26";
const char kOidSha256[] = "2.16.840.1.101.3.4.2.1";
const char kOidSigTimeStamp[] = "1.2.840.113549.1.9.16.2.14";
const char kOidCertRefs[] = "1.2.840.113549.1.9.16.2.21";
const char kOidRevRefs[] = "1.2.840.113549.1.9.16.2.22";
const char kOidCertValues[] = "1.2.840.113549.1.9.16.2.23";
const char kOidRevValues[] = "1.2.840.113549.1.9.16.2.24";
const char kOidCadesCStamp[] = "1.2.840.113549.1.9.16.2.25";

// A CAdES-C time stamp cannot precede the signature time stamp it covers;
// the two services' clocks may differ a little.
constexpr int64_t kClockSkew = 300;
// Far more certificates and time stamps than any real message carries.
constexpr DWORD kMaxCerts = 1000;
constexpr size_t kMaxTokens = 16;

using tavrix_cades::CertCtx;
using tavrix_cades::GetBytes;

const SignerAttr* Find(const std::vector<SignerAttr>& attrs, const char* oid) {
  for (const SignerAttr& a : attrs)
    if (a.oid == oid) return &a;
  return nullptr;
}

size_t Count(const std::vector<SignerAttr>& attrs, const char* oid) {
  return static_cast<size_t>(
      std::count_if(attrs.begin(), attrs.end(),
                    [oid](const SignerAttr& a) { return a.oid == oid; }));
}

// The single value of an attribute that occurs once with one value.
bool OnlyValue(const std::vector<SignerAttr>& attrs, const char* oid,
               Bytes* out) {
  if (Count(attrs, oid) != 1) return false;
  const SignerAttr* a = Find(attrs, oid);
  if (a->values.size() != 1) return false;
  *out = a->values[0];
  return true;
}

// Does the signer identifier name this certificate?
bool Identifies(const ParsedSigner& s, const Bytes& cert) {
  CertCtx c(cert);
  if (!c.c) return false;
  const CERT_INFO* ci = c.c->pCertInfo;
  if (s.by_key_id) {
    for (DWORD i = 0; i < ci->cExtension; ++i) {
      const CERT_EXTENSION& e = ci->rgExtension[i];
      if (!e.pszObjId ||
          std::strcmp(e.pszObjId, szOID_SUBJECT_KEY_IDENTIFIER) != 0)
        continue;
      DefiniteReader r(e.Value.pbData, e.Value.cbData);
      Tlv ski;
      return r.Expect(der::kTagOctetString, &ski) && r.AtEnd() &&
             ski.ValueBytes() == s.key_id;
    }
    return false;
  }
  if (ci->Issuer.cbData != s.issuer.size() ||
      !std::equal(s.issuer.begin(), s.issuer.end(), ci->Issuer.pbData))
    return false;
  Bytes serial(ci->SerialNumber.pbData,
               ci->SerialNumber.pbData + ci->SerialNumber.cbData);
  std::reverse(serial.begin(), serial.end());
  auto strip = [](Bytes v) {
    while (v.size() > 1 && v[0] == 0) v.erase(v.begin());
    return v;
  };
  return strip(serial) == strip(s.serial);
}

// ESS signing-certificate(-v2): the first identifier names the signer's
// certificate by hash (RFC 5035 5.4; RFC 2634 5.4).
bool EssNames(const std::vector<SignerAttr>& attrs, const Bytes& cert) {
  bool v2 = Count(attrs, kOidSigningCertV2) > 0;
  Bytes value;
  if (!OnlyValue(attrs, v2 ? kOidSigningCertV2 : kOidSigningCertV1, &value))
    return false;
  DefiniteReader r(value.data(), value.size());
  Tlv seq, ids, first;
  if (!r.Expect(der::kTagSequence, &seq) || !r.AtEnd()) return false;
  DefiniteReader sr(seq);
  if (!sr.Expect(der::kTagSequence, &ids)) return false;
  DefiniteReader ir(ids);
  if (!ir.Expect(der::kTagSequence, &first)) return false;
  DefiniteReader fr(first);
  std::string alg = v2 ? kOidSha256 : kOidSha1;
  if (v2 && !fr.AtEnd()) {
    uint8_t tag;
    if (fr.PeekTag(&tag) && tag == der::kTagSequence) {
      Tlv a, oid;
      if (!fr.Next(&a)) return false;
      DefiniteReader ar(a);
      if (!ar.Expect(der::kTagOid, &oid)) return false;
      alg = der::OidToString(oid.value, oid.len);
    }
  }
  Tlv hash;
  if (!fr.Expect(der::kTagOctetString, &hash)) return false;
  Bytes want;
  return tavrix_ltv::HashByOid(alg, cert.data(), cert.size(), &want) &&
         want == hash.ValueBytes();
}

// What the evidence attributes of an X Long Type 1 signature hold.
struct Evidence {
  std::vector<tavrix_ltv::CertRef> cert_refs;
  tavrix_ltv::RevRefs rev_refs;
  std::vector<Bytes> cert_values;
  tavrix_ltv::RevValues rev_values;
};

bool ReadEvidence(const std::vector<SignerAttr>& u, Evidence* ev) {
  Bytes v;
  return OnlyValue(u, kOidCertRefs, &v) &&
         tavrix_ltv::ParseCertRefs(v, &ev->cert_refs) &&
         OnlyValue(u, kOidRevRefs, &v) &&
         tavrix_ltv::ParseRevRefs(v, &ev->rev_refs) &&
         OnlyValue(u, kOidCertValues, &v) &&
         tavrix_ltv::ParseCertValues(v, &ev->cert_values) &&
         OnlyValue(u, kOidRevValues, &v) &&
         tavrix_ltv::ParseRevValues(v, &ev->rev_values);
}

// The earliest valid token among the values of every attribute `oid`,
// each stamping one of `data`, its authority trusted at the token's own
// time.
bool EarliestToken(const std::vector<SignerAttr>& u, const char* oid,
                   const std::vector<Bytes>& data,
                   const std::vector<Bytes>& certs, int64_t* when) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (!store) return false;
  for (const Bytes& c : certs)
    CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, c.data(),
                                     static_cast<DWORD>(c.size()),
                                     CERT_STORE_ADD_USE_EXISTING, nullptr);
  tavrix_cades::TokenCheck check;
  check.extra_certs = store;
  check.chain_at_gen_time = true;
  bool any = false;
  size_t tried = 0;
  for (const SignerAttr& a : u) {
    if (a.oid != oid) continue;
    for (const Bytes& token : a.values) {
      // Each check costs signatures and a chain; a message stuffed with
      // tokens is not worth more than a few.
      if (++tried > kMaxTokens) break;
      for (const Bytes& d : data) {
        tavrix_cades::TokenInfo t;
        if (tavrix_cades::CheckTimeStampToken(
                token.data(), token.size(), d.data(), d.size(), check, &t) != 0)
          continue;
        if (!any || t.gen_time < *when) *when = t.gen_time;
        any = true;
        break;
      }
    }
  }
  CertCloseStore(store, 0);
  return any;
}

// RFC 5126 6.3.5 (EN 319 122-1 A.1.5.2): the signature value, then the
// signature time stamp and both reference attributes, each as its type and
// values without the attribute's own SEQUENCE header.
std::vector<Bytes> CadesCImprintData(const ParsedSigner& s) {
  std::vector<Bytes> forms(1, s.signature);
  for (const char* oid : {kOidSigTimeStamp, kOidCertRefs, kOidRevRefs})
    for (const SignerAttr& a : s.unsigned_attrs)
      if (a.oid == oid) der::Append(&forms[0], a.content);
  return forms;
}

bool InList(const std::vector<Bytes>& list, const Bytes& b) {
  return std::find(list.begin(), list.end(), b) != list.end();
}

DWORD Evaluate(HCRYPTMSG h, DWORD index, const ParsedSigner& s,
               DWORD wanted_type, VerifyOutcome* out) {
  // 13: the signed content type must be the encapsulated one.
  Bytes inner, ct;
  if (!GetBytes(h, CMSG_INNER_CONTENT_TYPE_PARAM, 0, &inner))
    return CADES_VERIFY_ECONTENTTYPE_NO_MATCH;
  std::string inner_oid(inner.begin(),
                        std::find(inner.begin(), inner.end(), 0));
  // Without signed attributes there is no ESS attribute to name the
  // signer's certificate: not a CAdES signer at all.
  if (!s.has_signed_attrs) return CADES_VERIFY_SIGNER_NOT_FOUND;
  if (!OnlyValue(s.signed_attrs, kOidContentType, &ct))
    return CADES_VERIFY_ECONTENTTYPE_NO_MATCH;
  {
    DefiniteReader r(ct.data(), ct.size());
    Tlv oid;
    if (!r.Expect(der::kTagOid, &oid) || !r.AtEnd() ||
        der::OidToString(oid.value, oid.len) != inner_oid)
      return CADES_VERIFY_ECONTENTTYPE_NO_MATCH;
  }

  Bytes st;
  if (OnlyValue(s.signed_attrs, kOidSigningTime, &st)) {
    DefiniteReader r(st.data(), st.size());
    Tlv t;
    out->has_signing_time =
        r.Next(&t) && r.AtEnd() && der::ParseTime(t, &out->signing_time);
  }

  // 2: the signer's certificate, among the message's certificates and the
  // certificate values, named by the ESS attribute.
  std::vector<Bytes> certs;
  Bytes count_b;
  DWORD count = 0;
  if (GetBytes(h, CMSG_CERT_COUNT_PARAM, 0, &count_b) &&
      count_b.size() == sizeof count)
    std::memcpy(&count, count_b.data(), sizeof count);
  for (DWORD i = 0; i < count && i < kMaxCerts; ++i) {
    Bytes c;
    if (GetBytes(h, CMSG_CERT_PARAM, i, &c)) certs.push_back(std::move(c));
  }
  Evidence ev;
  bool evidence_ok = ReadEvidence(s.unsigned_attrs, &ev);
  for (const Bytes& c : ev.cert_values)
    if (!InList(certs, c)) certs.push_back(c);
  const Bytes* signer = nullptr;
  for (const Bytes& c : certs)
    if (Identifies(s, c)) {
      signer = &c;
      break;
    }
  if (!signer || !EssNames(s.signed_attrs, *signer))
    return CADES_VERIFY_SIGNER_NOT_FOUND;
  out->signer_cert = *signer;

  // 8: the signature itself, with the message digest.
  {
    CertCtx sc(*signer);
    if (!sc.c) return CADES_VERIFY_SIGNER_NOT_FOUND;
    CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA vp{};
    vp.cbSize = sizeof vp;
    vp.dwSignerIndex = index;
    vp.dwSignerType = CMSG_VERIFY_SIGNER_CERT;
    vp.pvSigner = const_cast<CERT_CONTEXT*>(sc.c);
    if (!CryptMsgControl(h, 0, CMSG_CTRL_VERIFY_SIGNATURE_EX, &vp)) {
      out->error = GetLastError();
      return CADES_VERIFY_BAD_SIGNATURE;
    }
  }

  const bool has_stamp = Count(s.unsigned_attrs, kOidSigTimeStamp) > 0;
  const bool any_evidence = Count(s.unsigned_attrs, kOidCertRefs) ||
                            Count(s.unsigned_attrs, kOidRevRefs) ||
                            Count(s.unsigned_attrs, kOidCertValues) ||
                            Count(s.unsigned_attrs, kOidRevValues) ||
                            Count(s.unsigned_attrs, kOidCadesCStamp);
  bool long_form =
      wanted_type == CADES_X_LONG_TYPE_1 || (wanted_type == 0 && any_evidence);
  // Asked for BES, the signer is judged now, whatever stamps it carries.
  bool stamped =
      long_form || wanted_type == CADES_T || (wanted_type == 0 && has_stamp);

  // 3: the signature time stamp, over the signature value.
  int64_t when = static_cast<int64_t>(std::time(nullptr));
  if (stamped) {
    int64_t ts = 0;
    if (!EarliestToken(s.unsigned_attrs, kOidSigTimeStamp, {s.signature}, certs,
                       &ts))
      return CADES_VERIFY_NO_VALID_SIGNATURE_TIMESTAMP;
    when = ts;
    out->has_stamp_time = true;
    out->stamp_time = ts;
  }

  if (long_form) {
    // 1, 4, 9: the evidence, its agreement, and the stamp over it.
    if (!evidence_ok) return CADES_VERIFY_INVALID_REFS_AND_VALUES;
    if (!tavrix_ltv::CertRefsMatchValues(ev.cert_refs, ev.cert_values) ||
        !tavrix_ltv::RevRefsMatchValues(ev.rev_refs, ev.rev_values))
      return CADES_VERIFY_REFS_AND_VALUES_NO_MATCH;
    int64_t c_time = 0;
    if (!EarliestToken(s.unsigned_attrs, kOidCadesCStamp, CadesCImprintData(s),
                       certs, &c_time) ||
        c_time + kClockSkew < when)
      return CADES_VERIFY_NO_VALID_CADES_C_TIMESTAMP;
    out->has_c_stamp_time = true;
    out->c_stamp_time = c_time;
  }

  // 5: the chain at the time of the signature time stamp.
  std::vector<Bytes> chain;
  if (!tavrix_ltv::TrustedChainAt(*signer, when, certs, &chain))
    return CADES_VERIFY_NO_CHAIN;
  if (!long_form) return CADES_VERIFY_SUCCESS;
  // Long-term validation stands on the carried certificates: only the
  // trust anchor may come from the user's store.
  for (size_t i = 0; i + 1 < chain.size(); ++i)
    if (!InList(certs, chain[i])) return CADES_VERIFY_NO_CHAIN;

  // 6, 7: revocation at that time from the revocation values; a trust
  // anchor is not judged.
  for (size_t i = 0; i + 1 < chain.size(); ++i) {
    if (tavrix_ltv::JudgeRevocation(chain[i], chain[i + 1], when, ev.rev_values,
                                    certs) != tavrix_ltv::RevVerdict::kGood)
      return i == 0 ? CADES_VERIFY_END_CERT_REVOCATION
                    : CADES_VERIFY_CHAIN_CERT_REVOCATION;
  }
  return CADES_VERIFY_SUCCESS;
}

// Every record handed out, so a foreign or twice-freed pointer is refused.
std::mutex g_mutex;
std::set<const void*>& Live() {
  static auto* s = new std::set<const void*>();
  return *s;
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

}  // namespace

bool ParseSigner(const Bytes& enc, ParsedSigner* out) {
  DefiniteReader top(enc.data(), enc.size());
  Tlv si, version, sid, digest, t, sig_alg, sig;
  if (!top.Expect(der::kTagSequence, &si) || !top.AtEnd()) return false;
  DefiniteReader r(si);
  if (!r.Expect(der::kTagInteger, &version) || !r.Next(&sid)) return false;
  if (sid.tag == der::kTagSequence) {
    DefiniteReader ir(sid);
    Tlv issuer, serial;
    if (!ir.Expect(der::kTagSequence, &issuer) ||
        !ir.Expect(der::kTagInteger, &serial) || !ir.AtEnd())
      return false;
    out->issuer = issuer.WholeBytes();
    out->serial = serial.ValueBytes();
  } else if (sid.tag == der::Context(0, false)) {
    out->by_key_id = true;
    out->key_id = sid.ValueBytes();
  } else {
    return false;
  }
  if (!r.Expect(der::kTagSequence, &digest)) return false;
  auto attrs = [](const Tlv& set, std::vector<SignerAttr>* into) {
    DefiniteReader ar(set);
    Tlv a;
    while (!ar.AtEnd()) {
      if (!ar.Expect(der::kTagSequence, &a)) return false;
      DefiniteReader vr(a);
      Tlv oid, values, v;
      if (!vr.Expect(der::kTagOid, &oid) || !vr.Expect(der::kTagSet, &values) ||
          !vr.AtEnd())
        return false;
      SignerAttr one;
      one.oid = der::OidToString(oid.value, oid.len);
      if (one.oid.empty()) return false;
      one.content = Bytes(a.value, a.value + a.len);
      one.encoded = a.WholeBytes();
      DefiniteReader sr(values);
      while (!sr.AtEnd()) {
        if (!sr.Next(&v)) return false;
        one.values.push_back(v.WholeBytes());
      }
      into->push_back(std::move(one));
    }
    return true;
  };
  bool present;
  if (!r.Optional(der::Context(0, true), &t, &present)) return false;
  if (present) {
    out->has_signed_attrs = true;
    if (!attrs(t, &out->signed_attrs)) return false;
  }
  if (!r.Expect(der::kTagSequence, &sig_alg) ||
      !r.Expect(der::kTagOctetString, &sig))
    return false;
  out->signature = sig.ValueBytes();
  if (!r.Optional(der::Context(1, true), &t, &present)) return false;
  if (present && !attrs(t, &out->unsigned_attrs)) return false;
  return r.AtEnd();
}

DWORD VerifySigner(HCRYPTMSG h, DWORD index, DWORD wanted_type,
                   VerifyOutcome* out) {
  Bytes enc;
  if (!GetBytes(h, CMSG_ENCODED_SIGNER, index, &enc)) {
    out->call_error = GetLastError() ? GetLastError() : CRYPT_E_INVALID_INDEX;
    return kCallFailed;
  }
  ParsedSigner s;
  if (!ParseSigner(enc, &s)) return CADES_VERIFY_INVALID_REFS_AND_VALUES;
  return Evaluate(h, index, s, wanted_type, out);
}

}  // namespace tavrix_cades_verify

using namespace tavrix_cades_verify;

extern "C" CAPI_EXPORT BOOL WINAPI
CadesMsgVerifySignature(HCRYPTMSG hCryptMsg, DWORD dwSignatureIndex,
                        PCADES_VERIFICATION_PARA pVerificationPara,
                        PCADES_VERIFICATION_INFO* ppVerificationInfo) try {
  if (!ppVerificationInfo) return Fail(E_INVALIDARG);
  *ppVerificationInfo = nullptr;
  if (!hCryptMsg) return Fail(E_INVALIDARG);
  DWORD wanted = 0;
  if (!WantedType(pVerificationPara, &wanted)) return Fail(E_INVALIDARG);
  VerifyOutcome outcome;
  DWORD status = VerifySigner(hCryptMsg, dwSignatureIndex, wanted, &outcome);
  if (status == kCallFailed) return Fail(outcome.call_error);
  PCADES_VERIFICATION_INFO info = NewInfo(status, outcome);
  if (!info) return Fail(NTE_NO_MEMORY);
  {
    std::lock_guard<std::mutex> g(g_mutex);
    Live().insert(info);
  }
  *ppVerificationInfo = info;
  SetLastError(0);
  return TRUE;
}
CAPI_GUARD(FALSE)

extern "C" CAPI_EXPORT BOOL WINAPI
CadesFreeVerificationInfo(PCADES_VERIFICATION_INFO pVerificationInfo) try {
  // Nothing handed out is nothing to release: callers free on their
  // failure paths too.
  if (!pVerificationInfo) return TRUE;
  {
    std::lock_guard<std::mutex> g(g_mutex);
    if (!Live().erase(pVerificationInfo)) return Fail(E_INVALIDARG);
  }
  DeleteInfo(pVerificationInfo);
  return TRUE;
}
CAPI_GUARD(FALSE)
