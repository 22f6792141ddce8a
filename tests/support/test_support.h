// Helpers shared by the test programs: temporary folders, running commands,
// the provider's per-user folder, and a GOST test PKI made with OpenSSL's
// GOST engine and installed through tavrix-certmgr.
#pragma once

#include <cstdint>
#include <map>
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

// Quotes a word for /bin/sh.
std::string ShellQuote(const std::string& s);

// Points the provider at `dir` (TAVRIX_PROVIDER_HOME).
void SetProviderHome(const std::string& dir);

std::string CertMgrPath();
std::string MakePkiPath();

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data);

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
  const PkiCert& Cert(const std::string& name) const;  // aborts when unknown
  bool Has(const std::string& name) const { return certs_.count(name) != 0; }
  std::vector<const PkiCert*> All() const;
  std::vector<const PkiCert*> InStore(const std::string& store) const;

  // One more certificate, valid from now+notBeforeOffset to
  // now+notAfterOffset seconds, signed by `issuer` (a certificate name or
  // "self"). `extensions` are OpenSSL extension lines ("key = value" joined
  // by "\n"); empty gives an end-entity profile with SKI/AKI. Not installed.
  const PkiCert& MakeCert(const std::string& name, const std::string& keyType,
                          const std::string& subject, long notBeforeOffset,
                          long notAfterOffset,
                          const std::string& issuer = "inter-gost2012_256",
                          const std::string& extensions = "");

  // Runs tavrix-certmgr with the given arguments (already quoted);
  // stdout and stderr together.
  CommandResult CertMgr(const std::string& args) const;
  // Installs a certificate (with its key when `withKey`) into MY, or into
  // CA/ROOT; true on success.
  bool Install(const PkiCert& c, const std::string& store, bool withKey) const;

 private:
  TestPki();
  void LoadIndex();
  TempDir dir_;
  TempDir home_;
  std::map<std::string, PkiCert> certs_;
  std::vector<std::string> order_;
};

}  // namespace tavrix_test
