#include "lookup_pki.h"

#include <stdio.h>
#include <stdlib.h>
#include <tavrix/key_store.h>
#include <time.h>

#include <cctype>
#include <stdexcept>

#include "test_support.h"

namespace lookup_pki {

using tavrix_test::ReadFileBytes;
using tavrix_test::ShellQuote;
using tavrix_test::ShellStatus;

Pki::Pki() {
  char templ[] = "/tmp/lookup-home-XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  home_ = templ;
  dir_ = home_ + "/pki";
  certs_ = std::make_unique<tavrix_test::PkiFolder>(dir_);
  setenv("TAVRIX_PROVIDER_HOME", home_.c_str(), 1);
}

Pki::~Pki() {
  ShellStatus("rm -rf " + ShellQuote(home_), nullptr);
  unsetenv("TAVRIX_PROVIDER_HOME");
}

Cert Pki::Make(const std::string& name, const std::string& subject, int64_t nb,
               int64_t na, const std::string& issuer, const std::string& ext) {
  std::string body = ext.empty() ? "basicConstraints = CA:FALSE\n"
                                   "subjectKeyIdentifier = hash"
                                 : ext;
  Cert cert;
  cert.name = name;
  cert.notBefore = static_cast<int64_t>(time(nullptr)) + nb;
  cert.notAfter = static_cast<int64_t>(time(nullptr)) + na;
  const tavrix_test::PkiCert& made =
      certs_->MakeCert(name, "gost2012_256", subject, static_cast<long>(nb),
                       static_cast<long>(na), issuer, body);
  cert.der = made.der;
  cert.serialHex = made.serialHex;
  // What OpenSSL actually wrote (whole seconds, UTC) wins over the request.
  std::string dates;
  ShellStatus(
      "for w in startdate enddate; do openssl x509 -inform DER -in " +
          ShellQuote(dir_ + "/" + name + ".der") +
          " -noout -$w | cut -d= -f2 | xargs -I{} date -u -d {} +%s; done",
      &dates);
  long long a = 0, b = 0;
  if (sscanf(dates.c_str(), "%lld %lld", &a, &b) == 2) {
    cert.notBefore = a;
    cert.notAfter = b;
  }
  return cert;
}

bool Pki::AddToMy(const Cert& cert) {
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W,
                                   X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
  if (store == nullptr) return false;
  BOOL ok = CertAddEncodedCertificateToStore(
      store, X509_ASN_ENCODING, cert.der.data(),
      static_cast<DWORD>(cert.der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
      nullptr);
  CertCloseStore(store, 0);
  return ok != FALSE;
}

bool Pki::ImportKey(const Cert& cert) {
  // The container is named by the key identifier (SHA-1 of the public key
  // bits), which OpenSSL writes as the subject key identifier.
  std::string out;
  ShellStatus("openssl x509 -inform DER -in " +
                  ShellQuote(dir_ + "/" + cert.name + ".der") +
                  " -noout -ext subjectKeyIdentifier",
              &out);
  size_t colon = out.find(':');
  if (colon == std::string::npos) return false;
  std::string container;
  for (char c : out.substr(colon + 1)) {
    if (std::isxdigit(static_cast<unsigned char>(c))) {
      container += static_cast<char>(std::tolower(c));
    }
  }
  if (container.size() != 40) return false;
  std::vector<unsigned char> key =
      ReadFileBytes(dir_ + "/" + cert.name + ".key.der");
  return TavrixImportPrivateKey(container.c_str(), key.data(),
                                static_cast<DWORD>(key.size()));
}

PCCERT_CONTEXT NewContext(const Cert& cert) {
  return CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                      cert.der.data(),
                                      static_cast<DWORD>(cert.der.size()));
}

std::vector<std::string> Elements(const std::string& xml,
                                  const std::string& tag) {
  std::vector<std::string> out;
  std::string open = "<" + tag + ">";
  std::string close = "</" + tag + ">";
  size_t pos = 0;
  while ((pos = xml.find(open, pos)) != std::string::npos) {
    size_t end = xml.find(close, pos);
    if (end == std::string::npos) break;
    out.push_back(xml.substr(pos, end + close.size() - pos));
    pos = end + close.size();
  }
  return out;
}

std::string Child(const std::string& element, const std::string& tag) {
  std::string open = "<" + tag + ">";
  size_t pos = element.find(open);
  if (pos == std::string::npos) return "";
  pos += open.size();
  size_t end = element.find("</" + tag + ">", pos);
  return end == std::string::npos ? "" : element.substr(pos, end - pos);
}

bool HasChild(const std::string& element, const std::string& tag) {
  return element.find("<" + tag + ">") != std::string::npos;
}

}  // namespace lookup_pki
