// A throw-away provider home with certificates made by OpenSSL's GOST engine
// at test time, shared by every test of this program.
#pragma once

#include <capi/capi.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace lookup_pki {

struct Cert {
  std::string name;
  std::vector<unsigned char> der;
  std::string serialHex;  // upper case, most significant digit first
  int64_t notBefore = 0;  // Unix seconds, as requested from OpenSSL
  int64_t notAfter = 0;
};

class Pki {
 public:
  // Creates the provider home and points TAVRIX_PROVIDER_HOME at it.
  Pki();
  ~Pki();
  // Makes one certificate valid from now+nb to now+na seconds, issued by
  // `issuer` (an earlier name, or "self"). `ext` is an OpenSSL extension
  // section body; empty means an end-entity certificate without usages.
  Cert Make(const std::string& name, const std::string& subject, int64_t nb,
            int64_t na, const std::string& issuer, const std::string& ext = "");
  // Puts the certificate into the current user's personal store.
  bool AddToMy(const Cert& cert);
  // Places the certificate's private key where the provider looks for it.
  bool ImportKey(const Cert& cert);

  const std::string& home() const { return home_; }
  const std::string& dir() const { return dir_; }

 private:
  std::string home_;
  std::string dir_;
  std::unique_ptr<tavrix_test::PkiFolder> certs_;
};

// One context of the certificate, independent of any store.
PCCERT_CONTEXT NewContext(const Cert& cert);

// Pieces of a listing document.
std::vector<std::string> Elements(const std::string& xml,
                                  const std::string& tag);
std::string Child(const std::string& element, const std::string& tag);
bool HasChild(const std::string& element, const std::string& tag);

}  // namespace lookup_pki
