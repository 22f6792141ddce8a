#include "test_support.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
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

int ShellStatus(const std::string& cmd, std::string* output) {
  CommandResult r = RunCommand(cmd);
  if (output != nullptr) *output = r.output;
  return r.exitCode;
}

bool HaveGostEngine() {
  static const bool ok =
      ShellStatus(
          "openssl dgst -engine gost -md_gost94 /dev/null >/dev/null 2>&1") ==
      0;
  return ok;
}

std::string FromBase64(const std::string& text) {
  static const std::string abc =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned val = 0;
  int bits = 0;
  for (char c : text) {
    size_t v = abc.find(c);
    if (v == std::string::npos) continue;
    val = (val << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((val >> bits) & 0xFF));
    }
  }
  return out;
}

std::vector<uint8_t> ReadPemFile(const std::string& path) {
  std::ifstream in(path);
  std::string b64, line;
  while (std::getline(in, line))
    if (line.rfind("-----", 0) != 0) b64 += line;
  const std::string bytes = FromBase64(b64);
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::string WriteGostEngineConf(const std::string& dir) {
  const std::string path = dir + "/gost.cnf";
  std::ofstream(path) << "openssl_conf = openssl_init\n[openssl_init]\n"
                         "engines = e\n[e]\ngost = g\n[g]\nengine_id = gost\n"
                         "default_algorithms = ALL\n";
  return path;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (uint8_t c : bytes) {
    s.push_back(digits[c >> 4]);
    s.push_back(digits[c & 15]);
  }
  return s;
}

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : hex)
    if (!isspace(static_cast<unsigned char>(c))) digits.push_back(c);
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(
        static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  return out;
}

const std::string& VecBlock::At(const std::string& key) const {
  auto it = fields.find(key);
  if (it == fields.end()) {
    fprintf(stderr, "%s: no \"%s =\"\n", where.c_str(), key.c_str());
    abort();
  }
  return it->second;
}

std::vector<VecBlock> ReadVecFile(const std::string& path) {
  std::ifstream f(path);
  if (!f) {
    fprintf(stderr, "cannot read %s\n", path.c_str());
    abort();
  }
  std::vector<VecBlock> blocks;
  bool open = false;
  std::string line;
  for (int n = 1; std::getline(f, line); ++n) {
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
      open = false;
      continue;
    }
    if (line[first] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      fprintf(stderr, "%s:%d: not \"key = value\"\n", path.c_str(), n);
      abort();
    }
    auto trim = [](std::string s) {
      const size_t b = s.find_first_not_of(" \t\r");
      const size_t e = s.find_last_not_of(" \t\r");
      return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    if (!open) {
      blocks.emplace_back();
      blocks.back().where = path + ":" + std::to_string(n);
      open = true;
    }
    blocks.back().fields[trim(line.substr(0, eq))] = trim(line.substr(eq + 1));
  }
  return blocks;
}

void SetProviderHome(const std::string& dir) {
  setenv("TAVRIX_PROVIDER_HOME", dir.c_str(), 1);
}

std::string CertMgrPath() { return TAVRIX_CERTMGR_PATH; }
std::string MakePkiPath() { return TAVRIX_MAKE_PKI_PATH; }
std::string SupportDir() { return TEST_SUPPORT_DIR; }

Peer::Peer(const std::vector<std::string>& argv, const std::string& cwd,
           const std::string& openssl_conf) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("Peer: pipe");
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    if (!openssl_conf.empty()) setenv("OPENSSL_CONF", openssl_conf.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv)
      args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  stdin_ = in[1];
  out_ = fdopen(out[0], "r");
  char line[64] = {0};
  if (pid_ < 0 || !out_ || !fgets(line, sizeof line, out_)) {
    Stop();
    throw std::runtime_error("Peer: " + argv.at(1) + " did not start");
  }
  port = std::atoi(line);
}

Peer::~Peer() { Stop(); }

void Peer::Stop() {
  if (stdin_ >= 0) close(stdin_);
  stdin_ = -1;
  if (pid_ > 0) {
    kill(pid_, SIGCONT);  // a paused peer would never see the SIGTERM
    kill(pid_, SIGTERM);
    int st;
    waitpid(pid_, &st, 0);
  }
  pid_ = -1;
  if (out_) fclose(out_);
  out_ = nullptr;
}

void Peer::Pause(bool paused) { kill(pid_, paused ? SIGSTOP : SIGCONT); }

std::string LoopbackUrl(int port, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(port) + "/" + path;
}

HttpServer::HttpServer(const std::string& dir, int port)
    : peer_({"python3", SupportDir() + "/httpd.py", "--dir", dir, "--port",
             std::to_string(port)}) {}

std::string HttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port()) + path;
}

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
  certs_ = std::make_unique<PkiFolder>(dir_.path());
  SetProviderHome(home_.path());
  for (const PkiCert* p : certs_->All()) {
    const PkiCert& c = *p;
    const std::string& n = c.name;
    std::string store = c.role == "root"           ? "ROOT"
                        : c.role == "intermediate" ? "CA"
                                                   : "MY";
    if (!Install(c, store, store == "MY"))
      Die("cannot install " + n, CertMgr("list"));
  }
}

void PkiFolder::Reload() {
  std::ifstream f(dir_ + "/index.txt");
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
    c.certPem = dir_ + "/" + c.name + ".pem";
    c.certDer = dir_ + "/" + c.name + ".der";
    c.keyPem = dir_ + "/" + c.name + ".key";
    c.keyDer = dir_ + "/" + c.name + ".key.der";
    c.der = ReadFileBytes(c.certDer);
    order_.push_back(c.name);
    certs_[c.name] = c;
  }
}

const PkiCert& PkiFolder::Cert(const std::string& name) const {
  auto it = certs_.find(name);
  if (it == certs_.end()) {
    fprintf(stderr, "TestPki: no certificate named %s\n", name.c_str());
    abort();
  }
  return it->second;
}

std::vector<const PkiCert*> PkiFolder::All() const {
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

const PkiCert& PkiFolder::MakeCert(const std::string& name,
                                   const std::string& keyType,
                                   const std::string& subject,
                                   long notBeforeOffset, long notAfterOffset,
                                   const std::string& issuer,
                                   const std::string& extensions) {
  std::string cmd = ShellQuote(MakePkiPath()) + " --one " + ShellQuote(dir_) +
                    " " + ShellQuote(name) + " " + ShellQuote(keyType) + " " +
                    ShellQuote(subject) + " " +
                    std::to_string(notBeforeOffset) + " " +
                    std::to_string(notAfterOffset) + " " + ShellQuote(issuer);
  if (!extensions.empty()) cmd += " " + ShellQuote(extensions);
  CommandResult r = RunCommand(cmd + " 2>&1");
  if (r.exitCode != 0) Die("make-pki.sh --one failed", r);
  Reload();
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
