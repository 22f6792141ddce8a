#include <cstring>

#include "cades_internal.h"
#include "ltv.h"

namespace tavrix_cades {

// One digest implementation for the runtime: the verifier's, which also
// knows the SHA digests foreign evidence may carry.
bool HashWith(const std::string& hash_oid, const uint8_t* p, size_t n,
              Bytes* out) {
  if (!tavrix_ltv::HashByOid(hash_oid, p, n, out)) return Fail(NTE_BAD_ALGID);
  return true;
}

Bytes HashAlgId(const std::string& hash_oid) {
  Bytes a;
  der::AppendOid(&a, hash_oid);
  der::AppendTlv(&a, der::kTagNull, nullptr, 0);
  return der::Wrap(der::kTagSequence, a);
}

bool SignerAttributes(HCRYPTMSG msg, DWORD index, bool unsigned_attrs,
                      std::vector<uint8_t>* storage,
                      const CRYPT_ATTRIBUTES** out) {
  DWORD type = unsigned_attrs ? CMSG_SIGNER_UNAUTH_ATTR_PARAM
                              : CMSG_SIGNER_AUTH_ATTR_PARAM;
  DWORD n = 0;
  if (!CryptMsgGetParam(msg, type, index, nullptr, &n)) return false;
  // operator new's alignment suits the pointers the provider writes there.
  storage->assign(n, 0);
  if (!CryptMsgGetParam(msg, type, index, storage->data(), &n)) return false;
  *out = reinterpret_cast<const CRYPT_ATTRIBUTES*>(storage->data());
  return true;
}

const CRYPT_ATTRIBUTE* FindAttribute(const CRYPT_ATTRIBUTES* attrs,
                                     const char* oid) {
  if (!attrs) return nullptr;
  for (DWORD i = 0; i < attrs->cAttr; ++i) {
    const CRYPT_ATTRIBUTE& a = attrs->rgAttr[i];
    if (a.pszObjId && std::strcmp(a.pszObjId, oid) == 0 && a.cValue > 0 &&
        a.rgValue)
      return &a;
  }
  return nullptr;
}

}  // namespace tavrix_cades
