// Shared helpers of the crypto tests: a private provider folder per test,
// running the OpenSSL GOST engine as an independent peer, hex and files.
#pragma once

#include <capi/capi.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace crypto_test {

using Bytes = std::vector<uint8_t>;

inline std::string Hex(const Bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t c : b) {
    s.push_back(d[c >> 4]);
    s.push_back(d[c & 15]);
  }
  return s;
}

inline Bytes FromHex(const std::string& h) {
  Bytes b;
  for (size_t i = 0; i + 1 < h.size(); i += 2)
    b.push_back(static_cast<uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return b;
}

inline Bytes Reverse(Bytes b) { return Bytes(b.rbegin(), b.rend()); }

inline Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

inline void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()),
          static_cast<std::streamsize>(data.size()));
}

// Runs a shell command; returns its exit status and stdout.
inline int Shell(const std::string& cmd, std::string* out = nullptr) {
  FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  const int status = pclose(p);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool HaveGostEngine() {
  static const int ok =
      Shell("openssl dgst -engine gost -md_gost94 /dev/null") == 0 ? 1 : 0;
  return ok == 1;
}

// Every test gets its own provider folder, removed afterwards.
class ProviderHomeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tavrix-crypto-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    setenv("TAVRIX_PROVIDER_HOME", (home_ + "/home").c_str(), 1);
  }
  void TearDown() override {
    Shell("rm -rf '" + home_ + "'");
    unsetenv("TAVRIX_PROVIDER_HOME");
  }
  std::string Path(const std::string& name) const { return home_ + "/" + name; }

  std::string home_;
};

// The hash value of `data` through the CryptoAPI calls.
inline Bytes CapiHash(HCRYPTPROV prov, ALG_ID alg, const Bytes& data) {
  HCRYPTHASH h = 0;
  Bytes value;
  if (!CryptCreateHash(prov, alg, 0, 0, &h)) return value;
  DWORD len = 0;
  if (CryptHashData(h, data.data(), static_cast<DWORD>(data.size()), 0) &&
      CryptGetHashParam(h, HP_HASHVAL, nullptr, &len, 0)) {
    value.resize(len);
    if (!CryptGetHashParam(h, HP_HASHVAL, value.data(), &len, 0)) value.clear();
  }
  CryptDestroyHash(h);
  return value;
}

}  // namespace crypto_test
