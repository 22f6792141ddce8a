// CryptMsg* for signed messages: encoding (whole or streamed), decoding
// (whole or streamed, detached content afterwards), parameters and controls.
//
// Decoding runs as one incremental machine whatever the caller gives: the
// part before the content is parsed again from the start as bytes arrive
// (it is small), the content is passed on (to the hashes, the stream
// callback, and kept only when the message is not streamed) as it arrives,
// and each element after it is taken once it is complete. So memory stays
// bounded by the certificates and signer infos, never by the content.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/c_boundary.h"
#include "capi/capi.h"
#include "der/der.h"
#include "msg/algs.h"
#include "msg/cms.h"

namespace tavrix::provider::msg {
namespace {

using der::BerReader;
using der::Header;
using der::Status;
using der::Tlv;

// The part before the content and each element after it are held whole;
// anything larger than this is not a message we accept.
constexpr size_t kMaxHeldBytes = 64u << 20;
constexpr int kMaxContentNesting = 16;

struct HashSlot {
  ALG_ID alg = 0;
  HCRYPTPROV prov = 0;  // acquired here, released with the slot
  HCRYPTHASH hash = 0;
  DWORD create_error = 0;
  bool done = false;
  Bytes value;
};

struct EncSigner {
  HCRYPTPROV prov = 0;
  DWORD key_spec = 0;
  ALG_ID alg = 0;
  HCRYPTHASH hash = 0;
  bool want_attrs = false;
  std::vector<Attr> extra_attrs;  // the caller's signed attributes
  SignerRec rec;                  // identifiers and algorithms filled at open
};

struct Level {
  bool indefinite;
  uint64_t end;  // absolute offset just past the element, when definite
};

enum class Phase { kPrefix, kContent, kSuffix, kDone, kDetachedContent };

struct Msg {
  std::recursive_mutex mu;
  int refs = 1;  // handles: the opener's and each duplicate's
  int busy = 0;  // calls under way; the message outlives them all
  bool encoding = false;
  DWORD flags = 0;
  bool streaming = false;
  CMSG_STREAM_INFO stream{};
  bool finished = false;  // the final update has been seen
  bool detached = false;

  // The message as a model; both directions fill it.
  bool model_ready = false;
  uint32_t version = 1;
  std::vector<AlgId> digest_algs;
  std::string content_type = kOidData;
  bool has_content = false;  // eContent present
  bool content_kept = false;
  Bytes content;
  std::vector<Bytes> certs;
  std::vector<Bytes> crls;
  std::vector<SignerRec> signers;

  // Decoding.
  std::vector<HashSlot> slots;
  HCRYPTPROV user_prov = 0;
  Phase phase = Phase::kPrefix;
  Bytes buf;
  size_t pos = 0;     // next unread byte in buf
  uint64_t base = 0;  // absolute offset of buf[0]
  size_t need = 0;    // bytes of buf needed before parsing again
  std::vector<Level> levels;
  size_t content_levels = 0;  // levels belonging to a constructed content
  bool in_chunk = false;
  uint64_t chunk_left = 0;
  bool primitive_content = false;
  bool seen_signer_infos = false;

  // Encoding.
  std::vector<EncSigner> enc;
  bool definite = true;
  uint64_t expected = 0;
  uint64_t seen = 0;
  bool header_sent = false;
  size_t predicted_tail = 0;
  Bytes encoded;  // the ContentInfo, once complete (not when streamed)
};

std::mutex g_handles_mu;
std::set<Msg*>& Handles() {
  static std::set<Msg*> s;
  return s;
}

void Register(Msg* m) {
  std::lock_guard<std::mutex> g(g_handles_mu);
  Handles().insert(m);
}

void DestroyMsg(Msg* m);

// A message held by one call from lookup to return. A close meanwhile (on
// another thread, or from the stream callback) only ends the handle; the
// last call out frees the message.
class MsgUse {
 public:
  explicit MsgUse(HCRYPTMSG h) {
    std::lock_guard<std::mutex> g(g_handles_mu);
    Msg* m = static_cast<Msg*>(h);
    if (!Handles().count(m)) return;
    ++m->busy;
    m_ = m;
  }
  ~MsgUse() {
    if (!m_) return;
    bool last;
    {
      std::lock_guard<std::mutex> g(g_handles_mu);
      last = --m_->busy == 0 && m_->refs == 0;
    }
    if (last) DestroyMsg(m_);
  }
  MsgUse(const MsgUse&) = delete;
  MsgUse& operator=(const MsgUse&) = delete;
  Msg* get() const { return m_; }

 private:
  Msg* m_ = nullptr;
};

void DestroyMsg(Msg* m) {
  for (HashSlot& s : m->slots) {
    if (s.hash) CryptDestroyHash(s.hash);
    if (s.prov) CryptReleaseContext(s.prov, 0);
  }
  for (EncSigner& e : m->enc) {
    if (e.hash) CryptDestroyHash(e.hash);
    if ((m->flags & CMSG_CRYPT_RELEASE_CONTEXT_FLAG) && e.prov)
      CryptReleaseContext(e.prov, 0);
  }
  delete m;
}

// Copies a result to the caller's buffer in the two-call convention.
BOOL Output(const void* src, size_t n, void* pv, DWORD* pcb) {
  if (!pcb) return Fail(ERROR_INVALID_PARAMETER);
  if (n > UINT32_MAX) return Fail(CRYPT_E_ASN1_LARGE);
  if (!pv) {
    *pcb = static_cast<DWORD>(n);
    return TRUE;
  }
  if (*pcb < n) {
    *pcb = static_cast<DWORD>(n);
    return Fail(ERROR_MORE_DATA);
  }
  if (n) memcpy(pv, src, n);
  *pcb = static_cast<DWORD>(n);
  return TRUE;
}

Bytes ReverseBytes(Bytes b) {
  std::reverse(b.begin(), b.end());
  return b;
}

// ------------------------------------------------------------- hashes
bool FinishHash(HCRYPTHASH h, Bytes* out) {
  DWORD n = 0;
  if (!CryptGetHashParam(h, HP_HASHVAL, nullptr, &n, 0)) return false;
  out->assign(n, 0);
  if (!CryptGetHashParam(h, HP_HASHVAL, out->data(), &n, 0)) return false;
  out->resize(n);
  return true;
}

bool HashContent(Msg* m, const uint8_t* p, size_t n) {
  // DWORD-sized pieces: the hash calls take a 32-bit count.
  while (n) {
    DWORD piece = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    if (m->encoding) {
      for (EncSigner& e : m->enc)
        if (!CryptHashData(e.hash, p, piece, 0)) return false;
    } else {
      for (HashSlot& s : m->slots)
        if (s.hash && !s.done && !CryptHashData(s.hash, p, piece, 0)) {
          s.create_error = GetLastError();
          CryptDestroyHash(s.hash);
          s.hash = 0;
        }
    }
    p += piece;
    n -= piece;
  }
  return true;
}

void FinishSlots(Msg* m) {
  for (HashSlot& s : m->slots) {
    if (s.done || !s.hash) continue;
    if (!FinishHash(s.hash, &s.value)) s.create_error = GetLastError();
    s.done = true;
    CryptDestroyHash(s.hash);
    s.hash = 0;
  }
}

void CreateSlots(Msg* m) {
  for (const AlgId& a : m->digest_algs) {
    ALG_ID alg = HashAlgFromOid(a.oid);
    if (!alg) continue;
    bool have = false;
    for (const HashSlot& s : m->slots) have |= s.alg == alg;
    if (have) continue;
    HashSlot s;
    s.alg = alg;
    HCRYPTPROV prov = m->user_prov;
    if (!prov) {
      if (AcquireVerifyProvider("", alg, &s.prov))
        prov = s.prov;
      else
        s.create_error = GetLastError();
    }
    if (prov && !CryptCreateHash(prov, alg, 0, 0, &s.hash)) {
      s.create_error = GetLastError();
      s.hash = 0;
    }
    m->slots.push_back(std::move(s));
  }
}

// The content's hash for one algorithm, computing it from kept content when
// no running hash had it.
bool ContentDigest(Msg* m, ALG_ID alg, Bytes* out) {
  FinishSlots(m);
  for (HashSlot& s : m->slots) {
    if (s.alg != alg) continue;
    if (s.done && s.value.size()) {
      *out = s.value;
      return true;
    }
    if (!m->content_kept)
      return Fail(s.create_error ? s.create_error : NTE_BAD_ALGID);
  }
  if (!m->content_kept && m->has_content) return Fail(CRYPT_E_UNKNOWN_ALGO);
  HCRYPTPROV prov = m->user_prov, own = 0;
  if (!prov) {
    if (!AcquireVerifyProvider("", alg, &own)) return false;
    prov = own;
  }
  HCRYPTHASH h = 0;
  bool ok = CryptCreateHash(prov, alg, 0, 0, &h) &&
            (m->content.empty() ||
             CryptHashData(h, m->content.data(),
                           static_cast<DWORD>(m->content.size()), 0)) &&
            FinishHash(h, out);
  DWORD e = ok ? 0 : GetLastError();
  if (h) CryptDestroyHash(h);
  if (own) CryptReleaseContext(own, 0);
  if (!ok) return Fail(e);
  return true;
}

// ------------------------------------------------------------ encoding
Bytes EncodeContentInfoHead(size_t sd_len, bool definite) {
  Bytes oid;
  der::EncodeOid(kOidSignedData, &oid);
  Bytes out;
  if (definite) {
    // sd_len is the whole SignedData element, the content of [0].
    der::AppendHeader(&out, der::kTagSequence,
                      oid.size() + der::HeaderSize(sd_len) + sd_len);
    der::Append(&out, oid);
    der::AppendHeader(&out, der::Context(0, true), sd_len);
  } else {
    out = {der::kTagSequence, 0x80};
    der::Append(&out, oid);
    out.push_back(der::Context(0, true));
    out.push_back(0x80);
  }
  return out;
}

Bytes DigestAlgsSet(const Msg* m) {
  std::vector<Bytes> items;
  for (const AlgId& a : m->digest_algs) items.push_back(EncodeAlgId(a));
  // Duplicates never get here: digest_algs is kept unique.
  return der::EncodeSetOf(der::kTagSet, std::move(items));
}

Bytes CertsAndCrls(const Msg* m) {
  Bytes out;
  if (!m->certs.empty()) {
    size_t len = 0;
    for (const Bytes& c : m->certs) len += c.size();
    // The certificates keep the caller's order: callers take the first one
    // as the signer's.
    der::AppendHeader(&out, der::Context(0, true), len);
    for (const Bytes& c : m->certs) der::Append(&out, c);
  }
  if (!m->crls.empty()) {
    size_t len = 0;
    for (const Bytes& c : m->crls) len += c.size();
    der::AppendHeader(&out, der::Context(1, true), len);
    for (const Bytes& c : m->crls) der::Append(&out, c);
  }
  return out;
}

Bytes SignerInfosSet(const Msg* m) {
  size_t len = 0;
  std::vector<Bytes> items;
  for (const SignerRec& s : m->signers) {
    items.push_back(EncodeSignerInfo(s));
    len += items.back().size();
  }
  // Signer order is the index callers use, so it is kept as is.
  Bytes out;
  der::AppendHeader(&out, der::kTagSet, len);
  for (const Bytes& b : items) der::Append(&out, b);
  return out;
}

Bytes EncapsulatedContentInfo(const Msg* m, bool with_content) {
  Bytes body;
  der::EncodeOid(m->content_type, &body);
  if (with_content) {
    Bytes os = der::Wrap(der::kTagOctetString, m->content);
    der::Append(&body, der::Wrap(der::Context(0, true), os));
  }
  return der::Wrap(der::kTagSequence, body);
}

Bytes EncodeSignedData(const Msg* m) {
  Bytes body = der::EncodeSmallInt(m->version);
  der::Append(&body, DigestAlgsSet(m));
  der::Append(&body, EncapsulatedContentInfo(m, m->has_content));
  der::Append(&body, CertsAndCrls(m));
  der::Append(&body, SignerInfosSet(m));
  return der::Wrap(der::kTagSequence, body);
}

Bytes EncodeContentInfo(const Msg* m) {
  Bytes sd = EncodeSignedData(m);
  Bytes out = EncodeContentInfoHead(sd.size(), true);
  der::Append(&out, sd);
  return out;
}

void AddDigestAlg(Msg* m, const AlgId& a) {
  for (const AlgId& have : m->digest_algs)
    if (have.oid == a.oid) return;
  m->digest_algs.push_back(a);
}

void UpdateVersion(Msg* m) {
  uint32_t v = 1;
  if (m->content_type != kOidData) v = 3;
  for (const SignerRec& s : m->signers)
    if (s.version == 3) v = 3;
  m->version = v;
}

std::vector<Attr> SignedAttrsFor(const Msg* m, const EncSigner& e,
                                 const Bytes& digest) {
  std::vector<Attr> attrs;
  Attr ct;
  ct.oid = kOidContentType;
  Bytes v;
  der::EncodeOid(m->content_type, &v);
  ct.values.push_back(v);
  attrs.push_back(ct);
  Attr md;
  md.oid = kOidMessageDigest;
  md.values.push_back(der::Wrap(der::kTagOctetString, digest));
  attrs.push_back(md);
  for (const Attr& a : e.extra_attrs)
    if (a.oid != kOidContentType && a.oid != kOidMessageDigest)
      attrs.push_back(a);
  return attrs;
}

// A signer info of the final size with stand-in values: streamed definite
// encodings announce their lengths before the signature exists.
Bytes PredictSignerInfo(const Msg* m, const EncSigner& e) {
  SignerRec r = e.rec;
  if (e.want_attrs) {
    r.has_signed_attrs = true;
    r.signed_attrs_set = EncodeAttributes(
        der::kTagSet, SignedAttrsFor(m, e, Bytes(HashSize(e.alg), 0)));
  }
  r.signature.assign(SignatureSizeFor(r.sig_alg.oid, e.alg), 0);
  return EncodeSignerInfo(r);
}

bool SignAll(Msg* m) {
  m->signers.clear();
  for (EncSigner& e : m->enc) {
    Bytes digest;
    if (!FinishHash(e.hash, &digest)) return false;
    bool have = false;
    for (const HashSlot& s : m->slots) have |= s.alg == e.alg;
    if (!have) {
      HashSlot s;
      s.alg = e.alg;
      s.done = true;
      s.value = digest;
      m->slots.push_back(std::move(s));
    }
    SignerRec r = e.rec;
    HCRYPTHASH to_sign = e.hash;
    HCRYPTHASH attr_hash = 0;
    if (e.want_attrs) {
      r.has_signed_attrs = true;
      r.signed_attrs_set =
          EncodeAttributes(der::kTagSet, SignedAttrsFor(m, e, digest));
      // Read back in encoded (sorted) order, as a decoder would show them.
      BerReader ar(r.signed_attrs_set.data(), r.signed_attrs_set.size());
      Tlv set;
      DWORD perr = 0;
      if (!ar.Next(&set) || !ParseAttributes(set, &r.signed_attrs, &perr))
        return Fail(perr ? perr : ar.error());
      if (!CryptCreateHash(e.prov, e.alg, 0, 0, &attr_hash)) return false;
      if (!CryptHashData(attr_hash, r.signed_attrs_set.data(),
                         static_cast<DWORD>(r.signed_attrs_set.size()), 0)) {
        DWORD err = GetLastError();
        CryptDestroyHash(attr_hash);
        return Fail(err);
      }
      to_sign = attr_hash;
    }
    DWORD n = 0;
    bool ok = CryptSignHashW(to_sign, e.key_spec, nullptr, 0, nullptr, &n);
    Bytes sig;
    if (ok) {
      sig.assign(n, 0);
      ok = CryptSignHashW(to_sign, e.key_spec, nullptr, 0, sig.data(), &n);
      sig.resize(n);
    }
    DWORD err = ok ? 0 : GetLastError();
    if (attr_hash) CryptDestroyHash(attr_hash);
    if (!ok) return Fail(err);
    // CryptoAPI returns the signature little-endian; the message carries
    // it in the order of the standard.
    r.signature = ReverseBytes(sig);
    m->signers.push_back(std::move(r));
  }
  UpdateVersion(m);
  return true;
}

BOOL Emit(Msg* m, const uint8_t* p, size_t n, bool final) {
  if (!n && !final) return TRUE;
  SetLastError(0);
  if (!m->stream.pfnStreamOutput(m->stream.pvArg, const_cast<uint8_t*>(p),
                                 static_cast<DWORD>(n), final ? TRUE : FALSE)) {
    if (!GetLastError()) SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  return TRUE;
}

BOOL EmitBytes(Msg* m, const Bytes& b, bool final) {
  return Emit(m, b.data(), b.size(), final);
}

// Everything up to the first content octet (or, detached, up to the
// certificates).
Bytes StreamHead(Msg* m) {
  Bytes version = der::EncodeSmallInt(m->version);
  Bytes algs = DigestAlgsSet(m);
  Bytes oid;
  der::EncodeOid(m->content_type, &oid);
  Bytes head;
  if (m->definite) {
    Bytes tail = CertsAndCrls(m);
    size_t tail_len = tail.size() + m->predicted_tail;
    size_t encap_body = oid.size();
    if (!m->detached) {
      size_t os = der::HeaderSize(m->expected) + m->expected;
      encap_body += der::HeaderSize(os) + os;
    }
    size_t encap = der::HeaderSize(encap_body) + encap_body;
    size_t sd_body = version.size() + algs.size() + encap + tail_len;
    head = EncodeContentInfoHead(der::HeaderSize(sd_body) + sd_body, true);
    der::AppendHeader(&head, der::kTagSequence, sd_body);
    der::Append(&head, version);
    der::Append(&head, algs);
    der::AppendHeader(&head, der::kTagSequence, encap_body);
    der::Append(&head, oid);
    if (!m->detached) {
      size_t os = der::HeaderSize(m->expected) + m->expected;
      der::AppendHeader(&head, der::Context(0, true), os);
      der::AppendHeader(&head, der::kTagOctetString, m->expected);
    }
  } else {
    head = EncodeContentInfoHead(0, false);
    head.push_back(der::kTagSequence);
    head.push_back(0x80);
    der::Append(&head, version);
    der::Append(&head, algs);
    if (m->detached) {
      der::Append(&head, der::Wrap(der::kTagSequence, oid));
    } else {
      head.push_back(der::kTagSequence);
      head.push_back(0x80);
      der::Append(&head, oid);
      head.insert(head.end(), {der::Context(0, true), 0x80,
                               der::kTagConstructedOctetString, 0x80});
    }
  }
  return head;
}

BOOL EncodeUpdate(Msg* m, const uint8_t* p, DWORD n, BOOL final) {
  if (m->finished) return Fail(CRYPT_E_MSG_ERROR);
  if (n && !p) return Fail(ERROR_INVALID_PARAMETER);
  if (m->streaming && m->definite && n > m->expected - m->seen)
    return Fail(CRYPT_E_MSG_ERROR);
  if (n && !HashContent(m, p, n)) return FALSE;
  m->seen += n;
  if (!m->streaming) {
    if (!m->detached) m->content.insert(m->content.end(), p, p + n);
  } else {
    if (!m->header_sent) {
      if (!EmitBytes(m, StreamHead(m), false)) return FALSE;
      m->header_sent = true;
    }
    if (!m->detached && n) {
      if (m->definite) {
        if (!Emit(m, p, n, false)) return FALSE;
      } else {
        Bytes h;
        der::AppendHeader(&h, der::kTagOctetString, n);
        if (!EmitBytes(m, h, false) || !Emit(m, p, n, false)) return FALSE;
      }
    }
  }
  if (!final) return TRUE;
  if (m->streaming && m->definite && m->seen != m->expected)
    return Fail(CRYPT_E_MSG_ERROR);
  m->finished = true;
  if (!SignAll(m)) return FALSE;
  m->has_content = !m->detached;
  m->content_kept = !m->streaming && !m->detached;
  if (!m->streaming) {
    m->encoded = EncodeContentInfo(m);
    m->model_ready = true;
    return TRUE;
  }
  Bytes tail;
  if (!m->definite && !m->detached)
    tail.insert(tail.end(), {0, 0, 0, 0, 0, 0});  // octets, [0], encap
  der::Append(&tail, CertsAndCrls(m));
  Bytes infos = SignerInfosSet(m);
  if (m->definite && infos.size() != m->predicted_tail)
    return Fail(CRYPT_E_MSG_ERROR);
  der::Append(&tail, infos);
  if (!m->definite) tail.insert(tail.end(), {0, 0, 0, 0, 0, 0});
  m->model_ready = true;
  return EmitBytes(m, tail, true);
}

bool SignerFromEncodeInfo(Msg* m, const CMSG_SIGNER_ENCODE_INFO* si,
                          EncSigner* e) {
  if (si->cbSize < offsetof(CMSG_SIGNER_ENCODE_INFO, SignerId))
    return Fail(E_INVALIDARG);
  bool cms = si->cbSize >= sizeof(CMSG_SIGNER_ENCODE_INFO);
  if (!si->hCryptProv || si->dwKeySpec == CERT_NCRYPT_KEY_SPEC)
    return Fail(NTE_BAD_KEY);
  if (!si->HashAlgorithm.pszObjId) return Fail(E_INVALIDARG);
  e->alg = HashAlgFromOid(si->HashAlgorithm.pszObjId);
  if (!e->alg) return Fail(CRYPT_E_UNKNOWN_ALGO);
  e->prov = si->hCryptProv;
  e->key_spec = si->dwKeySpec ? si->dwKeySpec : AT_SIGNATURE;
  SignerRec& r = e->rec;
  r.digest.oid = si->HashAlgorithm.pszObjId;
  // Parameters as the GOST engine writes them: an explicit NULL.
  if (si->HashAlgorithm.Parameters.cbData &&
      si->HashAlgorithm.Parameters.pbData)
    r.digest.params.assign(si->HashAlgorithm.Parameters.pbData,
                           si->HashAlgorithm.Parameters.pbData +
                               si->HashAlgorithm.Parameters.cbData);
  else
    r.digest.params = {der::kTagNull, 0};
  if (cms && si->SignerId.dwIdChoice == CERT_ID_KEY_IDENTIFIER) {
    if (!si->SignerId.KeyId.cbData || !si->SignerId.KeyId.pbData)
      return Fail(E_INVALIDARG);
    r.by_key_id = true;
    r.version = 3;
    r.key_id.assign(si->SignerId.KeyId.pbData,
                    si->SignerId.KeyId.pbData + si->SignerId.KeyId.cbData);
  } else {
    const CERT_NAME_BLOB* issuer = nullptr;
    const CRYPT_INTEGER_BLOB* serial = nullptr;
    if (cms && si->SignerId.dwIdChoice == CERT_ID_ISSUER_SERIAL_NUMBER) {
      issuer = &si->SignerId.IssuerSerialNumber.Issuer;
      serial = &si->SignerId.IssuerSerialNumber.SerialNumber;
    } else if (si->pCertInfo) {
      issuer = &si->pCertInfo->Issuer;
      serial = &si->pCertInfo->SerialNumber;
    }
    if (!issuer || !serial || !issuer->pbData || !issuer->cbData ||
        !serial->pbData || !serial->cbData)
      return Fail(E_INVALIDARG);
    r.by_key_id = false;
    r.version = 1;
    r.issuer.assign(issuer->pbData, issuer->pbData + issuer->cbData);
    Bytes be =
        ReverseBytes(Bytes(serial->pbData, serial->pbData + serial->cbData));
    Bytes integer = der::EncodeUnsignedInteger(be.data(), be.size());
    r.serial.assign(integer.begin() + 2, integer.end());
  }
  const char* key_oid =
      si->pCertInfo ? si->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId
                    : nullptr;
  if (cms && si->HashEncryptionAlgorithm.pszObjId &&
      si->HashEncryptionAlgorithm.pszObjId[0]) {
    r.sig_alg.oid = si->HashEncryptionAlgorithm.pszObjId;
  } else {
    r.sig_alg.oid = SignatureOidFor(key_oid, e->alg);
  }
  Bytes probe;
  if (!der::EncodeOid(r.sig_alg.oid, &probe) ||
      !der::EncodeOid(r.digest.oid, &probe))
    return Fail(CRYPT_E_OID_FORMAT);
  r.sig_alg.params = {der::kTagNull, 0};
  for (DWORD i = 0; i < si->cAuthAttr; ++i) {
    const CRYPT_ATTRIBUTE& a = si->rgAuthAttr[i];
    if (!a.pszObjId || !der::EncodeOid(a.pszObjId, &probe))
      return Fail(CRYPT_E_OID_FORMAT);
    Attr at;
    at.oid = a.pszObjId;
    for (DWORD v = 0; v < a.cValue; ++v)
      at.values.emplace_back(a.rgValue[v].pbData,
                             a.rgValue[v].pbData + a.rgValue[v].cbData);
    e->extra_attrs.push_back(std::move(at));
  }
  e->want_attrs =
      si->cAuthAttr > 0 || (m->flags & CMSG_AUTHENTICATED_ATTRIBUTES_FLAG);
  for (DWORD i = 0; i < si->cUnauthAttr; ++i) {
    const CRYPT_ATTRIBUTE& a = si->rgUnauthAttr[i];
    if (!a.pszObjId || !der::EncodeOid(a.pszObjId, &probe))
      return Fail(CRYPT_E_OID_FORMAT);
    Attr at;
    at.oid = a.pszObjId;
    for (DWORD v = 0; v < a.cValue; ++v)
      at.values.emplace_back(a.rgValue[v].pbData,
                             a.rgValue[v].pbData + a.rgValue[v].cbData);
    r.unsigned_attrs.push_back(std::move(at));
  }
  if (!CryptCreateHash(e->prov, e->alg, 0, 0, &e->hash)) {
    e->hash = 0;
    return false;
  }
  return true;
}

// ------------------------------------------------------------ decoding
enum class Step { kOk, kNeedMore, kError };

struct Cursor {
  const uint8_t* p;
  size_t n;
  size_t at = 0;
  size_t need = 0;
  DWORD err = 0;
};

Step Head(Cursor* c, uint8_t tag, Header* h) {
  if (c->n - c->at >= 1 && c->p[c->at] != tag) {
    c->err = CRYPT_E_ASN1_BADTAG;
    return Step::kError;
  }
  size_t need = 0;
  Status s = der::ParseHeader(c->p + c->at, c->n - c->at, h, &need, &c->err);
  if (s == Status::kNeedMore) {
    c->need = c->at + need;
    return Step::kNeedMore;
  }
  if (s == Status::kError) return Step::kError;
  c->at += h->header_len;
  return Step::kOk;
}

Step Whole(Cursor* c, uint8_t tag, Tlv* e) {
  if (c->n - c->at >= 1 && c->p[c->at] != tag) {
    c->err = CRYPT_E_ASN1_BADTAG;
    return Step::kError;
  }
  size_t need = 0, total = 0;
  Status s = der::Measure(c->p + c->at, c->n - c->at, &total, &need, &c->err);
  if (s == Status::kNeedMore) {
    c->need = c->at + need;
    return Step::kNeedMore;
  }
  if (s == Status::kError) return Step::kError;
  BerReader r(c->p + c->at, total);
  if (!r.Next(e)) {  // measured whole just above
    c->err = r.error();
    return Step::kError;
  }
  c->at += total;
  return Step::kOk;
}

size_t Avail(const Msg* m) { return m->buf.size() - m->pos; }
uint64_t Offset(const Msg* m) { return m->base + m->pos; }

// A definite child must end within its parent.
bool FitsParent(const Msg* m, uint64_t child_end) {
  if (m->levels.empty()) return true;
  const Level& top = m->levels.back();
  return top.indefinite || child_end <= top.end;
}

bool Push(Msg* m, const Header& h, uint64_t content_start, DWORD* err) {
  Level l{h.indefinite, content_start + h.length};
  if (!h.indefinite && !FitsParent(m, l.end)) {
    *err = CRYPT_E_ASN1_CORRUPT;
    return false;
  }
  m->levels.push_back(l);
  return true;
}

Step ParsePrefix(Msg* m, DWORD* err) {
  Cursor c{m->buf.data(), m->buf.size()};
  Header h;
  Tlv e;
  Step s;
  std::vector<Level> saved = m->levels;
  m->levels.clear();
  auto out = [&](Step st) {
    if (st == Step::kNeedMore) m->need = c.need;
    if (st == Step::kError) *err = c.err ? c.err : CRYPT_E_ASN1_CORRUPT;
    m->levels = saved;
    return st;
  };
  if ((s = Head(&c, der::kTagSequence, &h)) != Step::kOk) return out(s);
  if (!Push(m, h, c.at, &c.err)) return out(Step::kError);
  if ((s = Whole(&c, der::kTagOid, &e)) != Step::kOk) return out(s);
  std::string oid;
  if (!der::OidValue(e, &oid, &c.err)) return out(Step::kError);
  if (oid != kOidSignedData) {
    c.err = CRYPT_E_INVALID_MSG_TYPE;
    return out(Step::kError);
  }
  if ((s = Head(&c, der::Context(0, true), &h)) != Step::kOk) return out(s);
  if (!Push(m, h, c.at, &c.err)) return out(Step::kError);
  if ((s = Head(&c, der::kTagSequence, &h)) != Step::kOk) return out(s);
  if (!Push(m, h, c.at, &c.err)) return out(Step::kError);
  if ((s = Whole(&c, der::kTagInteger, &e)) != Step::kOk) return out(s);
  uint32_t version = 0;
  if (!der::SmallIntValue(e, &version, &c.err)) return out(Step::kError);
  if ((s = Whole(&c, der::kTagSet, &e)) != Step::kOk) return out(s);
  std::vector<AlgId> algs;
  {
    BerReader r(e);
    while (!r.empty()) {
      Tlv a;
      AlgId alg;
      if (!r.Expect(der::kTagSequence, &a)) {
        c.err = r.error();
        return out(Step::kError);
      }
      if (!ParseAlgId(a, &alg, &c.err)) return out(Step::kError);
      algs.push_back(alg);
    }
  }
  if ((s = Head(&c, der::kTagSequence, &h)) != Step::kOk) return out(s);
  if (!Push(m, h, c.at, &c.err)) return out(Step::kError);
  bool encap_indef = h.indefinite;
  uint64_t encap_end = c.at + h.length;
  if ((s = Whole(&c, der::kTagOid, &e)) != Step::kOk) return out(s);
  std::string ctype;
  if (!der::OidValue(e, &ctype, &c.err)) return out(Step::kError);
  bool has_content = true;
  if (!encap_indef && c.at == encap_end) {
    has_content = false;
  } else if (encap_indef) {
    if (c.n - c.at < 2) {
      c.need = c.at + 2;
      return out(Step::kNeedMore);
    }
    if (c.p[c.at] == 0 && c.p[c.at + 1] == 0) has_content = false;
  }
  bool primitive = false;
  if (!has_content) {
    if (encap_indef) c.at += 2;
    m->levels.pop_back();
  } else {
    if ((s = Head(&c, der::Context(0, true), &h)) != Step::kOk) return out(s);
    if (!Push(m, h, c.at, &c.err)) return out(Step::kError);
    if (c.n - c.at < 1) {
      c.need = c.at + 1;
      return out(Step::kNeedMore);
    }
    uint8_t t = c.p[c.at];
    if (t != der::kTagOctetString && t != der::kTagConstructedOctetString) {
      c.err = CRYPT_E_ASN1_BADTAG;
      return out(Step::kError);
    }
    if ((s = Head(&c, t, &h)) != Step::kOk) return out(s);
    if (!Push(m, h, c.at, &c.err)) return out(Step::kError);
    primitive = t == der::kTagOctetString;
    if (primitive) {
      // A primitive content is one chunk; its level is popped at its end.
      m->levels.pop_back();
      if (!FitsParent(m, c.at + h.length)) {
        c.err = CRYPT_E_ASN1_CORRUPT;
        return out(Step::kError);
      }
      m->in_chunk = true;
      m->chunk_left = h.length;
      m->content_levels = 0;
    } else {
      m->in_chunk = false;
      m->content_levels = 1;
    }
  }
  m->version = version;
  m->digest_algs = algs;
  m->content_type = ctype;
  m->has_content = has_content;
  m->primitive_content = primitive;
  m->pos = c.at;
  m->need = 0;
  return Step::kOk;
}

// Closes the innermost level when the input is at its end. kOk: closed;
// kNeedMore: wait; kError: bytes remain in a definite level (*open = true
// means the level simply is not at its end yet).
Step AtLevelEnd(Msg* m, bool* at_end, DWORD* err) {
  *at_end = false;
  const Level& top = m->levels.back();
  if (!top.indefinite) {
    if (Offset(m) == top.end) *at_end = true;
    if (Offset(m) > top.end) {
      *err = CRYPT_E_ASN1_CORRUPT;
      return Step::kError;
    }
    return Step::kOk;
  }
  if (Avail(m) < 2) {
    m->need = m->pos + 2;
    return Step::kNeedMore;
  }
  if (m->buf[m->pos] == 0 && m->buf[m->pos + 1] == 0) {
    *at_end = true;
    m->pos += 2;
  }
  return Step::kOk;
}

Step CloseLevel(Msg* m, DWORD* err) {
  bool at_end = false;
  Step s = AtLevelEnd(m, &at_end, err);
  if (s != Step::kOk) return s;
  if (!at_end) {
    *err = CRYPT_E_ASN1_CORRUPT;
    return Step::kError;
  }
  m->levels.pop_back();
  return Step::kOk;
}

BOOL DeliverContent(Msg* m, const uint8_t* p, size_t n) {
  if (!n) return TRUE;
  HashContent(m, p, n);
  if (m->streaming) return Emit(m, p, n, false);
  if (m->content.size() + n > UINT32_MAX) return Fail(CRYPT_E_ASN1_LARGE);
  m->content.insert(m->content.end(), p, p + n);
  return TRUE;
}

Step RunContent(Msg* m, DWORD* err) {
  for (;;) {
    if (m->in_chunk) {
      size_t take =
          static_cast<size_t>(std::min<uint64_t>(m->chunk_left, Avail(m)));
      if (take && !DeliverContent(m, m->buf.data() + m->pos, take)) {
        *err = GetLastError();
        return Step::kError;
      }
      m->pos += take;
      m->chunk_left -= take;
      if (m->chunk_left) {
        m->need = m->pos + 1;
        return Step::kNeedMore;
      }
      m->in_chunk = false;
      if (m->primitive_content) break;
      continue;
    }
    if (m->content_levels == 0) break;
    bool at_end = false;
    Step s = AtLevelEnd(m, &at_end, err);
    if (s != Step::kOk) return s;
    if (at_end) {
      m->levels.pop_back();
      --m->content_levels;
      continue;
    }
    if (Avail(m) < 1) {
      m->need = m->pos + 1;
      return Step::kNeedMore;
    }
    uint8_t t = m->buf[m->pos];
    if (t != der::kTagOctetString && t != der::kTagConstructedOctetString) {
      *err = CRYPT_E_ASN1_BADTAG;
      return Step::kError;
    }
    Header h;
    size_t need = 0;
    Status st =
        der::ParseHeader(m->buf.data() + m->pos, Avail(m), &h, &need, err);
    if (st == Status::kNeedMore) {
      m->need = m->pos + need;
      return Step::kNeedMore;
    }
    if (st == Status::kError) return Step::kError;
    m->pos += h.header_len;
    if (t == der::kTagOctetString) {
      if (!FitsParent(m, Offset(m) + h.length)) {
        *err = CRYPT_E_ASN1_CORRUPT;
        return Step::kError;
      }
      m->in_chunk = true;
      m->chunk_left = h.length;
    } else {
      if (m->content_levels >= kMaxContentNesting) {
        *err = CRYPT_E_ASN1_LARGE;
        return Step::kError;
      }
      if (!Push(m, h, Offset(m), err)) return Step::kError;
      ++m->content_levels;
    }
  }
  // Close [0] and the encapsulated content info, down to SignedData; a
  // retry after more input resumes where this stopped.
  while (m->levels.size() > 3) {
    Step s = CloseLevel(m, err);
    if (s != Step::kOk) return s;
  }
  return Step::kOk;
}

Step RunSuffix(Msg* m, DWORD* err) {
  while (m->levels.size() == 3) {  // ContentInfo, [0], SignedData
    bool at_end = false;
    Step s = AtLevelEnd(m, &at_end, err);
    if (s != Step::kOk) return s;
    if (at_end) {
      m->levels.pop_back();
      break;
    }
    size_t total = 0, need = 0;
    Status st =
        der::Measure(m->buf.data() + m->pos, Avail(m), &total, &need, err);
    if (st == Status::kNeedMore) {
      m->need = m->pos + need;
      return Step::kNeedMore;
    }
    if (st == Status::kError) return Step::kError;
    if (!FitsParent(m, Offset(m) + total)) {
      *err = CRYPT_E_ASN1_CORRUPT;
      return Step::kError;
    }
    BerReader r(m->buf.data() + m->pos, total);
    Tlv e;
    if (!r.Next(&e)) {  // measured whole just above
      *err = r.error();
      return Step::kError;
    }
    BerReader items(e);
    if (e.tag == der::Context(0, true) || e.tag == der::Context(1, true)) {
      auto& list = e.tag == der::Context(0, true) ? m->certs : m->crls;
      while (!items.empty()) {
        Tlv c;
        if (!items.Next(&c)) {
          *err = items.error();
          return Step::kError;
        }
        list.emplace_back(c.start, c.start + c.total());
      }
    } else if (e.tag == der::kTagSet && !m->seen_signer_infos) {
      m->seen_signer_infos = true;
      while (!items.empty()) {
        Tlv c;
        SignerRec rec;
        if (!items.Next(&c)) {
          *err = items.error();
          return Step::kError;
        }
        if (!ParseSignerInfo(c, &rec, err)) return Step::kError;
        m->signers.push_back(std::move(rec));
      }
    } else {
      *err = CRYPT_E_ASN1_BADTAG;
      return Step::kError;
    }
    m->pos += total;
  }
  while (!m->levels.empty()) {
    Step s = CloseLevel(m, err);
    if (s != Step::kOk) return s;
  }
  if (!m->seen_signer_infos) {
    *err = CRYPT_E_ASN1_CORRUPT;
    return Step::kError;
  }
  return Step::kOk;
}

void Compact(Msg* m) {
  if (m->pos == 0) return;
  if (m->pos == m->buf.size()) {
    m->base += m->pos;
    m->buf.clear();
    if (m->need >= m->pos)
      m->need -= m->pos;
    else
      m->need = 0;
    m->pos = 0;
    return;
  }
  if (m->pos > (1u << 16) && m->pos * 2 > m->buf.size()) {
    m->buf.erase(m->buf.begin(),
                 m->buf.begin() + static_cast<std::ptrdiff_t>(m->pos));
    m->base += m->pos;
    m->need = m->need >= m->pos ? m->need - m->pos : 0;
    m->pos = 0;
  }
}

BOOL DetachedContent(Msg* m, const uint8_t* p, size_t n, BOOL final) {
  m->phase = Phase::kDetachedContent;
  HashContent(m, p, n);
  if (final) {
    m->finished = true;
    FinishSlots(m);
  }
  return TRUE;
}

// Runs the decoding machine over what is buffered. kNeedMore is the normal
// way out: everything usable has been used.
Step RunPhases(Msg* m, DWORD* err) {
  for (;;) {
    Step s = Step::kOk;
    switch (m->phase) {
      case Phase::kPrefix:
        if (m->need && m->buf.size() < m->need) return Step::kNeedMore;
        s = ParsePrefix(m, err);
        if (s != Step::kOk) return s;
        CreateSlots(m);
        // A message with content is not detached, whatever the caller said.
        if (m->has_content) m->detached = false;
        m->phase = m->has_content ? Phase::kContent : Phase::kSuffix;
        break;
      case Phase::kContent:
        s = RunContent(m, err);
        if (s != Step::kOk) return s;
        m->phase = Phase::kSuffix;
        m->content_kept = !m->streaming;
        break;
      case Phase::kSuffix:
        if (m->need && m->buf.size() < m->need) return Step::kNeedMore;
        s = RunSuffix(m, err);
        if (s != Step::kOk) return s;
        m->phase = Phase::kDone;
        m->model_ready = true;
        if (!m->detached) FinishSlots(m);
        if (m->streaming && !Emit(m, nullptr, 0, true)) {
          *err = GetLastError();
          return Step::kError;
        }
        return Step::kOk;
      default:
        return Step::kOk;
    }
  }
}

BOOL DecodeUpdate(Msg* m, const uint8_t* p, DWORD n, BOOL final) {
  if (n && !p) return Fail(ERROR_INVALID_PARAMETER);
  if (m->finished) return Fail(CRYPT_E_MSG_ERROR);
  if (m->phase == Phase::kDone || m->phase == Phase::kDetachedContent) {
    if (!m->detached) return Fail(CRYPT_E_MSG_ERROR);
    return DetachedContent(m, p, n, final);
  }
  const uint8_t* rest = p;
  size_t rest_n = n;
  DWORD err = 0;
  for (;;) {
    // Content that arrives while nothing is buffered goes straight through.
    if (m->phase == Phase::kContent && m->in_chunk && m->pos == m->buf.size() &&
        rest_n) {
      size_t take =
          static_cast<size_t>(std::min<uint64_t>(m->chunk_left, rest_n));
      if (!DeliverContent(m, rest, take)) return FALSE;
      m->chunk_left -= take;
      m->base += take;
      rest += take;
      rest_n -= take;
      if (m->chunk_left) break;
      m->in_chunk = false;
    }
    if (rest_n) {
      // Structure is taken a little at a time so that a long content run
      // behind it can still go straight through.
      size_t take = rest_n;
      if (m->phase != Phase::kSuffix) {
        size_t want = m->need > m->buf.size() ? m->need - m->buf.size() : 0;
        take = std::min(rest_n, std::max<size_t>(want, 4096));
      }
      if (m->buf.size() - m->pos + take > kMaxHeldBytes)
        return Fail(CRYPT_E_ASN1_LARGE);
      m->buf.insert(m->buf.end(), rest, rest + take);
      rest += take;
      rest_n -= take;
    }
    Step s = RunPhases(m, &err);
    if (s == Step::kError) {
      // Nothing more can be read from this message.
      m->finished = true;
      return Fail(err ? err : CRYPT_E_ASN1_CORRUPT);
    }
    if (m->phase == Phase::kDone) {
      size_t left = Avail(m);
      if ((left || rest_n) && !m->detached) return Fail(CRYPT_E_MSG_ERROR);
      if (left || rest_n) {
        Bytes extra(m->buf.begin() + static_cast<std::ptrdiff_t>(m->pos),
                    m->buf.end());
        extra.insert(extra.end(), rest, rest + rest_n);
        m->buf.clear();
        m->pos = 0;
        return DetachedContent(m, extra.data(), extra.size(), final);
      }
      m->buf.clear();
      m->pos = 0;
      break;
    }
    Compact(m);
    if (!rest_n) break;
  }
  if (final) {
    if (m->phase != Phase::kDone)
      return Fail(m->streaming ? CRYPT_E_STREAM_INSUFFICIENT_DATA
                               : CRYPT_E_ASN1_EOD);
    if (!m->detached) m->finished = true;
  }
  return TRUE;
}

// ----------------------------------------------------- flat structures
// Lays out a structure and everything it points to in one caller buffer:
// run once to measure, once to write.
class Flat {
 public:
  explicit Flat(uint8_t* base) : base_(base) {}
  size_t size() const { return used_; }
  bool writing() const { return base_ != nullptr; }
  void* Take(size_t n, size_t align = 8) {
    used_ = (used_ + align - 1) & ~(align - 1);
    void* p = base_ ? base_ + used_ : nullptr;
    used_ += n;
    return p;
  }
  void Blob(const Bytes& b, CRYPT_DATA_BLOB* out) {
    void* p = Take(b.size(), 1);
    if (!writing()) return;
    if (!b.empty()) memcpy(p, b.data(), b.size());
    out->cbData = static_cast<DWORD>(b.size());
    out->pbData = b.empty() ? nullptr : static_cast<BYTE*>(p);
  }
  char* Str(const std::string& s) {
    char* p = static_cast<char*>(Take(s.size() + 1, 1));
    if (p) memcpy(p, s.c_str(), s.size() + 1);
    return p;
  }

 private:
  uint8_t* base_;
  size_t used_ = 0;
};

void FlatAlg(Flat* f, const AlgId& a, CRYPT_ALGORITHM_IDENTIFIER* out) {
  char* s = f->Str(a.oid);
  CRYPT_DATA_BLOB b{};
  f->Blob(a.params, &b);
  if (f->writing()) {
    out->pszObjId = s;
    out->Parameters = b;
  }
}

void FlatAttrs(Flat* f, const std::vector<Attr>& attrs, CRYPT_ATTRIBUTES* out) {
  auto* arr = static_cast<CRYPT_ATTRIBUTE*>(
      f->Take(sizeof(CRYPT_ATTRIBUTE) * attrs.size()));
  for (size_t i = 0; i < attrs.size(); ++i) {
    char* s = f->Str(attrs[i].oid);
    auto* vals = static_cast<CRYPT_ATTR_BLOB*>(
        f->Take(sizeof(CRYPT_ATTR_BLOB) * attrs[i].values.size()));
    for (size_t v = 0; v < attrs[i].values.size(); ++v) {
      CRYPT_DATA_BLOB b{};
      f->Blob(attrs[i].values[v], &b);
      if (f->writing()) vals[v] = b;
    }
    if (f->writing()) {
      arr[i].pszObjId = s;
      arr[i].cValue = static_cast<DWORD>(attrs[i].values.size());
      arr[i].rgValue = attrs[i].values.empty() ? nullptr : vals;
    }
  }
  if (f->writing()) {
    out->cAttr = static_cast<DWORD>(attrs.size());
    out->rgAttr = attrs.empty() ? nullptr : arr;
  }
}

// Serial numbers in CryptoAPI blobs are least significant byte first.
Bytes SerialBlob(const Bytes& be) { return ReverseBytes(be); }

// A key-identifier signer as CryptoAPI shows it in a CERT_INFO issuer: a
// name with one attribute carrying the identifier.
Bytes KeyIdName(const Bytes& key_id) {
  Bytes oid;
  der::EncodeOid("1.3.6.1.4.1.311.10.7.1", &oid);
  Bytes atv = oid;
  der::Append(&atv, der::Wrap(der::kTagOctetString, key_id));
  Bytes rdn = der::Wrap(der::kTagSet, der::Wrap(der::kTagSequence, atv));
  return der::Wrap(der::kTagSequence, rdn);
}

// The part both signer-info forms share, after the signer's identifier.
template <typename Info>
void FillSignedPart(Flat* f, const SignerRec& s, Info* tmp) {
  FlatAlg(f, s.digest, &tmp->HashAlgorithm);
  FlatAlg(f, s.sig_alg, &tmp->HashEncryptionAlgorithm);
  f->Blob(s.signature, &tmp->EncryptedHash);
  FlatAttrs(f, s.signed_attrs, &tmp->AuthAttrs);
  FlatAttrs(f, s.unsigned_attrs, &tmp->UnauthAttrs);
  tmp->dwVersion = s.version;
}

void FillSignerInfo(Flat* f, const SignerRec& s) {
  auto* out = static_cast<CMSG_SIGNER_INFO*>(f->Take(sizeof(CMSG_SIGNER_INFO)));
  if (out) memset(out, 0, sizeof(*out));
  CMSG_SIGNER_INFO tmp{};
  f->Blob(s.by_key_id ? KeyIdName(s.key_id) : s.issuer, &tmp.Issuer);
  f->Blob(s.by_key_id ? Bytes() : SerialBlob(s.serial), &tmp.SerialNumber);
  FillSignedPart(f, s, &tmp);
  if (out) *out = tmp;
}

void FillCmsSignerInfo(Flat* f, const SignerRec& s) {
  auto* out =
      static_cast<CMSG_CMS_SIGNER_INFO*>(f->Take(sizeof(CMSG_CMS_SIGNER_INFO)));
  if (out) memset(out, 0, sizeof(*out));
  CMSG_CMS_SIGNER_INFO tmp{};
  if (s.by_key_id) {
    tmp.SignerId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
    f->Blob(s.key_id, &tmp.SignerId.KeyId);
  } else {
    tmp.SignerId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
    f->Blob(s.issuer, &tmp.SignerId.IssuerSerialNumber.Issuer);
    f->Blob(SerialBlob(s.serial),
            &tmp.SignerId.IssuerSerialNumber.SerialNumber);
  }
  FillSignedPart(f, s, &tmp);
  if (out) *out = tmp;
}

void FillSignerCertInfo(Flat* f, const SignerRec& s) {
  auto* out = static_cast<CERT_INFO*>(f->Take(sizeof(CERT_INFO)));
  if (out) memset(out, 0, sizeof(*out));
  CERT_INFO tmp{};
  f->Blob(s.by_key_id ? KeyIdName(s.key_id) : s.issuer, &tmp.Issuer);
  f->Blob(s.by_key_id ? Bytes() : SerialBlob(s.serial), &tmp.SerialNumber);
  if (out) *out = tmp;
}

void FillAttrs(Flat* f, const std::vector<Attr>& attrs) {
  auto* out = static_cast<CRYPT_ATTRIBUTES*>(f->Take(sizeof(CRYPT_ATTRIBUTES)));
  CRYPT_ATTRIBUTES tmp{};
  FlatAttrs(f, attrs, &tmp);
  if (out) *out = tmp;
}

void FillAlg(Flat* f, const AlgId& a) {
  auto* out = static_cast<CRYPT_ALGORITHM_IDENTIFIER*>(
      f->Take(sizeof(CRYPT_ALGORITHM_IDENTIFIER)));
  CRYPT_ALGORITHM_IDENTIFIER tmp{};
  FlatAlg(f, a, &tmp);
  if (out) *out = tmp;
}

template <typename Fill>
BOOL OutputFlat(Fill fill, void* pv, DWORD* pcb) {
  if (!pcb) return Fail(ERROR_INVALID_PARAMETER);
  Flat measure(nullptr);
  fill(&measure);
  size_t need = measure.size();
  if (!pv) {
    *pcb = static_cast<DWORD>(need);
    return TRUE;
  }
  if (*pcb < need) {
    *pcb = static_cast<DWORD>(need);
    return Fail(ERROR_MORE_DATA);
  }
  // The caller's buffer must be aligned for the structure's pointers.
  if (reinterpret_cast<uintptr_t>(pv) % alignof(void*))
    return Fail(ERROR_INVALID_PARAMETER);
  Flat write(static_cast<uint8_t*>(pv));
  fill(&write);
  *pcb = static_cast<DWORD>(need);
  return TRUE;
}

// ---------------------------------------------------- verification
bool FindSki(const CERT_INFO* ci, Bytes* out) {
  for (DWORD i = 0; i < ci->cExtension; ++i) {
    const CERT_EXTENSION& x = ci->rgExtension[i];
    if (!x.pszObjId || strcmp(x.pszObjId, szOID_SUBJECT_KEY_IDENTIFIER))
      continue;
    BerReader r(x.Value.pbData, x.Value.cbData);
    Tlv e;
    if (!r.Expect(der::kTagOctetString, &e)) return false;
    out->assign(e.value, e.value + e.len);
    return true;
  }
  return false;
}

bool SignerMatchesCertInfo(const SignerRec& s, const CERT_INFO* ci) {
  if (s.by_key_id) {
    Bytes ski;
    return FindSki(ci, &ski) && ski == s.key_id;
  }
  if (!ci->Issuer.pbData || !ci->SerialNumber.pbData) return false;
  Bytes issuer(ci->Issuer.pbData, ci->Issuer.pbData + ci->Issuer.cbData);
  Bytes serial =
      ReverseBytes(Bytes(ci->SerialNumber.pbData,
                         ci->SerialNumber.pbData + ci->SerialNumber.cbData));
  return issuer == s.issuer && SameSerial(serial, s.serial);
}

BOOL VerifySigner(Msg* m, DWORD index, const CERT_PUBLIC_KEY_INFO* pub,
                  HCRYPTPROV prov_in) {
  if (!m->model_ready) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
  if (index >= m->signers.size()) return Fail(CRYPT_E_SIGNER_NOT_FOUND);
  if (!pub || !pub->Algorithm.pszObjId) return Fail(E_INVALIDARG);
  const SignerRec& s = m->signers[index];
  ALG_ID alg = HashAlgFromOid(s.digest.oid);
  if (!alg) return Fail(CRYPT_E_UNKNOWN_ALGO);
  Bytes digest;
  if (!ContentDigest(m, alg, &digest)) return FALSE;
  if (s.has_signed_attrs) {
    const Attr* md = nullptr;
    for (const Attr& a : s.signed_attrs)
      if (a.oid == kOidMessageDigest) md = &a;
    if (!md || md->values.size() != 1) return Fail(CRYPT_E_AUTH_ATTR_MISSING);
    BerReader r(md->values[0].data(), md->values[0].size());
    Tlv e;
    Bytes value;
    DWORD err = 0;
    if (!r.Next(&e) || (e.tag & ~0x20) != der::kTagOctetString ||
        !der::OctetStringValue(e, &value, &err))
      return Fail(CRYPT_E_HASH_VALUE);
    if (value != digest) return Fail(CRYPT_E_HASH_VALUE);
  }
  HCRYPTPROV prov = prov_in, own = 0;
  if (!prov) {
    if (!AcquireVerifyProvider(pub->Algorithm.pszObjId, alg, &own))
      return FALSE;
    prov = own;
  }
  HCRYPTHASH h = 0;
  HCRYPTKEY key = 0;
  bool ok = CryptCreateHash(prov, alg, 0, 0, &h);
  if (ok) {
    if (s.has_signed_attrs)
      ok = CryptHashData(h, s.signed_attrs_set.data(),
                         static_cast<DWORD>(s.signed_attrs_set.size()), 0);
    else
      ok = CryptSetHashParam(h, HP_HASHVAL, digest.data(), 0);
  }
  if (ok)
    ok = CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING,
                                  const_cast<CERT_PUBLIC_KEY_INFO*>(pub), &key);
  DWORD err = 0;
  if (ok) {
    Bytes sig = ReverseBytes(s.signature);
    SetLastError(0);
    ok = CryptVerifySignatureW(h, sig.data(), static_cast<DWORD>(sig.size()),
                               key, nullptr, 0);
    if (!ok && !GetLastError()) SetLastError(NTE_BAD_SIGNATURE);
  }
  if (!ok) err = GetLastError();
  if (key) CryptDestroyKey(key);
  if (h) CryptDestroyHash(h);
  if (own) CryptReleaseContext(own, 0);
  if (!ok) return Fail(err ? err : NTE_BAD_SIGNATURE);
  return TRUE;
}

// ------------------------------------------------------------- params
BOOL GetParam(Msg* m, DWORD type, DWORD index, void* pv, DWORD* pcb) {
  if (!pcb) return Fail(ERROR_INVALID_PARAMETER);
  if (type == CMSG_TYPE_PARAM) {
    DWORD t = CMSG_SIGNED;
    return Output(&t, sizeof(t), pv, pcb);
  }
  if (m->encoding) {
    if (!m->finished || m->streaming) {
      if (type == CMSG_CONTENT_PARAM || type == CMSG_BARE_CONTENT_PARAM ||
          type == CMSG_ENCODED_MESSAGE || type == CMSG_COMPUTED_HASH_PARAM ||
          !m->model_ready)
        return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
    }
  } else if (!m->model_ready) {
    return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
  }
  auto signer = [&](const SignerRec** s) {
    if (index >= m->signers.size()) return Fail(CRYPT_E_INVALID_INDEX);
    *s = &m->signers[index];
    return TRUE;
  };
  const SignerRec* s = nullptr;
  switch (type) {
    case CMSG_CONTENT_PARAM:
      if (m->encoding) {
        Bytes all = EncodeContentInfo(m);
        return Output(all.data(), all.size(), pv, pcb);
      }
      if (m->has_content && !m->content_kept)
        return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
      return Output(m->content.data(), m->content.size(), pv, pcb);
    case CMSG_BARE_CONTENT_PARAM: {
      if (!m->content_kept && m->has_content)
        return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
      Bytes sd = EncodeSignedData(m);
      return Output(sd.data(), sd.size(), pv, pcb);
    }
    case CMSG_ENCODED_MESSAGE: {
      if (!m->content_kept && m->has_content)
        return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
      Bytes all = EncodeContentInfo(m);
      return Output(all.data(), all.size(), pv, pcb);
    }
    case CMSG_INNER_CONTENT_TYPE_PARAM:
      return Output(m->content_type.c_str(), m->content_type.size() + 1, pv,
                    pcb);
    case CMSG_VERSION_PARAM:
      return Output(&m->version, sizeof(DWORD), pv, pcb);
    case CMSG_SIGNER_COUNT_PARAM: {
      DWORD c = static_cast<DWORD>(m->signers.size());
      return Output(&c, sizeof(c), pv, pcb);
    }
    case CMSG_CERT_COUNT_PARAM: {
      DWORD c = static_cast<DWORD>(m->certs.size());
      return Output(&c, sizeof(c), pv, pcb);
    }
    case CMSG_CRL_COUNT_PARAM: {
      DWORD c = static_cast<DWORD>(m->crls.size());
      return Output(&c, sizeof(c), pv, pcb);
    }
    case CMSG_CERT_PARAM:
      if (index >= m->certs.size()) return Fail(CRYPT_E_INVALID_INDEX);
      return Output(m->certs[index].data(), m->certs[index].size(), pv, pcb);
    case CMSG_CRL_PARAM:
      if (index >= m->crls.size()) return Fail(CRYPT_E_INVALID_INDEX);
      return Output(m->crls[index].data(), m->crls[index].size(), pv, pcb);
    case CMSG_SIGNER_INFO_PARAM:
      if (!signer(&s)) return FALSE;
      return OutputFlat([&](Flat* f) { FillSignerInfo(f, *s); }, pv, pcb);
    case CMSG_CMS_SIGNER_INFO_PARAM:
      if (!signer(&s)) return FALSE;
      return OutputFlat([&](Flat* f) { FillCmsSignerInfo(f, *s); }, pv, pcb);
    case CMSG_SIGNER_CERT_INFO_PARAM:
      if (!signer(&s)) return FALSE;
      return OutputFlat([&](Flat* f) { FillSignerCertInfo(f, *s); }, pv, pcb);
    case CMSG_SIGNER_HASH_ALGORITHM_PARAM:
      if (!signer(&s)) return FALSE;
      return OutputFlat([&](Flat* f) { FillAlg(f, s->digest); }, pv, pcb);
    case CMSG_SIGNER_AUTH_ATTR_PARAM:
      if (!signer(&s)) return FALSE;
      return OutputFlat([&](Flat* f) { FillAttrs(f, s->signed_attrs); }, pv,
                        pcb);
    case CMSG_SIGNER_UNAUTH_ATTR_PARAM:
      if (!signer(&s)) return FALSE;
      return OutputFlat([&](Flat* f) { FillAttrs(f, s->unsigned_attrs); }, pv,
                        pcb);
    case CMSG_ENCRYPTED_DIGEST:
      if (!signer(&s)) return FALSE;
      return Output(s->signature.data(), s->signature.size(), pv, pcb);
    case CMSG_ENCODED_SIGNER: {
      if (!signer(&s)) return FALSE;
      Bytes b = EncodeSignerInfo(*s);
      return Output(b.data(), b.size(), pv, pcb);
    }
    case CMSG_COMPUTED_HASH_PARAM: {
      if (!signer(&s)) return FALSE;
      ALG_ID alg = HashAlgFromOid(s->digest.oid);
      if (!alg) return Fail(CRYPT_E_UNKNOWN_ALGO);
      Bytes d;
      if (!ContentDigest(m, alg, &d)) return FALSE;
      return Output(d.data(), d.size(), pv, pcb);
    }
    default:
      return Fail(CRYPT_E_INVALID_MSG_TYPE);
  }
}

// ------------------------------------------------------------ controls
bool SignerFromCmsInfo(const CMSG_CMS_SIGNER_INFO* ci, SignerRec* r) {
  Bytes probe;
  if (!ci->HashAlgorithm.pszObjId || !ci->HashEncryptionAlgorithm.pszObjId ||
      !der::EncodeOid(ci->HashAlgorithm.pszObjId, &probe) ||
      !der::EncodeOid(ci->HashEncryptionAlgorithm.pszObjId, &probe))
    return Fail(CRYPT_E_OID_FORMAT);
  if (ci->SignerId.dwIdChoice == CERT_ID_KEY_IDENTIFIER) {
    if (!ci->SignerId.KeyId.pbData || !ci->SignerId.KeyId.cbData)
      return Fail(E_INVALIDARG);
    r->by_key_id = true;
    r->version = 3;
    r->key_id.assign(ci->SignerId.KeyId.pbData,
                     ci->SignerId.KeyId.pbData + ci->SignerId.KeyId.cbData);
  } else if (ci->SignerId.dwIdChoice == CERT_ID_ISSUER_SERIAL_NUMBER) {
    const CERT_ISSUER_SERIAL_NUMBER& is = ci->SignerId.IssuerSerialNumber;
    if (!is.Issuer.pbData || !is.Issuer.cbData || !is.SerialNumber.pbData ||
        !is.SerialNumber.cbData)
      return Fail(E_INVALIDARG);
    // The issuer must be one DER element.
    BerReader nr(is.Issuer.pbData, is.Issuer.cbData);
    Tlv ne;
    if (!nr.Expect(der::kTagSequence, &ne) || !nr.empty())
      return Fail(CRYPT_E_ASN1_BADTAG);
    r->version = 1;
    r->issuer.assign(is.Issuer.pbData, is.Issuer.pbData + is.Issuer.cbData);
    Bytes be =
        ReverseBytes(Bytes(is.SerialNumber.pbData,
                           is.SerialNumber.pbData + is.SerialNumber.cbData));
    Bytes integer = der::EncodeUnsignedInteger(be.data(), be.size());
    r->serial.assign(integer.begin() + 2, integer.end());
  } else {
    return Fail(E_INVALIDARG);
  }
  r->digest.oid = ci->HashAlgorithm.pszObjId;
  r->digest.params.assign(ci->HashAlgorithm.Parameters.pbData,
                          ci->HashAlgorithm.Parameters.pbData +
                              (ci->HashAlgorithm.Parameters.pbData
                                   ? ci->HashAlgorithm.Parameters.cbData
                                   : 0));
  r->sig_alg.oid = ci->HashEncryptionAlgorithm.pszObjId;
  r->sig_alg.params.assign(
      ci->HashEncryptionAlgorithm.Parameters.pbData,
      ci->HashEncryptionAlgorithm.Parameters.pbData +
          (ci->HashEncryptionAlgorithm.Parameters.pbData
               ? ci->HashEncryptionAlgorithm.Parameters.cbData
               : 0));
  if (!ci->EncryptedHash.pbData || !ci->EncryptedHash.cbData)
    return Fail(E_INVALIDARG);
  r->signature.assign(ci->EncryptedHash.pbData,
                      ci->EncryptedHash.pbData + ci->EncryptedHash.cbData);
  auto take = [](const CRYPT_ATTRIBUTES& in, std::vector<Attr>* out) {
    Bytes probe2;
    for (DWORD i = 0; i < in.cAttr; ++i) {
      const CRYPT_ATTRIBUTE& a = in.rgAttr[i];
      if (!a.pszObjId || !der::EncodeOid(a.pszObjId, &probe2)) return false;
      Attr at;
      at.oid = a.pszObjId;
      for (DWORD v = 0; v < a.cValue; ++v)
        at.values.emplace_back(a.rgValue[v].pbData,
                               a.rgValue[v].pbData + a.rgValue[v].cbData);
      out->push_back(std::move(at));
    }
    return true;
  };
  if (!take(ci->AuthAttrs, &r->signed_attrs) ||
      !take(ci->UnauthAttrs, &r->unsigned_attrs))
    return Fail(CRYPT_E_OID_FORMAT);
  r->has_signed_attrs = ci->AuthAttrs.cAttr > 0;
  if (r->has_signed_attrs)
    r->signed_attrs_set = EncodeAttributes(der::kTagSet, r->signed_attrs);
  return true;
}

BOOL Control(Msg* m, DWORD type, const void* para) {
  if (!m->model_ready) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
  switch (type) {
    case CMSG_CTRL_VERIFY_SIGNATURE: {
      auto* ci = static_cast<const CERT_INFO*>(para);
      if (!ci) return Fail(E_INVALIDARG);
      for (DWORD i = 0; i < m->signers.size(); ++i)
        if (SignerMatchesCertInfo(m->signers[i], ci))
          return VerifySigner(m, i, &ci->SubjectPublicKeyInfo, m->user_prov);
      return Fail(CRYPT_E_SIGNER_NOT_FOUND);
    }
    case CMSG_CTRL_VERIFY_SIGNATURE_EX: {
      auto* p = static_cast<const CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA*>(para);
      if (!p || p->cbSize < sizeof(*p) || !p->pvSigner)
        return Fail(E_INVALIDARG);
      HCRYPTPROV prov = p->hCryptProv ? p->hCryptProv : m->user_prov;
      const CERT_PUBLIC_KEY_INFO* pub = nullptr;
      switch (p->dwSignerType) {
        case CMSG_VERIFY_SIGNER_PUBKEY:
          pub = static_cast<const CERT_PUBLIC_KEY_INFO*>(p->pvSigner);
          break;
        case CMSG_VERIFY_SIGNER_CERT: {
          auto c = static_cast<PCCERT_CONTEXT>(p->pvSigner);
          if (!c->pCertInfo) return Fail(E_INVALIDARG);
          pub = &c->pCertInfo->SubjectPublicKeyInfo;
          break;
        }
        case CMSG_VERIFY_SIGNER_CHAIN: {
          auto ch = static_cast<PCCERT_CHAIN_CONTEXT>(p->pvSigner);
          if (!ch->cChain || !ch->rgpChain[0]->cElement)
            return Fail(E_INVALIDARG);
          PCCERT_CONTEXT c = ch->rgpChain[0]->rgpElement[0]->pCertContext;
          if (!c || !c->pCertInfo) return Fail(E_INVALIDARG);
          pub = &c->pCertInfo->SubjectPublicKeyInfo;
          break;
        }
        default:
          return Fail(E_INVALIDARG);
      }
      return VerifySigner(m, p->dwSignerIndex, pub, prov);
    }
    case CMSG_CTRL_ADD_CMS_SIGNER_INFO: {
      auto* ci = static_cast<const CMSG_CMS_SIGNER_INFO*>(para);
      if (!ci) return Fail(E_INVALIDARG);
      SignerRec r;
      if (!SignerFromCmsInfo(ci, &r)) return FALSE;
      AddDigestAlg(m, r.digest);
      m->signers.push_back(std::move(r));
      UpdateVersion(m);
      return TRUE;
    }
    case CMSG_CTRL_DEL_SIGNER: {
      if (!para) return Fail(E_INVALIDARG);
      DWORD i = *static_cast<const DWORD*>(para);
      if (i >= m->signers.size()) return Fail(CRYPT_E_INVALID_INDEX);
      m->signers.erase(m->signers.begin() + i);
      UpdateVersion(m);
      return TRUE;
    }
    case CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR: {
      auto* p = static_cast<const CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA*>(para);
      if (!p || !p->blob.pbData) return Fail(E_INVALIDARG);
      if (p->dwSignerIndex >= m->signers.size())
        return Fail(CRYPT_E_INVALID_INDEX);
      Attr a;
      DWORD err = 0;
      if (!ParseAttribute(p->blob.pbData, p->blob.cbData, &a, &err))
        return Fail(err);
      m->signers[p->dwSignerIndex].unsigned_attrs.push_back(std::move(a));
      return TRUE;
    }
    case CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR: {
      auto* p = static_cast<const CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR_PARA*>(para);
      if (!p) return Fail(E_INVALIDARG);
      if (p->dwSignerIndex >= m->signers.size())
        return Fail(CRYPT_E_INVALID_INDEX);
      auto& attrs = m->signers[p->dwSignerIndex].unsigned_attrs;
      if (p->dwUnauthAttrIndex >= attrs.size())
        return Fail(CRYPT_E_INVALID_INDEX);
      attrs.erase(attrs.begin() + p->dwUnauthAttrIndex);
      return TRUE;
    }
    case CMSG_CTRL_ADD_CERT:
    case CMSG_CTRL_ADD_CRL: {
      auto* b = static_cast<const CERT_BLOB*>(para);
      if (!b || !b->pbData || !b->cbData) return Fail(E_INVALIDARG);
      BerReader r(b->pbData, b->cbData);
      Tlv e;
      if (!r.Expect(der::kTagSequence, &e)) return Fail(r.error());
      if (!r.empty()) return Fail(CRYPT_E_ASN1_CORRUPT);
      (type == CMSG_CTRL_ADD_CERT ? m->certs : m->crls)
          .emplace_back(b->pbData, b->pbData + b->cbData);
      return TRUE;
    }
    case CMSG_CTRL_DEL_CERT:
    case CMSG_CTRL_DEL_CRL: {
      if (!para) return Fail(E_INVALIDARG);
      DWORD i = *static_cast<const DWORD*>(para);
      auto& list = type == CMSG_CTRL_DEL_CERT ? m->certs : m->crls;
      if (i >= list.size()) return Fail(CRYPT_E_INVALID_INDEX);
      list.erase(list.begin() + i);
      return TRUE;
    }
    default:
      return Fail(CRYPT_E_CONTROL_TYPE);
  }
}

bool ValidEncoding(DWORD t) {
  return (t & PKCS_7_ASN_ENCODING) || (t & X509_ASN_ENCODING);
}

}  // namespace
}  // namespace tavrix::provider::msg

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::msg;

extern "C" {

CAPI_EXPORT HCRYPTMSG WINAPI
CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                     void const* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                     PCMSG_STREAM_INFO pStreamInfo) try {
  if (!ValidEncoding(dwMsgEncodingType)) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  if (dwMsgType != CMSG_SIGNED) {
    SetLastError(CRYPT_E_INVALID_MSG_TYPE);
    return nullptr;
  }
  auto* info = static_cast<const CMSG_SIGNED_ENCODE_INFO*>(pvMsgEncodeInfo);
  if (!info ||
      info->cbSize < offsetof(CMSG_SIGNED_ENCODE_INFO, cAttrCertEncoded) ||
      (info->cSigners && !info->rgSigners) ||
      (info->cCertEncoded && !info->rgCertEncoded) ||
      (info->cCrlEncoded && !info->rgCrlEncoded)) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  if (pStreamInfo && !pStreamInfo->pfnStreamOutput) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  std::unique_ptr<Msg> m(new Msg);
  m->encoding = true;
  m->flags = dwFlags;
  m->detached = (dwFlags & CMSG_DETACHED_FLAG) != 0;
  if (pszInnerContentObjID && pszInnerContentObjID[0]) {
    Bytes probe;
    if (!der::EncodeOid(pszInnerContentObjID, &probe)) {
      SetLastError(CRYPT_E_OID_FORMAT);
      return nullptr;
    }
    m->content_type = pszInnerContentObjID;
  }
  for (DWORD i = 0; i < info->cCertEncoded; ++i) {
    const CERT_BLOB& b = info->rgCertEncoded[i];
    if (!b.pbData || !b.cbData) {
      SetLastError(E_INVALIDARG);
      return nullptr;
    }
    m->certs.emplace_back(b.pbData, b.pbData + b.cbData);
  }
  for (DWORD i = 0; i < info->cCrlEncoded; ++i) {
    const CRL_BLOB& b = info->rgCrlEncoded[i];
    if (!b.pbData || !b.cbData) {
      SetLastError(E_INVALIDARG);
      return nullptr;
    }
    m->crls.emplace_back(b.pbData, b.pbData + b.cbData);
  }
  for (DWORD i = 0; i < info->cSigners; ++i) {
    EncSigner e;
    if (!SignerFromEncodeInfo(m.get(), &info->rgSigners[i], &e)) {
      DWORD err = GetLastError();
      if (e.hash) CryptDestroyHash(e.hash);
      for (EncSigner& done : m->enc) CryptDestroyHash(done.hash);
      m->enc.clear();
      SetLastError(err);
      return nullptr;
    }
    AddDigestAlg(m.get(), e.rec.digest);
    if (e.rec.version == 3) m->version = 3;
    m->enc.push_back(std::move(e));
  }
  if (m->content_type != kOidData) m->version = 3;
  if (pStreamInfo) {
    m->streaming = true;
    m->stream = *pStreamInfo;
    m->definite = pStreamInfo->cbContent != CMSG_INDEFINITE_LENGTH;
    m->expected = m->definite ? pStreamInfo->cbContent : 0;
    if (m->definite) {
      size_t len = 0;
      for (const EncSigner& e : m->enc)
        len += PredictSignerInfo(m.get(), e).size();
      m->predicted_tail = der::HeaderSize(len) + len;
    }
  }
  Msg* raw = m.release();
  Register(raw);
  return raw;
}
CAPI_GUARD(nullptr)

CAPI_EXPORT HCRYPTMSG WINAPI
CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                     HCRYPTPROV_LEGACY hCryptProv, PCERT_INFO pRecipientInfo,
                     PCMSG_STREAM_INFO pStreamInfo) try {
  (void)pRecipientInfo;
  if (!ValidEncoding(dwMsgEncodingType)) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  if (dwMsgType != 0 && dwMsgType != CMSG_SIGNED) {
    SetLastError(CRYPT_E_INVALID_MSG_TYPE);
    return nullptr;
  }
  if (pStreamInfo && !pStreamInfo->pfnStreamOutput) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  auto* m = new Msg;
  m->flags = dwFlags;
  m->detached = (dwFlags & CMSG_DETACHED_FLAG) != 0;
  m->user_prov = hCryptProv;
  if (pStreamInfo) {
    m->streaming = true;
    m->stream = *pStreamInfo;
  }
  Register(m);
  return m;
}
CAPI_GUARD(nullptr)

CAPI_EXPORT HCRYPTMSG WINAPI CryptMsgDuplicate(HCRYPTMSG hCryptMsg) try {
  std::lock_guard<std::mutex> g(g_handles_mu);
  Msg* m = static_cast<Msg*>(hCryptMsg);
  if (!Handles().count(m)) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  ++m->refs;
  return m;
}
CAPI_GUARD(nullptr)

CAPI_EXPORT BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg) try {
  if (!hCryptMsg) return TRUE;
  Msg* m = nullptr;
  {
    std::lock_guard<std::mutex> g(g_handles_mu);
    m = static_cast<Msg*>(hCryptMsg);
    if (!Handles().count(m)) return Fail(E_INVALIDARG);
    if (--m->refs > 0) return TRUE;
    Handles().erase(m);
    if (m->busy > 0) return TRUE;  // the last call under way frees it
  }
  DestroyMsg(m);
  return TRUE;
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData,
                                       DWORD cbData, BOOL fFinal) try {
  MsgUse use(hCryptMsg);
  Msg* m = use.get();
  if (!m) return Fail(E_INVALIDARG);
  std::lock_guard<std::recursive_mutex> g(m->mu);
  return m->encoding ? EncodeUpdate(m, pbData, cbData, fFinal)
                     : DecodeUpdate(m, pbData, cbData, fFinal);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType,
                                         DWORD dwIndex, void* pvData,
                                         DWORD* pcbData) try {
  MsgUse use(hCryptMsg);
  Msg* m = use.get();
  if (!m) return Fail(E_INVALIDARG);
  std::lock_guard<std::recursive_mutex> g(m->mu);
  return GetParam(m, dwParamType, dwIndex, pvData, pcbData);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptMsgControl(HCRYPTMSG hCryptMsg, DWORD dwFlags,
                                        DWORD dwCtrlType,
                                        void const* pvCtrlPara) try {
  (void)dwFlags;  // the provider's 0x200 and the standard flags change nothing
                  // here
  MsgUse use(hCryptMsg);
  Msg* m = use.get();
  if (!m) return Fail(E_INVALIDARG);
  std::lock_guard<std::recursive_mutex> g(m->mu);
  if (m->encoding && m->streaming) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
  return Control(m, dwCtrlType, pvCtrlPara);
}
CAPI_GUARD(FALSE)

}  // extern "C"
