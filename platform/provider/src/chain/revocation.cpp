#include "chain/revocation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "base/provider_home.h"
#include "chain/candidates.h"
#include "chain/crl.h"
#include "chain/fetch.h"
#include "chain/ocsp_oids.h"
#include "chain/sig_verify.h"
#include "text/text.h"

namespace tavrix::provider::chain {

namespace {

// Clocks of servers and clients differ a little.
constexpr int64_t kClockSkew = 300;
const char kOidSha1[] = szOID_OIWSEC_sha1;

bool NoTimeLeft(const RevocationOptions& o) {
  return o.has_deadline && std::chrono::steady_clock::now() >= o.deadline;
}

unsigned TimeoutFor(const RevocationOptions& o) {
  if (!o.has_deadline) return o.timeout_ms;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  o.deadline - std::chrono::steady_clock::now())
                  .count();
  if (left <= 0) return 1;
  return static_cast<unsigned>(
      std::min<long long>(left, static_cast<long long>(o.timeout_ms)));
}

// ------------------------------------------------------------------- CRLs

bool ReadSmallFile(const std::string& path, Bytes* out) {
  return tavrix::provider::ReadRegularFile(path, kMaxFetchBytes, out) &&
         !out->empty();
}

// Written to a temporary name and renamed, so a reader never sees half a CRL.
void WriteCache(const std::string& path, const Bytes& data) {
  if (!tavrix::provider::EnsureDirectory(CrlCacheDir(), 0700)) return;
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  int fd = tavrix::provider::CreateFreshFile(tmp, 0600);
  if (fd < 0) return;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t w = write(fd, data.data() + done, data.size() - done);
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  bool ok = done == data.size() && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) unlink(tmp.c_str());
}

enum class CrlCheck { kUsable, kStale, kBad };

// A CRL is used only when its issuer and signature are the certificate
// issuer's and it is current.
CrlCheck JudgeCrl(const CrlData& d, const x509::Certificate& cert,
                  const x509::Certificate& issuer, int64_t now) {
  if (d.issuer != cert.issuer || d.unsupported_critical) return CrlCheck::kBad;
  if (issuer.has_key_usage &&
      !x509::KeyUsageHas(issuer, x509::kKeyUsageCrlSign))
    return CrlCheck::kBad;
  if (!CheckGostSignature(d.signed_parts.tbs.start, d.signed_parts.tbs.total(),
                          d.signed_parts.sig_alg, d.signed_parts.signature,
                          issuer.PublicKeyInfo()))
    return CrlCheck::kBad;
  if (d.this_update > now + kClockSkew) return CrlCheck::kStale;
  if (d.has_next_update) {
    if (d.next_update < now) return CrlCheck::kStale;
  } else if (d.this_update + kMaxUndatedCrlAge < now) {
    return CrlCheck::kStale;
  }
  return CrlCheck::kUsable;
}

void Decide(CrlHandle crl, const CrlData& d, const x509::Certificate& cert,
            RevocationOutcome* out) {
  out->crl = std::move(crl);
  out->status = RevStatus::kGood;
  out->result = 0;
  out->offline = false;
  for (size_t i = 0; i < d.serials.size(); ++i) {
    if (d.serials[i] == cert.serial) {
      out->status = RevStatus::kRevoked;
      out->result = CRYPT_E_REVOKED;
      out->crl_entry = i;
      return;
    }
  }
}

// True when one distribution point decided the status.
bool CheckCrlUrl(const std::string& url, const x509::Certificate& cert,
                 const x509::Certificate& issuer, int64_t now,
                 const RevocationOptions& opts, RevocationOutcome* out) {
  const std::string path = CrlCachePath(url);
  Bytes data;
  if (ReadSmallFile(path, &data)) {
    CrlHandle crl(CreateCrlContext(data.data(), data.size()));
    std::shared_ptr<const CrlData> d = CrlDataOf(crl.get());
    // Reused only while it promises to be current.
    if (d && d->has_next_update &&
        JudgeCrl(*d, cert, issuer, now) == CrlCheck::kUsable) {
      Decide(std::move(crl), *d, cert, out);
      return true;
    }
  }
  if (opts.cache_only || NoTimeLeft(opts)) {
    out->offline = true;
    return false;
  }
  FetchResult fr = HttpFetch(url, nullptr, nullptr, TimeoutFor(opts), &data);
  if (fr != FetchResult::kOk) {
    out->offline = true;
    return false;
  }
  // Distribution points may serve PEM as well as DER.
  static const char kPem[] = "-----BEGIN X509 CRL-----";
  std::string text(data.begin(), data.end());
  size_t at = text.find(kPem);
  if (at != std::string::npos) {
    size_t end = text.find("-----END X509 CRL-----", at);
    if (end == std::string::npos) {
      out->offline = true;
      return false;
    }
    std::string b64 =
        text.substr(at + sizeof kPem - 1, end - at - (sizeof kPem - 1));
    Bytes der;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : b64) {
      int v;
      if (c >= 'A' && c <= 'Z')
        v = c - 'A';
      else if (c >= 'a' && c <= 'z')
        v = c - 'a' + 26;
      else if (c >= '0' && c <= '9')
        v = c - '0' + 52;
      else if (c == '+')
        v = 62;
      else if (c == '/')
        v = 63;
      else
        continue;
      acc = (acc << 6) | static_cast<uint32_t>(v);
      bits += 6;
      if (bits >= 8) {
        bits -= 8;
        der.push_back(static_cast<uint8_t>((acc >> bits) & 0xFF));
      }
    }
    data.swap(der);
  }
  CrlHandle crl(CreateCrlContext(data.data(), data.size()));
  std::shared_ptr<const CrlData> d = CrlDataOf(crl.get());
  if (!d || JudgeCrl(*d, cert, issuer, now) != CrlCheck::kUsable) {
    out->offline = true;
    return false;
  }
  WriteCache(path, data);
  Decide(std::move(crl), *d, cert, out);
  return true;
}

// ------------------------------------------------------------------- OCSP

Bytes CertIdFor(const x509::Certificate& cert,
                const x509::Certificate& issuer) {
  Bytes alg, oid, id;
  der::OidFromString(kOidSha1, &oid);
  der::AppendTlv(&alg, der::kTagOid, oid);
  der::AppendTlv(&alg, der::kTagNull, nullptr, 0);
  der::AppendTlv(&id, der::kTagSequence, alg);
  der::AppendTlv(&id, der::kTagOctetString, x509::Sha1(cert.issuer));
  der::AppendTlv(&id, der::kTagOctetString, x509::Sha1(issuer.key_bits));
  der::AppendTlv(&id, der::kTagInteger, cert.serial);
  return der::Wrap(der::kTagSequence, id);
}

bool SameCertId(const Tlv& got, const x509::Certificate& cert,
                const x509::Certificate& issuer) {
  DefiniteReader r(got);
  Tlv alg, name_hash, key_hash, serial, oid;
  if (!r.Expect(der::kTagSequence, &alg) ||
      !r.Expect(der::kTagOctetString, &name_hash) ||
      !r.Expect(der::kTagOctetString, &key_hash) ||
      !r.Expect(der::kTagInteger, &serial))
    return false;
  DefiniteReader ar(alg);
  if (!ar.Expect(der::kTagOid, &oid) ||
      der::OidToString(oid.value, oid.len) != kOidSha1)
    return false;
  return name_hash.ValueBytes() == x509::Sha1(cert.issuer) &&
         key_hash.ValueBytes() == x509::Sha1(issuer.key_bits) &&
         serial.ValueBytes() == cert.serial;
}

bool HasEku(const x509::Certificate& c, const char* oid) {
  for (const std::string& e : c.eku)
    if (e == oid) return true;
  return false;
}

enum class OcspAnswer { kGood, kRevoked, kUnknown, kUnusable };

OcspAnswer ReadOcspResponse(const Bytes& resp, const x509::Certificate& cert,
                            const x509::Certificate& issuer, const Bytes& nonce,
                            int64_t now) {
  DefiniteReader top(resp.data(), resp.size());
  Tlv outer, status, rb_wrap;
  if (!top.Expect(der::kTagSequence, &outer) || !top.AtEnd())
    return OcspAnswer::kUnusable;
  DefiniteReader r(outer);
  if (!r.Expect(der::kTagEnumerated, &status) || status.len != 1 ||
      status.value[0] != 0)  // successful
    return OcspAnswer::kUnusable;
  if (!r.Expect(der::Context(0, true), &rb_wrap)) return OcspAnswer::kUnusable;
  DefiniteReader wr(rb_wrap);
  Tlv rb, type, octets;
  if (!wr.Expect(der::kTagSequence, &rb)) return OcspAnswer::kUnusable;
  DefiniteReader rbr(rb);
  if (!rbr.Expect(der::kTagOid, &type) ||
      der::OidToString(type.value, type.len) != kOidOcspBasic ||
      !rbr.Expect(der::kTagOctetString, &octets))
    return OcspAnswer::kUnusable;

  DefiniteReader br0(octets);
  Tlv basic;
  if (!br0.Expect(der::kTagSequence, &basic)) return OcspAnswer::kUnusable;
  DefiniteReader br(basic);
  Tlv tbs, alg, sig, certs_wrap, alg_oid;
  bool present;
  if (!br.Expect(der::kTagSequence, &tbs) ||
      !br.Expect(der::kTagSequence, &alg) ||
      !br.Expect(der::kTagBitString, &sig) ||
      !br.Optional(der::Context(0, true), &certs_wrap, &present))
    return OcspAnswer::kUnusable;
  DefiniteReader algr(alg);
  if (!algr.Expect(der::kTagOid, &alg_oid)) return OcspAnswer::kUnusable;
  std::string sig_alg = der::OidToString(alg_oid.value, alg_oid.len);
  const uint8_t* sp;
  size_t sn;
  unsigned unused;
  if (!der::BitStringBytes(sig, &sp, &sn, &unused) || unused)
    return OcspAnswer::kUnusable;
  Bytes signature(sp, sp + sn);

  // The issuer signs its own answers; a delegated responder must be
  // certified by the issuer for OCSP signing.
  bool signed_ok = CheckGostSignature(tbs.start, tbs.total(), sig_alg,
                                      signature, issuer.PublicKeyInfo());
  if (!signed_ok && present) {
    DefiniteReader cw(certs_wrap);
    Tlv list, one;
    if (cw.Expect(der::kTagSequence, &list)) {
      DefiniteReader lr(list);
      while (!signed_ok && lr.Expect(der::kTagSequence, &one)) {
        x509::Certificate responder;
        if (!ParseForChain(one.start, one.total(), &responder)) continue;
        if (responder.issuer != issuer.subject ||
            !HasEku(responder, szOID_PKIX_KP_OCSP_SIGNING) ||
            responder.not_before > now + kClockSkew ||
            responder.not_after < now)
          continue;
        const x509::SignedParts& rp = responder.signed_parts;
        if (!CheckGostSignature(rp.tbs.start, rp.tbs.total(), rp.sig_alg,
                                rp.signature, issuer.PublicKeyInfo()))
          continue;
        signed_ok = CheckGostSignature(tbs.start, tbs.total(), sig_alg,
                                       signature, responder.PublicKeyInfo());
      }
    }
  }
  if (!signed_ok) return OcspAnswer::kUnusable;

  DefiniteReader tr(tbs);
  Tlv t, responses, ext_wrap;
  int64_t produced;
  if (!tr.Optional(der::Context(0, true), &t, &present))  // version
    return OcspAnswer::kUnusable;
  if (!tr.Next(&t)) return OcspAnswer::kUnusable;  // responderID
  if (!tr.Expect(der::kTagGeneralizedTime, &t) ||
      !der::ParseTime(t, &produced) || produced > now + kClockSkew)
    return OcspAnswer::kUnusable;
  if (!tr.Expect(der::kTagSequence, &responses)) return OcspAnswer::kUnusable;
  if (!tr.Optional(der::Context(1, true), &ext_wrap, &present))
    return OcspAnswer::kUnusable;
  if (present) {
    // A nonce, when echoed, must be ours.
    DefiniteReader ew(ext_wrap);
    Tlv exts, ext, oid, val;
    if (!ew.Expect(der::kTagSequence, &exts)) return OcspAnswer::kUnusable;
    DefiniteReader er(exts);
    while (er.Expect(der::kTagSequence, &ext)) {
      DefiniteReader xr(ext);
      if (!xr.Expect(der::kTagOid, &oid)) return OcspAnswer::kUnusable;
      if (der::OidToString(oid.value, oid.len) != kOidOcspNonce) continue;
      Tlv crit;
      bool cp;
      if (!xr.Optional(der::kTagBoolean, &crit, &cp))
        return OcspAnswer::kUnusable;
      if (!xr.Expect(der::kTagOctetString, &val)) return OcspAnswer::kUnusable;
      Bytes echoed = val.ValueBytes();
      if (!nonce.empty() && echoed != der::Wrap(der::kTagOctetString, nonce) &&
          echoed != nonce)
        return OcspAnswer::kUnusable;
    }
  }

  DefiniteReader rr(responses);
  Tlv single;
  while (rr.Expect(der::kTagSequence, &single)) {
    DefiniteReader sr(single);
    Tlv id, cs, this_upd, next_wrap;
    if (!sr.Expect(der::kTagSequence, &id) || !sr.Next(&cs) ||
        !sr.Expect(der::kTagGeneralizedTime, &this_upd))
      return OcspAnswer::kUnusable;
    if (!SameCertId(id, cert, issuer)) continue;
    int64_t tu, nu;
    if (!der::ParseTime(this_upd, &tu) || tu > now + kClockSkew)
      return OcspAnswer::kUnusable;
    if (!sr.Optional(der::Context(0, true), &next_wrap, &present))
      return OcspAnswer::kUnusable;
    if (present) {
      DefiniteReader nr(next_wrap);
      Tlv nt;
      if (!nr.Next(&nt) || !der::ParseTime(nt, &nu) || nu < tu ||
          nu + kClockSkew < now)
        return OcspAnswer::kUnusable;
    } else if (tu + kMaxUndatedOcspAge < now ||
               produced + kMaxUndatedOcspAge < now) {
      return OcspAnswer::kUnusable;
    }
    if (cs.tag == der::Context(0, false)) return OcspAnswer::kGood;
    if (cs.tag == der::Context(1, true)) return OcspAnswer::kRevoked;
    return OcspAnswer::kUnknown;
  }
  return OcspAnswer::kUnusable;
}

}  // namespace

std::string CrlCacheDir() {
  std::string home = tavrix::provider::ProviderHome();
  return home.empty() ? home : home + "/crl-cache";
}

std::string CrlCachePath(const std::string& url) {
  std::string dir = CrlCacheDir();
  if (dir.empty()) return dir;
  Bytes digest =
      x509::Sha1(reinterpret_cast<const uint8_t*>(url.data()), url.size());
  return dir + "/" + text::HexLower(digest.data(), digest.size()) + ".crl";
}

RevStatus JudgeOcspResponse(const Bytes& resp, const x509::Certificate& cert,
                            const x509::Certificate& issuer, const Bytes& nonce,
                            int64_t now) {
  switch (ReadOcspResponse(resp, cert, issuer, nonce, now)) {
    case OcspAnswer::kGood:
      return RevStatus::kGood;
    case OcspAnswer::kRevoked:
      return RevStatus::kRevoked;
    default:
      return RevStatus::kUnknown;
  }
}

Bytes BuildOcspRequest(const x509::Certificate& cert,
                       const x509::Certificate& issuer, const Bytes& nonce) {
  Bytes request = der::Wrap(der::kTagSequence, CertIdFor(cert, issuer));
  Bytes tbs;
  der::AppendTlv(&tbs, der::kTagSequence, request);  // requestList
  if (!nonce.empty()) {
    Bytes oid, ext;
    der::OidFromString(kOidOcspNonce, &oid);
    der::AppendTlv(&ext, der::kTagOid, oid);
    der::AppendTlv(&ext, der::kTagOctetString,
                   der::Wrap(der::kTagOctetString, nonce));
    Bytes exts =
        der::Wrap(der::kTagSequence, der::Wrap(der::kTagSequence, ext));
    der::AppendTlv(&tbs, der::Context(2, true), exts);
  }
  return der::Wrap(der::kTagSequence, der::Wrap(der::kTagSequence, tbs));
}

RevocationOutcome CheckRevocation(const x509::Certificate& cert,
                                  const x509::Certificate& issuer, int64_t now,
                                  const RevocationOptions& opts) {
  RevocationOutcome out;
  bool offline = false;
  if (!opts.cache_only) {
    for (const std::string& url : cert.ocsp_urls) {
      if (NoTimeLeft(opts)) {
        offline = true;
        break;
      }
      Bytes nonce(16);
      std::random_device rd;
      for (uint8_t& b : nonce) b = static_cast<uint8_t>(rd());
      Bytes req = BuildOcspRequest(cert, issuer, nonce);
      Bytes resp;
      if (HttpFetch(url, &req, "application/ocsp-request", TimeoutFor(opts),
                    &resp) != FetchResult::kOk) {
        offline = true;
        continue;
      }
      OcspAnswer a = ReadOcspResponse(resp, cert, issuer, nonce, now);
      if (a == OcspAnswer::kGood || a == OcspAnswer::kRevoked) {
        out.status =
            a == OcspAnswer::kGood ? RevStatus::kGood : RevStatus::kRevoked;
        out.result = a == OcspAnswer::kGood ? 0 : CRYPT_E_REVOKED;
        out.offline = false;
        out.ocsp_response = std::move(resp);
        return out;
      }
      // An "unknown" answer or an unusable one: try the other sources.
      offline = true;
    }
  }
  for (const std::string& url : cert.crl_urls) {
    RevocationOutcome one;
    if (CheckCrlUrl(url, cert, issuer, now, opts, &one)) return one;
    offline = offline || one.offline;
  }
  out.status = RevStatus::kUnknown;
  out.offline = offline;
  out.result =
      offline ? CRYPT_E_REVOCATION_OFFLINE : CRYPT_E_NO_REVOCATION_CHECK;
  return out;
}

}  // namespace tavrix::provider::chain
