// Enhancement of a decoded signer to CAdES-T or CAdES-X Long Type 1. Every
// answer from the network is checked before it goes in, and the attributes
// are added only when all of them are in hand, so a failed call leaves the
// message as it was.
#include <capi/gost.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>

#include "base/c_boundary.h"
#include "cades_internal.h"
#include "chain/evidence.h"
#include "chain/fetch.h"
#include "tsp.h"

namespace tavrix_cades {
namespace {

using Clock = std::chrono::steady_clock;

// One retrieval may take what the provider allows a revocation retrieval;
// the whole enhancement a few of them.
constexpr unsigned kFetchTimeoutMs = 15000;
constexpr auto kTotalBudget = std::chrono::seconds(60);
constexpr size_t kMaxUrl = 2048;

struct Deadline {
  Clock::time_point end = Clock::now() + kTotalBudget;
  unsigned Next() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - Clock::now())
                    .count();
    if (left <= 0) return 0;
    return left < kFetchTimeoutMs ? static_cast<unsigned>(left)
                                  : kFetchTimeoutMs;
  }
};

struct CertFree {
  void operator()(const CERT_CONTEXT* c) const {
    CertFreeCertificateContext(c);
  }
};
using CertPtr = std::unique_ptr<const CERT_CONTEXT, CertFree>;
struct StoreCloser {
  void operator()(void* s) const { CertCloseStore(s, 0); }
};
using StorePtr = std::unique_ptr<void, StoreCloser>;

Bytes EncodeAttr(const char* oid, const Bytes& value) {
  Bytes a;
  der::AppendOid(&a, oid);
  der::AppendTlv(&a, der::kTagSet, value);
  return der::Wrap(der::kTagSequence, a);
}

// An attribute as the CAdES-C time stamp covers it: its type and values,
// without the Attribute's own SEQUENCE header.
Bytes AttrContents(const Bytes& attr) {
  der::DefiniteReader r(attr.data(), attr.size());
  der::Tlv t;
  if (!r.Expect(der::kTagSequence, &t)) return attr;
  return t.ValueBytes();
}

// Only printable ASCII reaches the HTTP client: anything else in a
// page-supplied address is refused rather than reinterpreted.
bool NarrowUrl(LPCWSTR w, std::string* out) {
  out->clear();
  for (size_t i = 0; w[i]; ++i) {
    if (i >= kMaxUrl || w[i] <= 0x20 || w[i] >= 0x7F) return false;
    out->push_back(static_cast<char>(w[i]));
  }
  return !out->empty();
}

DWORD StampFromService(const std::string& url, const std::string& hash_oid,
                       const Bytes& data, HCERTSTORE extra, Deadline* dl,
                       Bytes* token) {
  Bytes imprint;
  if (!HashWith(hash_oid, data, &imprint)) return GetLastError();
  Bytes nonce(16);
  std::random_device rd;
  for (uint8_t& b : nonce) b = static_cast<uint8_t>(rd());
  nonce[0] = (nonce[0] & 0x7F) | 0x01;  // positive, no leading zero octet
  Bytes req = BuildTimeStampRequest(hash_oid, imprint, nonce);
  unsigned t = dl->Next();
  if (!t) return CADES_E_TSP_UNREACHABLE;
  Bytes resp;
  switch (tavrix::provider::chain::HttpFetch(
      url, &req, "application/timestamp-query", t, &resp)) {
    case tavrix::provider::chain::FetchResult::kOk:
      break;
    case tavrix::provider::chain::FetchResult::kBadUrl:
      return CADES_E_TSP_ADDRESS;
    case tavrix::provider::chain::FetchResult::kTooLarge:
      return CADES_E_TSP_MALFORMED;
    default:
      return CADES_E_TSP_UNREACHABLE;
  }
  DWORD err = ReadTimeStampResponse(resp, token);
  if (err) return err;
  TokenCheck check;
  check.nonce = &nonce;
  check.hash_oid = hash_oid;
  check.extra_certs = extra;
  return CheckTimeStampToken(token->data(), token->size(), data.data(),
                             data.size(), check, nullptr);
}

// OtherHash as otherHash: the GOST hash is never the SHA-1 default.
Bytes OtherHash(const std::string& hash_oid, const Bytes& hash) {
  Bytes v = HashAlgId(hash_oid);
  der::AppendTlv(&v, der::kTagOctetString, hash);
  return der::Wrap(der::kTagSequence, v);
}

Bytes IssuerSerial(const CERT_INFO* ci) {
  Bytes name =
      der::Wrap(der::Context(4, true), ci->Issuer.pbData, ci->Issuer.cbData);
  Bytes serial(ci->SerialNumber.pbData,
               ci->SerialNumber.pbData + ci->SerialNumber.cbData);
  std::reverse(serial.begin(), serial.end());
  Bytes v = der::Wrap(der::kTagSequence, name);
  der::Append(&v, der::EncodeUnsignedInteger(serial.data(), serial.size()));
  return der::Wrap(der::kTagSequence, v);
}

// The BasicOCSPResponse inside an OCSPResponse, and its responderID and
// producedAt for the reference.
bool SplitOcsp(const Bytes& resp, Bytes* basic, Bytes* ocsp_identifier) {
  der::DefiniteReader top(resp.data(), resp.size());
  der::Tlv outer, status, wrap, rb, type, octets, b, tbs, t, rid, produced;
  if (!top.Expect(der::kTagSequence, &outer)) return false;
  der::DefiniteReader r(outer);
  if (!r.Expect(der::kTagEnumerated, &status) ||
      !r.Expect(der::Context(0, true), &wrap))
    return false;
  der::DefiniteReader wr(wrap);
  if (!wr.Expect(der::kTagSequence, &rb)) return false;
  der::DefiniteReader rbr(rb);
  if (!rbr.Expect(der::kTagOid, &type) ||
      der::OidToString(type.value, type.len) != kOidOcspBasic ||
      !rbr.Expect(der::kTagOctetString, &octets))
    return false;
  der::DefiniteReader br(octets);
  if (!br.Expect(der::kTagSequence, &b)) return false;
  der::DefiniteReader bb(b);
  if (!bb.Expect(der::kTagSequence, &tbs)) return false;
  der::DefiniteReader tr(tbs);
  bool present = false;
  if (!tr.Optional(der::Context(0, true), &t, &present) || !tr.Next(&rid) ||
      !tr.Expect(der::kTagGeneralizedTime, &produced))
    return false;
  *basic = b.WholeBytes();
  Bytes id = rid.WholeBytes();
  der::Append(&id, produced.WholeBytes());
  *ocsp_identifier = der::Wrap(der::kTagSequence, id);
  return true;
}

// CrlIdentifier: the CRL's issuer and its thisUpdate as UTCTime.
bool CrlIdentifier(const Bytes& crl, Bytes* out) {
  der::DefiniteReader top(crl.data(), crl.size());
  der::Tlv seq, tbs, e, issuer, this_update;
  if (!top.Expect(der::kTagSequence, &seq)) return false;
  der::DefiniteReader r(seq);
  if (!r.Expect(der::kTagSequence, &tbs)) return false;
  der::DefiniteReader tr(tbs);
  bool present = false;
  if (!tr.Optional(der::kTagInteger, &e, &present) ||
      !tr.Expect(der::kTagSequence, &e) ||
      !tr.Expect(der::kTagSequence, &issuer) || !tr.Next(&this_update))
    return false;
  int64_t when = 0;
  if (!der::ParseTime(this_update, &when)) return false;
  std::time_t tt = static_cast<std::time_t>(when);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ",
                tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec);
  Bytes v = issuer.WholeBytes();
  der::AppendTlv(&v, der::kTagUtcTime, reinterpret_cast<uint8_t*>(text), 13);
  *out = der::Wrap(der::kTagSequence, v);
  return true;
}

DWORD EvidenceError(DWORD err) {
  switch (err) {
    case CRYPT_E_REVOKED:
      return CADES_E_REVOKED;
    case CRYPT_E_REVOCATION_OFFLINE:
    case CRYPT_E_NO_REVOCATION_CHECK:
      return CADES_E_REVOCATION_UNREACHABLE;
    default:
      return err ? err : CADES_E_REVOCATION_UNREACHABLE;
  }
}

struct Evidence {
  std::vector<Bytes> crl_refs;  // CrlOcspRef per certificate, in order
  std::vector<Bytes> crls;      // CertificateList
  std::vector<Bytes> ocsps;     // BasicOCSPResponse
};

DWORD RevocationFor(PCCERT_CONTEXT cert, PCCERT_CONTEXT issuer,
                    const std::string& hash_oid, Deadline* dl, Evidence* ev) {
  unsigned t = dl->Next();
  if (!t) return CADES_E_REVOCATION_UNREACHABLE;
  DWORD kind = 0, len = 0;
  BYTE* p = nullptr;
  if (!TavrixGetRevocationEvidence(cert, issuer, t, &kind, &p, &len))
    return EvidenceError(GetLastError());
  Bytes got(p, p + len);
  LocalFree(p);
  Bytes hash;
  if (kind == TAVRIX_EVIDENCE_OCSP) {
    Bytes basic, ident;
    if (!SplitOcsp(got, &basic, &ident)) return CADES_E_REVOCATION_MALFORMED;
    if (!HashWith(hash_oid, basic, &hash)) return GetLastError();
    Bytes id = ident;
    der::Append(&id, OtherHash(hash_oid, hash));
    Bytes list = der::Wrap(der::kTagSequence, der::Wrap(der::kTagSequence, id));
    Bytes ocsp_list_id = der::Wrap(der::kTagSequence, list);
    ev->crl_refs.push_back(der::Wrap(
        der::kTagSequence, der::Wrap(der::Context(1, true), ocsp_list_id)));
    ev->ocsps.push_back(std::move(basic));
  } else {
    Bytes ident;
    if (!CrlIdentifier(got, &ident)) return CADES_E_REVOCATION_MALFORMED;
    if (!HashWith(hash_oid, got, &hash)) return GetLastError();
    Bytes validated = OtherHash(hash_oid, hash);
    der::Append(&validated, ident);
    Bytes crls =
        der::Wrap(der::kTagSequence, der::Wrap(der::kTagSequence, validated));
    Bytes crl_list_id = der::Wrap(der::kTagSequence, crls);
    ev->crl_refs.push_back(der::Wrap(
        der::kTagSequence, der::Wrap(der::Context(0, true), crl_list_id)));
    ev->crls.push_back(std::move(got));
  }
  return 0;
}

struct Request {
  DWORD type = CADES_X_LONG_TYPE_1;
  std::string url;
  std::string hash_oid;
  PCCERT_CONTEXT signer_cert = nullptr;
  HCERTSTORE additional = nullptr;
};

// Reads only what the caller's size covers.
DWORD ReadPara(const CADES_SIGN_PARA* p, Request* r) {
  if (!p || p->dwSize < offsetof(CADES_SIGN_PARA, pSignerCert))
    return CADES_E_BAD_PARAMETER;
  auto covers = [&](size_t off, size_t n) { return p->dwSize >= off + n; };
  r->type = p->dwCadesType ? p->dwCadesType : CADES_X_LONG_TYPE_1;
  if (covers(offsetof(CADES_SIGN_PARA, pSignerCert), sizeof(void*)))
    r->signer_cert = p->pSignerCert;
  if (covers(offsetof(CADES_SIGN_PARA, szHashAlgorithm), sizeof(void*)) &&
      p->szHashAlgorithm) {
    size_t n = strnlen(p->szHashAlgorithm, 128);
    if (n == 0 || n >= 128) return CADES_E_BAD_PARAMETER;
    r->hash_oid = p->szHashAlgorithm;
  }
  if (covers(offsetof(CADES_SIGN_PARA, hAdditionalStore), sizeof(void*)))
    r->additional = p->hAdditionalStore;
  if (covers(offsetof(CADES_SIGN_PARA, pTspConnectionPara), sizeof(void*)) &&
      p->pTspConnectionPara) {
    const CADES_SERVICE_CONNECTION_PARA* c = p->pTspConnectionPara;
    if (c->dwSize < offsetof(CADES_SERVICE_CONNECTION_PARA, wszUri) +
                        sizeof(c->wszUri) ||
        !c->wszUri || !NarrowUrl(c->wszUri, &r->url))
      return CADES_E_TSP_ADDRESS;
  }
  return 0;
}

// Certificates the message carries, with the caller's extra ones.
StorePtr MessageCerts(HCRYPTMSG msg, HCERTSTORE additional) {
  StorePtr s(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  if (!s) return s;
  DWORD count = 0, n = sizeof count;
  CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &count, &n);
  for (DWORD i = 0; i < count && i < 1024; ++i) {
    Bytes der;
    if (GetBytes(msg, CMSG_CERT_PARAM, i, &der))
      CertAddEncodedCertificateToStore(s.get(), kEncoding, der.data(),
                                       static_cast<DWORD>(der.size()),
                                       CERT_STORE_ADD_USE_EXISTING, nullptr);
  }
  if (additional) {
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(additional, c)) != nullptr)
      CertAddCertificateContextToStore(s.get(), c, CERT_STORE_ADD_USE_EXISTING,
                                       nullptr);
  }
  return s;
}

bool InMessage(HCRYPTMSG msg, PCCERT_CONTEXT c) {
  DWORD count = 0, n = sizeof count;
  CryptMsgGetParam(msg, CMSG_CERT_COUNT_PARAM, 0, &count, &n);
  for (DWORD i = 0; i < count && i < 1024; ++i) {
    Bytes der;
    if (GetBytes(msg, CMSG_CERT_PARAM, i, &der) &&
        der.size() == c->cbCertEncoded &&
        std::memcmp(der.data(), c->pbCertEncoded, der.size()) == 0)
      return true;
  }
  return false;
}

// Everything X Long Type 1 adds after the signature time stamp.
DWORD LongTermAttributes(HCRYPTMSG msg, DWORD index, const Request& rq,
                         const std::string& hash_oid, const Bytes& signature,
                         const Bytes& ts_attr, Deadline* dl,
                         std::vector<Bytes>* out) {
  StorePtr store = MessageCerts(msg, rq.additional);
  if (!store) return GetLastError();
  CertPtr signer;
  if (rq.signer_cert) {
    signer.reset(CertDuplicateCertificateContext(rq.signer_cert));
  } else {
    Bytes info;
    if (!GetBytes(msg, CMSG_SIGNER_CERT_INFO_PARAM, index, &info))
      return GetLastError();
    signer.reset(CertGetSubjectCertificateFromStore(
        store.get(), kEncoding, reinterpret_cast<PCERT_INFO>(info.data())));
  }
  if (!signer) return CADES_E_NO_SIGNER_CERT;

  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(HCCE_CURRENT_USER, signer.get(), nullptr,
                               store.get(), &para, 0, nullptr, &chain))
    return CADES_E_NO_CHAIN;
  std::unique_ptr<const CERT_CHAIN_CONTEXT, void (*)(PCCERT_CHAIN_CONTEXT)>
      hold(chain, [](PCCERT_CHAIN_CONTEXT c) { CertFreeCertificateChain(c); });
  const DWORD kRevocationOnly =
      CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  if ((chain->TrustStatus.dwErrorStatus & ~kRevocationOnly) != 0 ||
      chain->cChain < 1 || chain->rgpChain[0]->cElement < 1)
    return CADES_E_NO_CHAIN;
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  std::vector<PCCERT_CONTEXT> path;
  for (DWORD i = 0; i < simple->cElement; ++i)
    path.push_back(simple->rgpElement[i]->pCertContext);

  Bytes refs, values;
  for (size_t i = 0; i < path.size(); ++i) {
    if (i > 0) {
      Bytes hash;
      if (!HashWith(hash_oid, path[i]->pbCertEncoded, path[i]->cbCertEncoded,
                    &hash))
        return GetLastError();
      Bytes id = OtherHash(hash_oid, hash);
      der::Append(&id, IssuerSerial(path[i]->pCertInfo));
      der::AppendTlv(&refs, der::kTagSequence, id);
    }
    if (i > 0 || !InMessage(msg, path[i]))
      values.insert(values.end(), path[i]->pbCertEncoded,
                    path[i]->pbCertEncoded + path[i]->cbCertEncoded);
  }
  // The anchor is trusted as it stands; everything below it needs proof
  // that it was not revoked.
  Evidence ev;
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    DWORD err = RevocationFor(path[i], path[i + 1], hash_oid, dl, &ev);
    if (err) return err;
  }
  Bytes rev_refs;
  for (const Bytes& r : ev.crl_refs) der::Append(&rev_refs, r);
  Bytes rev_values;
  if (!ev.crls.empty()) {
    Bytes l;
    for (const Bytes& c : ev.crls) der::Append(&l, c);
    der::AppendTlv(&rev_values, der::Context(0, true),
                   der::Wrap(der::kTagSequence, l));
  }
  if (!ev.ocsps.empty()) {
    Bytes l;
    for (const Bytes& o : ev.ocsps) der::Append(&l, o);
    der::AppendTlv(&rev_values, der::Context(1, true),
                   der::Wrap(der::kTagSequence, l));
  }
  Bytes cert_refs_attr =
      EncodeAttr(kOidCompleteCertRefs, der::Wrap(der::kTagSequence, refs));
  Bytes rev_refs_attr = EncodeAttr(kOidCompleteRevocationRefs,
                                   der::Wrap(der::kTagSequence, rev_refs));

  // CAdES-C time stamp (ESCTimeStamp, RFC 5126 6.3.5): over the signature
  // value and the signature time stamp, certificate and revocation reference
  // attributes, in that order, each without its outer SEQUENCE header.
  Bytes stamped = signature;
  der::Append(&stamped, AttrContents(ts_attr));
  der::Append(&stamped, AttrContents(cert_refs_attr));
  der::Append(&stamped, AttrContents(rev_refs_attr));
  Bytes c_token;
  DWORD err =
      StampFromService(rq.url, hash_oid, stamped, rq.additional, dl, &c_token);
  if (err) return err;
  out->push_back(cert_refs_attr);
  out->push_back(rev_refs_attr);
  out->push_back(EncodeAttr(kOidCadesCTimeStamp, c_token));
  out->push_back(
      EncodeAttr(kOidCertValues, der::Wrap(der::kTagSequence, values)));
  out->push_back(EncodeAttr(kOidRevocationValues,
                            der::Wrap(der::kTagSequence, rev_values)));
  return 0;
}

DWORD Enhance(HCRYPTMSG msg, DWORD index, const CADES_SIGN_PARA* para) {
  Request rq;
  DWORD err = ReadPara(para, &rq);
  if (err) return err;
  if (rq.type != CADES_BES && rq.type != CADES_T &&
      rq.type != CADES_X_LONG_TYPE_1)
    return CADES_E_UNSUPPORTED_TYPE;
  DWORD signers = 0, n = sizeof signers;
  if (!CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, &signers, &n))
    return GetLastError();
  if (index >= signers) return CADES_E_NO_SIGNER;
  BOOL already = FALSE;
  if (!CadesMsgIsType(msg, index, rq.type, &already)) return GetLastError();
  if (already) return 0;
  BOOL bes = FALSE;
  if (!CadesMsgIsType(msg, index, CADES_BES, &bes)) return GetLastError();
  // A plain CMS signer names no certificate in its signed attributes: the
  // evidence would not be bound to it.
  if (!bes) return CADES_E_UNSUPPORTED_TYPE;
  if (rq.type == CADES_BES) return 0;
  if (rq.url.empty()) return CADES_E_TSP_ADDRESS;

  Bytes signature;
  if (!GetBytes(msg, CMSG_ENCRYPTED_DIGEST, index, &signature))
    return GetLastError();
  if (rq.hash_oid.empty()) {
    Bytes alg;
    if (!GetBytes(msg, CMSG_SIGNER_HASH_ALGORITHM_PARAM, index, &alg))
      return GetLastError();
    auto* a = reinterpret_cast<const CRYPT_ALGORITHM_IDENTIFIER*>(alg.data());
    if (!a->pszObjId) return NTE_BAD_ALGID;
    rq.hash_oid = a->pszObjId;
  }
  Deadline dl;
  std::vector<Bytes> attrs;
  // A signer that is T already keeps its time stamp.
  std::vector<uint8_t> storage;
  const CRYPT_ATTRIBUTES* ua = nullptr;
  if (!SignerAttributes(msg, index, true, &storage, &ua)) return GetLastError();
  const CRYPT_ATTRIBUTE* have = FindAttribute(ua, kOidSignatureTimeStamp);
  Bytes ts_attr;
  if (have) {
    ts_attr =
        EncodeAttr(kOidSignatureTimeStamp,
                   Bytes(have->rgValue[0].pbData,
                         have->rgValue[0].pbData + have->rgValue[0].cbData));
  } else {
    Bytes token;
    err = StampFromService(rq.url, rq.hash_oid, signature, rq.additional, &dl,
                           &token);
    if (err) return err;
    ts_attr = EncodeAttr(kOidSignatureTimeStamp, token);
    attrs.push_back(ts_attr);
  }
  if (rq.type == CADES_X_LONG_TYPE_1) {
    err = LongTermAttributes(msg, index, rq, rq.hash_oid, signature, ts_attr,
                             &dl, &attrs);
    if (err) return err;
  }
  DWORD added = 0;
  for (const Bytes& a : attrs) {
    CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA p{};
    p.cbSize = sizeof p;
    p.dwSignerIndex = index;
    p.blob.cbData = static_cast<DWORD>(a.size());
    p.blob.pbData = const_cast<BYTE*>(a.data());
    if (!CryptMsgControl(msg, 0, CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR, &p)) {
      err = GetLastError();
      // Take back what went in, so no half-enhanced signer remains.
      std::vector<uint8_t> st;
      const CRYPT_ATTRIBUTES* now = nullptr;
      if (SignerAttributes(msg, index, true, &st, &now)) {
        for (DWORD k = 0; k < added; ++k) {
          CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR_PARA d{};
          d.cbSize = sizeof d;
          d.dwSignerIndex = index;
          d.dwUnauthAttrIndex = now->cAttr - 1 - k;
          CryptMsgControl(msg, 0, CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR, &d);
        }
      }
      return err ? err : CADES_E_BAD_PARAMETER;
    }
    ++added;
  }
  return 0;
}

}  // namespace
}  // namespace tavrix_cades

extern "C" CAPI_EXPORT BOOL WINAPI
CadesMsgEnhanceSignature(HCRYPTMSG hCryptMsg, DWORD dwSignatureIndex,
                         PCADES_SIGN_PARA pSignPara) try {
  if (!hCryptMsg) return tavrix_cades::Fail(E_INVALIDARG);
  DWORD err = tavrix_cades::Enhance(hCryptMsg, dwSignatureIndex, pSignPara);
  if (err) return tavrix_cades::Fail(err);
  return TRUE;
}
CAPI_GUARD(FALSE)
