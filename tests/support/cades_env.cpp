#include "cades_env.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace tavrix_test {

namespace {

const char* const kKeyTypes[] = {"gost2001", "gost2012_256", "gost2012_512"};

std::string Url(int port, const std::string& path = "") {
  return "http://127.0.0.1:" + std::to_string(port) + "/" + path;
}

std::string SupportDir() {
  const std::string makePki = MakePkiPath();
  return makePki.substr(0, makePki.rfind('/'));
}

}  // namespace

Peer::Peer(const std::vector<std::string>& argv, const std::string& cwd,
           const std::string& opensslConf) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) abort();
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    close(in[1]);
    close(out[0]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    if (!opensslConf.empty()) setenv("OPENSSL_CONF", opensslConf.c_str(), 1);
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
  // Only the first line, the port, is read; the pipe stays open so that
  // later output does not kill the peer.
  FILE* f = fdopen(out[0], "r");
  char line[64] = {0};
  if (f == nullptr || fgets(line, sizeof line, f) == nullptr) {
    std::fprintf(stderr, "%s did not start\n", argv.back().c_str());
    abort();
  }
  port = std::atoi(line);
  out_ = f;
}

Peer::~Peer() {
  // End of input stops a peer cleanly; a signal only one that lingers
  // (a signal while a thread of it reads its input makes Python abort).
  close(stdin_);
  int st;
  for (int i = 0; i < 40 && waitpid(pid_, &st, WNOHANG) == 0; ++i)
    usleep(50 * 1000);
  if (waitpid(pid_, &st, WNOHANG) == 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, &st, 0);
  }
  if (out_ != nullptr) fclose(out_);
}

CadesEnv& CadesEnv::Get() {
  static CadesEnv* env = new CadesEnv();
  // Stopped with the program, before the PKI's folders go.
  static const int stopped = std::atexit([] {
    env->tsa_.reset();
    env->httpd_.reset();
    env->ocsp_.reset();
  });
  (void)stopped;
  return *env;
}

std::string CadesEnv::Tsa(const std::string& path) const {
  return Url(tsa_->port, path);
}

const PkiCert& CadesEnv::Signer(const std::string& keyType) const {
  return pki.Cert("xl-" + keyType);
}

CadesEnv::CadesEnv() : pki(TestPki::Get()) {
  const std::string dir = pki.dir();
  const std::string support = SupportDir();
  if (RunCommand("sh " + ShellQuote(MakePkiPath()) + " --tsa " +
                 ShellQuote(dir) + " 2>&1")
          .exitCode != 0)
    abort();
  conf = dir + "/gost.cnf";
  std::ofstream(conf) << "openssl_conf = openssl_init\n[openssl_init]\n"
                         "engines = e\n[e]\ngost = g\n[g]\nengine_id = gost\n"
                         "default_algorithms = ALL\n";
  RunCommand("mkdir -p " + ShellQuote(dir + "/www"));
  tsa_ = std::make_unique<Peer>(
      std::vector<std::string>{"python3", support + "/tsa.py", "--dir", dir});
  httpd_ = std::make_unique<Peer>(std::vector<std::string>{
      "python3", support + "/httpd.py", "--dir", dir + "/www"});
  ocsp_ = std::make_unique<Peer>(
      std::vector<std::string>{"python3", support + "/ocsp_front.py", "--port",
                               "0", "--", "-index", "ocsp-index.txt", "-CA",
                               "xl-inter.pem", "-rsigner", "xl-inter.pem",
                               "-rkey", "xl-inter.key", "-nmin", "5"},
      dir, conf);
  const long kDay = 86400;
  const PkiCert& inter = pki.MakeCert(
      "xl-inter", "gost2012_256", "/CN=Long-term Intermediate", -kDay,
      365 * kDay, "root-gost2012_256",
      "basicConstraints = critical,CA:TRUE\n"
      "keyUsage = critical,keyCertSign,cRLSign,digitalSignature\n"
      "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n"
      "crlDistributionPoints = URI:" +
          Url(httpd_->port, "root.crl"));
  std::ofstream index(dir + "/ocsp-index.txt");
  for (const char* kt : kKeyTypes) {
    const PkiCert& c = pki.MakeCert(
        std::string("xl-") + kt, kt, std::string("/CN=Подписант ") + kt, -kDay,
        300 * kDay, "xl-inter",
        "basicConstraints = CA:FALSE\n"
        "keyUsage = critical,digitalSignature,nonRepudiation\n"
        "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n"
        "authorityInfoAccess = OCSP;URI:" +
            Url(ocsp_->port));
    index << "V\t351231000000Z\t\t" << c.serialHex << "\tunknown\t" << c.subject
          << "\n";
    if (!pki.Install(c, "MY", true)) abort();
  }
  index.close();
  if (!pki.Install(inter, "CA", false)) abort();
  // The root's CRL, by OpenSSL's own CA code.
  std::ofstream(dir + "/crl.cnf")
      << "[ca]\ndefault_ca = c\n[c]\ndatabase = " << dir
      << "/crl-db.txt\ncrlnumber = " << dir
      << "/crl-number\ndefault_md = md_gost12_256\ndefault_crl_days = 7\n";
  std::ofstream(dir + "/crl-db.txt").close();
  std::ofstream(dir + "/crl-number") << "01\n";
  if (RunCommand("cd " + ShellQuote(dir) +
                 " && openssl ca -engine gost -gencrl -config crl.cnf -cert "
                 "root-gost2012_256.pem -keyfile root-gost2012_256.key -out "
                 "root.crl.pem 2>&1 && openssl crl -in root.crl.pem -outform "
                 "DER -out www/root.crl")
          .exitCode != 0)
    abort();
  caFile = dir + "/ca-all.pem";
  RunCommand("cd " + ShellQuote(dir) +
             " && cat root-*.pem inter-*.pem xl-inter.pem > ca-all.pem");
}

std::string CadesEnv::Check(const std::vector<uint8_t>& der,
                            const std::string& level,
                            const std::vector<uint8_t>* content) const {
  TempDir d;
  WriteFileBytes(d.File("m.der"), der);
  std::string cmd = "OPENSSL_CONF=" + ShellQuote(conf) + " /usr/bin/python3 " +
                    ShellQuote(TAVRIX_CADES_CHECK_PATH) + " --cms " +
                    ShellQuote(d.File("m.der")) + " --ca " +
                    ShellQuote(caFile) + " --level " + level;
  if (content != nullptr) {
    WriteFileBytes(d.File("content"), *content);
    cmd += " --content " + ShellQuote(d.File("content"));
  }
  CommandResult r = RunCommand(cmd + " 2>&1");
  return r.exitCode == 0
             ? ""
             : r.output + " (exit " + std::to_string(r.exitCode) + ")";
}

}  // namespace tavrix_test
