// A throw-away GOST PKI (made by OpenSSL's GOST engine at test time), a
// provider home holding its root and intermediate, an HTTP server for the
// CRL and a stalled URL, and an OCSP responder, all on 127.0.0.1.
#pragma once

#include <capi/capi.h>

#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace chain_test {

using Bytes = std::vector<unsigned char>;

using tavrix_test::ReadFileBytes;
using tavrix_test::SupportDir;
using tavrix_test::WriteFileBytes;
int FreePort();

class Pki {
 public:
  // Built once for the whole test program.
  static Pki& Get();

  std::string dir;   // certificates: <dir>/<name>.der
  std::string home;  // provider home
  std::string www;   // folder served over HTTP
  int http_port = 0;
  int ocsp_port = 0;

  Bytes Der(const std::string& name) const;
  // Puts a certificate into the provider home's store ("ROOT", "CA", "MY").
  void AddToStore(const std::string& store, const std::string& name) const;
  void RemoveFromStore(const std::string& store, const std::string& name) const;
  void ClearCrlCache() const;
  bool StartHttp();
  void StopHttp();
  // OpenSSL's responder, or with `replay` set the same answer to every
  // request.
  bool StartOcsp(const std::string& replay = "");
  void StopOcsp();

 private:
  Pki();
  ~Pki();
  std::unique_ptr<tavrix_test::HttpServer> http_;
  std::unique_ptr<tavrix_test::Peer> ocsp_;
};

// Certificate context for a certificate of the PKI (freed by the caller).
PCCERT_CONTEXT Cert(const std::string& name);

}  // namespace chain_test
