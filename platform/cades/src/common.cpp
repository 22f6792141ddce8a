#include <capi/gost.h>

#include <cstring>

#include "cades_internal.h"

namespace tavrix_cades {

namespace {

bool HashAlgOf(const std::string& oid, ALG_ID* alg, DWORD* prov_type) {
  if (oid == szOID_CP_GOST_R3411) {
    *alg = CALG_GR3411;
    *prov_type = PROV_GOST_2001_DH;
  } else if (oid == szOID_CP_GOST_R3411_12_256) {
    *alg = CALG_GR3411_2012_256;
    *prov_type = PROV_GOST_2012_256;
  } else if (oid == szOID_CP_GOST_R3411_12_512) {
    *alg = CALG_GR3411_2012_512;
    *prov_type = PROV_GOST_2012_512;
  } else {
    return false;
  }
  return true;
}

}  // namespace

bool HashWith(const std::string& hash_oid, const uint8_t* p, size_t n,
              Bytes* out) {
  ALG_ID alg = 0;
  DWORD type = 0;
  if (!HashAlgOf(hash_oid, &alg, &type)) return Fail(NTE_BAD_ALGID);
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, nullptr, nullptr, type, CRYPT_VERIFYCONTEXT))
    return false;
  HCRYPTHASH h = 0;
  bool ok = CryptCreateHash(prov, alg, 0, 0, &h);
  // Content may exceed what one DWORD call takes.
  while (ok && n > 0) {
    DWORD part = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
    ok = CryptHashData(h, p, part, 0);
    p += part;
    n -= part;
  }
  DWORD len = 0;
  if (ok) ok = CryptGetHashParam(h, HP_HASHVAL, nullptr, &len, 0);
  if (ok) {
    out->assign(len, 0);
    ok = CryptGetHashParam(h, HP_HASHVAL, out->data(), &len, 0);
    out->resize(len);
  }
  DWORD err = ok ? 0 : GetLastError();
  if (h) CryptDestroyHash(h);
  CryptReleaseContext(prov, 0);
  if (!ok) return Fail(err);
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
