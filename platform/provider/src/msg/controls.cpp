// CryptMsgControl: verifying a signer, and changing the signers,
// certificates and CRLs of a message that stands whole.
#include <cstring>

#include "base/c_boundary.h"
#include "msg/algs.h"
#include "msg/message.h"

namespace tavrix::provider::msg {
namespace {

using der::BerReader;
using der::Tlv;

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

// The signed attributes' message digest must be the content's.
bool CheckMessageDigest(const SignerRec& s, const Bytes& digest) {
  const Attr* md = nullptr;
  for (const Attr& a : s.signed_attrs)
    if (a.oid == kOidMessageDigest) md = &a;
  if (!md || md->values.size() != 1) return Fail(CRYPT_E_AUTH_ATTR_MISSING);
  BerReader r(md->values[0].data(), md->values[0].size());
  Tlv e;
  Bytes value;
  if (!r.Next(&e) || (e.tag & ~0x20) != der::kTagOctetString ||
      !der::OctetStringValue(e, &value) || value != digest)
    return Fail(CRYPT_E_HASH_VALUE);
  return true;
}

bool VerifySigner(Msg* m, DWORD index, const CERT_PUBLIC_KEY_INFO* pub,
                  HCRYPTPROV prov_in) {
  if (!m->model_ready) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
  if (index >= m->signers.size()) return Fail(CRYPT_E_SIGNER_NOT_FOUND);
  if (!pub || !pub->Algorithm.pszObjId) return Fail(E_INVALIDARG);
  const SignerRec& s = m->signers[index];
  ALG_ID alg = HashAlgFromOid(s.digest.oid);
  if (!alg) return Fail(CRYPT_E_UNKNOWN_ALGO);
  Bytes digest;
  if (!ContentDigest(m, alg, &digest)) return false;
  if (s.has_signed_attrs && !CheckMessageDigest(s, digest)) return false;
  HCRYPTPROV prov = prov_in;
  ProvHandle own;
  if (!prov) {
    if (!AcquireVerifyProvider(pub->Algorithm.pszObjId, alg, own.out()))
      return false;
    prov = own.get();
  }
  HashHandle h;
  KeyHandle key;
  if (!CryptCreateHash(prov, alg, 0, 0, h.out())) return false;
  if (s.has_signed_attrs
          ? !CryptHashData(h.get(), s.signed_attrs_set.data(),
                           static_cast<DWORD>(s.signed_attrs_set.size()), 0)
          : !CryptSetHashParam(h.get(), HP_HASHVAL, digest.data(), 0))
    return false;
  if (!CryptImportPublicKeyInfo(prov, X509_ASN_ENCODING,
                                const_cast<CERT_PUBLIC_KEY_INFO*>(pub),
                                key.out()))
    return false;
  Bytes sig = ReverseBytes(s.signature);
  SetLastError(0);
  if (CryptVerifySignatureW(h.get(), sig.data(), static_cast<DWORD>(sig.size()),
                            key.get(), nullptr, 0))
    return true;
  return Fail(GetLastError() ? GetLastError() : NTE_BAD_SIGNATURE);
}

// The public key a CMSG_CTRL_VERIFY_SIGNATURE_EX names, or null.
const CERT_PUBLIC_KEY_INFO* VerifyKey(
    const CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA* p) {
  switch (p->dwSignerType) {
    case CMSG_VERIFY_SIGNER_PUBKEY:
      return static_cast<const CERT_PUBLIC_KEY_INFO*>(p->pvSigner);
    case CMSG_VERIFY_SIGNER_CERT: {
      auto c = static_cast<PCCERT_CONTEXT>(p->pvSigner);
      return c->pCertInfo ? &c->pCertInfo->SubjectPublicKeyInfo : nullptr;
    }
    case CMSG_VERIFY_SIGNER_CHAIN: {
      auto ch = static_cast<PCCERT_CHAIN_CONTEXT>(p->pvSigner);
      if (!ch->cChain || !ch->rgpChain[0]->cElement) return nullptr;
      PCCERT_CONTEXT c = ch->rgpChain[0]->rgpElement[0]->pCertContext;
      return c && c->pCertInfo ? &c->pCertInfo->SubjectPublicKeyInfo : nullptr;
    }
    default:
      return nullptr;
  }
}

Bytes BlobBytes(const CRYPT_DATA_BLOB& b) {
  return b.pbData ? Bytes(b.pbData, b.pbData + b.cbData) : Bytes();
}

bool SignerIdFromCms(const CERT_ID& id, SignerRec* r) {
  if (id.dwIdChoice == CERT_ID_KEY_IDENTIFIER) {
    if (!id.KeyId.pbData || !id.KeyId.cbData) return Fail(E_INVALIDARG);
    r->by_key_id = true;
    r->version = 3;
    r->key_id = BlobBytes(id.KeyId);
    return true;
  }
  if (id.dwIdChoice != CERT_ID_ISSUER_SERIAL_NUMBER) return Fail(E_INVALIDARG);
  const CERT_ISSUER_SERIAL_NUMBER& is = id.IssuerSerialNumber;
  if (!is.Issuer.pbData || !is.Issuer.cbData || !is.SerialNumber.pbData ||
      !is.SerialNumber.cbData)
    return Fail(E_INVALIDARG);
  // The issuer must be one DER element.
  BerReader nr(is.Issuer.pbData, is.Issuer.cbData);
  Tlv ne;
  if (!nr.Expect(der::kTagSequence, &ne) || !nr.empty())
    return Fail(CRYPT_E_ASN1_BADTAG);
  r->version = 1;
  r->issuer = BlobBytes(is.Issuer);
  r->serial = SerialFromBlob(is.SerialNumber);
  return true;
}

bool SignerFromCmsInfo(const CMSG_CMS_SIGNER_INFO* ci, SignerRec* r) {
  Bytes probe;
  if (!ci->HashAlgorithm.pszObjId || !ci->HashEncryptionAlgorithm.pszObjId ||
      !der::EncodeOid(ci->HashAlgorithm.pszObjId, &probe) ||
      !der::EncodeOid(ci->HashEncryptionAlgorithm.pszObjId, &probe))
    return Fail(CRYPT_E_OID_FORMAT);
  if (!SignerIdFromCms(ci->SignerId, r)) return false;
  r->digest.oid = ci->HashAlgorithm.pszObjId;
  r->digest.params = BlobBytes(ci->HashAlgorithm.Parameters);
  r->sig_alg.oid = ci->HashEncryptionAlgorithm.pszObjId;
  r->sig_alg.params = BlobBytes(ci->HashEncryptionAlgorithm.Parameters);
  if (!ci->EncryptedHash.pbData || !ci->EncryptedHash.cbData)
    return Fail(E_INVALIDARG);
  r->signature = BlobBytes(ci->EncryptedHash);
  if (!AttrsFromCapi(ci->AuthAttrs.rgAttr, ci->AuthAttrs.cAttr,
                     &r->signed_attrs) ||
      !AttrsFromCapi(ci->UnauthAttrs.rgAttr, ci->UnauthAttrs.cAttr,
                     &r->unsigned_attrs))
    return false;
  r->has_signed_attrs = ci->AuthAttrs.cAttr > 0;
  if (r->has_signed_attrs)
    r->signed_attrs_set = EncodeAttributes(der::kTagSet, r->signed_attrs);
  return true;
}

bool VerifyByCertInfo(Msg* m, const CERT_INFO* ci) {
  if (!ci) return Fail(E_INVALIDARG);
  for (DWORD i = 0; i < m->signers.size(); ++i)
    if (SignerMatchesCertInfo(m->signers[i], ci))
      return VerifySigner(m, i, &ci->SubjectPublicKeyInfo, m->user_prov);
  return Fail(CRYPT_E_SIGNER_NOT_FOUND);
}

bool VerifyEx(Msg* m, const CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA* p) {
  if (!p || p->cbSize < sizeof(*p) || !p->pvSigner) return Fail(E_INVALIDARG);
  const CERT_PUBLIC_KEY_INFO* pub = VerifyKey(p);
  if (!pub) return Fail(E_INVALIDARG);
  return VerifySigner(m, p->dwSignerIndex, pub,
                      p->hCryptProv ? p->hCryptProv : m->user_prov);
}

bool AddCmsSigner(Msg* m, const CMSG_CMS_SIGNER_INFO* ci) {
  if (!ci) return Fail(E_INVALIDARG);
  SignerRec r;
  if (!SignerFromCmsInfo(ci, &r)) return false;
  AddDigestAlg(m, r.digest);
  m->signers.push_back(std::move(r));
  UpdateVersion(m);
  return true;
}

bool AddUnauthAttr(Msg* m, const CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA* p) {
  if (!p || !p->blob.pbData) return Fail(E_INVALIDARG);
  if (p->dwSignerIndex >= m->signers.size()) return Fail(CRYPT_E_INVALID_INDEX);
  Attr a;
  if (!ParseAttribute(p->blob.pbData, p->blob.cbData, &a)) return false;
  m->signers[p->dwSignerIndex].unsigned_attrs.push_back(std::move(a));
  return true;
}

bool DelUnauthAttr(Msg* m, const CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR_PARA* p) {
  if (!p) return Fail(E_INVALIDARG);
  if (p->dwSignerIndex >= m->signers.size()) return Fail(CRYPT_E_INVALID_INDEX);
  auto& attrs = m->signers[p->dwSignerIndex].unsigned_attrs;
  if (p->dwUnauthAttrIndex >= attrs.size()) return Fail(CRYPT_E_INVALID_INDEX);
  attrs.erase(attrs.begin() + p->dwUnauthAttrIndex);
  return true;
}

bool AddEncoded(std::vector<Bytes>* list, const CERT_BLOB* b) {
  if (!b || !b->pbData || !b->cbData) return Fail(E_INVALIDARG);
  BerReader r(b->pbData, b->cbData);
  Tlv e;
  if (!r.Expect(der::kTagSequence, &e)) return Fail(r.error());
  if (!r.empty()) return Fail(CRYPT_E_ASN1_CORRUPT);
  list->emplace_back(b->pbData, b->pbData + b->cbData);
  return true;
}

template <typename T>
bool Erase(std::vector<T>* list, const void* para) {
  if (!para) return Fail(E_INVALIDARG);
  DWORD i = *static_cast<const DWORD*>(para);
  if (i >= list->size()) return Fail(CRYPT_E_INVALID_INDEX);
  list->erase(list->begin() + i);
  return true;
}

}  // namespace

bool Control(Msg* m, DWORD type, const void* para) {
  if (!m->model_ready) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
  switch (type) {
    case CMSG_CTRL_VERIFY_SIGNATURE:
      return VerifyByCertInfo(m, static_cast<const CERT_INFO*>(para));
    case CMSG_CTRL_VERIFY_SIGNATURE_EX:
      return VerifyEx(
          m, static_cast<const CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA*>(para));
    case CMSG_CTRL_ADD_CMS_SIGNER_INFO:
      return AddCmsSigner(m, static_cast<const CMSG_CMS_SIGNER_INFO*>(para));
    case CMSG_CTRL_DEL_SIGNER:
      if (!Erase(&m->signers, para)) return false;
      UpdateVersion(m);
      return true;
    case CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR:
      return AddUnauthAttr(
          m, static_cast<const CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA*>(para));
    case CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR:
      return DelUnauthAttr(
          m, static_cast<const CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR_PARA*>(para));
    case CMSG_CTRL_ADD_CERT:
      return AddEncoded(&m->certs, static_cast<const CERT_BLOB*>(para));
    case CMSG_CTRL_ADD_CRL:
      return AddEncoded(&m->crls, static_cast<const CERT_BLOB*>(para));
    case CMSG_CTRL_DEL_CERT:
      return Erase(&m->certs, para);
    case CMSG_CTRL_DEL_CRL:
      return Erase(&m->crls, para);
    default:
      return Fail(CRYPT_E_CONTROL_TYPE);
  }
}

}  // namespace tavrix::provider::msg
