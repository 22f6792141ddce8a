#include "ltv_check.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tavrix_ltv {

namespace der = ::tavrix_der;
using der::DerReader;
using der::Tlv;

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const char kOidTstInfo[] = "1.2.840.113549.1.9.16.1.4";
const char kOidTimeStamping[] = "1.3.6.1.5.5.7.3.8";
// Bits that say nothing about a past moment: revocation is judged from the
// carried values, no usage is asked for, and nesting is no trust fault.
constexpr DWORD kIgnoredTrustBits =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION |
    CERT_TRUST_IS_NOT_TIME_NESTED | CERT_TRUST_IS_NOT_VALID_FOR_USAGE;

struct CertCtx {
  PCCERT_CONTEXT c = nullptr;
  explicit CertCtx(const Bytes& b)
      : c(b.empty() || b.size() > 0xFFFFFFFFu
              ? nullptr
              : CertCreateCertificateContext(X509_ASN_ENCODING, b.data(),
                                             static_cast<DWORD>(b.size()))) {}
  ~CertCtx() {
    if (c) CertFreeCertificateContext(c);
  }
  CertCtx(const CertCtx&) = delete;
  CertCtx& operator=(const CertCtx&) = delete;
};

struct MsgHandle {
  HCRYPTMSG h = nullptr;
  ~MsgHandle() {
    if (h) CryptMsgClose(h);
  }
};

bool GetParam(HCRYPTMSG h, DWORD type, DWORD index, Bytes* out) {
  DWORD n = 0;
  if (!CryptMsgGetParam(h, type, index, nullptr, &n)) return false;
  out->resize(n);
  if (n == 0) return true;
  if (!CryptMsgGetParam(h, type, index, out->data(), &n)) return false;
  out->resize(n);
  return true;
}

// The usage extension, critical and naming time stamping alone (RFC 3161
// 2.3).
bool TimeStampingOnly(PCCERT_CONTEXT c) {
  const CERT_INFO* ci = c->pCertInfo;
  for (DWORD i = 0; i < ci->cExtension; ++i) {
    const CERT_EXTENSION& e = ci->rgExtension[i];
    if (!e.pszObjId || std::strcmp(e.pszObjId, szOID_ENHANCED_KEY_USAGE) != 0)
      continue;
    if (!e.fCritical) return false;
    DerReader r(e.Value.pbData, e.Value.cbData);
    Tlv list, oid;
    if (!r.Expect(der::kTagSequence, &list) || !r.AtEnd()) return false;
    DerReader lr(list);
    int count = 0;
    bool stamping = false;
    while (!lr.AtEnd()) {
      if (!lr.Expect(der::kTagOid, &oid)) return false;
      ++count;
      stamping =
          stamping || der::OidToString(oid.value, oid.len) == kOidTimeStamping;
    }
    return stamping && count == 1;
  }
  return false;
}

}  // namespace

bool TrustedChainAt(const Bytes& end, int64_t when,
                    const std::vector<Bytes>& extra,
                    std::vector<Bytes>* chain) {
  chain->clear();
  CertCtx leaf(end);
  if (!leaf.c) return false;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
  if (!store) return false;
  for (const Bytes& b : extra)
    if (!b.empty() && b.size() <= 0xFFFFFFFFu)
      CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, b.data(),
                                       static_cast<DWORD>(b.size()),
                                       CERT_STORE_ADD_USE_EXISTING, nullptr);
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  FILETIME ft = der::UnixToFileTime(when);
  PCCERT_CHAIN_CONTEXT ctx = nullptr;
  bool ok = CertGetCertificateChain(nullptr, leaf.c, &ft, store, &para, 0,
                                    nullptr, &ctx) &&
            ctx && ctx->cChain == 1;
  if (ok) {
    const CERT_SIMPLE_CHAIN* s = ctx->rgpChain[0];
    ok = (s->TrustStatus.dwErrorStatus & ~kIgnoredTrustBits) == 0 &&
         s->cElement > 0;
    for (DWORD i = 0; ok && i < s->cElement; ++i) {
      PCCERT_CONTEXT c = s->rgpElement[i]->pCertContext;
      chain->emplace_back(c->pbCertEncoded,
                          c->pbCertEncoded + c->cbCertEncoded);
    }
  }
  if (ctx) CertFreeCertificateChain(ctx);
  CertCloseStore(store, 0);
  if (!ok) chain->clear();
  return ok;
}

TokenCheck CheckToken(const Bytes& token, const Bytes& data,
                      const std::vector<Bytes>& extra) {
  TokenCheck out;
  if (token.empty() || token.size() > 0xFFFFFFFFu) return out;
  MsgHandle m;
  m.h = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
  if (!m.h || !CryptMsgUpdate(m.h, token.data(),
                              static_cast<DWORD>(token.size()), TRUE))
    return out;
  Bytes type, tst, count_b;
  if (!GetParam(m.h, CMSG_INNER_CONTENT_TYPE_PARAM, 0, &type) ||
      std::string(type.begin(), std::find(type.begin(), type.end(), 0)) !=
          kOidTstInfo ||
      !GetParam(m.h, CMSG_CONTENT_PARAM, 0, &tst) ||
      !GetParam(m.h, CMSG_SIGNER_COUNT_PARAM, 0, &count_b) ||
      count_b.size() != sizeof(DWORD))
    return out;
  DWORD signers;
  std::memcpy(&signers, count_b.data(), sizeof signers);
  if (signers != 1) return out;

  // TSTInfo: version, policy, messageImprint, serialNumber, genTime, ...
  DerReader top(tst.data(), tst.size());
  Tlv info, version, policy, imprint, serial, gen;
  if (!top.Expect(der::kTagSequence, &info) || !top.AtEnd()) return out;
  DerReader ir(info);
  if (!ir.Expect(der::kTagInteger, &version) ||
      !ir.Expect(der::kTagOid, &policy) ||
      !ir.Expect(der::kTagSequence, &imprint) ||
      !ir.Expect(der::kTagInteger, &serial) ||
      !ir.Expect(der::kTagGeneralizedTime, &gen) ||
      !der::ParseTime(gen, &out.gen_time, der::TimeForm::kAny))
    return out;
  DerReader mr(imprint);
  Tlv alg, hashed, oid;
  if (!mr.Expect(der::kTagSequence, &alg) ||
      !mr.Expect(der::kTagOctetString, &hashed) || !mr.AtEnd())
    return out;
  DerReader ar(alg);
  if (!ar.Expect(der::kTagOid, &oid)) return out;
  Bytes want;
  if (!HashByOid(der::OidToString(oid.value, oid.len), data.data(), data.size(),
                 &want) ||
      hashed.ValueBytes() != want)
    return out;

  Bytes count_c;
  DWORD ncerts = 0;
  if (GetParam(m.h, CMSG_CERT_COUNT_PARAM, 0, &count_c) &&
      count_c.size() == sizeof(DWORD))
    std::memcpy(&ncerts, count_c.data(), sizeof ncerts);
  for (DWORD i = 0; i < ncerts && i < 1000; ++i) {
    Bytes c;
    if (GetParam(m.h, CMSG_CERT_PARAM, i, &c)) out.certs.push_back(c);
  }
  std::vector<Bytes> pool = out.certs;
  pool.insert(pool.end(), extra.begin(), extra.end());
  for (const Bytes& cand : pool) {
    CertCtx c(cand);
    if (!c.c) continue;
    SetLastError(0);
    if (!CryptMsgControl(m.h, 0, CMSG_CTRL_VERIFY_SIGNATURE, c.c->pCertInfo)) {
      if (GetLastError() == CRYPT_E_SIGNER_NOT_FOUND) continue;
      return out;  // the signer's certificate, and a wrong signature
    }
    if (!TimeStampingOnly(c.c)) return out;
    std::vector<Bytes> chain;
    if (!TrustedChainAt(cand, out.gen_time, pool, &chain)) return out;
    out.tsa_cert = cand;
    out.ok = true;
    return out;
  }
  return out;
}

}  // namespace tavrix_ltv
