// Certificate stores: in-memory stores and the per-user system stores, one
// DER file per certificate under <provider home>/stores/<NAME>/.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/c_boundary.h"
#include "base/provider_home.h"
#include "certs/certs_internal.h"

extern "C" {
// Provided by the chain code when present; the issuer lookup only uses it to
// clear the signature flag.
__attribute__((weak)) BOOL WINAPI CryptVerifyCertificateSignature(
    HCRYPTPROV_LEGACY, DWORD, const BYTE*, DWORD, PCERT_PUBLIC_KEY_INFO);
}

namespace tavrix::provider::certs {

struct Store {
  uint32_t magic = 0x53544F52;  // "STOR"
  int handles = 1;
  int linked = 0;  // live contexts whose owner is this store
  bool system = false;
  bool readOnly = false;
  std::string dir;
  uint64_t seq = 0;
  std::vector<CertObject*> certs;  // sorted by sortKey, one reference each
};

// Store lists and lifetimes; recursive because releasing a context from
// inside a store operation reports back to its store.
static std::recursive_mutex g_lock;

static Store* FromHandle(HCERTSTORE h) {
  Store* s = static_cast<Store*>(h);
  if (!s || s->magic != 0x53544F52 || s->handles <= 0) return nullptr;
  return s;
}

void StoreContextGone(Store* s) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (--s->linked == 0 && s->handles == 0) {
    s->magic = 0;
    delete s;
  }
}

static bool KeyLess(const CertObject* a, const std::string& k) {
  return a->sortKey < k;
}

static void Insert(Store* s, CertObject* c) {
  auto it =
      std::lower_bound(s->certs.begin(), s->certs.end(), c->sortKey, KeyLess);
  s->certs.insert(it, c);
}

// A new context owned by `s`, parsed from `p`.
static CertObject* NewOwned(Store* s, const BYTE* p, DWORD n,
                            const std::string& key, bool checkShape = false) {
  CertObject* c = ParseCertificate(p, n, checkShape);
  if (!c) return nullptr;
  c->store = s;
  c->ctx.hCertStore = s;
  c->sortKey = key;
  ++s->linked;
  return c;
}

static std::string SeqKey(Store* s) {
  char buf[24];
  snprintf(buf, sizeof buf, "%016llu", (unsigned long long)++s->seq);
  return buf;
}

// No certificate comes anywhere near this size.
static bool ReadFile(const std::string& path, std::vector<BYTE>* out) {
  return tavrix::provider::ReadRegularFile(path, 16u << 20, out);
}

static bool WriteFileAtomic(const std::string& dir, const std::string& name,
                            const std::vector<BYTE>& data) {
  std::string tmp = dir + "/." + name + ".tmp";
  int fd = tavrix::provider::CreateFreshFile(tmp, 0644);
  if (fd < 0) return false;
  size_t off = 0;
  while (off < data.size()) {
    ssize_t w = write(fd, data.data() + off, data.size() - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  bool ok = off == data.size() && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok) ok = rename(tmp.c_str(), (dir + "/" + name).c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

static std::string FileKey(const CertObject* c) {
  std::vector<BYTE> h = Sha1(c->encoded.data(), c->encoded.size());
  return HexLower(h.data(), h.size()) + ".cer";
}

static bool LoadSystem(Store* s) {
  DIR* d = opendir(s->dir.c_str());
  if (!d) return false;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 4 && n[0] != '.' && n.compare(n.size() - 4, 4, ".cer") == 0)
      names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  std::vector<BYTE> data;
  for (const std::string& n : names) {
    // A damaged file is skipped so that it cannot hide the others.
    if (!ReadFile(s->dir + "/" + n, &data) || data.empty()) continue;
    CertObject* c =
        NewOwned(s, data.data(), static_cast<DWORD>(data.size()), n);
    if (c) s->certs.push_back(c);
  }
  return true;
}

static bool SafeStoreName(const std::string& n) {
  if (n.empty() || n.size() > 64) return false;
  for (char ch : n)
    if (!isalnum(static_cast<unsigned char>(ch)) && ch != '_' && ch != '-')
      return false;
  return true;
}

static HCERTSTORE OpenSystem(DWORD flags, const std::string& rawName) {
  DWORD location = flags & 0x00FF0000;
  if (location != CERT_SYSTEM_STORE_CURRENT_USER) {
    SetError(location ? ERROR_NOT_SUPPORTED : E_INVALIDARG);
    return nullptr;
  }
  if (flags & CERT_STORE_DELETE_FLAG) {
    SetError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
  }
  if (!SafeStoreName(rawName)) {
    SetError(E_INVALIDARG);
    return nullptr;
  }
  std::string name = rawName;
  for (char& ch : name)
    ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  std::string home = tavrix::provider::ProviderHome();
  if (home.empty()) {
    SetError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  std::string dir = home + "/stores/" + name;
  struct stat st;
  bool exists = stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (!exists) {
    if (flags & CERT_STORE_OPEN_EXISTING_FLAG) {
      SetError(ERROR_FILE_NOT_FOUND);
      return nullptr;
    }
    if (!tavrix::provider::EnsureDirectory(home, 0700) ||
        !tavrix::provider::EnsureDirectory(dir, 0700)) {
      SetError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
  } else if (flags & CERT_STORE_CREATE_NEW_FLAG) {
    SetError(ERROR_FILE_EXISTS);
    return nullptr;
  }
  Store* s = new Store();
  s->system = true;
  s->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
  s->dir = dir;
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (!LoadSystem(s)) {
    delete s;
    SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return s;
}

static CertObject* FindExisting(Store* s, const CertObject* c) {
  for (CertObject* o : s->certs)
    if (o->encoded == c->encoded) return o;
  return nullptr;
}

static void RemoveFromList(Store* s, CertObject* o) {
  auto it = std::find(s->certs.begin(), s->certs.end(), o);
  if (it == s->certs.end()) return;
  s->certs.erase(it);
  Release(o);
}

// Adds the certificate `src` (not owned by `s`) with the disposition.
static BOOL AddToStore(Store* s, CertObject* src, DWORD disposition,
                       PCCERT_CONTEXT* out) {
  if (out) *out = nullptr;
  if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_NEWER) {
    SetError(E_INVALIDARG);
    return FALSE;
  }
  std::lock_guard<std::recursive_mutex> g(g_lock);
  if (s->readOnly) {
    SetError(E_ACCESSDENIED);
    return FALSE;
  }
  CertObject* old = FindExisting(s, src);
  if (old) {
    switch (disposition) {
      case CERT_STORE_ADD_NEW:
      case CERT_STORE_ADD_NEWER:
        SetError(CRYPT_E_EXISTS);
        return FALSE;
      case CERT_STORE_ADD_USE_EXISTING:
        if (out) *out = &AddRef(old)->ctx;
        return TRUE;
      default:
        break;  // replace (or, in memory, add another copy)
    }
  }
  std::string key = s->system ? FileKey(src) : SeqKey(s);
  if (s->system && !WriteFileAtomic(s->dir, key, src->encoded)) {
    SetError(CRYPT_E_FILE_ERROR);
    return FALSE;
  }
  CertObject* c = NewOwned(s, src->encoded.data(),
                           static_cast<DWORD>(src->encoded.size()), key);
  if (!c) return FALSE;
  {
    std::lock_guard<std::mutex> pg(src->propLock);
    c->props = src->props;
  }
  if (old &&
      (disposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES)) {
    std::lock_guard<std::mutex> pg(old->propLock);
    for (auto& kv : old->props) c->props.insert(kv);
  }
  if (old && (s->system || disposition != CERT_STORE_ADD_ALWAYS))
    RemoveFromList(s, old);
  Insert(s, c);
  if (out) *out = &AddRef(c)->ctx;
  return TRUE;
}

typedef bool (*Matcher)(CertObject* c, const void* para);

static PCCERT_CONTEXT Walk(HCERTSTORE h, PCCERT_CONTEXT prev,
                           bool (*match)(CertObject*, const void*),
                           const void* para) {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  Store* s = FromHandle(h);
  CertObject* p = prev ? FromContext(prev) : nullptr;
  if (!s || (prev && (!p || p->store != s))) {
    if (p) Release(p);
    SetError(E_INVALIDARG);
    return nullptr;
  }
  auto it = s->certs.begin();
  if (p)
    it = std::upper_bound(s->certs.begin(), s->certs.end(), p->sortKey,
                          [](const std::string& k, const CertObject* c) {
                            return k < c->sortKey;
                          });
  CertObject* found = nullptr;
  for (; it != s->certs.end(); ++it)
    if (!match || match(*it, para)) {
      found = AddRef(*it);
      break;
    }
  if (p) Release(p);
  if (!found) {
    SetError(CRYPT_E_NOT_FOUND);
    return nullptr;
  }
  return &found->ctx;
}

// --- find predicates
struct NameStrPara {
  std::wstring folded;
  bool issuer;
};
static bool MatchNameStr(CertObject* c, const void* v) {
  const NameStrPara* p = static_cast<const NameStrPara*>(v);
  if (p->folded.empty()) return true;
  const CERT_NAME_BLOB& b = p->issuer ? c->info.Issuer : c->info.Subject;
  std::wstring text =
      FoldCase(NameToString(b.pbData, b.cbData, CERT_SIMPLE_NAME_STR));
  return text.find(p->folded) != std::wstring::npos;
}
static bool BlobEq(const BYTE* a, DWORD na, const BYTE* b, DWORD nb) {
  return na == nb && (na == 0 || memcmp(a, b, na) == 0);
}
static bool MatchSubjectName(CertObject* c, const void* v) {
  const CERT_NAME_BLOB* n = static_cast<const CERT_NAME_BLOB*>(v);
  return BlobEq(c->info.Subject.pbData, c->info.Subject.cbData, n->pbData,
                n->cbData);
}
static bool MatchIssuerName(CertObject* c, const void* v) {
  const CERT_NAME_BLOB* n = static_cast<const CERT_NAME_BLOB*>(v);
  return BlobEq(c->info.Issuer.pbData, c->info.Issuer.cbData, n->pbData,
                n->cbData);
}
static bool MatchSha1(CertObject* c, const void* v) {
  const CRYPT_HASH_BLOB* h = static_cast<const CRYPT_HASH_BLOB*>(v);
  std::vector<BYTE> mine = Sha1(c->encoded.data(), c->encoded.size());
  return BlobEq(mine.data(), static_cast<DWORD>(mine.size()), h->pbData,
                h->cbData);
}
static bool MatchExisting(CertObject* c, const void* v) {
  PCCERT_CONTEXT o = static_cast<PCCERT_CONTEXT>(v);
  return BlobEq(c->encoded.data(), static_cast<DWORD>(c->encoded.size()),
                o->pbCertEncoded, o->cbCertEncoded);
}
static bool MatchPublicKey(CertObject* c, const void* v) {
  return CertComparePublicKeyInfo(
      X509_ASN_ENCODING, &c->info.SubjectPublicKeyInfo,
      const_cast<PCERT_PUBLIC_KEY_INFO>(
          static_cast<const CERT_PUBLIC_KEY_INFO*>(v)));
}
static bool MatchSubjectCert(CertObject* c, const void* v) {
  PCERT_INFO id = const_cast<PCERT_INFO>(static_cast<const CERT_INFO*>(v));
  return CertCompareCertificate(X509_ASN_ENCODING, &c->info, id);
}
static bool KeyIdOf(CertObject* c, std::vector<BYTE>* out) {
  DWORD n = 0;
  if (!CertGetCertificateContextProperty(&c->ctx, CERT_KEY_IDENTIFIER_PROP_ID,
                                         nullptr, &n))
    return false;
  out->resize(n);
  return CertGetCertificateContextProperty(&c->ctx, CERT_KEY_IDENTIFIER_PROP_ID,
                                           out->data(), &n);
}
static bool MatchKeyId(CertObject* c, const void* v) {
  const CRYPT_HASH_BLOB* h = static_cast<const CRYPT_HASH_BLOB*>(v);
  std::vector<BYTE> id;
  return KeyIdOf(c, &id) &&
         BlobEq(id.data(), static_cast<DWORD>(id.size()), h->pbData, h->cbData);
}
static bool MatchCertId(CertObject* c, const void* v) {
  const CERT_ID* id = static_cast<const CERT_ID*>(v);
  switch (id->dwIdChoice) {
    case CERT_ID_ISSUER_SERIAL_NUMBER: {
      CERT_INFO tmp;
      memset(&tmp, 0, sizeof tmp);
      tmp.Issuer = id->IssuerSerialNumber.Issuer;
      tmp.SerialNumber = id->IssuerSerialNumber.SerialNumber;
      return MatchSubjectCert(c, &tmp);
    }
    case CERT_ID_KEY_IDENTIFIER:
      return MatchKeyId(c, &id->KeyId);
    case CERT_ID_SHA1_HASH:
      return MatchSha1(c, &id->HashId);
    default:
      return false;
  }
}
static bool MatchIssuerOf(CertObject* c, const void* v) {
  PCCERT_CONTEXT subj = static_cast<PCCERT_CONTEXT>(v);
  return MatchSubjectName(c, &subj->pCertInfo->Issuer);
}

}  // namespace tavrix::provider::certs

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::certs;

extern "C" {

HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD,
                                HCRYPTPROV_LEGACY, DWORD dwFlags,
                                const void* pvPara) try {
  if (lpszStoreProvider == CERT_STORE_PROV_MEMORY) return new Store();
  if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W ||
      lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A) {
    if (!pvPara) {
      SetError(E_INVALIDARG);
      return nullptr;
    }
    std::string name;
    if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W)
      name = WideToUtf8(static_cast<const wchar_t*>(pvPara));
    else
      name = static_cast<const char*>(pvPara);
    return OpenSystem(dwFlags, name);
  }
  SetError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}
CAPI_GUARD(nullptr)

HCERTSTORE WINAPI CertOpenSystemStoreW(HCRYPTPROV_LEGACY, LPCWSTR name) try {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                       CERT_SYSTEM_STORE_CURRENT_USER, name);
}
CAPI_GUARD(nullptr)

HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY, LPCSTR name) try {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                       CERT_SYSTEM_STORE_CURRENT_USER, name);
}
CAPI_GUARD(nullptr)

HCERTSTORE WINAPI CertDuplicateStore(HCERTSTORE h) try {
  std::lock_guard<std::recursive_mutex> g(g_lock);
  Store* s = FromHandle(h);
  if (!s) {
    SetError(E_INVALIDARG);
    return nullptr;
  }
  ++s->handles;
  return s;
}
CAPI_GUARD(nullptr)

BOOL WINAPI CertCloseStore(HCERTSTORE h, DWORD dwFlags) try {
  if (!h) return TRUE;
  std::lock_guard<std::recursive_mutex> g(g_lock);
  Store* s = FromHandle(h);
  if (!s) {
    SetError(E_INVALIDARG);
    return FALSE;
  }
  if (--s->handles > 0) return TRUE;
  // Keep the store alive while its list lets go of the contexts.
  ++s->linked;
  std::vector<CertObject*> list;
  list.swap(s->certs);
  for (CertObject* c : list) Release(c);
  bool pending = s->linked > 1;
  StoreContextGone(s);  // drops the guard and frees the store when idle
  if (pending && (dwFlags & CERT_CLOSE_STORE_CHECK_FLAG)) {
    // Contexts still out keep their data; only the caller is told.
    SetError(CRYPT_E_PENDING_CLOSE);
    return FALSE;
  }
  return TRUE;
}
CAPI_GUARD(FALSE)

PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE h,
                                                  PCCERT_CONTEXT prev) try {
  return Walk(h, prev, nullptr, nullptr);
}
CAPI_GUARD(nullptr)

PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE h, DWORD, DWORD,
                                                 DWORD dwFindType,
                                                 const void* pvFindPara,
                                                 PCCERT_CONTEXT prev) try {
  auto fail = [&](DWORD err) -> PCCERT_CONTEXT {
    if (prev) CertFreeCertificateContext(prev);
    SetError(err);
    return nullptr;
  };
  if (dwFindType == CERT_FIND_ANY) return Walk(h, prev, nullptr, nullptr);
  if (!pvFindPara) return fail(E_INVALIDARG);
  switch (dwFindType) {
    case CERT_FIND_SUBJECT_STR_W:
    case CERT_FIND_ISSUER_STR_W:
    case CERT_FIND_SUBJECT_STR_A:
    case CERT_FIND_ISSUER_STR_A: {
      NameStrPara p;
      bool wide = dwFindType == CERT_FIND_SUBJECT_STR_W ||
                  dwFindType == CERT_FIND_ISSUER_STR_W;
      p.folded =
          FoldCase(wide ? std::wstring(static_cast<const wchar_t*>(pvFindPara))
                        : Utf8ToWide(static_cast<const char*>(pvFindPara)));
      p.issuer = dwFindType == CERT_FIND_ISSUER_STR_W ||
                 dwFindType == CERT_FIND_ISSUER_STR_A;
      return Walk(h, prev, MatchNameStr, &p);
    }
    case CERT_FIND_SUBJECT_NAME:
      return Walk(h, prev, MatchSubjectName, pvFindPara);
    case CERT_FIND_ISSUER_NAME:
      return Walk(h, prev, MatchIssuerName, pvFindPara);
    case CERT_FIND_SHA1_HASH:
      return Walk(h, prev, MatchSha1, pvFindPara);
    case CERT_FIND_EXISTING:
      if (!FromContext(static_cast<PCCERT_CONTEXT>(pvFindPara)))
        return fail(E_INVALIDARG);
      return Walk(h, prev, MatchExisting, pvFindPara);
    case CERT_FIND_PUBLIC_KEY:
      return Walk(h, prev, MatchPublicKey, pvFindPara);
    case CERT_FIND_SUBJECT_CERT:
      return Walk(h, prev, MatchSubjectCert, pvFindPara);
    case CERT_FIND_CERT_ID:
      return Walk(h, prev, MatchCertId, pvFindPara);
    case CERT_FIND_KEY_IDENTIFIER:
      return Walk(h, prev, MatchKeyId, pvFindPara);
    case CERT_FIND_ISSUER_OF:
      if (!FromContext(static_cast<PCCERT_CONTEXT>(pvFindPara)))
        return fail(E_INVALIDARG);
      return Walk(h, prev, MatchIssuerOf, pvFindPara);
    default:
      return fail(E_INVALIDARG);
  }
}
CAPI_GUARD(nullptr)

PCCERT_CONTEXT WINAPI CertGetSubjectCertificateFromStore(
    HCERTSTORE h, DWORD, PCERT_INFO pCertId) try {
  if (!pCertId) {
    SetError(E_INVALIDARG);
    return nullptr;
  }
  return Walk(h, nullptr, MatchSubjectCert, pCertId);
}
CAPI_GUARD(nullptr)

PCCERT_CONTEXT WINAPI CertGetIssuerCertificateFromStore(HCERTSTORE h,
                                                        PCCERT_CONTEXT subject,
                                                        PCCERT_CONTEXT prev,
                                                        DWORD* pdwFlags) try {
  CertObject* sub = FromContext(subject);
  if (!sub) {
    if (prev) CertFreeCertificateContext(prev);
    SetError(E_INVALIDARG);
    return nullptr;
  }
  if (BlobEq(sub->info.Issuer.pbData, sub->info.Issuer.cbData,
             sub->info.Subject.pbData, sub->info.Subject.cbData)) {
    if (prev) CertFreeCertificateContext(prev);
    SetError(CRYPT_E_SELF_SIGNED);
    return nullptr;
  }
  PCCERT_CONTEXT issuer = Walk(h, prev, MatchIssuerOf, subject);
  if (issuer && pdwFlags) {
    if ((*pdwFlags & 0x2) &&
        CertVerifyTimeValidity(nullptr, issuer->pCertInfo) == 0)
      *pdwFlags &= ~0x2u;
    if ((*pdwFlags & 0x1) && &CryptVerifyCertificateSignature &&
        CryptVerifyCertificateSignature(
            0, X509_ASN_ENCODING, subject->pbCertEncoded,
            subject->cbCertEncoded, &issuer->pCertInfo->SubjectPublicKeyInfo))
      *pdwFlags &= ~0x1u;
    // Revocation is the chain engine's business; the flag stays set.
  }
  return issuer;
}
CAPI_GUARD(nullptr)

BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE h, DWORD enc,
                                             const BYTE* pb, DWORD cb,
                                             DWORD disposition,
                                             PCCERT_CONTEXT* out) try {
  if (out) *out = nullptr;
  Store* s;
  {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    s = FromHandle(h);
  }
  if (!s) {
    SetError(E_INVALIDARG);
    return FALSE;
  }
  PCCERT_CONTEXT tmp =
      CertCreateCertificateContext(enc ? enc : X509_ASN_ENCODING, pb, cb);
  if (!tmp) return FALSE;
  CertObject* c = FromContext(tmp);
  BOOL ok = AddToStore(s, c, disposition, out);
  Release(c);
  return ok;
}
CAPI_GUARD(FALSE)

BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE h,
                                             PCCERT_CONTEXT pCertContext,
                                             DWORD disposition,
                                             PCCERT_CONTEXT* out) try {
  if (out) *out = nullptr;
  CertObject* c = FromContext(pCertContext);
  Store* s;
  {
    std::lock_guard<std::recursive_mutex> g(g_lock);
    s = FromHandle(h);
  }
  if (!s || !c) {
    SetError(E_INVALIDARG);
    return FALSE;
  }
  return AddToStore(s, c, disposition, out);
}
CAPI_GUARD(FALSE)

BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) try {
  CertObject* c = FromContext(pCertContext);
  if (!c) {
    SetError(E_INVALIDARG);
    return FALSE;
  }
  std::lock_guard<std::recursive_mutex> g(g_lock);
  Store* s = c->store;
  BOOL ok = TRUE;
  if (!s) {
    SetError(E_INVALIDARG);
    ok = FALSE;
  } else if (s->readOnly) {
    SetError(E_ACCESSDENIED);
    ok = FALSE;
  } else if (std::find(s->certs.begin(), s->certs.end(), c) != s->certs.end()) {
    if (s->system) {
      std::string path = s->dir + "/" + c->sortKey;
      if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        SetError(errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED
                                                   : CRYPT_E_FILE_ERROR);
        ok = FALSE;
      }
    }
    if (ok) RemoveFromList(s, c);
  }
  // The context passed in is always freed, as CryptoAPI does.
  Release(c);
  return ok;
}
CAPI_GUARD(FALSE)

}  // extern "C"
