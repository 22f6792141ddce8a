#include "chain_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace chain_test {

namespace {

HCERTSTORE OpenUserStore(const std::string& name) {
  std::wstring wide(name.begin(), name.end());
  HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING, 0,
                               CERT_SYSTEM_STORE_CURRENT_USER, wide.c_str());
  if (!h) throw std::runtime_error("cannot open store " + name);
  return h;
}

}  // namespace

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  close(s);
  return port;
}

Pki& Pki::Get() {
  // Destroyed at exit: the servers stop and the folder goes.
  static Pki pki;
  return pki;
}

Pki::Pki() {
  char tmpl[] = "/tmp/chain-tests-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
  dir = tmpl;
  home = dir + "/home";
  www = dir + "/www";
  setenv("TAVRIX_PROVIDER_HOME", home.c_str(), 1);
  http_port = FreePort();
  ocsp_port = FreePort();
  while (ocsp_port == http_port) ocsp_port = FreePort();
  std::string http = "http://127.0.0.1:" + std::to_string(http_port);
  std::string cmd =
      "sh '" + tavrix_test::SupportDir() + "/make-chain-pki.sh' '" + dir +
      "' '" + http +
      "/inter.crl' 'http://127.0.0.1:" + std::to_string(ocsp_port) +
      "/' 'http://127.0.0.1:1/none.crl' '" + http + "/stall' > '" + dir +
      "/pki.log' 2>&1";
  if (std::system(cmd.c_str()) != 0)
    throw std::runtime_error("cannot build the test PKI, see " + dir +
                             "/pki.log");
  tavrix_test::WriteGostEngineConf(dir);
  AddToStore("ROOT", "root");
  AddToStore("CA", "inter");
}

Pki::~Pki() {
  StopHttp();
  StopOcsp();
  if (!std::getenv("CHAIN_TESTS_KEEP"))
    std::system(("rm -rf '" + dir + "'").c_str());
}

Bytes Pki::Der(const std::string& name) const {
  Bytes b = ReadFileBytes(dir + "/" + name + ".der");
  if (b.empty()) throw std::runtime_error("no certificate " + name);
  return b;
}

void Pki::AddToStore(const std::string& store, const std::string& name) const {
  Bytes der = Der(name);
  HCERTSTORE h = OpenUserStore(store);
  BOOL ok = CertAddEncodedCertificateToStore(
      h, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
      CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
  CertCloseStore(h, 0);
  if (!ok) throw std::runtime_error("cannot add " + name + " to " + store);
}

void Pki::RemoveFromStore(const std::string& store,
                          const std::string& name) const {
  Bytes der = Der(name);
  HCERTSTORE h = OpenUserStore(store);
  PCCERT_CONTEXT c = CertCreateCertificateContext(
      X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  PCCERT_CONTEXT found =
      c ? CertFindCertificateInStore(h, X509_ASN_ENCODING, 0,
                                     CERT_FIND_EXISTING, c, nullptr)
        : nullptr;
  if (found) CertDeleteCertificateFromStore(found);
  if (c) CertFreeCertificateContext(c);
  CertCloseStore(h, 0);
}

void Pki::ClearCrlCache() const {
  std::system(("rm -rf '" + home + "/crl-cache'").c_str());
}

bool Pki::StartHttp() {
  if (http_) return true;
  try {
    http_ = std::make_unique<tavrix_test::HttpServer>(www, http_port);
  } catch (const std::exception& e) {
    fprintf(stderr, "%s\n", e.what());
  }
  return http_ != nullptr;
}

void Pki::StopHttp() { http_.reset(); }

bool Pki::StartOcsp(const std::string& replay) {
  if (ocsp_) return true;
  // OpenSSL's own responder answers each request, behind a front that
  // listens on the loopback address only.
  std::vector<std::string> argv = {"python3", SupportDir() + "/ocsp_front.py",
                                   "--port", std::to_string(ocsp_port)};
  if (!replay.empty()) {
    argv.insert(argv.end(), {"--replay", replay});
  } else {
    argv.insert(argv.end(),
                {"--", "-index", "inter/index.txt", "-rsigner", "responder.pem",
                 "-rkey", "responder.key", "-CA", "inter.pem", "-nmin", "5"});
  }
  // Its first line ("waiting for OCSP client connections") comes once it
  // listens.
  try {
    ocsp_ = std::make_unique<tavrix_test::Peer>(argv, dir, dir + "/gost.cnf");
  } catch (const std::exception& e) {
    fprintf(stderr, "%s\n", e.what());
  }
  return ocsp_ != nullptr;
}

void Pki::StopOcsp() { ocsp_.reset(); }

PCCERT_CONTEXT Cert(const std::string& name) {
  Bytes der = Pki::Get().Der(name);
  return CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                      static_cast<DWORD>(der.size()));
}

}  // namespace chain_test
