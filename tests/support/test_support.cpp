#include "test_support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace tavrix_test {

TempDir::TempDir() {
  char tmpl[] = "/tmp/tavrix-test-XXXXXX";
  char* p = mkdtemp(tmpl);
  if (!p) {
    perror("mkdtemp");
    abort();
  }
  path_ = p;
}

TempDir::~TempDir() {
  if (!path_.empty() && path_.rfind("/tmp/tavrix-test-", 0) == 0)
    RunCommand("rm -rf " + ShellQuote(path_));
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

CommandResult RunCommand(const std::string& cmd) {
  CommandResult r;
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) r.output.append(buf, n);
  int status = pclose(f);
  if (status != -1 && WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  return r;
}

void SetProviderHome(const std::string& dir) {
  setenv("TAVRIX_PROVIDER_HOME", dir.c_str(), 1);
}

std::string CertMgrPath() { return TAVRIX_CERTMGR_PATH; }
std::string MakePkiPath() { return TAVRIX_MAKE_PKI_PATH; }

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)),
                              std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& d) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(d.data()),
          static_cast<std::streamsize>(d.size()));
}

static void Die(const std::string& what, const CommandResult& r) {
  fprintf(stderr, "TestPki: %s (exit %d)\n%s\n", what.c_str(), r.exitCode,
          r.output.c_str());
  abort();
}

TestPki& TestPki::Get() {
  static TestPki pki;  // its folders go away when the program ends
  return pki;
}

TestPki::TestPki() {
  CommandResult r = RunCommand(ShellQuote(MakePkiPath()) + " " +
                               ShellQuote(dir_.path()) + " 2>&1");
  if (r.exitCode != 0) Die("make-pki.sh failed", r);
  LoadIndex();
  SetProviderHome(home_.path());
  for (const std::string& n : order_) {
    const PkiCert& c = certs_[n];
    std::string store = c.role == "root"           ? "ROOT"
                        : c.role == "intermediate" ? "CA"
                                                   : "MY";
    if (!Install(c, store, store == "MY"))
      Die("cannot install " + n, CertMgr("list"));
  }
}

void TestPki::LoadIndex() {
  std::ifstream f(dir_.File("index.txt"));
  std::string line;
  while (std::getline(f, line)) {
    std::vector<std::string> col;
    std::stringstream ss(line);
    std::string part;
    while (std::getline(ss, part, '\t')) col.push_back(part);
    if (col.size() < 6 || certs_.count(col[0])) continue;
    PkiCert c;
    c.name = col[0];
    c.role = col[1];
    c.keyType = col[2];
    c.serialHex = col[3];
    c.issuer = col[4];
    c.subject = col[5];
    c.certPem = dir_.File(c.name + ".pem");
    c.certDer = dir_.File(c.name + ".der");
    c.keyPem = dir_.File(c.name + ".key");
    c.keyDer = dir_.File(c.name + ".key.der");
    c.der = ReadFileBytes(c.certDer);
    order_.push_back(c.name);
    certs_[c.name] = c;
  }
}

const PkiCert& TestPki::Cert(const std::string& name) const {
  auto it = certs_.find(name);
  if (it == certs_.end()) {
    fprintf(stderr, "TestPki: no certificate named %s\n", name.c_str());
    abort();
  }
  return it->second;
}

std::vector<const PkiCert*> TestPki::All() const {
  std::vector<const PkiCert*> out;
  for (const std::string& n : order_) out.push_back(&certs_.at(n));
  return out;
}

std::vector<const PkiCert*> TestPki::InStore(const std::string& store) const {
  std::vector<const PkiCert*> out;
  for (const PkiCert* c : All()) {
    if (c->role == "extra") continue;
    std::string s = c->role == "root"           ? "ROOT"
                    : c->role == "intermediate" ? "CA"
                                                : "MY";
    if (s == store) out.push_back(c);
  }
  return out;
}

const PkiCert& TestPki::MakeCert(const std::string& name,
                                 const std::string& keyType,
                                 const std::string& subject,
                                 long notBeforeOffset, long notAfterOffset,
                                 const std::string& issuer,
                                 const std::string& extensions) {
  std::string cmd = ShellQuote(MakePkiPath()) + " --one " +
                    ShellQuote(dir_.path()) + " " + ShellQuote(name) + " " +
                    ShellQuote(keyType) + " " + ShellQuote(subject) + " " +
                    std::to_string(notBeforeOffset) + " " +
                    std::to_string(notAfterOffset) + " " + ShellQuote(issuer);
  if (!extensions.empty()) cmd += " " + ShellQuote(extensions);
  CommandResult r = RunCommand(cmd + " 2>&1");
  if (r.exitCode != 0) Die("make-pki.sh --one failed", r);
  LoadIndex();
  return Cert(name);
}

CommandResult TestPki::CertMgr(const std::string& args) const {
  return RunCommand(ShellQuote(CertMgrPath()) + " " + args + " 2>&1");
}

bool TestPki::Install(const PkiCert& c, const std::string& store,
                      bool withKey) const {
  std::string args;
  if (store == "MY")
    args = "import --cert " + ShellQuote(c.certPem) +
           (withKey ? " --key " + ShellQuote(c.keyPem) : "");
  else if (store == "CA")
    args = "add-ca " + ShellQuote(c.certPem);
  else
    args = "add-root " + ShellQuote(c.certPem);
  return CertMgr(args).exitCode == 0;
}

}  // namespace tavrix_test
