// tavrix-certmgr: the user's tool for the stand-in provider's certificate
// stores and key containers. Everything goes through the provider's calls.
#include <capi/capi.h>
#include <gnutls/gnutls.h>
#include <gnutls/pkcs12.h>
#include <gnutls/x509.h>
#include <nettle/sha1.h>
#include <tavrix/key_store.h>
#include <unistd.h>
#include <utf8.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

const char kUsage[] =
    "usage: tavrix-certmgr COMMAND [OPTIONS]\n"
    "\n"
    "  import --cert FILE [--key FILE]   install a certificate into MY and,\n"
    "                                    with --key, its PKCS#8 private key\n"
    "  import --pfx FILE [--password P]  install certificate and key from a\n"
    "                                    PKCS#12 file\n"
    "  add-ca FILE                       install a certificate into CA\n"
    "  add-root FILE                     install a certificate into ROOT\n"
    "  list [--store MY|CA|ROOT]         list a store (default: all three)\n"
    "  delete --store S (--serial HEX | --thumbprint HEX) [--with-key]\n"
    "                                    remove certificates (and their key)\n"
    "\n"
    "Files may be PEM or DER. The folder is $TAVRIX_PROVIDER_HOME, else\n"
    "$XDG_DATA_HOME/tavrix-provider, else ~/.local/share/tavrix-provider.\n";

struct Failure {
  std::string message;
};

[[noreturn]] void Fail(const std::string& msg) { throw Failure{msg}; }

std::string ProviderText(DWORD code) {
  char buf[512] = {0};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, code, 0, buf, sizeof buf, nullptr);
  char hex[16];
  snprintf(hex, sizeof hex, "0x%08X", code);
  std::string t = buf;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  return t.empty() ? std::string(hex) : t + " (" + hex + ")";
}

[[noreturn]] void FailApi(const std::string& what) {
  Fail(what + ": " + ProviderText(GetLastError()));
}

Bytes ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) Fail("cannot read " + path + ": " + strerror(errno));
  Bytes b((std::istreambuf_iterator<char>(f)),
          std::istreambuf_iterator<char>());
  if (b.empty()) Fail(path + " is empty");
  if (b.size() > (16u << 20)) Fail(path + " is too large");
  return b;
}

bool Base64Decode(const std::string& in, Bytes* out) {
  gnutls_datum_t text = {
      reinterpret_cast<unsigned char*>(const_cast<char*>(in.data())),
      static_cast<unsigned>(in.size())};
  gnutls_datum_t raw = {nullptr, 0};
  if (gnutls_base64_decode2(&text, &raw) < 0) return false;
  out->assign(raw.data, raw.data + raw.size);
  gnutls_free(raw.data);
  return !out->empty();
}

// The DER inside a PEM block with the given label, or the bytes themselves
// when they are not PEM. `found` tells which labels were present.
Bytes FromPem(const Bytes& data, const std::string& label,
              const std::string& path) {
  std::string text(data.begin(), data.end());
  if (text.find("-----BEGIN ") == std::string::npos) return data;
  std::string begin = "-----BEGIN " + label + "-----";
  size_t b = text.find(begin);
  if (b == std::string::npos) {
    size_t other = text.find("-----BEGIN ");
    size_t end = text.find("-----", other + 11);
    std::string got = text.substr(
        other + 11, end == std::string::npos ? 0 : end - other - 11);
    if (got == "ENCRYPTED PRIVATE KEY")
      Fail(path +
           " holds an encrypted private key; export it without a password "
           "(openssl pkey -engine gost -in KEY -out PLAIN.pem)");
    Fail(path + " holds a PEM \"" + got + "\" block, not " + label);
  }
  b += begin.size();
  size_t e = text.find("-----END " + label + "-----", b);
  Bytes der;
  if (e == std::string::npos || !Base64Decode(text.substr(b, e - b), &der))
    Fail(path + ": damaged PEM " + label + " block");
  return der;
}

std::string Hex(const unsigned char* p, size_t n) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::string SerialHex(PCCERT_CONTEXT c) {
  const CRYPT_INTEGER_BLOB& s = c->pCertInfo->SerialNumber;
  std::string out;
  for (DWORD i = s.cbData; i > 0; --i) out += Hex(&s.pbData[i - 1], 1);
  return out;
}

std::string Thumbprint(PCCERT_CONTEXT c) {
  BYTE h[20];
  DWORD n = sizeof h;
  if (!CertGetCertificateContextProperty(c, CERT_SHA1_HASH_PROP_ID, h, &n))
    return std::string();
  return Hex(h, n);
}

std::string ContainerOf(PCCERT_CONTEXT c) {
  const CRYPT_BIT_BLOB& k = c->pCertInfo->SubjectPublicKeyInfo.PublicKey;
  sha1_ctx ctx;
  sha1_init(&ctx);
  sha1_update(&ctx, k.cbData, k.pbData);
  unsigned char d[SHA1_DIGEST_SIZE];
  sha1_digest(&ctx, sizeof d, d);
  std::string s = Hex(d, sizeof d);
  for (char& ch : s) ch = static_cast<char>(tolower(ch));
  return s;
}

// Names come from the provider, which hands out valid code points only.
std::string Utf8(const std::wstring& w) {
  std::string s;
  utf8::unchecked::utf32to8(w.begin(), w.end(), std::back_inserter(s));
  return s;
}

std::string NameText(PCERT_NAME_BLOB b, DWORD type) {
  DWORD flags = type | CERT_NAME_STR_REVERSE_FLAG;
  DWORD n = CertNameToStrW(X509_ASN_ENCODING, b, flags, nullptr, 0);
  std::vector<wchar_t> buf(n ? n : 1, 0);
  CertNameToStrW(X509_ASN_ENCODING, b, flags, buf.data(), n);
  return Utf8(buf.data());
}

std::string TimeText(const FILETIME& ft) {
  unsigned long long v =
      (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) |
      ft.dwLowDateTime;
  time_t t = static_cast<time_t>(v / 10000000ULL) - 11644473600LL;
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[64];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

class StoreHandle {
 public:
  StoreHandle(const std::string& name, bool mustExist) : name_(name) {
    h_ = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0,
                       CERT_SYSTEM_STORE_CURRENT_USER |
                           (mustExist ? CERT_STORE_OPEN_EXISTING_FLAG : 0),
                       name.c_str());
    if (!h_ && !mustExist) FailApi("cannot open the store " + name);
  }
  ~StoreHandle() {
    if (h_) CertCloseStore(h_, 0);
  }
  HCERTSTORE get() const { return h_; }

 private:
  std::string name_;
  HCERTSTORE h_;
};

PCCERT_CONTEXT LoadCert(const std::string& path) {
  Bytes der = FromPem(ReadAll(path), "CERTIFICATE", path);
  PCCERT_CONTEXT c = CertCreateCertificateContext(
      X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (!c) Fail(path + " is not a certificate: " + ProviderText(GetLastError()));
  return c;
}

void AddCert(const std::string& store, PCCERT_CONTEXT c) {
  StoreHandle s(store, false);
  if (!CertAddCertificateContextToStore(
          s.get(), c, CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
    FailApi("cannot add the certificate to " + store);
  printf("Added to %s: %s (serial %s)\n", store.c_str(),
         NameText(&c->pCertInfo->Subject, CERT_SIMPLE_NAME_STR).c_str(),
         SerialHex(c).c_str());
}

DWORD ProvTypeFor(const char* oid) {
  if (!strcmp(oid, szOID_CP_GOST_R3410EL)) return PROV_GOST_2001_DH;
  if (!strcmp(oid, szOID_CP_GOST_R3410_12_256)) return PROV_GOST_2012_256;
  if (!strcmp(oid, szOID_CP_GOST_R3410_12_512)) return PROV_GOST_2012_512;
  return 0;
}

// True when the key in `container` has the certificate's public key.
bool KeyMatches(const std::string& container, PCCERT_CONTEXT c) {
  DWORD type =
      ProvTypeFor(c->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId);
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, container.c_str(), nullptr, type, 0)) {
    // A key of another algorithm than the certificate's cannot match it.
    if (GetLastError() == NTE_BAD_PROV_TYPE) return false;
    FailApi("cannot open the key");
  }
  DWORD n = 0;
  bool same = false;
  if (CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr,
                               &n)) {
    std::vector<unsigned char> buf(n);
    PCERT_PUBLIC_KEY_INFO info =
        reinterpret_cast<PCERT_PUBLIC_KEY_INFO>(buf.data());
    if (CryptExportPublicKeyInfo(prov, AT_KEYEXCHANGE, X509_ASN_ENCODING, info,
                                 &n))
      same = CertComparePublicKeyInfo(X509_ASN_ENCODING, info,
                                      &c->pCertInfo->SubjectPublicKeyInfo);
  }
  DWORD err = GetLastError();
  CryptReleaseContext(prov, 0);
  if (!n) {
    SetLastError(err);
    FailApi("cannot read the public key of the private key");
  }
  return same;
}

// A length the provider's DWORD cannot carry is passed on as the largest it
// can, which it refuses as no key, rather than cut down to a smaller one.
DWORD KeySize(const Bytes& key) {
  return key.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu
                                  : static_cast<DWORD>(key.size());
}

void InstallKey(PCCERT_CONTEXT c, const Bytes& pkcs8, const std::string& path) {
  if (!ProvTypeFor(c->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId))
    Fail("the certificate's key is not a GOST R 34.10-2001/2012 key");
  // Check under a scratch name first so a wrong key never replaces a good one.
  char scratch[64];
  snprintf(scratch, sizeof scratch, "certmgr-check-%ld-%ld", (long)getpid(),
           (long)time(nullptr));
  if (!TavrixImportPrivateKey(scratch, pkcs8.data(), KeySize(pkcs8)))
    Fail(path +
         " is not a usable GOST private key: " + ProviderText(GetLastError()));
  bool same;
  try {
    same = KeyMatches(scratch, c);
  } catch (...) {
    TavrixDeleteContainer(scratch);
    throw;
  }
  TavrixDeleteContainer(scratch);
  if (!same)
    Fail("the private key in " + path +
         " does not match the certificate's public key; nothing installed");
  std::string container = ContainerOf(c);
  if (!TavrixImportPrivateKey(container.c_str(), pkcs8.data(), KeySize(pkcs8)))
    FailApi("cannot store the private key");
  printf("Private key stored in container %s\n", container.c_str());
}

struct Options {
  std::map<std::string, std::string> values;
  std::vector<std::string> positional;
  bool Has(const std::string& k) const { return values.count(k) != 0; }
  std::string Get(const std::string& k) const {
    auto it = values.find(k);
    return it == values.end() ? std::string() : it->second;
  }
};

Options Parse(int argc, char** argv, int from,
              const std::vector<std::string>& withValue,
              const std::vector<std::string>& switches) {
  Options o;
  for (int i = from; i < argc; ++i) {
    std::string a = argv[i];
    bool known = false;
    for (const std::string& k : withValue)
      if (a == k) {
        if (i + 1 >= argc) Fail("option " + a + " needs a value");
        o.values[a] = argv[++i];
        known = true;
      }
    for (const std::string& k : switches)
      if (a == k) {
        o.values[a] = "1";
        known = true;
      }
    if (known) continue;
    if (a.size() > 1 && a[0] == '-') Fail("unknown option " + a);
    o.positional.push_back(a);
  }
  return o;
}

std::string ImportPfx(const std::string& path, const std::string& password,
                      Bytes* keyDer) {
  Bytes data = ReadAll(path);
  gnutls_datum_t d = {data.data(), static_cast<unsigned>(data.size())};
  gnutls_pkcs12_t p12;
  gnutls_pkcs12_init(&p12);
  int rc = gnutls_pkcs12_import(p12, &d, GNUTLS_X509_FMT_DER, 0);
  if (rc < 0) rc = gnutls_pkcs12_import(p12, &d, GNUTLS_X509_FMT_PEM, 0);
  if (rc < 0) {
    gnutls_pkcs12_deinit(p12);
    Fail(path + " is not a PKCS#12 file: " + gnutls_strerror(rc));
  }
  gnutls_x509_privkey_t key = nullptr;
  gnutls_x509_crt_t* chain = nullptr;
  unsigned chainSize = 0;
  rc = gnutls_pkcs12_simple_parse(p12, password.c_str(), &key, &chain,
                                  &chainSize, nullptr, nullptr, nullptr, 0);
  gnutls_pkcs12_deinit(p12);
  if (rc < 0)
    Fail("cannot read " + path + ": " + gnutls_strerror(rc) +
         " (wrong password, or a protection this tool cannot decrypt; export "
         "the certificate and the PKCS#8 key separately and use --cert/--key)");
  std::string certDer;
  gnutls_datum_t out;
  if (chainSize > 0 &&
      gnutls_x509_crt_export2(chain[0], GNUTLS_X509_FMT_DER, &out) >= 0) {
    certDer.assign(reinterpret_cast<char*>(out.data), out.size);
    gnutls_free(out.data);
  }
  if (key &&
      gnutls_x509_privkey_export2_pkcs8(key, GNUTLS_X509_FMT_DER, nullptr,
                                        GNUTLS_PKCS_PLAIN, &out) >= 0) {
    keyDer->assign(out.data, out.data + out.size);
    gnutls_free(out.data);
  }
  for (unsigned i = 0; i < chainSize; ++i) gnutls_x509_crt_deinit(chain[i]);
  gnutls_free(chain);
  if (key) gnutls_x509_privkey_deinit(key);
  if (certDer.empty()) Fail(path + " holds no certificate");
  return certDer;
}

int CmdImport(int argc, char** argv) {
  Options o =
      Parse(argc, argv, 2, {"--cert", "--key", "--pfx", "--password"}, {});
  if (!o.positional.empty()) Fail("unexpected argument " + o.positional[0]);
  if (o.Has("--pfx") == o.Has("--cert"))
    Fail("give either --cert FILE [--key FILE] or --pfx FILE");
  PCCERT_CONTEXT c = nullptr;
  Bytes key;
  std::string keyPath;
  if (o.Has("--pfx")) {
    keyPath = o.Get("--pfx");
    std::string der = ImportPfx(keyPath, o.Get("--password"), &key);
    c = CertCreateCertificateContext(X509_ASN_ENCODING,
                                     reinterpret_cast<const BYTE*>(der.data()),
                                     static_cast<DWORD>(der.size()));
    if (!c) FailApi(keyPath + ": damaged certificate");
    if (key.empty()) {
      CertFreeCertificateContext(c);
      Fail(keyPath + " holds no private key");
    }
  } else {
    c = LoadCert(o.Get("--cert"));
    if (o.Has("--key")) {
      keyPath = o.Get("--key");
      key = FromPem(ReadAll(keyPath), "PRIVATE KEY", keyPath);
    }
  }
  try {
    if (!key.empty()) InstallKey(c, key, keyPath);
    AddCert("MY", c);
  } catch (...) {
    CertFreeCertificateContext(c);
    throw;
  }
  CertFreeCertificateContext(c);
  return 0;
}

int CmdAdd(int argc, char** argv, const std::string& store) {
  Options o = Parse(argc, argv, 2, {}, {});
  if (o.positional.size() != 1) Fail("give exactly one certificate file");
  PCCERT_CONTEXT c = LoadCert(o.positional[0]);
  try {
    AddCert(store, c);
  } catch (...) {
    CertFreeCertificateContext(c);
    throw;
  }
  CertFreeCertificateContext(c);
  return 0;
}

std::string Upper(std::string s) {
  for (char& ch : s)
    ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  return s;
}

std::string CheckStore(const std::string& s) {
  std::string u = Upper(s);
  if (u != "MY" && u != "CA" && u != "ROOT")
    Fail("unknown store \"" + s + "\" (use MY, CA or ROOT)");
  return u;
}

int CmdList(int argc, char** argv) {
  Options o = Parse(argc, argv, 2, {"--store"}, {});
  if (!o.positional.empty()) Fail("unexpected argument " + o.positional[0]);
  std::vector<std::string> stores = {"MY", "CA", "ROOT"};
  if (o.Has("--store")) stores = {CheckStore(o.Get("--store"))};
  for (const std::string& name : stores) {
    StoreHandle s(name, true);
    std::vector<PCCERT_CONTEXT> certs;
    if (s.get()) {
      PCCERT_CONTEXT c = nullptr;
      while ((c = CertEnumCertificatesInStore(s.get(), c)))
        certs.push_back(CertDuplicateCertificateContext(c));
    }
    printf("Store %s: %zu certificate(s)\n", name.c_str(), certs.size());
    for (PCCERT_CONTEXT c : certs) {
      PCERT_INFO i = c->pCertInfo;
      DWORD n = 0;
      bool key = CertGetCertificateContextProperty(
          c, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &n);
      printf("\n");
      printf("  Subject:     %s\n",
             NameText(&i->Subject, CERT_SIMPLE_NAME_STR).c_str());
      printf("  SubjectX500: %s\n",
             NameText(&i->Subject, CERT_X500_NAME_STR).c_str());
      printf("  Issuer:      %s\n",
             NameText(&i->Issuer, CERT_SIMPLE_NAME_STR).c_str());
      printf("  IssuerX500:  %s\n",
             NameText(&i->Issuer, CERT_X500_NAME_STR).c_str());
      printf("  Serial:      %s\n", SerialHex(c).c_str());
      printf("  SHA1:        %s\n", Thumbprint(c).c_str());
      printf("  NotBefore:   %s\n", TimeText(i->NotBefore).c_str());
      printf("  NotAfter:    %s\n", TimeText(i->NotAfter).c_str());
      printf("  PrivateKey:  %s\n", key ? "yes" : "no");
      CertFreeCertificateContext(c);
    }
    printf("\n");
  }
  return 0;
}

std::string CleanHex(const std::string& s, const std::string& what) {
  std::string out;
  for (char ch : s) {
    if (ch == ':' || ch == ' ') continue;
    if (!isxdigit(static_cast<unsigned char>(ch)))
      Fail(what + " \"" + s + "\" is not hexadecimal");
    out += static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  }
  if (out.empty()) Fail(what + " is empty");
  return out;
}

int CmdDelete(int argc, char** argv) {
  Options o = Parse(argc, argv, 2, {"--store", "--serial", "--thumbprint"},
                    {"--with-key"});
  if (!o.positional.empty()) Fail("unexpected argument " + o.positional[0]);
  if (!o.Has("--store")) Fail("give --store MY|CA|ROOT");
  if (o.Has("--serial") == o.Has("--thumbprint"))
    Fail("give either --serial HEX or --thumbprint HEX");
  std::string store = CheckStore(o.Get("--store"));
  bool bySerial = o.Has("--serial");
  std::string want = bySerial ? CleanHex(o.Get("--serial"), "serial")
                              : CleanHex(o.Get("--thumbprint"), "thumbprint");
  if (bySerial) {
    size_t z = want.find_first_not_of('0');
    want = z == std::string::npos ? "0" : want.substr(z);
  }
  StoreHandle s(store, true);
  if (!s.get())
    Fail("no certificate matches in " + store + " (store is empty)");
  std::vector<PCCERT_CONTEXT> hits;
  PCCERT_CONTEXT c = nullptr;
  while ((c = CertEnumCertificatesInStore(s.get(), c))) {
    std::string mine = bySerial ? SerialHex(c) : Thumbprint(c);
    if (bySerial) {
      size_t z = mine.find_first_not_of('0');
      mine = z == std::string::npos ? "0" : mine.substr(z);
    }
    if (mine == want) hits.push_back(CertDuplicateCertificateContext(c));
  }
  if (hits.empty()) Fail("no certificate matches in " + store);
  if (hits.size() > 1 && bySerial) {
    std::string list;
    for (PCCERT_CONTEXT h : hits) {
      list += "\n  " + Thumbprint(h);
      CertFreeCertificateContext(h);
    }
    Fail("the serial matches " + std::to_string(hits.size()) +
         " certificates; choose one with --thumbprint:" + list);
  }
  for (PCCERT_CONTEXT h : hits) {
    std::string name = NameText(&h->pCertInfo->Subject, CERT_SIMPLE_NAME_STR);
    std::string container = ContainerOf(h);
    if (!CertDeleteCertificateFromStore(h)) FailApi("cannot delete " + name);
    printf("Deleted from %s: %s\n", store.c_str(), name.c_str());
    if (o.Has("--with-key")) {
      if (TavrixDeleteContainer(container.c_str()))
        printf("Deleted key container %s\n", container.c_str());
      else
        printf("No key container %s was present\n", container.c_str());
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs(kUsage, stderr);
    return 2;
  }
  std::string cmd = argv[1];
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    fputs(kUsage, stdout);
    return 0;
  }
  try {
    if (cmd == "import") return CmdImport(argc, argv);
    if (cmd == "add-ca") return CmdAdd(argc, argv, "CA");
    if (cmd == "add-root") return CmdAdd(argc, argv, "ROOT");
    if (cmd == "list") return CmdList(argc, argv);
    if (cmd == "delete") return CmdDelete(argc, argv);
    fprintf(stderr, "tavrix-certmgr: unknown command \"%s\"\n\n%s", cmd.c_str(),
            kUsage);
    return 2;
  } catch (const Failure& f) {
    fprintf(stderr, "tavrix-certmgr: error: %s\n", f.message.c_str());
    return 1;
  }
}
