// Revocation against real peers on 127.0.0.1: a CRL served over HTTP, an
// OpenSSL GOST OCSP responder, a closed port and a server that never answers.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "chain_fixture.h"

using namespace chain_test;

namespace {

constexpr DWORD kUnknownOffline =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

struct Result {
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  double seconds = 0;
  ~Result() { CertFreeCertificateChain(chain); }
  DWORD Error() const { return chain->TrustStatus.dwErrorStatus; }
  const CERT_CHAIN_ELEMENT& End() const {
    return *chain->rgpChain[0]->rgpElement[0];
  }
};

void Check(const std::string& name, DWORD timeout_ms, Result* out,
           DWORD flags = 0x10000201) {
  CERT_CHAIN_ENGINE_CONFIG cfg{};
  cfg.cbSize = 64;
  cfg.dwFlags = 0x11;
  cfg.dwUrlRetrievalTimeout = timeout_ms;
  HCERTCHAINENGINE engine = nullptr;
  ASSERT_TRUE(CertCreateCertificateChainEngine(&cfg, &engine));
  PCCERT_CONTEXT cert = Cert(name);
  ASSERT_NE(cert, nullptr);
  CERT_CHAIN_PARA para{};
  para.cbSize = 32;
  auto start = std::chrono::steady_clock::now();
  BOOL ok = CertGetCertificateChain(engine, cert, nullptr, nullptr, &para,
                                    flags, nullptr, &out->chain);
  out->seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  CertFreeCertificateContext(cert);
  CertFreeCertificateChainEngine(engine);
  ASSERT_TRUE(ok) << std::hex << GetLastError();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class Revocation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Pki::Get().StartHttp());
    Pki::Get().ClearCrlCache();
  }
};

TEST_F(Revocation, CrlGoodRevokedAndCached) {
  Result good, revoked;
  Check("crlgood", 5000, &good);
  EXPECT_EQ(good.Error(), 0u);
  ASSERT_NE(good.End().pRevocationInfo, nullptr);
  EXPECT_EQ(good.End().pRevocationInfo->dwRevocationResult, 0u);
  ASSERT_NE(good.End().pRevocationInfo->pCrlInfo, nullptr);
  EXPECT_NE(good.End().pRevocationInfo->pCrlInfo->pBaseCrlContext, nullptr);
  // Only the end certificate was asked about.
  EXPECT_EQ(good.chain->rgpChain[0]->rgpElement[1]->pRevocationInfo, nullptr);

  Check("crlrevoked", 5000, &revoked);
  EXPECT_EQ(revoked.Error(), static_cast<DWORD>(CERT_TRUST_IS_REVOKED));
  ASSERT_NE(revoked.End().pRevocationInfo, nullptr);
  EXPECT_EQ(revoked.End().pRevocationInfo->dwRevocationResult, CRYPT_E_REVOKED);
  const CRL_ENTRY* entry = revoked.End().pRevocationInfo->pCrlInfo->pCrlEntry;
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->SerialNumber.pbData[0], 0x04);  // serial 0x1004

  // The fetched CRL was kept: with the server gone the answer is the same.
  EXPECT_TRUE(Exists(Pki::Get().home + "/crl-cache"));
  Pki::Get().StopHttp();
  Result again;
  Check("crlrevoked", 2000, &again);
  EXPECT_EQ(again.Error(), static_cast<DWORD>(CERT_TRUST_IS_REVOKED));
  ASSERT_TRUE(Pki::Get().StartHttp());
}

TEST_F(Revocation, NotAskedMeansNotFetched) {
  Result r;
  Check("crlrevoked", 5000, &r, 0x201);
  EXPECT_EQ(r.Error(), 0u);
  EXPECT_EQ(r.End().pRevocationInfo, nullptr);
  EXPECT_FALSE(Exists(Pki::Get().home + "/crl-cache"));
}

TEST_F(Revocation, OcspGoodAndRevoked) {
  ASSERT_TRUE(Pki::Get().StartOcsp());
  Result good, revoked;
  Check("ocspgood", 5000, &good);
  Check("ocsprevoked", 5000, &revoked);
  Pki::Get().StopOcsp();
  EXPECT_EQ(good.Error(), 0u);
  ASSERT_NE(good.End().pRevocationInfo, nullptr);
  EXPECT_EQ(good.End().pRevocationInfo->dwRevocationResult, 0u);
  EXPECT_EQ(revoked.Error(), static_cast<DWORD>(CERT_TRUST_IS_REVOKED));
  // With the responder stopped nothing is known.
  Result down;
  Check("ocspgood", 2000, &down);
  EXPECT_EQ(down.Error(), kUnknownOffline);
}

TEST_F(Revocation, UnreachableAndStalledPointsStayWithinTheTimeOut) {
  Result dead;
  Check("dead", 3000, &dead);
  EXPECT_EQ(dead.Error(), kUnknownOffline);
  EXPECT_EQ(dead.End().pRevocationInfo->dwRevocationResult,
            CRYPT_E_REVOCATION_OFFLINE);
  EXPECT_LT(dead.seconds, 3.0);

  Result stalled;
  Check("stall", 1500, &stalled);
  EXPECT_EQ(stalled.Error(), kUnknownOffline);
  EXPECT_GE(stalled.seconds, 1.4);
  EXPECT_LT(stalled.seconds, 3.5);
  std::printf("stalled server: returned after %.2f s (time-out 1.5 s)\n",
              stalled.seconds);

  // A certificate naming no source at all is unknown, but not offline.
  Result none;
  Check("good", 3000, &none);
  EXPECT_EQ(none.Error(),
            static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN));
}

TEST_F(Revocation, DamagedCrlsAreNotBelieved) {
  const std::string path = Pki::Get().www + "/inter.crl";
  Bytes real = ReadFileBytes(path);
  std::vector<Bytes> bad = {
      Bytes(real.begin(), real.begin() + real.size() / 2),  // truncated
      Bytes(5000, 0x30),                                    // garbage
      Bytes(),                                              // empty
  };
  Bytes forged = real;
  forged[forged.size() - 3] ^= 0x10;  // signature no longer matches
  bad.push_back(forged);
  for (size_t i = 0; i < bad.size(); ++i) {
    WriteFileBytes(path, bad[i]);
    Pki::Get().ClearCrlCache();
    Result r;
    Check("crlrevoked", 3000, &r);
    EXPECT_EQ(r.Error(), kUnknownOffline) << "case " << i;
  }
  WriteFileBytes(path, real);
  // A damaged file in the cache is ignored and replaced by a fetched one.
  Result first;
  Check("crlgood", 3000, &first);
  ASSERT_EQ(first.Error(), 0u);
  const std::string cache = Pki::Get().home + "/crl-cache";
  std::system(("for f in '" + cache +
               "'/*.crl; do head -c 20 \"$f\" > \"$f.x\"; mv \"$f.x\" \"$f\"; "
               "done")
                  .c_str());
  Result second;
  Check("crlrevoked", 3000, &second);
  EXPECT_EQ(second.Error(), static_cast<DWORD>(CERT_TRUST_IS_REVOKED));
}

}  // namespace
