#include "msg/message.h"

#include <algorithm>

#include "base/c_boundary.h"
#include "msg/algs.h"
#include "msg/decoder.h"
#include "msg/encoder.h"

namespace tavrix::provider::msg {

Msg::Msg() = default;
Msg::~Msg() = default;

Bytes ReverseBytes(Bytes b) {
  std::reverse(b.begin(), b.end());
  return b;
}

Bytes SerialFromBlob(const CRYPT_INTEGER_BLOB& b) {
  Bytes be = ReverseBytes(Bytes(b.pbData, b.pbData + b.cbData));
  Bytes integer = der::EncodeUnsignedInteger(be.data(), be.size());
  der::Tlv t;
  if (!der::ReadTlv(integer.data(), integer.size(), &t)) return Bytes();
  return t.ValueBytes();
}

bool AttrsFromCapi(const CRYPT_ATTRIBUTE* attrs, DWORD n,
                   std::vector<Attr>* out) {
  Bytes probe;
  for (DWORD i = 0; i < n; ++i) {
    const CRYPT_ATTRIBUTE& a = attrs[i];
    if (!a.pszObjId || !der::EncodeOid(a.pszObjId, &probe))
      return Fail(CRYPT_E_OID_FORMAT);
    Attr at;
    at.oid = a.pszObjId;
    for (DWORD v = 0; v < a.cValue; ++v)
      at.values.emplace_back(a.rgValue[v].pbData,
                             a.rgValue[v].pbData + a.rgValue[v].cbData);
    out->push_back(std::move(at));
  }
  return true;
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

void HashSlots(Msg* m, const uint8_t* p, size_t n) {
  // DWORD-sized pieces: the hash calls take a 32-bit count.
  while (n) {
    DWORD piece = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    for (HashSlot& s : m->digests)
      if (s.hash && !s.done && !CryptHashData(s.hash.get(), p, piece, 0)) {
        s.create_error = GetLastError();
        s.hash.reset();
      }
    p += piece;
    n -= piece;
  }
}

void FinishSlots(Msg* m) {
  for (HashSlot& s : m->digests) {
    if (s.done || !s.hash) continue;
    if (!FinishHash(s.hash.get(), &s.value)) s.create_error = GetLastError();
    s.done = true;
    s.hash.reset();
  }
}

bool ContentDigest(Msg* m, ALG_ID alg, Bytes* out) {
  FinishSlots(m);
  for (HashSlot& s : m->digests) {
    if (s.alg != alg) continue;
    if (s.done && s.value.size()) {
      *out = s.value;
      return true;
    }
    if (!m->content_kept)
      return Fail(s.create_error ? s.create_error : NTE_BAD_ALGID);
  }
  if (!m->content_kept && m->has_content) return Fail(CRYPT_E_UNKNOWN_ALGO);
  HCRYPTPROV prov = m->user_prov;
  ProvHandle own;
  if (!prov) {
    if (!AcquireVerifyProvider("", alg, own.out())) return false;
    prov = own.get();
  }
  HashHandle h;
  return CryptCreateHash(prov, alg, 0, 0, h.out()) &&
         (m->content.empty() ||
          CryptHashData(h.get(), m->content.data(),
                        static_cast<DWORD>(m->content.size()), 0)) &&
         FinishHash(h.get(), out);
}

bool Emit(Msg* m, const uint8_t* p, size_t n, bool final) {
  if (!n && !final) return true;
  SetLastError(0);
  if (!m->stream.pfnStreamOutput(m->stream.pvArg, const_cast<uint8_t*>(p),
                                 static_cast<DWORD>(n), final ? TRUE : FALSE)) {
    if (!GetLastError()) SetLastError(ERROR_WRITE_FAULT);
    return false;
  }
  return true;
}

// ------------------------------------------------------------ encodings
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

namespace {
void AppendList(Bytes* out, int tag_number, const std::vector<Bytes>& list) {
  if (list.empty()) return;
  size_t len = 0;
  for (const Bytes& c : list) len += c.size();
  der::AppendHeader(out, der::Context(tag_number, true), len);
  for (const Bytes& c : list) der::Append(out, c);
}
}  // namespace

Bytes CertsAndCrls(const Msg* m) {
  Bytes out;
  // The certificates keep the caller's order: callers take the first one as
  // the signer's.
  AppendList(&out, 0, m->certs);
  AppendList(&out, 1, m->crls);
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

namespace {
Bytes EncapsulatedContentInfo(const Msg* m, bool with_content) {
  Bytes body;
  der::EncodeOid(m->content_type, &body);
  if (with_content) {
    Bytes os = der::Wrap(der::kTagOctetString, m->content);
    der::Append(&body, der::Wrap(der::Context(0, true), os));
  }
  return der::Wrap(der::kTagSequence, body);
}
}  // namespace

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

}  // namespace tavrix::provider::msg
