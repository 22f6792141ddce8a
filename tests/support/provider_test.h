// What the provider's own tests share beside test_support.h: a private
// provider folder per test, owners for the handles a test acquires (the
// provider's own, so a failed ASSERT frees what it leaves behind), and a hash
// value through the CryptoAPI calls.
#pragma once

#include <capi/capi.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "base/handles.h"
#include "test_support.h"

namespace tavrix_test {

using Bytes = std::vector<uint8_t>;
using tavrix::provider::CertHandle;
using tavrix::provider::ChainHandle;
using tavrix::provider::CrlHandle;
using tavrix::provider::HashHandle;
using tavrix::provider::KeyHandle;
using tavrix::provider::MsgHandle;
using tavrix::provider::ProvHandle;
using tavrix::provider::StoreHandle;

// Every test gets its own provider folder (<home_>/home), removed afterwards.
class ProviderHomeTest : public ::testing::Test {
 protected:
  void SetUp() override { SetProviderHome(home_ + "/home"); }
  void TearDown() override { unsetenv("TAVRIX_PROVIDER_HOME"); }
  std::string Path(const std::string& name) const { return dir_.File(name); }

  TempDir dir_;
  const std::string home_ = dir_.path();
};

// The hash value of `data` through the CryptoAPI calls (empty on failure).
inline Bytes CapiHash(HCRYPTPROV prov, ALG_ID alg, const Bytes& data) {
  HashHandle h;
  Bytes value;
  if (!CryptCreateHash(prov, alg, 0, 0, h.out())) return value;
  DWORD len = 0;
  if (CryptHashData(h.get(), data.data(), static_cast<DWORD>(data.size()), 0) &&
      CryptGetHashParam(h.get(), HP_HASHVAL, nullptr, &len, 0)) {
    value.resize(len);
    if (!CryptGetHashParam(h.get(), HP_HASHVAL, value.data(), &len, 0))
      value.clear();
  }
  return value;
}

}  // namespace tavrix_test
