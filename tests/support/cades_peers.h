// The peers CAdES tests need, over the program's TestPki: OpenSSL's
// time-stamp service (tsa.py), an OCSP responder and a CRL server on
// 127.0.0.1, and signers whose chains name those revocation sources, so that
// X Long Type 1 can be made for them; plus the independent checks of
// cades_check.py.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace tavrix_test {

// A helper process whose first stdout line is read back (its port); closing
// its stdin or SIGTERM stops it.
class Peer {
 public:
  Peer(const std::vector<std::string>& argv, const std::string& cwd = "",
       const std::string& openssl_conf = "");
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  int port = 0;

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  FILE* out_ = nullptr;
};

std::string LoopbackUrl(int port, const std::string& path = "");

class CadesPeers {
 public:
  // Made on first use, with TestPki::Get(): the TSA certificates of
  // `make-pki.sh --tsa`, "xl-inter" (issued by root-gost2012_256, CRL at the
  // CRL server) and "xl-<keytype>" for gost2001, gost2012_256 and
  // gost2012_512 (issued by xl-inter, OCSP at the responder), installed
  // with their keys into MY.
  static CadesPeers& Get();

  // The time-stamp service; the path picks its behaviour (see tsa.py).
  std::string Tsa(const std::string& path = "") const;
  const PkiCert& Signer(const std::string& keyType) const;
  // OPENSSL_CONF that loads the GOST engine, and every CA certificate.
  std::string conf, caFile;

  // cades_check.py at "bes", "t" or "xl": empty when every check holds,
  // else its report.
  std::string Check(const std::vector<uint8_t>& der, const std::string& level,
                    const std::vector<uint8_t>* content = nullptr) const;

 private:
  CadesPeers();
  TestPki& pki_;
  std::unique_ptr<Peer> tsa_, httpd_, ocsp_;
};

}  // namespace tavrix_test
