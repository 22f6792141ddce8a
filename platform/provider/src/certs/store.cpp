// Certificate stores as CryptoAPI sees them: memory stores and the per-user
// system stores (whose folders store_files.cpp keeps), their lists,
// enumeration and search, adding and deleting.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "base/c_boundary.h"
#include "base/handles.h"
#include "certs/certs_internal.h"
#include "certs/store_files.h"
#include "text/text.h"

extern "C" {
// Provided by the chain code when present; the issuer lookup only uses it to
// clear the signature flag.
__attribute__((weak)) BOOL WINAPI CryptVerifyCertificateSignature(
    HCRYPTPROV_LEGACY, DWORD, const BYTE*, DWORD, PCERT_PUBLIC_KEY_INFO);
}

namespace tavrix::provider::certs {

struct Store {
  bool system = false;
  bool readOnly = false;
  std::string dir;
  std::mutex mu;  // the list and seq
  uint64_t seq = 0;
  std::vector<std::shared_ptr<CertObject>> certs;  // sorted by sortKey
  std::atomic<long> leases{0};  // contexts of this store handed out
};

namespace {

using StoreTable = HandleTable<Store, HCERTSTORE>;
StoreTable& Stores() { return LiveHandles<Store, HCERTSTORE>(); }

// What a context taken from a store holds: the certificate and its store.
struct Lease {
  Lease(std::shared_ptr<Store> s, std::shared_ptr<CertObject> c)
      : store(std::move(s)), cert(std::move(c)) {
    if (store) ++store->leases;
  }
  ~Lease() {
    if (store) --store->leases;
  }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  std::shared_ptr<Store> store;
  std::shared_ptr<CertObject> cert;
};

// One reference to a context dropped on every path out. Internal: callers'
// view of CertFreeCertificateContext counts only their own calls.
struct DropContext {
  void operator()(PCCERT_CONTEXT c) const { Contexts().Release(c); }
};
using ContextRef = Owned<PCCERT_CONTEXT, DropContext>;

bool KeyLess(const std::shared_ptr<CertObject>& a, const std::string& k) {
  return a->sortKey < k;
}

void Insert(Store* s, std::shared_ptr<CertObject> c) {
  auto it =
      std::lower_bound(s->certs.begin(), s->certs.end(), c->sortKey, KeyLess);
  s->certs.insert(it, std::move(c));
}

// A new context of `s` on the parse `p`.
std::shared_ptr<CertObject> NewOwned(const std::shared_ptr<Store>& s, Parsed p,
                                     const std::string& key) {
  auto c = std::make_shared<CertObject>(std::move(p));
  c->owner = s.get();
  c->store = s;
  c->ctx.hCertStore = s.get();
  c->sortKey = key;
  return c;
}

std::string SeqKey(Store* s) {
  char buf[24];
  snprintf(buf, sizeof buf, "%016llu", (unsigned long long)++s->seq);
  return buf;
}

HCERTSTORE NewHandle(std::shared_ptr<Store> s) {
  Store* raw = s.get();
  return Stores().Add(std::move(s), raw);
}

HCERTSTORE OpenSystem(DWORD flags, const std::string& name) {
  auto s = std::make_shared<Store>();
  if (!files::StoreFolder(flags, name, &s->dir)) return nullptr;
  s->system = true;
  s->readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
  std::vector<std::pair<std::string, Parsed>> found;
  if (!files::Load(s->dir, &found))
    return FailWith(ERROR_ACCESS_DENIED, HCERTSTORE(nullptr));
  s->certs.reserve(found.size());
  for (auto& f : found)
    s->certs.push_back(NewOwned(s, std::move(f.second), f.first));
  return NewHandle(std::move(s));
}

std::shared_ptr<CertObject> FindExisting(Store* s, const CertObject& c) {
  for (const auto& o : s->certs)
    if (o->encoded() == c.encoded()) return o;
  return nullptr;
}

bool InList(Store* s, const CertObject* o) {
  return std::any_of(
      s->certs.begin(), s->certs.end(),
      [o](const std::shared_ptr<CertObject>& c) { return c.get() == o; });
}

void RemoveFromList(Store* s, const CertObject* o) {
  auto it = std::find_if(
      s->certs.begin(), s->certs.end(),
      [o](const std::shared_ptr<CertObject>& c) { return c.get() == o; });
  if (it != s->certs.end()) s->certs.erase(it);
}

// Adds the certificate `src` (not owned by `s`) with the disposition.
BOOL AddToStore(const std::shared_ptr<Store>& s, CertObject& src,
                DWORD disposition, PCCERT_CONTEXT* out) {
  if (out) *out = nullptr;
  if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_NEWER)
    return Fail(E_INVALIDARG);
  std::lock_guard<std::mutex> g(s->mu);
  if (s->readOnly) return Fail(E_ACCESSDENIED);
  std::shared_ptr<CertObject> old = FindExisting(s.get(), src);
  if (old) {
    switch (disposition) {
      case CERT_STORE_ADD_NEW:
      case CERT_STORE_ADD_NEWER:
        return Fail(CRYPT_E_EXISTS);
      case CERT_STORE_ADD_USE_EXISTING:
        if (out) *out = HandOut(old, s);
        return TRUE;
      default:
        break;  // replace (or, in memory, add another copy)
    }
  }
  std::string key = s->system ? files::FileName(*src.parsed) : SeqKey(s.get());
  if (s->system && !files::Save(s->dir, key, src.encoded()))
    return Fail(CRYPT_E_FILE_ERROR);
  std::shared_ptr<CertObject> c = NewOwned(s, src.parsed, key);
  {
    std::lock_guard<std::mutex> pg(src.propLock);
    c->props = src.props;
  }
  if (old &&
      (disposition == CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES)) {
    std::lock_guard<std::mutex> pg(old->propLock);
    for (auto& kv : old->props) c->props.insert(kv);
  }
  if (old && (s->system || disposition != CERT_STORE_ADD_ALWAYS))
    RemoveFromList(s.get(), old.get());
  Insert(s.get(), c);
  if (out) *out = HandOut(c, s);
  return TRUE;
}

typedef bool (*Matcher)(CertObject* c, const void* para);

// Frees the caller's previous context on every path, as CryptoAPI's
// enumerations do.
PCCERT_CONTEXT Walk(HCERTSTORE h, PCCERT_CONTEXT prev, Matcher match,
                    const void* para) {
  ContextRef prevRef(prev);
  std::shared_ptr<Store> s = Stores().Get(h);
  std::shared_ptr<CertObject> p = prev ? FromContext(prev) : nullptr;
  if (!s || (prev && (!p || p->owner != s.get())))
    return FailWith(E_INVALIDARG, PCCERT_CONTEXT(nullptr));
  std::lock_guard<std::mutex> g(s->mu);
  auto it = s->certs.begin();
  if (p)
    it = std::upper_bound(
        s->certs.begin(), s->certs.end(), p->sortKey,
        [](const std::string& k, const std::shared_ptr<CertObject>& c) {
          return k < c->sortKey;
        });
  for (; it != s->certs.end(); ++it)
    if (!match || match(it->get(), para)) return HandOut(*it, s);
  return FailWith(CRYPT_E_NOT_FOUND, PCCERT_CONTEXT(nullptr));
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
  std::vector<BYTE> mine = x509::Sha1(c->encoded().data(), c->encoded().size());
  return BlobEq(mine.data(), static_cast<DWORD>(mine.size()), h->pbData,
                h->cbData);
}
static bool MatchExisting(CertObject* c, const void* v) {
  PCCERT_CONTEXT o = static_cast<PCCERT_CONTEXT>(v);
  return BlobEq(c->encoded().data(), static_cast<DWORD>(c->encoded().size()),
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
static bool MatchKeyId(CertObject* c, const void* v) {
  const CRYPT_HASH_BLOB* h = static_cast<const CRYPT_HASH_BLOB*>(v);
  std::vector<BYTE> id = KeyIdentifier(*c);
  return BlobEq(id.data(), static_cast<DWORD>(id.size()), h->pbData, h->cbData);
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

}  // namespace

PCCERT_CONTEXT HandOut(std::shared_ptr<CertObject> c,
                       std::shared_ptr<Store> owner) {
  CertObject* raw = c.get();
  if (!owner) return Contexts().Add(std::move(c), &raw->ctx);
  auto lease = std::make_shared<Lease>(std::move(owner), std::move(c));
  // Shares the lease's count: the table entry keeps the store alive.
  return Contexts().Add(std::shared_ptr<CertObject>(lease, raw), &raw->ctx);
}

}  // namespace tavrix::provider::certs

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::certs;

extern "C" {

HCERTSTORE WINAPI CertOpenStore(LPCSTR lpszStoreProvider, DWORD,
                                HCRYPTPROV_LEGACY, DWORD dwFlags,
                                const void* pvPara) try {
  if (lpszStoreProvider == CERT_STORE_PROV_MEMORY)
    return NewHandle(std::make_shared<Store>());
  if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W ||
      lpszStoreProvider == CERT_STORE_PROV_SYSTEM_A) {
    if (!pvPara) return FailWith(E_INVALIDARG, HCERTSTORE(nullptr));
    std::string name;
    if (lpszStoreProvider == CERT_STORE_PROV_SYSTEM_W)
      name = text::WideToUtf8(static_cast<const wchar_t*>(pvPara));
    else
      name = static_cast<const char*>(pvPara);
    return OpenSystem(dwFlags, name);
  }
  return FailWith(ERROR_FILE_NOT_FOUND, HCERTSTORE(nullptr));
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
  if (!Stores().Retain(h)) return FailWith(E_INVALIDARG, HCERTSTORE(nullptr));
  return h;
}
CAPI_GUARD(nullptr)

BOOL WINAPI CertCloseStore(HCERTSTORE h, DWORD dwFlags) try {
  if (!h) return TRUE;
  std::shared_ptr<Store> s = Stores().Release(h);
  if (!s) return Fail(E_INVALIDARG);
  // The store's address cannot be taken again while `s` holds it, so no
  // reference left means this was the last handle.
  if (Stores().References(h) > 0) return TRUE;
  std::vector<std::shared_ptr<CertObject>> list;
  {
    std::lock_guard<std::mutex> g(s->mu);
    list.swap(s->certs);
  }
  list.clear();
  if (s->leases > 0 && (dwFlags & CERT_CLOSE_STORE_CHECK_FLAG)) {
    // Contexts still out keep their data; only the caller is told.
    return Fail(CRYPT_E_PENDING_CLOSE);
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
    return FailWith(err, PCCERT_CONTEXT(nullptr));
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
      p.folded = FoldCase(
          wide ? std::wstring(static_cast<const wchar_t*>(pvFindPara))
               : text::Utf8ToWide(static_cast<const char*>(pvFindPara)));
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
  if (!pCertId) return FailWith(E_INVALIDARG, PCCERT_CONTEXT(nullptr));
  return Walk(h, nullptr, MatchSubjectCert, pCertId);
}
CAPI_GUARD(nullptr)

PCCERT_CONTEXT WINAPI CertGetIssuerCertificateFromStore(HCERTSTORE h,
                                                        PCCERT_CONTEXT subject,
                                                        PCCERT_CONTEXT prev,
                                                        DWORD* pdwFlags) try {
  std::shared_ptr<CertObject> sub = FromContext(subject);
  if (!sub) {
    if (prev) CertFreeCertificateContext(prev);
    return FailWith(E_INVALIDARG, PCCERT_CONTEXT(nullptr));
  }
  if (BlobEq(sub->info.Issuer.pbData, sub->info.Issuer.cbData,
             sub->info.Subject.pbData, sub->info.Subject.cbData)) {
    if (prev) CertFreeCertificateContext(prev);
    return FailWith(CRYPT_E_SELF_SIGNED, PCCERT_CONTEXT(nullptr));
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
  std::shared_ptr<Store> s = Stores().Get(h);
  if (!s) return Fail(E_INVALIDARG);
  ContextRef tmp(
      CertCreateCertificateContext(enc ? enc : X509_ASN_ENCODING, pb, cb));
  std::shared_ptr<CertObject> c = FromContext(tmp.get());
  if (!c) return FALSE;
  return AddToStore(s, *c, disposition, out);
}
CAPI_GUARD(FALSE)

BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE h,
                                             PCCERT_CONTEXT pCertContext,
                                             DWORD disposition,
                                             PCCERT_CONTEXT* out) try {
  if (out) *out = nullptr;
  std::shared_ptr<CertObject> c = FromContext(pCertContext);
  std::shared_ptr<Store> s = Stores().Get(h);
  if (!s || !c) return Fail(E_INVALIDARG);
  return AddToStore(s, *c, disposition, out);
}
CAPI_GUARD(FALSE)

BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) try {
  // The context passed in is always freed, as CryptoAPI does.
  ContextRef ref(pCertContext);
  std::shared_ptr<CertObject> c = FromContext(pCertContext);
  if (!c) {
    ref.release();
    return Fail(E_INVALIDARG);
  }
  std::shared_ptr<Store> s = c->store.lock();
  if (!s) return Fail(E_INVALIDARG);
  std::lock_guard<std::mutex> g(s->mu);
  if (s->readOnly) return Fail(E_ACCESSDENIED);
  if (!InList(s.get(), c.get())) return TRUE;
  if (s->system && !files::Remove(s->dir, c->sortKey)) return FALSE;
  RemoveFromList(s.get(), c.get());
  return TRUE;
}
CAPI_GUARD(FALSE)

}  // extern "C"
