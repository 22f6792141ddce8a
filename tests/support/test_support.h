// Helpers shared by the test programs: temporary folders, running commands,
// the provider's per-user folder, and a GOST test PKI made with OpenSSL's
// GOST engine and installed through tavrix-certmgr.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tavrix_test {

// A fresh folder under /tmp, removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct CommandResult {
  int exitCode = -1;   // the command's exit status; -1 when it did not exit
  std::string output;  // its standard output (add "2>&1" for both streams)
};
CommandResult RunCommand(const std::string& cmd);
// The same, for callers that want the exit status; stdout through `output`.
int ShellStatus(const std::string& cmd, std::string* output = nullptr);
// Whether `openssl -engine gost` works here (asked once).
bool HaveGostEngine();
// Writes <dir>/gost.cnf, an OPENSSL_CONF that loads the GOST engine for
// every algorithm; returns its path.
std::string WriteGostEngineConf(const std::string& dir);

// Quotes a word for /bin/sh.
std::string ShellQuote(const std::string& s);

// Points the provider at `dir` (TAVRIX_PROVIDER_HOME).
void SetProviderHome(const std::string& dir);

std::string CertMgrPath();
std::string MakePkiPath();
std::string SupportDir();  // tests/support of the source tree

// A helper process (one of the servers here) whose first stdout line says it
// is ready: its port when it printed one. Closing its stdin or SIGTERM stops
// it; the destructor does both and waits. Throws when it does not start.
class Peer {
 public:
  Peer(const std::vector<std::string>& argv, const std::string& cwd = "",
       const std::string& openssl_conf = "");
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  int port = 0;
  // A paused peer still accepts connections but never answers.
  void Pause(bool paused);

 private:
  void Stop();
  pid_t pid_ = -1;
  int stdin_ = -1;
  FILE* out_ = nullptr;
};

// "http://127.0.0.1:<port>/<path>".
std::string LoopbackUrl(int port, const std::string& path = "");

// httpd.py serving `dir` on 127.0.0.1, on `port` or else a free one.
class HttpServer {
 public:
  explicit HttpServer(const std::string& dir, int port = 0);
  int port() const { return peer_.port; }
  // `path` begins with "/".
  std::string url(const std::string& path) const;
  Peer& peer() { return peer_; }

 private:
  Peer peer_;
};

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data);

// Base64 decoded by a reader of the tests' own (anything outside the
// alphabet, padding included, is skipped).
std::string FromBase64(const std::string& text);
// The bytes of a PEM file (every base64 line between the "-----" lines).
std::vector<uint8_t> ReadPemFile(const std::string& path);

// Lower-case hex, and back (pairs of hex digits; white space is skipped).
std::string Hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> FromHex(const std::string& hex);
inline std::vector<uint8_t> Reverse(std::vector<uint8_t> b) {
  return std::vector<uint8_t>(b.rbegin(), b.rend());
}

// Known-answer vectors kept as text: blocks of "key = value" lines (the
// value may be empty), blocks apart by blank lines, "#" starts a comment
// line. Each block remembers the line it starts on, for failure messages.
struct VecBlock {
  std::string where;  // "<file>:<line>"
  std::map<std::string, std::string> fields;
  bool Has(const std::string& key) const { return fields.count(key) != 0; }
  // Aborts when the key is missing: a vector file with a typo must not pass.
  const std::string& At(const std::string& key) const;
};
std::vector<VecBlock> ReadVecFile(const std::string& path);

// One certificate of the test PKI.
struct PkiCert {
  std::string name;       // "user-gost2012_256", "root-gost2001", "expired"...
  std::string role;       // root, intermediate, user, selfsigned, extra
  std::string keyType;    // gost2001, gost2012_256, gost2012_512 (":B"...)
  std::string serialHex;  // upper-case hex, most significant first
  std::string issuer;     // name of the issuing certificate, or "self"
  std::string subject;    // as given to OpenSSL: "/C=RU/O=.../CN=..."
  std::string certPem, certDer, keyPem, keyDer;  // file paths
  std::vector<uint8_t> der;                      // the encoded certificate
};

// A folder of certificates made by make-pki.sh, read back from its
// index.txt.
class PkiFolder {
 public:
  explicit PkiFolder(const std::string& dir) : dir_(dir) { Reload(); }
  const std::string& dir() const { return dir_; }
  const PkiCert& Cert(const std::string& name) const;  // aborts when unknown
  bool Has(const std::string& name) const { return certs_.count(name) != 0; }
  std::vector<const PkiCert*> All() const;  // in the order they were made
  // Reads what index.txt lists and is not known yet.
  void Reload();

  // One more certificate, valid from now+notBeforeOffset to
  // now+notAfterOffset seconds, signed by `issuer` (a certificate name or
  // "self"). `extensions` are OpenSSL extension lines ("key = value" joined
  // by "\n"); empty gives an end-entity profile with SKI/AKI.
  const PkiCert& MakeCert(const std::string& name, const std::string& keyType,
                          const std::string& subject, long notBeforeOffset,
                          long notAfterOffset, const std::string& issuer,
                          const std::string& extensions = "");

 private:
  std::string dir_;
  std::map<std::string, PkiCert> certs_;
  std::vector<std::string> order_;
};

// The PKI of one test program, made on first use:
//   for gost2001, gost2012_256 and gost2012_512 (paramset A): root-<kt>,
//   inter-<kt>, user-<kt> (Cyrillic subject with SN, GN, INN, SNILS, OGRN,
//   E, and EKU 1.3.6.1.5.5.7.3.2, .3.4, 1.2.643.2.2.34.6), noeku-<kt>
//   (Latin subject, no EKU); and, with gost2012_256 keys, "expired",
//   "notyet" (valid from tomorrow), "selfsigned" (untrusted, with EKU) and
//   "angle" ("<" and ">" in O and CN).
// Get() also sets TAVRIX_PROVIDER_HOME to a fresh folder and installs, with
// tavrix-certmgr, the user certificates with their keys into MY, the roots
// into ROOT and the intermediates into CA.
class TestPki {
 public:
  static TestPki& Get();

  const std::string& dir() const { return dir_.path(); }
  const std::string& home() const { return home_.path(); }
  const PkiCert& Cert(const std::string& name) const {
    return certs_->Cert(name);
  }
  bool Has(const std::string& name) const { return certs_->Has(name); }
  std::vector<const PkiCert*> All() const { return certs_->All(); }
  std::vector<const PkiCert*> InStore(const std::string& store) const;

  // PkiFolder::MakeCert in this PKI's folder. Not installed.
  const PkiCert& MakeCert(const std::string& name, const std::string& keyType,
                          const std::string& subject, long notBeforeOffset,
                          long notAfterOffset,
                          const std::string& issuer = "inter-gost2012_256",
                          const std::string& extensions = "") {
    return certs_->MakeCert(name, keyType, subject, notBeforeOffset,
                            notAfterOffset, issuer, extensions);
  }

  // Runs tavrix-certmgr with the given arguments (already quoted);
  // stdout and stderr together.
  CommandResult CertMgr(const std::string& args) const;
  // Installs a certificate (with its key when `withKey`) into MY, or into
  // CA/ROOT; true on success.
  bool Install(const PkiCert& c, const std::string& store, bool withKey) const;

 private:
  TestPki();
  TempDir dir_;
  TempDir home_;
  std::unique_ptr<PkiFolder> certs_;  // made once make-pki.sh has run
};

}  // namespace tavrix_test
