// What CAdES-X Long Type 1 needs around a signer, for every test program
// that makes such signatures: the test PKI with time-stamp certificates, a
// chain whose certificates name their revocation sources (xl-inter: a CRL
// of root-gost2012_256 over HTTP; xl-<key type>: xl-inter's OCSP
// responder), and the peers that serve them on 127.0.0.1 (OpenSSL's
// time-stamp service, OCSP responder and a file server), started once per
// program and stopped at its end.
#pragma once

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
  explicit Peer(const std::vector<std::string>& argv,
                const std::string& cwd = "",
                const std::string& opensslConf = "");
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  int port = 0;

 private:
  int pid_ = -1;
  int stdin_ = -1;
  FILE* out_ = nullptr;
};

class CadesEnv {
 public:
  static CadesEnv& Get();

  TestPki& pki;
  // An OPENSSL_CONF that loads the gost engine; every issuer in one file.
  std::string conf, caFile;

  // The time-stamp service; the path picks its behaviour (tsa.py).
  std::string Tsa(const std::string& path = "") const;
  // The signer of a key type ("gost2012_256"...), installed in MY with its
  // key: subject "Подписант <key type>".
  const PkiCert& Signer(const std::string& keyType) const;
  // The independent checks of a CAdES message at `level` ("bes", "t",
  // "xl"), OpenSSL's `cms -verify -cades` among them: empty when all hold,
  // else what failed.
  std::string Check(const std::vector<uint8_t>& der, const std::string& level,
                    const std::vector<uint8_t>* content = nullptr) const;

 private:
  CadesEnv();
  std::unique_ptr<Peer> tsa_, httpd_, ocsp_;
};

}  // namespace tavrix_test
