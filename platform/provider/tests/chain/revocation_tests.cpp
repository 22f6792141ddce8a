// Revocation against real peers on 127.0.0.1: a CRL served over HTTP, an
// OpenSSL GOST OCSP responder, a closed port and a server that never answers.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "chain_fixture.h"
#include "provider_test.h"

using namespace chain_test;

namespace {

using tavrix_test::CertHandle;
using tavrix_test::ChainHandle;

constexpr DWORD kUnknownOffline =
    CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

struct Result {
  ChainHandle chain;
  double seconds = 0;
  DWORD Error() const { return chain.get()->TrustStatus.dwErrorStatus; }
  const CERT_CHAIN_ELEMENT& End() const {
    return *chain.get()->rgpChain[0]->rgpElement[0];
  }
};

void Check(const std::string& name, DWORD timeout_ms, Result* out,
           DWORD flags = 0x10000201) {
  CERT_CHAIN_ENGINE_CONFIG cfg{};
  cfg.cbSize = 64;
  cfg.dwFlags = 0x11;
  cfg.dwUrlRetrievalTimeout = timeout_ms;
  // The certificate first: nothing is left to free if either ASSERT fails.
  const CertHandle cert(Cert(name));
  ASSERT_NE(cert.get(), nullptr);
  HCERTCHAINENGINE engine = nullptr;
  ASSERT_TRUE(CertCreateCertificateChainEngine(&cfg, &engine));
  CERT_CHAIN_PARA para{};
  para.cbSize = 32;
  auto start = std::chrono::steady_clock::now();
  BOOL ok = CertGetCertificateChain(engine, cert.get(), nullptr, nullptr, &para,
                                    flags, nullptr, out->chain.out());
  out->seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
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
  EXPECT_EQ(good.chain.get()->rgpChain[0]->rgpElement[1]->pRevocationInfo,
            nullptr);

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

// Answers re-dated and signed again by their real signers: an old answer
// without a next update could be a replay hiding a revocation, so it counts
// as no answer; a dated one holds until its next update.
TEST_F(Revocation, StaleAnswersCountAsNone) {
  const Pki& pki = Pki::Get();
  const std::string env = "OPENSSL_CONF='" + pki.dir + "/gost.cnf' ";
  const std::string restamp =
      env + "/usr/bin/python3 '" + SupportDir() + "/restamp.py' ";
  // OpenSSL's own answer to a request without a nonce, with no next update.
  ASSERT_EQ(std::system(("cd '" + pki.dir + "' && " + env +
                         "openssl ocsp -issuer inter.pem -cert ocspgood.pem "
                         "-no_nonce -reqout stale.req >/dev/null 2>&1 && " +
                         env +
                         "openssl ocsp -index inter/index.txt -rsigner "
                         "responder.pem -rkey responder.key -CA inter.pem "
                         "-reqin stale.req -respout stale.resp >/dev/null 2>&1")
                            .c_str()),
            0);
  const std::string crl = pki.www + "/inter.crl";
  const Bytes real_crl = ReadFileBytes(crl);
  const char* kYears = "-94000000";  // about three years
  struct Case {
    bool ocsp;
    std::string args;
    DWORD error;
  } cases[] = {
      {true, "--no-next", 0},
      {true,
       std::string("--no-next --this ") + kYears + " --produced " + kYears,
       kUnknownOffline},
      {true, "--no-next --this -7200 --produced -7200", kUnknownOffline},
      {true, "--no-next --produced -7200", kUnknownOffline},
      {true, "--no-next --produced 86400", kUnknownOffline},
      {true,
       std::string("--next 86400 --this ") + kYears + " --produced " + kYears,
       0},
      {true, "--next -3600 --this -7200", kUnknownOffline},
      {true, "--no-next --nonce 0102030405060708", kUnknownOffline},
      {false, "--no-next --this -3600", 0},
      {false, "--no-next --this -172800", kUnknownOffline},
      {false, std::string("--next -63000000 --this ") + kYears,
       kUnknownOffline},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.ocsp ? "ocsp " : "crl ") + c.args);
    const std::string out = pki.dir + "/stale.out";
    std::string cmd = restamp +
                      (c.ocsp ? "ocsp '" + pki.dir + "/stale.resp' '" + out +
                                    "' '" + pki.dir + "/responder.key' "
                              : "crl '" + pki.dir + "/inter.crl.real' '" + crl +
                                    "' '" + pki.dir + "/inter.key' ") +
                      c.args;
    if (!c.ocsp) WriteFileBytes(pki.dir + "/inter.crl.real", real_crl);
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    Pki::Get().ClearCrlCache();
    if (c.ocsp) {
      ASSERT_TRUE(Pki::Get().StartOcsp(out));
    }
    Result r;
    Check(c.ocsp ? "ocspgood" : "crlgood", 3000, &r);
    if (c.ocsp) Pki::Get().StopOcsp();
    EXPECT_EQ(r.Error(), c.error);
  }
  WriteFileBytes(crl, real_crl);
}

// Many slow points share one deadline per chain: three stalled distribution
// points at 1.5 s each end together after twice that.
TEST_F(Revocation, OneDeadlineForTheWholeChain) {
  Result r;
  Check("stallmany", 1500, &r);
  EXPECT_EQ(r.Error(), kUnknownOffline);
  EXPECT_GE(r.seconds, 2.9);
  EXPECT_LT(r.seconds, 4.0);
  std::printf("three stalled points: returned after %.2f s\n", r.seconds);
}

// A FIFO planted where a cached CRL belongs is passed over, not read.
TEST_F(Revocation, FifoInTheCrlCacheDoesNotHang) {
  Result first;
  Check("crlgood", 3000, &first);
  ASSERT_EQ(first.Error(), 0u);
  // The cache was emptied before the test, so it holds that one CRL.
  std::string fifo;
  const std::string cache = Pki::Get().home + "/crl-cache";
  DIR* d = opendir(cache.c_str());
  ASSERT_NE(d, nullptr);
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') fifo = cache + "/" + e->d_name;
  closedir(d);
  ASSERT_EQ(unlink(fifo.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Result second;
  auto done = std::async(std::launch::async,
                         [&] { Check("crlrevoked", 3000, &second); });
  if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // let it go
    if (fd >= 0) close(fd);
    done.wait();
    FAIL() << "the chain check blocked on a FIFO";
  }
  EXPECT_EQ(second.Error(), static_cast<DWORD>(CERT_TRUST_IS_REVOKED));
}

}  // namespace
