// Encoding a signed message, whole or streamed. A streamed encoding with a
// known content length is definite throughout: the signer infos' size is
// announced before the signatures exist, which holds because every
// signature and digest here has a fixed size.
#include "msg/encoder.h"

#include "base/c_boundary.h"
#include "msg/algs.h"

namespace tavrix::provider::msg {
namespace {

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

bool SignOne(Msg* m, EncSigner& e, const Bytes& digest) {
  SignerRec r = e.rec;
  HCRYPTHASH to_sign = e.hash.get();
  HashHandle attr_hash;
  if (e.want_attrs) {
    r.has_signed_attrs = true;
    r.signed_attrs_set =
        EncodeAttributes(der::kTagSet, SignedAttrsFor(m, e, digest));
    // Read back in encoded (sorted) order, as a decoder would show them.
    der::BerReader ar(r.signed_attrs_set.data(), r.signed_attrs_set.size());
    der::Tlv set;
    if (!ar.Next(&set)) return Fail(ar.error());
    if (!ParseAttributes(set, &r.signed_attrs)) return false;
    if (!CryptCreateHash(e.prov, e.alg, 0, 0, attr_hash.out()) ||
        !CryptHashData(attr_hash.get(), r.signed_attrs_set.data(),
                       static_cast<DWORD>(r.signed_attrs_set.size()), 0))
      return false;
    to_sign = attr_hash.get();
  }
  DWORD n = 0;
  if (!CryptSignHashW(to_sign, e.key_spec, nullptr, 0, nullptr, &n))
    return false;
  Bytes sig(n, 0);
  if (!CryptSignHashW(to_sign, e.key_spec, nullptr, 0, sig.data(), &n))
    return false;
  sig.resize(n);
  // CryptoAPI returns the signature little-endian; the message carries it
  // in the order of the standard.
  r.signature = ReverseBytes(std::move(sig));
  m->signers.push_back(std::move(r));
  return true;
}

bool SignAll(Msg* m) {
  m->signers.clear();
  for (EncSigner& e : m->encoder->signers) {
    Bytes digest;
    if (!FinishHash(e.hash.get(), &digest)) return false;
    bool have = false;
    for (const HashSlot& s : m->digests) have |= s.alg == e.alg;
    if (!have) {
      HashSlot s;
      s.alg = e.alg;
      s.done = true;
      s.value = digest;
      m->digests.push_back(std::move(s));
    }
    if (!SignOne(m, e, digest)) return false;
  }
  UpdateVersion(m);
  return true;
}

struct DefiniteLayout {
  size_t encap_body = 0;  // the encapsulated content info's content
  size_t sd_body = 0;     // SignedData's content
};

// The lengths a definite encoding announces, from the content length and
// the predicted signer infos.
DefiniteLayout LayOut(const Msg* m, size_t version, size_t algs, size_t oid) {
  const Encoder& enc = *m->encoder;
  DefiniteLayout l;
  l.encap_body = oid;
  if (!m->detached) {
    size_t os = der::HeaderSize(enc.expected) + enc.expected;
    l.encap_body += der::HeaderSize(os) + os;
  }
  size_t encap = der::HeaderSize(l.encap_body) + l.encap_body;
  size_t tail = CertsAndCrls(m).size() + enc.predicted_tail;
  l.sd_body = version + algs + encap + tail;
  return l;
}

// Everything up to the first content octet (or, detached, up to the
// certificates).
Bytes StreamHead(const Msg* m) {
  const Encoder& enc = *m->encoder;
  Bytes version = der::EncodeSmallInt(m->version);
  Bytes algs = DigestAlgsSet(m);
  Bytes oid;
  der::EncodeOid(m->content_type, &oid);
  Bytes head;
  if (enc.definite) {
    DefiniteLayout l = LayOut(m, version.size(), algs.size(), oid.size());
    head = EncodeContentInfoHead(der::HeaderSize(l.sd_body) + l.sd_body, true);
    der::AppendHeader(&head, der::kTagSequence, l.sd_body);
    der::Append(&head, version);
    der::Append(&head, algs);
    der::AppendHeader(&head, der::kTagSequence, l.encap_body);
    der::Append(&head, oid);
    if (!m->detached) {
      size_t os = der::HeaderSize(enc.expected) + enc.expected;
      der::AppendHeader(&head, der::Context(0, true), os);
      der::AppendHeader(&head, der::kTagOctetString, enc.expected);
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

bool HashContent(Encoder* enc, const uint8_t* p, size_t n) {
  // DWORD-sized pieces: the hash calls take a 32-bit count.
  while (n) {
    DWORD piece = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    for (EncSigner& e : enc->signers)
      if (!CryptHashData(e.hash.get(), p, piece, 0)) return false;
    p += piece;
    n -= piece;
  }
  return true;
}

bool StreamContent(Msg* m, const uint8_t* p, DWORD n) {
  Encoder& enc = *m->encoder;
  if (!enc.header_sent) {
    if (!EmitBytes(m, StreamHead(m), false)) return false;
    enc.header_sent = true;
  }
  if (m->detached || !n) return true;
  if (enc.definite) return Emit(m, p, n, false);
  Bytes h;
  der::AppendHeader(&h, der::kTagOctetString, n);
  return EmitBytes(m, h, false) && Emit(m, p, n, false);
}

bool StreamTail(Msg* m) {
  const Encoder& enc = *m->encoder;
  Bytes tail;
  if (!enc.definite && !m->detached)
    tail.insert(tail.end(), {0, 0, 0, 0, 0, 0});  // octets, [0], encap
  der::Append(&tail, CertsAndCrls(m));
  Bytes infos = SignerInfosSet(m);
  if (enc.definite && infos.size() != enc.predicted_tail)
    return Fail(CRYPT_E_MSG_ERROR);
  der::Append(&tail, infos);
  if (!enc.definite) tail.insert(tail.end(), {0, 0, 0, 0, 0, 0});
  m->model_ready = true;
  return EmitBytes(m, tail, true);
}

bool SignerId(const CMSG_SIGNER_ENCODE_INFO* si, bool cms, SignerRec* r) {
  if (cms && si->SignerId.dwIdChoice == CERT_ID_KEY_IDENTIFIER) {
    if (!si->SignerId.KeyId.cbData || !si->SignerId.KeyId.pbData)
      return Fail(E_INVALIDARG);
    r->by_key_id = true;
    r->version = 3;
    r->key_id.assign(si->SignerId.KeyId.pbData,
                     si->SignerId.KeyId.pbData + si->SignerId.KeyId.cbData);
    return true;
  }
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
  r->by_key_id = false;
  r->version = 1;
  r->issuer.assign(issuer->pbData, issuer->pbData + issuer->cbData);
  r->serial = SerialFromBlob(*serial);
  return true;
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
  const CRYPT_OBJID_BLOB& params = si->HashAlgorithm.Parameters;
  if (params.cbData && params.pbData)
    r.digest.params.assign(params.pbData, params.pbData + params.cbData);
  else
    r.digest.params = {der::kTagNull, 0};
  if (!SignerId(si, cms, &r)) return false;
  const char* key_oid =
      si->pCertInfo ? si->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId
                    : nullptr;
  if (cms && si->HashEncryptionAlgorithm.pszObjId &&
      si->HashEncryptionAlgorithm.pszObjId[0])
    r.sig_alg.oid = si->HashEncryptionAlgorithm.pszObjId;
  else
    r.sig_alg.oid = SignatureOidFor(key_oid, e->alg);
  Bytes probe;
  if (!der::EncodeOid(r.sig_alg.oid, &probe) ||
      !der::EncodeOid(r.digest.oid, &probe))
    return Fail(CRYPT_E_OID_FORMAT);
  r.sig_alg.params = {der::kTagNull, 0};
  if (!AttrsFromCapi(si->rgAuthAttr, si->cAuthAttr, &e->extra_attrs))
    return false;
  e->want_attrs =
      si->cAuthAttr > 0 || (m->flags & CMSG_AUTHENTICATED_ATTRIBUTES_FLAG);
  if (!AttrsFromCapi(si->rgUnauthAttr, si->cUnauthAttr, &r.unsigned_attrs))
    return false;
  return CryptCreateHash(e->prov, e->alg, 0, 0, e->hash.out());
}

bool CopyBlobs(const CRYPT_DATA_BLOB* blobs, DWORD n, std::vector<Bytes>* out) {
  for (DWORD i = 0; i < n; ++i) {
    const CRYPT_DATA_BLOB& b = blobs[i];
    if (!b.pbData || !b.cbData) return Fail(E_INVALIDARG);
    out->emplace_back(b.pbData, b.pbData + b.cbData);
  }
  return true;
}

}  // namespace

bool OpenEncoder(Msg* m, const CMSG_SIGNED_ENCODE_INFO* info,
                 const char* inner_type, const CMSG_STREAM_INFO* stream) {
  if (!info ||
      info->cbSize < offsetof(CMSG_SIGNED_ENCODE_INFO, cAttrCertEncoded) ||
      (info->cSigners && !info->rgSigners) ||
      (info->cCertEncoded && !info->rgCertEncoded) ||
      (info->cCrlEncoded && !info->rgCrlEncoded))
    return Fail(E_INVALIDARG);
  if (stream && !stream->pfnStreamOutput) return Fail(E_INVALIDARG);
  m->encoder = std::make_unique<Encoder>();
  Encoder& enc = *m->encoder;
  m->detached = (m->flags & CMSG_DETACHED_FLAG) != 0;
  if (inner_type && inner_type[0]) {
    Bytes probe;
    if (!der::EncodeOid(inner_type, &probe)) return Fail(CRYPT_E_OID_FORMAT);
    m->content_type = inner_type;
  }
  if (!CopyBlobs(info->rgCertEncoded, info->cCertEncoded, &m->certs) ||
      !CopyBlobs(info->rgCrlEncoded, info->cCrlEncoded, &m->crls))
    return false;
  for (DWORD i = 0; i < info->cSigners; ++i) {
    EncSigner e;
    if (!SignerFromEncodeInfo(m, &info->rgSigners[i], &e)) return false;
    AddDigestAlg(m, e.rec.digest);
    if (e.rec.version == 3) m->version = 3;
    enc.signers.push_back(std::move(e));
  }
  if (m->content_type != kOidData) m->version = 3;
  if (stream) {
    m->streaming = true;
    m->stream = *stream;
    enc.definite = stream->cbContent != CMSG_INDEFINITE_LENGTH;
    enc.expected = enc.definite ? stream->cbContent : 0;
  }
  if (enc.definite) {
    size_t len = 0;
    for (const EncSigner& e : enc.signers)
      len += PredictSignerInfo(m, e).size();
    enc.predicted_tail = der::HeaderSize(len) + len;
  }
  // The message owns the signers' providers only once it stands.
  if (m->flags & CMSG_CRYPT_RELEASE_CONTEXT_FLAG)
    for (EncSigner& e : enc.signers) e.owned_prov.reset(e.prov);
  return true;
}

bool EncodeUpdate(Msg* m, const uint8_t* p, DWORD n, bool final) {
  Encoder& enc = *m->encoder;
  if (m->finished) return Fail(CRYPT_E_MSG_ERROR);
  if (n && !p) return Fail(ERROR_INVALID_PARAMETER);
  if (m->streaming && enc.definite && n > enc.expected - enc.seen)
    return Fail(CRYPT_E_MSG_ERROR);
  if (n && !HashContent(&enc, p, n)) return false;
  enc.seen += n;
  if (!m->streaming) {
    if (!m->detached) m->content.insert(m->content.end(), p, p + n);
  } else if (!StreamContent(m, p, n)) {
    return false;
  }
  if (!final) return true;
  if (m->streaming && enc.definite && enc.seen != enc.expected)
    return Fail(CRYPT_E_MSG_ERROR);
  m->finished = true;
  if (!SignAll(m)) return false;
  m->has_content = !m->detached;
  m->content_kept = !m->streaming && !m->detached;
  if (m->streaming) return StreamTail(m);
  m->model_ready = true;
  return true;
}

bool SignedLength(Msg* m, DWORD content_len, DWORD* out) {
  Encoder& enc = *m->encoder;
  enc.expected = content_len;
  Bytes oid;
  der::EncodeOid(m->content_type, &oid);
  DefiniteLayout l = LayOut(m, der::EncodeSmallInt(m->version).size(),
                            DigestAlgsSet(m).size(), oid.size());
  size_t sd = der::HeaderSize(l.sd_body) + l.sd_body;
  if (!(m->flags & CMSG_BARE_CONTENT_FLAG))
    sd += EncodeContentInfoHead(sd, true).size();
  if (sd > UINT32_MAX) return Fail(ERROR_ARITHMETIC_OVERFLOW);
  *out = static_cast<DWORD>(sd);
  return true;
}

bool DataLength(DWORD flags, DWORD content_len, DWORD* out) {
  size_t os = der::HeaderSize(content_len) + content_len;
  size_t n = os;
  if (!(flags & CMSG_BARE_CONTENT_FLAG)) {
    Bytes oid;
    der::EncodeOid(kOidData, &oid);
    size_t body = oid.size() + der::HeaderSize(os) + os;
    n = der::HeaderSize(body) + body;
  }
  if (n > UINT32_MAX) return Fail(ERROR_ARITHMETIC_OVERFLOW);
  *out = static_cast<DWORD>(n);
  return true;
}

}  // namespace tavrix::provider::msg
