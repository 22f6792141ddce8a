#include "chain/crl.h"

#include <algorithm>
#include <deque>
#include <memory>

#include "base/c_boundary.h"
#include "base/handles.h"

namespace tavrix::provider::chain {

namespace {

struct CrlHolder {
  CRL_CONTEXT ctx{};
  CRL_INFO info{};
  Bytes encoded;
  CrlData data;
  std::deque<std::string> oids;  // stable addresses for pszObjId
  Bytes sig_params;
  std::vector<Bytes> serials_le;
  std::vector<CRL_ENTRY> entries;
  std::deque<std::vector<CERT_EXTENSION>> entry_exts;
  std::vector<CERT_EXTENSION> exts;
};

// Every live context is registered, so that a stray or already freed pointer
// handed back to us is refused instead of crashing.
HandleTable<CrlHolder, PCCRL_CONTEXT>& Crls() {
  return LiveHandles<CrlHolder, PCCRL_CONTEXT>();
}

bool ReadExtensions(const Tlv& seq, CrlHolder* h,
                    std::vector<CERT_EXTENSION>* out, bool* unsupported) {
  DefiniteReader r(seq);
  Tlv ext;
  while (!r.AtEnd()) {
    if (!r.Expect(der::kTagSequence, &ext)) return false;
    DefiniteReader xr(ext);
    Tlv oid, crit, val;
    bool present;
    if (!xr.Expect(der::kTagOid, &oid)) return false;
    std::string s = der::OidToString(oid.value, oid.len);
    if (s.empty()) return false;
    CERT_EXTENSION e{};
    if (!xr.Optional(der::kTagBoolean, &crit, &present)) return false;
    if (present) e.fCritical = crit.len == 1 && crit.value[0] != 0;
    if (!xr.Expect(der::kTagOctetString, &val) || !xr.AtEnd()) return false;
    h->oids.push_back(s);
    e.pszObjId = const_cast<char*>(h->oids.back().c_str());
    e.Value.cbData = static_cast<DWORD>(val.len);
    e.Value.pbData = const_cast<BYTE*>(val.value);
    out->push_back(e);
    if (unsupported && e.fCritical && s != szOID_CRL_NUMBER &&
        s != szOID_AUTHORITY_KEY_IDENTIFIER2 && s != szOID_CRL_REASON_CODE)
      *unsupported = true;
    if (s == szOID_AUTHORITY_KEY_IDENTIFIER2) {
      DefiniteReader ar(val);
      Tlv aseq, kid;
      bool p2;
      if (ar.Expect(der::kTagSequence, &aseq)) {
        DefiniteReader kr(aseq);
        if (kr.Optional(der::Context(0, false), &kid, &p2) && p2)
          h->data.authority_key_id = kid.ValueBytes();
      }
    }
  }
  return true;
}

bool Parse(CrlHolder* h) {
  CrlData& d = h->data;
  const uint8_t* base = h->encoded.data();
  if (!x509::ParseSigned(base, h->encoded.size(), &d.signed_parts))
    return false;
  DefiniteReader r(d.signed_parts.tbs);
  Tlv t;
  bool present;
  if (!r.Optional(der::kTagInteger, &t, &present)) return false;
  if (present) {
    uint64_t v;
    if (!der::ParseSmallUint(t, &v) || v > 1) return false;
    h->info.dwVersion = static_cast<DWORD>(v);
  }
  Tlv alg;
  if (!r.Expect(der::kTagSequence, &alg)) return false;
  {
    DefiniteReader ar(alg);
    Tlv oid, params;
    if (!ar.Expect(der::kTagOid, &oid)) return false;
    std::string s = der::OidToString(oid.value, oid.len);
    if (s.empty()) return false;
    h->oids.push_back(s);
    h->info.SignatureAlgorithm.pszObjId =
        const_cast<char*>(h->oids.back().c_str());
    if (ar.Next(&params)) {
      h->info.SignatureAlgorithm.Parameters.cbData =
          static_cast<DWORD>(params.total());
      h->info.SignatureAlgorithm.Parameters.pbData =
          const_cast<BYTE*>(params.start);
    }
  }
  if (!r.Expect(der::kTagSequence, &t)) return false;
  d.issuer = t.WholeBytes();
  h->info.Issuer.cbData = static_cast<DWORD>(t.total());
  h->info.Issuer.pbData = const_cast<BYTE*>(t.start);
  if (!r.Next(&t) || !der::ParseTime(t, &d.this_update)) return false;
  h->info.ThisUpdate = der::UnixToFileTime(d.this_update);
  uint8_t next_tag;
  if (r.PeekTag(&next_tag) &&
      (next_tag == der::kTagUtcTime || next_tag == der::kTagGeneralizedTime)) {
    if (!r.Next(&t) || !der::ParseTime(t, &d.next_update)) return false;
    d.has_next_update = true;
    h->info.NextUpdate = der::UnixToFileTime(d.next_update);
  }
  Tlv revoked;
  if (!r.Optional(der::kTagSequence, &revoked, &present)) return false;
  if (present) {
    DefiniteReader er(revoked);
    Tlv entry;
    while (!er.AtEnd()) {
      if (!er.Expect(der::kTagSequence, &entry)) return false;
      DefiniteReader fr(entry);
      Tlv serial, when, exts;
      int64_t secs;
      if (!fr.Expect(der::kTagInteger, &serial) || serial.len == 0 ||
          serial.len > 64)
        return false;
      if (!fr.Next(&when) || !der::ParseTime(when, &secs)) return false;
      h->entry_exts.emplace_back();
      if (!fr.Optional(der::kTagSequence, &exts, &present)) return false;
      if (present && !ReadExtensions(exts, h, &h->entry_exts.back(), nullptr))
        return false;
      if (!fr.AtEnd()) return false;
      d.serials.push_back(serial.ValueBytes());
      h->serials_le.emplace_back(serial.value + 0, serial.value + serial.len);
      std::reverse(h->serials_le.back().begin(), h->serials_le.back().end());
      CRL_ENTRY ce{};
      ce.RevocationDate = der::UnixToFileTime(secs);
      h->entries.push_back(ce);
    }
  }
  Tlv ext_wrap;
  if (!r.Optional(der::Context(0, true), &ext_wrap, &present)) return false;
  if (present) {
    DefiniteReader w(ext_wrap);
    Tlv seq;
    if (!w.Expect(der::kTagSequence, &seq) || !w.AtEnd()) return false;
    if (!ReadExtensions(seq, h, &h->exts, &d.unsupported_critical))
      return false;
  }
  if (!r.AtEnd()) return false;
  // Vectors are complete: now the pointers into them are stable.
  for (size_t i = 0; i < h->entries.size(); ++i) {
    CRL_ENTRY& ce = h->entries[i];
    ce.SerialNumber.cbData = static_cast<DWORD>(h->serials_le[i].size());
    ce.SerialNumber.pbData = h->serials_le[i].data();
    ce.cExtension = static_cast<DWORD>(h->entry_exts[i].size());
    ce.rgExtension =
        h->entry_exts[i].empty() ? nullptr : h->entry_exts[i].data();
  }
  h->info.cCRLEntry = static_cast<DWORD>(h->entries.size());
  h->info.rgCRLEntry = h->entries.empty() ? nullptr : h->entries.data();
  h->info.cExtension = static_cast<DWORD>(h->exts.size());
  h->info.rgExtension = h->exts.empty() ? nullptr : h->exts.data();
  return true;
}

}  // namespace

PCCRL_CONTEXT CreateCrlContext(const uint8_t* p, size_t n) {
  if (!p || n == 0) return FailWith(ERROR_INVALID_PARAMETER, PCCRL_CONTEXT{});
  auto h = std::make_shared<CrlHolder>();
  h->encoded.assign(p, p + n);
  if (!Parse(h.get())) return FailWith(CRYPT_E_ASN1_BADTAG, PCCRL_CONTEXT{});
  h->ctx.dwCertEncodingType = X509_ASN_ENCODING;
  h->ctx.pbCrlEncoded = h->encoded.data();
  h->ctx.cbCrlEncoded = static_cast<DWORD>(h->encoded.size());
  h->ctx.pCrlInfo = &h->info;
  h->ctx.hCertStore = nullptr;
  const CRL_CONTEXT* ctx = &h->ctx;
  return Crls().Add(std::move(h), ctx);
}

std::shared_ptr<const CrlData> CrlDataOf(PCCRL_CONTEXT ctx) {
  std::shared_ptr<CrlHolder> h = Crls().Get(ctx);
  if (!h) return nullptr;
  return std::shared_ptr<const CrlData>(h, &h->data);
}

}  // namespace tavrix::provider::chain

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::chain;

extern "C" CAPI_EXPORT PCCRL_CONTEXT WINAPI
CertCreateCRLContext(DWORD dwCertEncodingType, const BYTE* pbCrlEncoded,
                     DWORD cbCrlEncoded) try {
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING)
    return FailWith(E_INVALIDARG, PCCRL_CONTEXT{});
  return CreateCrlContext(pbCrlEncoded, cbCrlEncoded);
}
CAPI_GUARD(nullptr)

extern "C" CAPI_EXPORT PCCRL_CONTEXT WINAPI
CertDuplicateCRLContext(PCCRL_CONTEXT pCrlContext) try {
  if (!pCrlContext) return nullptr;
  if (!Crls().Retain(pCrlContext))
    return FailWith(E_INVALIDARG, PCCRL_CONTEXT{});
  return pCrlContext;
}
CAPI_GUARD(nullptr)

extern "C" CAPI_EXPORT BOOL WINAPI
CertFreeCRLContext(PCCRL_CONTEXT pCrlContext) try {
  // Freeing nothing succeeds, as CryptoAPI documents.
  if (!pCrlContext) return TRUE;
  // The last reference goes with `dead`, outside the table's lock.
  std::shared_ptr<CrlHolder> dead = Crls().Release(pCrlContext);
  if (!dead) return Fail(E_INVALIDARG);
  return TRUE;
}
CAPI_GUARD(FALSE)
