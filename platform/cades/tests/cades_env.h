// The peers and the signing and enhancement steps the runtime's tests share:
// a GOST test PKI with time-stamp certificates and a chain that names its
// revocation sources, the time-stamp service, the CRL server and the OCSP
// responder on 127.0.0.1, each on a port the kernel chose.
#pragma once

#include <capi/cades.h>
#include <capi/capi.h>
#include <capi/gost.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace cades_test {

using tavrix_test::PkiCert;
using tavrix_test::RunCommand;
using tavrix_test::ShellQuote;
using tavrix_test::TestPki;
using Bytes = std::vector<uint8_t>;

inline const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
inline const char* const kKeyTypes[] = {"gost2001", "gost2012_256",
                                        "gost2012_512"};

// A helper process whose first stdout line is read back (its port); closing
// its stdin or SIGTERM stops it.
class Peer {
 public:
  Peer(const std::vector<std::string>& argv, const std::string& cwd = "",
       const std::string& openssl_conf = "") {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) abort();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[1]);
      close(out[0]);
      if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
      if (!openssl_conf.empty())
        setenv("OPENSSL_CONF", openssl_conf.c_str(), 1);
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
    FILE* f = fdopen(out[0], "r");
    char line[64] = {0};
    if (!f || !fgets(line, sizeof line, f))
      ADD_FAILURE() << argv[1] << " did not start";
    port = std::atoi(line);
    out_ = f;
  }
  ~Peer() {
    close(stdin_);
    kill(pid_, SIGTERM);
    int st;
    waitpid(pid_, &st, 0);
    if (out_) fclose(out_);
  }
  int port = 0;
  // A paused peer still accepts connections but never answers: whoever
  // asks it anything waits for a time-out.
  void Pause(bool paused) { kill(pid_, paused ? SIGSTOP : SIGCONT); }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  FILE* out_ = nullptr;
};

inline std::string Url(int port, const std::string& path = "") {
  return "http://127.0.0.1:" + std::to_string(port) + "/" + path;
}

// The test PKI with time-stamp certificates, a chain whose certificates name
// their revocation sources (xl-inter: a CRL of root-gost2012_256; xl-<kt>:
// xl-inter's OCSP responder), and the peers that serve them.
class Env {
 public:
  static Env& Get() {
    static Env env;
    return env;
  }
  TestPki& pki = TestPki::Get();
  std::string conf, caFile;
  std::unique_ptr<Peer> tsa, httpd, ocsp;

  std::string Tsa(const std::string& path = "") const {
    return Url(tsa->port, path);
  }
  const PkiCert& Signer(const std::string& kt) const {
    return pki.Cert("xl-" + kt);
  }

 private:
  Env() {
    const std::string dir = pki.dir();
    const std::string support = TEST_SUPPORT_DIR;
    if (RunCommand("sh " + ShellQuote(support + "/make-pki.sh") + " --tsa " +
                   ShellQuote(dir) + " 2>&1")
            .exitCode != 0)
      abort();
    conf = dir + "/gost.cnf";
    std::ofstream(conf) << "openssl_conf = openssl_init\n[openssl_init]\n"
                           "engines = e\n[e]\ngost = g\n[g]\nengine_id = gost\n"
                           "default_algorithms = ALL\n";
    RunCommand("mkdir -p " + ShellQuote(dir + "/www"));
    tsa = std::make_unique<Peer>(
        std::vector<std::string>{"python3", support + "/tsa.py", "--dir", dir});
    httpd = std::make_unique<Peer>(std::vector<std::string>{
        "python3", support + "/httpd.py", "--dir", dir + "/www"});
    ocsp = std::make_unique<Peer>(
        std::vector<std::string>{
            "python3", support + "/ocsp_front.py", "--port", "0", "--",
            "-index", "ocsp-index.txt", "-CA", "xl-inter.pem", "-rsigner",
            "xl-inter.pem", "-rkey", "xl-inter.key", "-nmin", "5"},
        dir, conf);
    const long kDay = 86400;
    const PkiCert& inter = pki.MakeCert(
        "xl-inter", "gost2012_256", "/CN=Long-term Intermediate", -kDay,
        365 * kDay, "root-gost2012_256",
        "basicConstraints = critical,CA:TRUE\n"
        "keyUsage = critical,keyCertSign,cRLSign,digitalSignature\n"
        "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n"
        "crlDistributionPoints = URI:" +
            Url(httpd->port, "root.crl"));
    std::ofstream index(dir + "/ocsp-index.txt");
    for (const char* kt : kKeyTypes) {
      const PkiCert& c = pki.MakeCert(
          std::string("xl-") + kt, kt, std::string("/CN=Подписант ") + kt,
          -kDay, 300 * kDay, "xl-inter",
          "basicConstraints = CA:FALSE\n"
          "keyUsage = critical,digitalSignature,nonRepudiation\n"
          "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n"
          "authorityInfoAccess = OCSP;URI:" +
              Url(ocsp->port));
      index << "V\t351231000000Z\t\t" << c.serialHex << "\tunknown\t"
            << c.subject << "\n";
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
};

struct CertPtr {
  PCCERT_CONTEXT c = nullptr;
  ~CertPtr() {
    if (c) CertFreeCertificateContext(c);
  }
};

inline const char* HashOid(const std::string& kt) {
  return kt == "gost2001"       ? szOID_CP_GOST_R3411
         : kt == "gost2012_256" ? szOID_CP_GOST_R3411_12_256
                                : szOID_CP_GOST_R3411_12_512;
}

inline BOOL WINAPI Collect(const void* arg, BYTE* p, DWORD n, BOOL) {
  auto* out = static_cast<Bytes*>(const_cast<void*>(arg));
  out->insert(out->end(), p, p + n);
  return TRUE;
}

// CAdES-BES through the runtime with the signer's key from the MY store.
// `emittedEarly` tells whether streamed output arrived before the last block.
inline Bytes SignBes(const PkiCert& cert, const std::string& kt,
                     const Bytes& data, bool detached, bool streamed,
                     bool* emittedEarly = nullptr) {
  HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
  CertPtr probe, c;
  probe.c = CertCreateCertificateContext(kEnc, cert.der.data(),
                                         static_cast<DWORD>(cert.der.size()));
  c.c = CertFindCertificateInStore(my, kEnc, 0, CERT_FIND_EXISTING, probe.c,
                                   nullptr);
  CertCloseStore(my, 0);
  EXPECT_NE(c.c, nullptr);
  if (!c.c) return {};
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL free_prov = FALSE;
  EXPECT_TRUE(CryptAcquireCertificatePrivateKey(c.c, 0, nullptr, &prov, &spec,
                                                &free_prov));
  CMSG_SIGNER_ENCODE_INFO signer{};
  signer.cbSize = sizeof signer;
  signer.pCertInfo = c.c->pCertInfo;
  signer.hCryptProv = prov;
  signer.dwKeySpec = spec;
  signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(HashOid(kt));
  CERT_BLOB blob{c.c->cbCertEncoded, c.c->pbCertEncoded};
  CMSG_SIGNED_ENCODE_INFO info{};
  info.cbSize = sizeof info;
  info.cSigners = 1;
  info.rgSigners = &signer;
  info.cCertEncoded = 1;
  info.rgCertEncoded = &blob;
  CADES_ENCODE_INFO cades{};
  cades.dwSize = sizeof cades;
  cades.pSignedEncodeInfo = &info;
  Bytes out;
  CMSG_STREAM_INFO stream{static_cast<DWORD>(data.size()), Collect, &out};
  HCRYPTMSG m =
      CadesMsgOpenToEncode(kEnc, detached ? CMSG_DETACHED_FLAG : 0, &cades,
                           nullptr, streamed ? &stream : nullptr);
  EXPECT_NE(m, nullptr) << std::hex << GetLastError();
  if (!m) return {};
  const size_t kBlock = 1 << 20;
  for (size_t off = 0; off < data.size() || off == 0; off += kBlock) {
    size_t n = std::min(kBlock, data.size() - off);
    bool last = off + n >= data.size();
    EXPECT_TRUE(
        CryptMsgUpdate(m, data.data() + off, static_cast<DWORD>(n), last));
    if (!last && emittedEarly) *emittedEarly = !out.empty();
    if (last) break;
  }
  if (!streamed) {
    DWORD n = 0;
    EXPECT_TRUE(CryptMsgGetParam(m, CMSG_CONTENT_PARAM, 0, nullptr, &n));
    out.resize(n);
    EXPECT_TRUE(CryptMsgGetParam(m, CMSG_CONTENT_PARAM, 0, out.data(), &n));
    out.resize(n);
  }
  CryptMsgClose(m);
  if (free_prov) CryptReleaseContext(prov, 0);
  return out;
}

inline HCRYPTMSG Decode(const Bytes& der) {
  HCRYPTMSG m = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
  EXPECT_TRUE(
      CryptMsgUpdate(m, der.data(), static_cast<DWORD>(der.size()), TRUE));
  return m;
}

inline Bytes Encoded(HCRYPTMSG m) {
  DWORD n = 0;
  CryptMsgGetParam(m, CMSG_ENCODED_MESSAGE, 0, nullptr, &n);
  Bytes b(n);
  CryptMsgGetParam(m, CMSG_ENCODED_MESSAGE, 0, b.data(), &n);
  b.resize(n);
  return b;
}

struct Enhanced {
  bool ok = false;
  DWORD error = 0;
  double seconds = 0;
  Bytes der;  // the message after the call, whatever its outcome
};

inline Enhanced Enhance(const Bytes& der, DWORD type, const std::wstring& url) {
  HCRYPTMSG m = Decode(der);
  CADES_SERVICE_CONNECTION_PARA tsp{sizeof tsp, url.c_str(), nullptr};
  CADES_SIGN_PARA para{};
  para.dwSize = sizeof para;
  para.dwCadesType = type;
  para.pTspConnectionPara = &tsp;
  auto t0 = std::chrono::steady_clock::now();
  Enhanced e;
  e.ok = CadesMsgEnhanceSignature(m, 0, &para);
  e.error = e.ok ? 0 : GetLastError();
  e.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
          .count();
  e.der = Encoded(m);
  CryptMsgClose(m);
  return e;
}

inline std::wstring Wide(const std::string& s) {
  return std::wstring(s.begin(), s.end());
}

}  // namespace cades_test
