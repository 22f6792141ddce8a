// The peers CAdES tests need, over the program's TestPki: OpenSSL's
// time-stamp service (tsa.py), an OCSP responder and a CRL server on
// 127.0.0.1, and signers whose chains name those revocation sources, so that
// X Long Type 1 can be made for them; plus the independent checks of
// cades_check.py.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace tavrix_test {

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
  // The responder's address, for more signers in its index
  // (<TestPki dir>/ocsp-index.txt, read for every request).
  std::string OcspUrl() const;
  // Every peer silent (or back), to show that a step needs none of them.
  void Pause(bool paused);
  // OPENSSL_CONF that loads the GOST engine, and every CA certificate.
  std::string conf, caFile;

  // cades_check.py at "bes", "t" or "xl": empty when every check holds,
  // else its report.
  std::string Check(const std::vector<uint8_t>& der, const std::string& level,
                    const std::vector<uint8_t>* content = nullptr) const;

 private:
  CadesPeers();
  TestPki& pki_;
  std::unique_ptr<Peer> tsa_, ocsp_;
  std::unique_ptr<HttpServer> httpd_;
};

}  // namespace tavrix_test
