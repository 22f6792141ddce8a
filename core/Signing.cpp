// Signing data that a page passes as a string: CMS messages (attached or
// detached), CMS messages for a hash computed by the page, raw GOST
// signatures wrapped for XML signatures, and the hash algorithm query.
#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "CadesF.h"
#include "SignerSetup.h"
#include "TavrixCtrl.h"
#include "TavrixUtils.h"
#include "base64.h"

namespace {

const DWORD kCertEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// Provider-defined open flag that every CMS message of ours is made with.
const DWORD kMsgProviderFlag = 0x200;
const char kErrorPrefix[] = "<?xml version='1.0' encoding='utf-8'?><Error>";
const char kXmlPrologRoot[] = "<?xml version='1.0' encoding='utf-8'?><root>";

const int kFlagBase64 = 0x01;
const int kFlagCades = 0x02;
const int kFlagAttached = 0x04;
const int kFlagXml = 0x08;
const int kFlagNoTimeStamp = 0x10;
const int kFlagHash = 0x20;
const int kFlagQuery = 0x40;

// A provider that never ends its algorithm list must not hang the browser.
const int kMaxAlgorithms = 4096;

bool IsError(const std::string& s) {
  return s.find(kErrorPrefix) != std::string::npos;
}

// Runs a cleanup step without letting it overwrite the failing call's last
// error, which the Error envelope reads afterwards.
template <typename Fn>
void KeepingLastError(Fn fn) {
  DWORD err = GetLastError();
  fn();
  SetLastError(err);
}

// Base64 as pages send it: the alphabet, padding and line breaks. Anything
// else would be skipped by the decoder and a different text signed.
bool LooksLikeBase64(const std::string& text) {
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
        (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=' ||
        c == '\r' || c == '\n' || c == ' ' || c == '\t')
      continue;
    return false;
  }
  return true;
}

std::vector<unsigned char> DecodeBase64(const std::string& text) {
  std::vector<unsigned char> out(base64::GetLengthToDecode(text.size()));
  size_t len = 0;
  base64::decoding(text.data(), text.size(),
                   reinterpret_cast<char*>(out.data()), &len);
  out.resize(std::min(len, out.size()));
  return out;
}

std::string Encode(const unsigned char* data, size_t len, bool split) {
  return base64::encoding(reinterpret_cast<const char*>(data), len, split);
}

// CryptoAPI rejects a null data pointer even for zero bytes on some paths.
const BYTE* DataOrEmpty(const std::vector<unsigned char>& v) {
  static const BYTE kNothing = 0;
  return v.empty() ? &kNothing : v.data();
}

// GOST R 34.10-2012 keys, whose signatures are defined over the
// GOST R 34.11-2012 hash of their own size.
bool Is2012Key(PCCERT_CONTEXT cert) {
  if (cert == nullptr || cert->pCertInfo == nullptr) return false;
  const char* oid = cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
  if (oid == nullptr) return false;
  return std::strcmp(oid, szOID_CP_GOST_R3410_12_256) == 0 ||
         std::strcmp(oid, szOID_CP_GOST_R3410_12_512) == 0;
}

std::string OidInfoName(PCCRYPT_OID_INFO info) {
  if (info == nullptr || info->pwszName == nullptr) return "";
  try {
    return TavrixUtils::wstring_to_utf8(info->pwszName);
  } catch (const std::exception&) {
    return "";
  }
}

}  // namespace

std::string TavrixCtrl::Sign(const std::string& text,
                             const std::string& certName, int flags) {
  TavrixUtils::ODebug("Sign: certName=" + certName + " flags=" +
                      toString(flags) + " textLen=" + toString(text.size()));
  // The pointers name the caller's arguments; they must not outlive them.
  struct ArgsGuard {
    TavrixCtrl* c;
    ~ArgsGuard() { c->signText = c->signCertName = nullptr; }
  } argsGuard{this};
  signCertName = certName.c_str();

  std::vector<unsigned char> data;
  if ((flags & kFlagQuery) == 0) {
    if (text.empty()) {
      TavrixUtils::ODebug("Sign: tText is empty. exit!");
      return "";
    }
    signText = text.c_str();
    if (flags & kFlagBase64) {
      if (!LooksLikeBase64(text)) {
        TavrixUtils::ODebug("Sign: text is not base64");
        SetLastError(static_cast<DWORD>(CRYPT_E_BAD_ENCODE));
        return MyHandleError("Ошибка в Sign: данные не в формате base64",
                             false);
      }
      data = DecodeBase64(text);
    } else {
      data.assign(text.begin(), text.end());
    }
    // Message calls take 32-bit lengths.
    if (data.size() > UINT32_MAX) {
      SetLastError(static_cast<DWORD>(NTE_BAD_LEN));
      return MyHandleError("Ошибка в Sign: слишком большие данные", false);
    }
  }

  std::string found = CertProvFinder(certName);
  if (IsError(found)) return found;

  dwMsgFlags = (flags & kFlagAttached) ? 0 : CMSG_DETACHED_FLAG;
  if (flags & kFlagXml) smevMode = true;
  TavrixUtils::ODebug("Sign: dwMsgFlags=" + toString(dwMsgFlags) +
                      " smevMode=" + toString(smevMode));

  if (flags & kFlagQuery) {
    PCCRYPT_OID_INFO info = nullptr;
    std::string r = FindHashAlgoritmByProvider(info);
    if (r.find("<Error>") != std::string::npos) return r;
    TavrixUtils::ODebug(std::string("Sign: hash OID=") + info->pszOID);
    return info->pszOID;
  }

  if (flags & kFlagCades) {
    if (cades == nullptr && CadesF::FindCadesDll() == "1") cades = new CadesF();
    if (cades == nullptr) {
      TavrixUtils::ODebug("Sign: no CAdES runtime");
      return MyHandleError("Не найдена библиотека cades.dll", false);
    }
    std::string r = SignCades(data, (flags & kFlagNoTimeStamp) == 0);
    delete cades;
    cades = nullptr;
    return r;
  }

  if (flags & kFlagHash) return SignHash(data);
  return SignCrypt(data);
}

std::string TavrixCtrl::FindHashAlgoritmByProvider(PCCRYPT_OID_INFO& oidInfo) {
  TavrixUtils::ODebug("FindHashAlgoritmByProvider: hProv=" +
                      toString(hProvCurrent));
  oidInfo = nullptr;
  DWORD size = 0;
  if (!CryptGetProvParam(hProvCurrent, PP_ENUMALGS, nullptr, &size,
                         CRYPT_FIRST)) {
    if (GetLastError() != ERROR_NO_MORE_ITEMS)
      return MyHandleError(
          "Ошибка в FindHashAlgoritmByProvider-CryptGetProvParam-1", false);
    size = 0;
  }

  if (size != 0) {
    std::vector<BYTE> buffer;
    try {
      // Room for a whole entry even when a provider reports less, so the
      // fields read below always lie inside the buffer.
      buffer.assign(std::max<size_t>(size, sizeof(PROV_ENUMALGS)), 0);
    } catch (const std::bad_alloc&) {
      return MyHandleError(
          "Ошибка в FindHashAlgoritmByProvider-malloc(enAlnLen)", false);
    }
    DWORD flag = CRYPT_FIRST;
    for (int n = 0; n < kMaxAlgorithms && oidInfo == nullptr; ++n) {
      std::fill(buffer.begin(), buffer.end(), 0);
      DWORD len = static_cast<DWORD>(buffer.size());
      if (!CryptGetProvParam(hProvCurrent, PP_ENUMALGS, buffer.data(), &len,
                             flag)) {
        if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
        return MyHandleError(
            "Ошибка в FindHashAlgoritmByProvider-CryptGetProvParam-2", false);
      }
      flag = CRYPT_NEXT;
      PROV_ENUMALGS entry;
      std::memcpy(&entry, buffer.data(), sizeof entry);
      if (GET_ALG_CLASS(entry.aiAlgid) != ALG_CLASS_HASH) continue;
      PCCRYPT_OID_INFO info =
          CryptFindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &entry.aiAlgid,
                           CRYPT_HASH_ALG_OID_GROUP_ID);
      if (info != nullptr && info->pszOID != nullptr && *info->pszOID != 0)
        oidInfo = info;
    }
  }

  if (oidInfo == nullptr) {
    // Signing on without an algorithm would make a message that names none.
    TavrixUtils::ODebug("FindHashAlgoritmByProvider: no hash algorithm");
    SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
    return MyHandleError(
        "Ошибка в FindHashAlgoritmByProvider: алгоритм хеширования не найден",
        false);
  }
  TavrixUtils::ODebug(std::string("FindHashAlgoritmByProvider: OID=") +
                      oidInfo->pszOID + " Algid=" + toString(oidInfo->Algid));
  return "";
}

std::string TavrixCtrl::SignCrypt(const std::vector<unsigned char>& data) {
  TavrixUtils::ODebug("SignCrypt: size=" + toString(data.size()) +
                      " dwMsgFlags=" + toString(dwMsgFlags));
  PCCRYPT_OID_INFO hashInfo = nullptr;
  std::string r = FindHashAlgoritmByProvider(hashInfo);
  if (r.find("<Error>") != std::string::npos) return r;

  tavrix_ctrl::SignedEncodeInfo encode(pCertContextCurrent, hProvCurrent,
                                       dwKeySpec, hashInfo->pszOID,
                                       sizeof(CMSG_SIGNER_ENCODE_INFO));
  CMSG_SIGNED_ENCODE_INFO& info = encode.info;

  HCRYPTMSG msg =
      CryptMsgOpenToEncode(kCertEncoding, dwMsgFlags | kMsgProviderFlag,
                           CMSG_SIGNED, &info, nullptr, nullptr);
  if (msg == nullptr) {
    TavrixUtils::ODebug("SignCrypt: CryptMsgOpenToEncode failed");
    return MyHandleError("Ошибка в CryptMsgOpenToEncode", false);
  }
  auto fail = [&](const char* text) {
    KeepingLastError([&] { CryptMsgClose(msg); });
    TavrixUtils::ODebug(std::string("SignCrypt: failed ") + text);
    return MyHandleError(text, false);
  };
  if (!CryptMsgUpdate(msg, DataOrEmpty(data), static_cast<DWORD>(data.size()),
                      TRUE))
    return fail("Ошибка в CryptMsgUpdate");
  DWORD size = 0;
  if (!CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, nullptr, &size))
    return fail("Ошибка в CryptMsgGetParam");
  std::vector<BYTE> encoded(size);
  if (!CryptMsgGetParam(msg, CMSG_CONTENT_PARAM, 0, encoded.data(), &size))
    return fail("Ошибка в CryptMsgGetParam");
  encoded.resize(std::min<size_t>(size, encoded.size()));
  CryptMsgClose(msg);
  TavrixUtils::ODebug("SignCrypt: encoded " + toString(encoded.size()) +
                      " bytes");

  if (!smevMode) return Encode(encoded.data(), encoded.size(), true);

  std::string canonical =
      CanonicalizeXml(std::string(data.begin(), data.end()));
  if (IsError(canonical)) return canonical;
  std::string signature = SignDigSig(
      std::vector<unsigned char>(canonical.begin(), canonical.end()));
  if (IsError(signature)) return signature;

  // The name shown is the hash the signature was made with. The
  // certificate's own signature algorithm names it whenever its issuer
  // uses the key's family; a mixed certificate falls back to the hash used.
  const ALG_ID used =
      Is2012Key(pCertContextCurrent) ? hashInfo->Algid : CALG_GR3411;
  const char* certSigOid =
      pCertContextCurrent->pCertInfo->SignatureAlgorithm.pszObjId;
  PCCRYPT_OID_INFO shown = nullptr;
  if (certSigOid != nullptr) {
    ALG_ID certAlg = CertOIDToAlgId(certSigOid);
    shown = CryptFindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &certAlg, 0);
  }
  if (shown == nullptr || shown->Algid != used) {
    ALG_ID key = used;
    shown = used == hashInfo->Algid
                ? hashInfo
                : CryptFindOIDInfo(CRYPT_OID_INFO_ALGID_KEY, &key, 0);
  }
  std::string algOid, algName;
  if (shown != nullptr && shown->pszOID != nullptr) {
    algOid = shown->pszOID;
    algName = OidInfoName(shown);
  } else if (certSigOid != nullptr) {
    // No registered entry: the certificate's identifier still tells a
    // verifier the family, and no name is invented.
    algOid = certSigOid;
  }
  TavrixUtils::ODebug("SignCrypt: algOID=" + algOid + " algName=" + algName);
  return std::string(kXmlPrologRoot) + "<signature algOID='" + algOid +
         "' algName='" + algName + "'>" + signature + "</signature>" +
         "<certificate>" +
         Encode(pCertContextCurrent->pbCertEncoded,
                pCertContextCurrent->cbCertEncoded, false) +
         "</certificate></root>";
}

std::string TavrixCtrl::SignDigSig(const std::vector<unsigned char>& data) {
  TavrixUtils::ODebug("SignDigSig: size=" + toString(data.size()));
  ALG_ID alg = CALG_GR3411;
  if (Is2012Key(pCertContextCurrent)) {
    PCCRYPT_OID_INFO info = nullptr;
    std::string r = FindHashAlgoritmByProvider(info);
    if (r.find("<Error>") != std::string::npos) return r;
    alg = info->Algid;
  }
  TavrixUtils::ODebug("SignDigSig: hash Algid=" + toString(alg));

  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(hProvCurrent, alg, 0, 0, &hash))
    return MyHandleError("Ошибка в SignDigSig-CryptCreateHash", false);
  auto fail = [&](const char* text) {
    KeepingLastError([&] { CryptDestroyHash(hash); });
    TavrixUtils::ODebug(std::string("SignDigSig: failed ") + text);
    return MyHandleError(text, false);
  };
  if (!CryptHashData(hash, DataOrEmpty(data), static_cast<DWORD>(data.size()),
                     0))
    return fail("Ошибка в SignDigSig-CryptHashData");
  DWORD size = 0;
  if (!CryptSignHashW(hash, dwKeySpec, nullptr, 0, nullptr, &size))
    return fail("Ошибка в SignDigSig-CryptSignHash");
  std::vector<BYTE> sig;
  try {
    sig.resize(size);
  } catch (const std::bad_alloc&) {
    return fail("Ошибка в SignDigSig-new BYTE");
  }
  if (!CryptSignHashW(hash, dwKeySpec, nullptr, 0, sig.data(), &size))
    return fail("Ошибка в SignDigSig-CryptSignHash");
  sig.resize(std::min<size_t>(size, sig.size()));
  CryptDestroyHash(hash);
  std::reverse(sig.begin(), sig.end());
  TavrixUtils::ODebug("SignDigSig: signature " + toString(sig.size()) +
                      " bytes");
  return Encode(sig.data(), sig.size(), false);
}

std::string TavrixCtrl::SignHash(const std::vector<unsigned char>& hashValue) {
  PCCRYPT_OID_INFO hashInfo = nullptr;
  std::string r = FindHashAlgoritmByProvider(hashInfo);
  if (r.find("<Error>") != std::string::npos) return r;

  HCRYPTHASH hash = 0;
  if (!CryptCreateHash(hProvCurrent, hashInfo->Algid, 0, 0, &hash))
    return MyHandleError("Ошибка в SignHash-CryptCreateHash", false);
  auto failHash = [&](const char* text) {
    KeepingLastError([&] { CryptDestroyHash(hash); });
    return MyHandleError(text, false);
  };
  // The provider copies a whole hash value from the pointer it is given,
  // whatever the page sent: anything but the exact size is refused here.
  DWORD hashSize = 0;
  DWORD hashSizeLen = sizeof hashSize;
  if (!CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&hashSize),
                         &hashSizeLen, 0))
    return failHash("Ошибка в SignHash-CryptSetHashParam");
  if (hashValue.size() != hashSize) {
    CryptDestroyHash(hash);
    SetLastError(static_cast<DWORD>(NTE_BAD_HASH));
    return MyHandleError("Ошибка в SignHash-CryptSetHashParam", false);
  }
  if (!CryptSetHashParam(hash, HP_HASHVAL, hashValue.data(), 0))
    return failHash("Ошибка в SignHash-CryptSetHashParam");
  DWORD sigSize = 0;
  if (!CryptSignHashW(hash, dwKeySpec, nullptr, 0, nullptr, &sigSize))
    return failHash("Ошибка в SignHash-CryptSignHash(1)");
  std::vector<BYTE> sig;
  try {
    sig.resize(sigSize);
  } catch (const std::bad_alloc&) {
    return failHash("Ошибка в SignHash-new BYTE(1)");
  }
  if (!CryptSignHashW(hash, dwKeySpec, nullptr, 0, sig.data(), &sigSize))
    return failHash("Ошибка в SignHash-CryptSignHash(2)");
  sig.resize(std::min<size_t>(sigSize, sig.size()));
  CryptDestroyHash(hash);

  // A message with one signer and no authenticated attributes, whose
  // signature is then replaced by the one over the page's hash.
  const std::vector<unsigned char> placeholderData = {0x00, 0x0B, 0x16};
  std::vector<unsigned char> placeholder =
      DecodeBase64(SignCrypt(placeholderData));

  HCRYPTMSG msg =
      CryptMsgOpenToDecode(kCertEncoding, 0, 0, 0, nullptr, nullptr);
  if (msg == nullptr)
    return MyHandleError("SignHash-CryptMsgOpenToDecode", false);
  auto fail = [&](const char* text) {
    KeepingLastError([&] { CryptMsgClose(msg); });
    return MyHandleError(text, false);
  };
  if (!CryptMsgUpdate(msg, DataOrEmpty(placeholder),
                      static_cast<DWORD>(placeholder.size()), TRUE))
    return fail("SignHash-CryptMsgUpdate");
  DWORD signerSize = 0;
  if (!CryptMsgGetParam(msg, CMSG_CMS_SIGNER_INFO_PARAM, 0, nullptr,
                        &signerSize))
    return fail("SignHash-CryptMsgGetParam 1");
  // Aligned for the structure the provider writes at its start.
  std::vector<uint64_t> signerBuf;
  try {
    signerBuf.resize(
        std::max<size_t>(signerSize, sizeof(CMSG_CMS_SIGNER_INFO)) / 8 + 1);
  } catch (const std::bad_alloc&) {
    return fail("Ошибка в SignHash-malloc");
  }
  if (!CryptMsgGetParam(msg, CMSG_CMS_SIGNER_INFO_PARAM, 0, signerBuf.data(),
                        &signerSize))
    return fail("SignHash-CryptMsgGetParam 2");
  auto* signer = reinterpret_cast<CMSG_CMS_SIGNER_INFO*>(signerBuf.data());
  std::reverse(sig.begin(), sig.end());
  signer->EncryptedHash.pbData = sig.data();
  signer->EncryptedHash.cbData = static_cast<DWORD>(sig.size());
  if (!CryptMsgControl(msg, kMsgProviderFlag, CMSG_CTRL_ADD_CMS_SIGNER_INFO,
                       signer))
    return fail("SignHash-CryptMsgControl(1)");
  DWORD first = 0;
  if (!CryptMsgControl(msg, kMsgProviderFlag, CMSG_CTRL_DEL_SIGNER, &first))
    return fail("SignHash-CryptMsgControl(2)");
  DWORD size = 0;
  if (!CryptMsgGetParam(msg, CMSG_ENCODED_MESSAGE, 0, nullptr, &size))
    return fail("SignHash-CryptMsgGetParam(1)");
  std::vector<BYTE> encoded;
  try {
    encoded.resize(size);
  } catch (const std::bad_alloc&) {
    return fail("Ошибка в SignHash-new BYTE(3)");
  }
  if (!CryptMsgGetParam(msg, CMSG_ENCODED_MESSAGE, 0, encoded.data(), &size))
    return fail("Ошибка в SignHash-CryptMsgGetParam(2)");
  encoded.resize(std::min<size_t>(size, encoded.size()));
  CryptMsgClose(msg);
  return Encode(encoded.data(), encoded.size(), true);
}
