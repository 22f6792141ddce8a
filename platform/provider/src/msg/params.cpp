// CryptMsgGetParam: the model's parts as bytes, counts, or structures laid
// out in one caller buffer.
#include <type_traits>

#include "base/c_boundary.h"
#include "base/flat_out.h"
#include "msg/algs.h"
#include "msg/encoder.h"

namespace tavrix::provider::msg {
namespace {

void PutAlg(FlatOut* f, size_t field, const AlgId& a) {
  f->String(field + offsetof(CRYPT_ALGORITHM_IDENTIFIER, pszObjId), a.oid);
  f->Blob(field + offsetof(CRYPT_ALGORITHM_IDENTIFIER, Parameters), a.params);
}

void PutAttrs(FlatOut* f, size_t field, const std::vector<Attr>& attrs) {
  size_t arr = f->Alloc(sizeof(CRYPT_ATTRIBUTE) * attrs.size());
  for (size_t i = 0; i < attrs.size(); ++i) {
    size_t at = arr + i * sizeof(CRYPT_ATTRIBUTE);
    f->String(at + offsetof(CRYPT_ATTRIBUTE, pszObjId), attrs[i].oid);
    const std::vector<Bytes>& values = attrs[i].values;
    size_t vals = f->Alloc(sizeof(CRYPT_ATTR_BLOB) * values.size());
    for (size_t v = 0; v < values.size(); ++v)
      f->Blob(vals + v * sizeof(CRYPT_ATTR_BLOB), values[v]);
    f->At<CRYPT_ATTRIBUTE>(at)->cValue = static_cast<DWORD>(values.size());
    if (!values.empty())
      f->Point(at + offsetof(CRYPT_ATTRIBUTE, rgValue), vals);
  }
  f->At<CRYPT_ATTRIBUTES>(field)->cAttr = static_cast<DWORD>(attrs.size());
  if (!attrs.empty()) f->Point(field + offsetof(CRYPT_ATTRIBUTES, rgAttr), arr);
}

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

// The signer as issuer and serial (serial blobs are least significant byte
// first), or as the key-identifier name with no serial.
void PutIssuerSerial(FlatOut* f, size_t issuer, size_t serial,
                     const SignerRec& s) {
  f->Blob(issuer, s.by_key_id ? KeyIdName(s.key_id) : s.issuer);
  f->Blob(serial, s.by_key_id ? Bytes() : ReverseBytes(s.serial));
}

// The part both signer-info forms share, after the signer's identifier.
template <typename Info>
void PutSignedPart(FlatOut* f, size_t info, const SignerRec& s) {
  PutAlg(f, info + offsetof(Info, HashAlgorithm), s.digest);
  PutAlg(f, info + offsetof(Info, HashEncryptionAlgorithm), s.sig_alg);
  f->Blob(info + offsetof(Info, EncryptedHash), s.signature);
  PutAttrs(f, info + offsetof(Info, AuthAttrs), s.signed_attrs);
  PutAttrs(f, info + offsetof(Info, UnauthAttrs), s.unsigned_attrs);
  f->At<Info>(info)->dwVersion = s.version;
}

// CMSG_SIGNER_INFO, and CERT_INFO with only the signer's identifier.
template <typename Info>
FlatOut ByIssuerSerial(const SignerRec& s) {
  FlatOut f;
  size_t info = f.Alloc<Info>();
  PutIssuerSerial(&f, info + offsetof(Info, Issuer),
                  info + offsetof(Info, SerialNumber), s);
  if constexpr (std::is_same_v<Info, CMSG_SIGNER_INFO>)
    PutSignedPart<Info>(&f, info, s);
  return f;
}

FlatOut CmsSignerInfo(const SignerRec& s) {
  FlatOut f;
  size_t info = f.Alloc<CMSG_CMS_SIGNER_INFO>();
  size_t id = info + offsetof(CMSG_CMS_SIGNER_INFO, SignerId);
  if (s.by_key_id) {
    f.At<CERT_ID>(id)->dwIdChoice = CERT_ID_KEY_IDENTIFIER;
    f.Blob(id + offsetof(CERT_ID, KeyId), s.key_id);
  } else {
    f.At<CERT_ID>(id)->dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
    size_t is = id + offsetof(CERT_ID, IssuerSerialNumber);
    PutIssuerSerial(&f, is + offsetof(CERT_ISSUER_SERIAL_NUMBER, Issuer),
                    is + offsetof(CERT_ISSUER_SERIAL_NUMBER, SerialNumber), s);
  }
  PutSignedPart<CMSG_CMS_SIGNER_INFO>(&f, info, s);
  return f;
}

FlatOut Attributes(const std::vector<Attr>& attrs) {
  FlatOut f;
  PutAttrs(&f, f.Alloc<CRYPT_ATTRIBUTES>(), attrs);
  return f;
}

FlatOut Algorithm(const AlgId& a) {
  FlatOut f;
  PutAlg(&f, f.Alloc<CRYPT_ALGORITHM_IDENTIFIER>(), a);
  return f;
}

bool CopyBytes(const Bytes& b, void* pv, DWORD* pcb) {
  return CopyOut(b.data(), b.size(), pv, pcb);
}
bool CopyCount(size_t n, void* pv, DWORD* pcb) {
  DWORD c = static_cast<DWORD>(n);
  return CopyOut(&c, sizeof(c), pv, pcb);
}

// Whether the model can answer this parameter yet.
bool Ready(const Msg* m, DWORD type) {
  if (!m->encoding()) return m->model_ready;
  if (m->finished && !m->streaming) return true;
  return m->model_ready && type != CMSG_CONTENT_PARAM &&
         type != CMSG_BARE_CONTENT_PARAM && type != CMSG_ENCODED_MESSAGE &&
         type != CMSG_COMPUTED_HASH_PARAM;
}

// Parameters of one signer.
bool SignerParam(Msg* m, const SignerRec& s, DWORD type, void* pv, DWORD* pcb) {
  switch (type) {
    case CMSG_SIGNER_INFO_PARAM:
      return ByIssuerSerial<CMSG_SIGNER_INFO>(s).CopyOut(pv, pcb);
    case CMSG_CMS_SIGNER_INFO_PARAM:
      return CmsSignerInfo(s).CopyOut(pv, pcb);
    case CMSG_SIGNER_CERT_INFO_PARAM:
      return ByIssuerSerial<CERT_INFO>(s).CopyOut(pv, pcb);
    case CMSG_SIGNER_HASH_ALGORITHM_PARAM:
      return Algorithm(s.digest).CopyOut(pv, pcb);
    case CMSG_SIGNER_AUTH_ATTR_PARAM:
      return Attributes(s.signed_attrs).CopyOut(pv, pcb);
    case CMSG_SIGNER_UNAUTH_ATTR_PARAM:
      return Attributes(s.unsigned_attrs).CopyOut(pv, pcb);
    case CMSG_ENCRYPTED_DIGEST:
      return CopyBytes(s.signature, pv, pcb);
    case CMSG_ENCODED_SIGNER:
      return CopyBytes(EncodeSignerInfo(s), pv, pcb);
    case CMSG_COMPUTED_HASH_PARAM: {
      ALG_ID alg = HashAlgFromOid(s.digest.oid);
      if (!alg) return Fail(CRYPT_E_UNKNOWN_ALGO);
      Bytes d;
      return ContentDigest(m, alg, &d) && CopyBytes(d, pv, pcb);
    }
    default:
      return Fail(CRYPT_E_INVALID_MSG_TYPE);
  }
}

bool IsSignerParam(DWORD type) {
  switch (type) {
    case CMSG_SIGNER_INFO_PARAM:
    case CMSG_CMS_SIGNER_INFO_PARAM:
    case CMSG_SIGNER_CERT_INFO_PARAM:
    case CMSG_SIGNER_HASH_ALGORITHM_PARAM:
    case CMSG_SIGNER_AUTH_ATTR_PARAM:
    case CMSG_SIGNER_UNAUTH_ATTR_PARAM:
    case CMSG_ENCRYPTED_DIGEST:
    case CMSG_ENCODED_SIGNER:
    case CMSG_COMPUTED_HASH_PARAM:
      return true;
    default:
      return false;
  }
}

bool ListItem(const std::vector<Bytes>& list, DWORD index, void* pv,
              DWORD* pcb) {
  if (index >= list.size()) return Fail(CRYPT_E_INVALID_INDEX);
  return CopyBytes(list[index], pv, pcb);
}

}  // namespace

bool GetParam(Msg* m, DWORD type, DWORD index, void* pv, DWORD* pcb) {
  if (!pcb) return Fail(ERROR_INVALID_PARAMETER);
  if (type == CMSG_TYPE_PARAM) return CopyCount(CMSG_SIGNED, pv, pcb);
  if (!Ready(m, type)) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
  if (IsSignerParam(type)) {
    if (index >= m->signers.size()) return Fail(CRYPT_E_INVALID_INDEX);
    return SignerParam(m, m->signers[index], type, pv, pcb);
  }
  // Content that was streamed through is not here to encode again.
  const bool content_gone = m->has_content && !m->content_kept;
  switch (type) {
    case CMSG_CONTENT_PARAM:
      if (m->encoding()) return CopyBytes(EncodeContentInfo(m), pv, pcb);
      if (content_gone) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
      return CopyBytes(m->content, pv, pcb);
    case CMSG_BARE_CONTENT_PARAM:
      if (content_gone) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
      return CopyBytes(EncodeSignedData(m), pv, pcb);
    case CMSG_ENCODED_MESSAGE:
      if (content_gone) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
      return CopyBytes(EncodeContentInfo(m), pv, pcb);
    case CMSG_INNER_CONTENT_TYPE_PARAM:
      return CopyOut(m->content_type.c_str(), m->content_type.size() + 1, pv,
                     pcb);
    case CMSG_VERSION_PARAM:
      return CopyCount(m->version, pv, pcb);
    case CMSG_SIGNER_COUNT_PARAM:
      return CopyCount(m->signers.size(), pv, pcb);
    case CMSG_CERT_COUNT_PARAM:
      return CopyCount(m->certs.size(), pv, pcb);
    case CMSG_CRL_COUNT_PARAM:
      return CopyCount(m->crls.size(), pv, pcb);
    case CMSG_CERT_PARAM:
      return ListItem(m->certs, index, pv, pcb);
    case CMSG_CRL_PARAM:
      return ListItem(m->crls, index, pv, pcb);
    default:
      return Fail(CRYPT_E_INVALID_MSG_TYPE);
  }
}

}  // namespace tavrix::provider::msg
