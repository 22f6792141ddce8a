#include "cades_peers.h"

#include <fstream>
#include <initializer_list>
#include <stdexcept>

namespace tavrix_test {

namespace {

const char* const kKeyTypes[] = {"gost2001", "gost2012_256", "gost2012_512"};

void Need(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("CadesPeers: " + what);
}

}  // namespace

std::string CadesPeers::OcspUrl() const { return LoopbackUrl(ocsp_->port); }

void CadesPeers::Pause(bool paused) {
  for (Peer* p : {tsa_.get(), &httpd_->peer(), ocsp_.get()}) p->Pause(paused);
}

CadesPeers& CadesPeers::Get() {
  static CadesPeers peers;
  return peers;
}

std::string CadesPeers::Tsa(const std::string& path) const {
  return LoopbackUrl(tsa_->port, path);
}

const PkiCert& CadesPeers::Signer(const std::string& kt) const {
  return pki_.Cert("xl-" + kt);
}

CadesPeers::CadesPeers() : pki_(TestPki::Get()) {
  const std::string dir = pki_.dir();
  const std::string support = SupportDir();
  Need(RunCommand("sh " + ShellQuote(MakePkiPath()) + " --tsa " +
                  ShellQuote(dir) + " 2>&1")
               .exitCode == 0,
       "make-pki.sh --tsa");
  conf = WriteGostEngineConf(dir);
  RunCommand("mkdir -p " + ShellQuote(dir + "/www"));
  tsa_ = std::make_unique<Peer>(
      std::vector<std::string>{"python3", support + "/tsa.py", "--dir", dir});
  httpd_ = std::make_unique<HttpServer>(dir + "/www");
  ocsp_ = std::make_unique<Peer>(
      std::vector<std::string>{"python3", support + "/ocsp_front.py", "--port",
                               "0", "--", "-index", "ocsp-index.txt", "-CA",
                               "xl-inter.pem", "-rsigner", "xl-inter.pem",
                               "-rkey", "xl-inter.key", "-nmin", "5"},
      dir, conf);
  const long kDay = 86400;
  const PkiCert& inter = pki_.MakeCert(
      "xl-inter", "gost2012_256", "/CN=Long-term Intermediate", -kDay,
      365 * kDay, "root-gost2012_256",
      "basicConstraints = critical,CA:TRUE\n"
      "keyUsage = critical,keyCertSign,cRLSign,digitalSignature\n"
      "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n"
      "crlDistributionPoints = URI:" +
          LoopbackUrl(httpd_->port(), "root.crl"));
  std::ofstream index(dir + "/ocsp-index.txt");
  for (const char* kt : kKeyTypes) {
    const PkiCert& c = pki_.MakeCert(
        std::string("xl-") + kt, kt, std::string("/CN=Подписант ") + kt, -kDay,
        300 * kDay, "xl-inter",
        "basicConstraints = CA:FALSE\n"
        "keyUsage = critical,digitalSignature,nonRepudiation\n"
        "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n"
        "authorityInfoAccess = OCSP;URI:" +
            LoopbackUrl(ocsp_->port));
    index << "V\t351231000000Z\t\t" << c.serialHex << "\tunknown\t" << c.subject
          << "\n";
    Need(pki_.Install(c, "MY", true), "install " + c.name);
  }
  index.close();
  Need(pki_.Install(inter, "CA", false), "install xl-inter");
  // The root's CRL, by OpenSSL's own CA code.
  std::ofstream(dir + "/crl.cnf")
      << "[ca]\ndefault_ca = c\n[c]\ndatabase = " << dir
      << "/crl-db.txt\ncrlnumber = " << dir
      << "/crl-number\ndefault_md = md_gost12_256\ndefault_crl_days = 7\n";
  std::ofstream(dir + "/crl-db.txt").close();
  std::ofstream(dir + "/crl-number") << "01\n";
  Need(RunCommand("cd " + ShellQuote(dir) +
                  " && openssl ca -engine gost -gencrl -config crl.cnf -cert "
                  "root-gost2012_256.pem -keyfile root-gost2012_256.key -out "
                  "root.crl.pem 2>&1 && openssl crl -in root.crl.pem -outform "
                  "DER -out www/root.crl")
               .exitCode == 0,
       "root CRL");
  caFile = dir + "/ca-all.pem";
  RunCommand("cd " + ShellQuote(dir) +
             " && cat root-*.pem inter-*.pem xl-inter.pem > ca-all.pem");
}

std::string CadesPeers::Check(const std::vector<uint8_t>& der,
                              const std::string& level,
                              const std::vector<uint8_t>* content) const {
  TempDir d;
  WriteFileBytes(d.File("m.der"), der);
  std::string cmd = "OPENSSL_CONF=" + ShellQuote(conf) + " /usr/bin/python3 " +
                    ShellQuote(SupportDir() + "/cades_check.py") + " --cms " +
                    ShellQuote(d.File("m.der")) + " --ca " +
                    ShellQuote(caFile) + " --level " + level;
  if (content) {
    WriteFileBytes(d.File("content"), *content);
    cmd += " --content " + ShellQuote(d.File("content"));
  }
  CommandResult r = RunCommand(cmd + " 2>&1");
  return r.exitCode == 0
             ? ""
             : r.output + " (exit " + std::to_string(r.exitCode) + ")";
}

}  // namespace tavrix_test
