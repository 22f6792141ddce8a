#include "chain_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace chain_test {

namespace {

std::string Here() {
  std::string f = __FILE__;
  return f.substr(0, f.find_last_of('/'));
}

HCERTSTORE OpenUserStore(const std::string& name) {
  std::wstring wide(name.begin(), name.end());
  HCERTSTORE h = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING, 0,
                               CERT_SYSTEM_STORE_CURRENT_USER, wide.c_str());
  if (!h) throw std::runtime_error("cannot open store " + name);
  return h;
}

Child Spawn(const std::vector<std::string>& argv, const std::string& cwd,
            const std::string& out_file, bool env_gost,
            const std::string& conf) {
  int in[2];
  if (pipe(in) != 0) throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    close(in[1]);
    int o = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (o >= 0) {
      dup2(o, 1);
      dup2(o, 2);
    }
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    if (env_gost) setenv("OPENSSL_CONF", conf.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv)
      args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  Child c;
  c.pid = pid;
  c.stdin_fd = in[1];
  return c;
}

bool WaitForPort(int port, int ms) {
  for (int waited = 0; waited < ms; waited += 50) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    if (ok) return true;
    usleep(50000);
  }
  return false;
}

// The OpenSSL responder serves one connection at a time and a probe that
// connects without a request wedges it, so readiness is read from its log.
bool WaitForLog(const std::string& path, const std::string& text, int ms) {
  for (int waited = 0; waited < ms; waited += 50) {
    Bytes log = ReadFileBytes(path);
    if (std::string(log.begin(), log.end()).find(text) != std::string::npos)
      return true;
    usleep(50000);
  }
  return false;
}

}  // namespace

std::string SupportDir() { return Here() + "/../../../../tests/support"; }

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

void Child::Stop() {
  if (pid <= 0) return;
  if (stdin_fd >= 0) close(stdin_fd);
  kill(pid, SIGTERM);
  int st;
  waitpid(pid, &st, 0);
  pid = -1;
  stdin_fd = -1;
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
      "sh '" + Here() + "/chain_pki.sh' '" + dir + "' '" + http +
      "/inter.crl' 'http://127.0.0.1:" + std::to_string(ocsp_port) +
      "/' 'http://127.0.0.1:1/none.crl' '" + http + "/stall' > '" + dir +
      "/pki.log' 2>&1";
  if (std::system(cmd.c_str()) != 0)
    throw std::runtime_error("cannot build the test PKI, see " + dir +
                             "/pki.log");
  std::ofstream conf(dir + "/gost.cnf");
  conf << "openssl_conf = openssl_init\n[openssl_init]\nengines = e\n"
          "[e]\ngost = g\n[g]\nengine_id = gost\ndefault_algorithms = ALL\n";
  conf.close();
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
  if (http_.pid > 0) return true;
  http_ = Spawn({"python3", SupportDir() + "/httpd.py", "--dir", www, "--port",
                 std::to_string(http_port)},
                "", dir + "/httpd.log", false, "");
  return WaitForPort(http_port, 5000);
}

void Pki::StopHttp() { http_.Stop(); }

bool Pki::StartOcsp(const std::string& replay) {
  if (ocsp_.pid > 0) return true;
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
  // Readiness is read from the log, so the last run's must not be seen.
  unlink((dir + "/ocsp.log").c_str());
  ocsp_ = Spawn(argv, dir, dir + "/ocsp.log", true, dir + "/gost.cnf");
  return WaitForLog(dir + "/ocsp.log", "waiting for OCSP client connections",
                    10000);
}

void Pki::StopOcsp() { ocsp_.Stop(); }

PCCERT_CONTEXT Cert(const std::string& name) {
  Bytes der = Pki::Get().Der(name);
  return CertCreateCertificateContext(X509_ASN_ENCODING, der.data(),
                                      static_cast<DWORD>(der.size()));
}

}  // namespace chain_test
