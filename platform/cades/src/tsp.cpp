#include "tsp.h"

#include <nettle/sha2.h>

#include <cstring>
#include <memory>

#include "chain/fetch.h"
#include "x509/certificate.h"

namespace tavrix_cades {
namespace {

struct MsgCloser {
  void operator()(void* m) const { CryptMsgClose(m); }
};
using MsgPtr = std::unique_ptr<void, MsgCloser>;

struct StoreCloser {
  void operator()(void* s) const { CertCloseStore(s, 0); }
};
using StorePtr = std::unique_ptr<void, StoreCloser>;

struct CertFree {
  void operator()(const CERT_CONTEXT* c) const {
    CertFreeCertificateContext(c);
  }
};
using CertPtr = std::unique_ptr<const CERT_CONTEXT, CertFree>;

Bytes StripZeros(Bytes b) {
  size_t i = 0;
  while (i + 1 < b.size() && b[i] == 0) ++i;
  return Bytes(b.begin() + static_cast<long>(i), b.end());
}

struct TstInfo {
  std::string hash_oid;
  Bytes imprint;
  Bytes serial;
  int64_t gen_time = 0;
  bool has_nonce = false;
  Bytes nonce;
};

bool ParseTstInfo(const Bytes& b, TstInfo* t) {
  der::DefiniteReader top(b.data(), b.size());
  der::Tlv seq, version, policy, mi, serial, gen, e;
  if (!top.Expect(der::kTagSequence, &seq) || !top.AtEnd()) return false;
  der::DefiniteReader r(seq);
  uint64_t v = 0;
  if (!r.Expect(der::kTagInteger, &version) ||
      !der::ParseSmallUint(version, &v) || v != 1 ||
      !r.Expect(der::kTagOid, &policy) || !r.Expect(der::kTagSequence, &mi) ||
      !r.Expect(der::kTagInteger, &serial) ||
      !r.Expect(der::kTagGeneralizedTime, &gen) ||
      !der::ParseTime(gen, &t->gen_time, der::TimeForm::kAny))
    return false;
  der::DefiniteReader mr(mi);
  der::Tlv alg, hashed, oid;
  if (!mr.Expect(der::kTagSequence, &alg) ||
      !mr.Expect(der::kTagOctetString, &hashed) || !mr.AtEnd())
    return false;
  der::DefiniteReader ar(alg);
  if (!ar.Expect(der::kTagOid, &oid)) return false;
  t->hash_oid = der::OidToString(oid.value, oid.len);
  t->imprint = hashed.ValueBytes();
  t->serial = serial.ValueBytes();
  bool present = false;
  if (!r.Optional(der::kTagSequence, &e, &present)) return false;  // accuracy
  if (!r.Optional(der::kTagBoolean, &e, &present)) return false;   // ordering
  if (!r.Optional(der::kTagInteger, &e, &present)) return false;   // nonce
  if (present) {
    t->has_nonce = true;
    t->nonce = StripZeros(e.ValueBytes());
  }
  return !t->hash_oid.empty();
}

// RFC 3161 2.3: exactly one extended key usage, critical, timeStamping only.
bool TimeStampingOnly(PCCERT_CONTEXT c) {
  const CERT_INFO* ci = c->pCertInfo;
  const CERT_EXTENSION* eku = nullptr;
  for (DWORD i = 0; i < ci->cExtension; ++i) {
    if (ci->rgExtension[i].pszObjId &&
        std::strcmp(ci->rgExtension[i].pszObjId, kOidExtKeyUsage) == 0) {
      if (eku) return false;
      eku = &ci->rgExtension[i];
    }
  }
  if (!eku || !eku->fCritical) return false;
  der::DefiniteReader r(eku->Value.pbData, eku->Value.cbData);
  der::Tlv seq, oid;
  if (!r.Expect(der::kTagSequence, &seq) || !r.AtEnd()) return false;
  der::DefiniteReader sr(seq);
  if (!sr.Expect(der::kTagOid, &oid) || !sr.AtEnd()) return false;
  return der::OidToString(oid.value, oid.len) == kOidTimeStamping;
}

constexpr char kOidSha1[] = "1.3.14.3.2.26";
constexpr char kOidSha256[] = "2.16.840.1.101.3.4.2.1";

bool CertHashIs(const std::string& oid, PCCERT_CONTEXT c, const Bytes& want) {
  const uint8_t* p = c->pbCertEncoded;
  size_t n = c->cbCertEncoded;
  Bytes got;
  if (oid == kOidSha1) {
    got = tavrix::provider::x509::Sha1(p, n);
  } else if (oid == kOidSha256) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, n, p);
    got.resize(SHA256_DIGEST_SIZE);
    sha256_digest(&ctx, got.size(), got.data());
  } else if (!HashWith(oid, p, n, &got)) {
    return false;
  }
  return got == want;
}

// RFC 3161 2.4.2: the token's signed attributes name the TSA certificate
// (ESS signing-certificate or -v2), so that no other certificate with the
// same issuer and serial can stand in for it. The first ESSCertID is the
// signer's.
bool EssNamesSigner(HCRYPTMSG msg, PCCERT_CONTEXT tsa) {
  std::vector<uint8_t> storage;
  const CRYPT_ATTRIBUTES* attrs = nullptr;
  if (!SignerAttributes(msg, 0, false, &storage, &attrs)) return false;
  bool v2 = true;
  const CRYPT_ATTRIBUTE* a = FindAttribute(attrs, kOidSigningCertificateV2);
  if (!a) {
    v2 = false;
    a = FindAttribute(attrs, kOidSigningCertificate);
  }
  if (!a) return false;
  der::DefiniteReader top(a->rgValue[0].pbData, a->rgValue[0].cbData);
  der::Tlv sc, certs, id, alg, oid, hash;
  if (!top.Expect(der::kTagSequence, &sc)) return false;
  der::DefiniteReader sr(sc);
  if (!sr.Expect(der::kTagSequence, &certs)) return false;
  der::DefiniteReader cr(certs);
  if (!cr.Expect(der::kTagSequence, &id)) return false;
  der::DefiniteReader ir(id);
  std::string hash_oid = v2 ? kOidSha256 : kOidSha1;
  bool present = false;
  if (v2) {
    if (!ir.Optional(der::kTagSequence, &alg, &present)) return false;
    if (present) {
      der::DefiniteReader ar(alg);
      if (!ar.Expect(der::kTagOid, &oid)) return false;
      hash_oid = der::OidToString(oid.value, oid.len);
    }
  }
  if (!ir.Expect(der::kTagOctetString, &hash)) return false;
  return CertHashIs(hash_oid, tsa, hash.ValueBytes());
}

bool ChainTrusted(PCCERT_CONTEXT c, HCERTSTORE extra, const FILETIME* when) {
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!CertGetCertificateChain(HCCE_CURRENT_USER, c,
                               const_cast<FILETIME*>(when), extra, &para, 0,
                               nullptr, &chain))
    return false;
  DWORD status = chain->TrustStatus.dwErrorStatus;
  CertFreeCertificateChain(chain);
  const DWORD kRevocationOnly =
      CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  return (status & ~kRevocationOnly) == 0;
}

}  // namespace

Bytes BuildTimeStampRequest(const std::string& hash_oid, const Bytes& imprint,
                            const Bytes& nonce) {
  Bytes mi = HashAlgId(hash_oid);
  der::AppendTlv(&mi, der::kTagOctetString, imprint);
  Bytes req = der::EncodeSmallInt(1);
  der::AppendTlv(&req, der::kTagSequence, mi);
  der::AppendTlv(&req, der::kTagInteger, nonce);
  const uint8_t yes = 0xFF;
  der::AppendTlv(&req, der::kTagBoolean, &yes, 1);
  return der::Wrap(der::kTagSequence, req);
}

DWORD ReadTimeStampResponse(const Bytes& resp, Bytes* token) {
  der::DefiniteReader top(resp.data(), resp.size());
  der::Tlv seq, status_info, status, tok;
  if (!top.Expect(der::kTagSequence, &seq) || !top.AtEnd())
    return CADES_E_TSP_MALFORMED;
  der::DefiniteReader r(seq);
  if (!r.Expect(der::kTagSequence, &status_info)) return CADES_E_TSP_MALFORMED;
  der::DefiniteReader sr(status_info);
  uint64_t s = 0;
  if (!sr.Expect(der::kTagInteger, &status) || !der::ParseSmallUint(status, &s))
    return CADES_E_TSP_MALFORMED;
  if (s > 1) return CADES_E_TSP_REJECTED;
  bool present = false;
  if (!r.Optional(der::kTagSequence, &tok, &present) || !r.AtEnd())
    return CADES_E_TSP_MALFORMED;
  if (!present) return CADES_E_TSP_REJECTED;
  *token = tok.WholeBytes();
  return 0;
}

DWORD CheckTimeStampToken(const uint8_t* token, size_t token_len,
                          const uint8_t* data, size_t data_len,
                          const TokenCheck& check, TokenInfo* info) {
  if (!token || token_len == 0 || token_len > 0xFFFFFFFFu)
    return CADES_E_TSP_MALFORMED;
  MsgPtr msg(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
  if (!msg) return CADES_E_TSP_MALFORMED;
  if (!CryptMsgUpdate(msg.get(), token, static_cast<DWORD>(token_len), TRUE))
    return CADES_E_TSP_MALFORMED;
  Bytes inner, content;
  DWORD signers = 0, n = sizeof signers;
  if (!GetBytes(msg.get(), CMSG_INNER_CONTENT_TYPE_PARAM, 0, &inner) ||
      std::string(inner.begin(), inner.end()).c_str() !=
          std::string(kOidTstInfo) ||
      !CryptMsgGetParam(msg.get(), CMSG_SIGNER_COUNT_PARAM, 0, &signers, &n) ||
      signers != 1 || !GetBytes(msg.get(), CMSG_CONTENT_PARAM, 0, &content))
    return CADES_E_TSP_MALFORMED;
  TstInfo tst;
  if (!ParseTstInfo(content, &tst)) return CADES_E_TSP_MALFORMED;
  if (!check.hash_oid.empty() && tst.hash_oid != check.hash_oid)
    return CADES_E_TSP_IMPRINT;
  Bytes expected;
  if (!HashWith(tst.hash_oid, data, data_len, &expected) ||
      expected != tst.imprint)
    return CADES_E_TSP_IMPRINT;
  if (check.nonce && (!tst.has_nonce || tst.nonce != StripZeros(*check.nonce)))
    return CADES_E_TSP_NONCE;

  // The signer's certificate: among the token's own, or the extra ones.
  StorePtr certs(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  if (!certs) return CADES_E_TSP_MALFORMED;
  DWORD count = 0;
  n = sizeof count;
  CryptMsgGetParam(msg.get(), CMSG_CERT_COUNT_PARAM, 0, &count, &n);
  for (DWORD i = 0; i < count && i < 64; ++i) {
    Bytes der;
    if (GetBytes(msg.get(), CMSG_CERT_PARAM, i, &der))
      CertAddEncodedCertificateToStore(certs.get(), kEncoding, der.data(),
                                       static_cast<DWORD>(der.size()),
                                       CERT_STORE_ADD_ALWAYS, nullptr);
  }
  if (check.extra_certs) {
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertEnumCertificatesInStore(check.extra_certs, c)) != nullptr)
      CertAddCertificateContextToStore(certs.get(), c, CERT_STORE_ADD_ALWAYS,
                                       nullptr);
  }
  Bytes signer_info;
  if (!GetBytes(msg.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, &signer_info))
    return CADES_E_TSP_MALFORMED;
  CertPtr tsa(CertGetSubjectCertificateFromStore(
      certs.get(), kEncoding,
      reinterpret_cast<PCERT_INFO>(signer_info.data())));
  if (!tsa) return CADES_E_TSP_UNTRUSTED;
  if (!CryptMsgControl(msg.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE,
                       tsa->pCertInfo))
    return CADES_E_TSP_SIGNATURE;
  if (!EssNamesSigner(msg.get(), tsa.get())) return CADES_E_TSP_SIGNATURE;
  if (!TimeStampingOnly(tsa.get())) return CADES_E_TSP_USAGE;
  int64_t nb = der::FileTimeToUnix(tsa->pCertInfo->NotBefore);
  int64_t na = der::FileTimeToUnix(tsa->pCertInfo->NotAfter);
  if (tst.gen_time < nb || tst.gen_time > na) return CADES_E_TSP_UNTRUSTED;
  FILETIME at = der::UnixToFileTime(tst.gen_time);
  if (!ChainTrusted(tsa.get(), certs.get(),
                    check.chain_at_gen_time ? &at : nullptr))
    return CADES_E_TSP_UNTRUSTED;
  if (info) {
    info->hash_oid = tst.hash_oid;
    info->imprint = tst.imprint;
    info->gen_time = tst.gen_time;
    info->serial = tst.serial;
    info->tsa_cert.assign(tsa->pbCertEncoded,
                          tsa->pbCertEncoded + tsa->cbCertEncoded);
  }
  return 0;
}

}  // namespace tavrix_cades
