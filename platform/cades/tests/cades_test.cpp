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

namespace {

using tavrix_test::PkiCert;
using tavrix_test::RunCommand;
using tavrix_test::ShellQuote;
using tavrix_test::TestPki;
using Bytes = std::vector<uint8_t>;

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const char* const kKeyTypes[] = {"gost2001", "gost2012_256", "gost2012_512"};

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

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  FILE* out_ = nullptr;
};

std::string Url(int port, const std::string& path = "") {
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

const char* HashOid(const std::string& kt) {
  return kt == "gost2001"       ? szOID_CP_GOST_R3411
         : kt == "gost2012_256" ? szOID_CP_GOST_R3411_12_256
                                : szOID_CP_GOST_R3411_12_512;
}

BOOL WINAPI Collect(const void* arg, BYTE* p, DWORD n, BOOL) {
  auto* out = static_cast<Bytes*>(const_cast<void*>(arg));
  out->insert(out->end(), p, p + n);
  return TRUE;
}

// CAdES-BES through the runtime with the signer's key from the MY store.
// `emittedEarly` tells whether streamed output arrived before the last block.
Bytes SignBes(const PkiCert& cert, const std::string& kt, const Bytes& data,
              bool detached, bool streamed, bool* emittedEarly = nullptr) {
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

HCRYPTMSG Decode(const Bytes& der) {
  HCRYPTMSG m = CryptMsgOpenToDecode(kEnc, 0, 0, 0, nullptr, nullptr);
  EXPECT_TRUE(
      CryptMsgUpdate(m, der.data(), static_cast<DWORD>(der.size()), TRUE));
  return m;
}

Bytes Encoded(HCRYPTMSG m) {
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

Enhanced Enhance(const Bytes& der, DWORD type, const std::wstring& url) {
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

std::wstring Wide(const std::string& s) {
  return std::wstring(s.begin(), s.end());
}

bool IsType(const Bytes& der, DWORD type) {
  HCRYPTMSG m = Decode(der);
  BOOL r = FALSE;
  EXPECT_TRUE(CadesMsgIsType(m, 0, type, &r));
  CryptMsgClose(m);
  return r;
}

// The independent checks of cades_check.py; empty when all hold.
std::string Check(const Bytes& der, const std::string& level,
                  const Bytes* content = nullptr) {
  tavrix_test::TempDir d;
  tavrix_test::WriteFileBytes(d.File("m.der"), der);
  std::string cmd =
      "OPENSSL_CONF=" + ShellQuote(Env::Get().conf) + " /usr/bin/python3 " +
      CADES_TEST_DIR "/cades_check.py --cms " + ShellQuote(d.File("m.der")) +
      " --ca " + ShellQuote(Env::Get().caFile) + " --level " + level;
  if (content) {
    tavrix_test::WriteFileBytes(d.File("content"), *content);
    cmd += " --content " + ShellQuote(d.File("content"));
  }
  tavrix_test::CommandResult r = RunCommand(cmd + " 2>&1");
  return r.exitCode == 0
             ? ""
             : r.output + " (exit " + std::to_string(r.exitCode) + ")";
}

const char kTextChars[] = "Договор поставки №1";
const Bytes kText(kTextChars, kTextChars + sizeof kTextChars - 1);

TEST(CadesEncode, EveryKeyAndFormVerifiesWithOpenssl) {
  Env& env = Env::Get();
  Bytes big(3u << 20, 'x');
  for (const char* kt : kKeyTypes) {
    for (int form = 0; form < 4; ++form) {
      bool detached = form & 1, streamed = form & 2;
      const Bytes& data = streamed ? big : kText;
      bool early = false;
      Bytes m = SignBes(env.Signer(kt), kt, data, detached, streamed, &early);
      SCOPED_TRACE(std::string(kt) + " form " + std::to_string(form));
      EXPECT_EQ(Check(m, "bes", detached ? &data : nullptr), "");
      EXPECT_TRUE(IsType(m, CADES_BES));
      EXPECT_FALSE(IsType(m, CADES_T));
      // Streamed output flows while content is still being fed.
      if (streamed) {
        EXPECT_TRUE(early);
      }
    }
  }
}

TEST(CadesEnhance, TAndXLongType1VerifyIndependently) {
  Env& env = Env::Get();
  for (const char* kt : kKeyTypes) {
    SCOPED_TRACE(kt);
    Bytes bes = SignBes(env.Signer(kt), kt, kText, true, false);
    Enhanced t = Enhance(bes, CADES_T, Wide(env.Tsa()));
    ASSERT_TRUE(t.ok) << std::hex << t.error;
    EXPECT_EQ(Check(t.der, "t", &kText), "");
    EXPECT_TRUE(IsType(t.der, CADES_T));
    EXPECT_FALSE(IsType(t.der, CADES_X_LONG_TYPE_1));
    // Type 0 is the runtime's default, X Long Type 1, here over the T form
    // (its time stamp is kept) and over an attached BES.
    Enhanced xl = Enhance(t.der, 0, Wide(env.Tsa("gost2001")));
    ASSERT_TRUE(xl.ok) << std::hex << xl.error;
    EXPECT_EQ(Check(xl.der, "xl", &kText), "");
    EXPECT_TRUE(IsType(xl.der, CADES_X_LONG_TYPE_1));
    Enhanced again = Enhance(xl.der, 0, Wide(env.Tsa()));
    EXPECT_TRUE(again.ok);
    EXPECT_EQ(again.der, xl.der);
    Enhanced attached = Enhance(
        SignBes(env.Signer(kt), kt, kText, false, false), 0, Wide(env.Tsa()));
    ASSERT_TRUE(attached.ok) << std::hex << attached.error;
    EXPECT_EQ(Check(attached.der, "xl"), "");
    // The checks are not vacuous: a changed certificate value (the
    // intermediate's, carried only there) breaks its reference.
    const Bytes& inter = env.pki.Cert("xl-inter").der;
    Bytes bad = attached.der;
    auto at = std::search(bad.begin(), bad.end(), inter.begin(), inter.end());
    ASSERT_NE(at, bad.end());
    at[static_cast<long>(inter.size()) - 3] ^= 1;
    EXPECT_NE(Check(bad, "xl").find("certificate reference"),
              std::string::npos);
    std::printf("[ %s ] X Long Type 1 from BES in %.2f s\n", kt,
                attached.seconds);
  }
}

TEST(CadesEnhance, OpensslBesBecomesXLongType1) {
  Env& env = Env::Get();
  const PkiCert& c = env.Signer("gost2012_256");
  tavrix_test::TempDir d;
  tavrix_test::WriteFileBytes(d.File("in"), kText);
  ASSERT_EQ(
      RunCommand("openssl cms -sign -engine gost -cades -binary -nodetach "
                 "-md md_gost12_256 -outform DER -in " +
                 ShellQuote(d.File("in")) + " -signer " +
                 ShellQuote(c.certPem) + " -inkey " + ShellQuote(c.keyPem) +
                 " -out " + ShellQuote(d.File("m")) + " 2>&1")
          .exitCode,
      0);
  Bytes bes = tavrix_test::ReadFileBytes(d.File("m"));
  EXPECT_TRUE(IsType(bes, CADES_BES));
  Enhanced xl = Enhance(bes, CADES_X_LONG_TYPE_1, Wide(env.Tsa()));
  ASSERT_TRUE(xl.ok) << std::hex << xl.error;
  EXPECT_EQ(Check(xl.der, "xl"), "");
}

// Every lying, broken or silent answer fails the call within the time-out,
// and the message stays exactly as it was.
TEST(CadesEnhance, MisbehavingServicesFailCleanly) {
  Env& env = Env::Get();
  Bytes bes =
      SignBes(env.Signer("gost2012_256"), "gost2012_256", kText, false, false);
  const struct {
    std::wstring url;
    DWORD type, error;
  } rows[] = {
      {Wide(env.Tsa("imprint")), CADES_T, CADES_E_TSP_IMPRINT},
      {Wide(env.Tsa("nonce")), CADES_T, CADES_E_TSP_NONCE},
      {Wide(env.Tsa("untrusted")), CADES_T, CADES_E_TSP_UNTRUSTED},
      {Wide(env.Tsa("noncritical")), CADES_T, CADES_E_TSP_USAGE},
      {Wide(env.Tsa("error")), CADES_T, CADES_E_TSP_REJECTED},
      {Wide(env.Tsa("garbage")), 0, CADES_E_TSP_MALFORMED},
      {Wide(env.Tsa("stall")), 0, CADES_E_TSP_UNREACHABLE},
      {Wide(Url(1)), CADES_T, CADES_E_TSP_UNREACHABLE},
      {L"file:///etc/passwd", CADES_T, CADES_E_TSP_ADDRESS},
      {L"http://127.0.0.1/\u0416", CADES_T, CADES_E_TSP_ADDRESS},
      {L"", CADES_T, CADES_E_TSP_ADDRESS},
      {Wide(env.Tsa()), 0x77, CADES_E_UNSUPPORTED_TYPE},
  };
  for (const auto& row : rows) {
    Enhanced e = Enhance(bes, row.type, row.url);
    SCOPED_TRACE(std::string(row.url.begin(), row.url.end()));
    EXPECT_FALSE(e.ok);
    EXPECT_EQ(e.error, row.error) << std::hex << e.error;
    EXPECT_LT(e.seconds, 20.0);
    EXPECT_EQ(e.der, bes);
  }
}

// A certificate that names no revocation source cannot get X Long Type 1:
// the call fails rather than writing evidence it does not have. T needs none.
TEST(CadesEnhance, NoRevocationSourceNoLongTermForm) {
  Env& env = Env::Get();
  const PkiCert& c = env.pki.Cert("user-gost2012_256");
  Bytes bes = SignBes(c, "gost2012_256", kText, false, false);
  Enhanced xl = Enhance(bes, CADES_X_LONG_TYPE_1, Wide(env.Tsa()));
  EXPECT_FALSE(xl.ok);
  EXPECT_EQ(xl.error, CADES_E_REVOCATION_UNREACHABLE) << std::hex << xl.error;
  EXPECT_EQ(xl.der, bes);
  EXPECT_TRUE(Enhance(bes, CADES_T, Wide(env.Tsa())).ok);
}

TEST(CadesRuntime, TextsAndHostileParameters) {
  for (DWORD code = CADES_E_FIRST; code <= CADES_E_LAST; ++code) {
    LPWSTR text = nullptr;
    DWORD n = CadesFormatMessage(0x900, nullptr, code, 0x400,
                                 reinterpret_cast<LPWSTR>(&text), 8, nullptr);
    ASSERT_GT(n, 0u) << std::hex << code;
    EXPECT_TRUE(text[0] >= L'А' && text[0] <= L'я') << std::hex << code;
    LocalFree(text);
  }
  LPWSTR text = nullptr;
  for (DWORD foreign : {0u, 0x80090006u, CADES_E_LAST + 1, 0xE0CA0000u})
    EXPECT_EQ(CadesFormatMessage(0x900, nullptr, foreign, 0x400,
                                 reinterpret_cast<LPWSTR>(&text), 8, nullptr),
              0u);

  Bytes bes = SignBes(Env::Get().Signer("gost2012_256"), "gost2012_256", kText,
                      false, false);
  HCRYPTMSG m = Decode(bes);
  BOOL r = TRUE;
  EXPECT_FALSE(CadesMsgIsType(m, 1, CADES_BES, &r));  // no second signer
  EXPECT_FALSE(CadesMsgIsType(m, 0, 0x42, &r));
  EXPECT_FALSE(CadesMsgIsType(m, 0, CADES_BES, nullptr));
  CADES_SIGN_PARA para{};
  para.dwSize = 4;  // too short to hold even the type
  EXPECT_FALSE(CadesMsgEnhanceSignature(m, 0, &para));
  EXPECT_FALSE(CadesMsgEnhanceSignature(m, 0, nullptr));
  para.dwSize = sizeof para;
  para.dwCadesType = CADES_T;
  EXPECT_FALSE(CadesMsgEnhanceSignature(m, 5, &para));
  EXPECT_EQ(GetLastError(), CADES_E_NO_SIGNER);
  EXPECT_EQ(Encoded(m), bes);
  CryptMsgClose(m);
  EXPECT_EQ(CadesMsgOpenToEncode(kEnc, 0, nullptr, nullptr, nullptr), nullptr);
  CADES_ENCODE_INFO empty{};
  empty.dwSize = sizeof empty;
  EXPECT_EQ(CadesMsgOpenToEncode(kEnc, 0, &empty, nullptr, nullptr), nullptr);
}

}  // namespace
