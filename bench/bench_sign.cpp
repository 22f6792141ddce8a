// Sign of a 1 KiB text (detached CMS) with a cached key, per key type,
// beside the provider's own CryptMsg encode of the same text with the same
// key and, for scale, `openssl cms -sign` in a process per signature. The
// controller's share is the difference between the first two rows; the
// summary at the end gives it per key type from the fastest repetition of
// each row (the least disturbed by other load on the machine).
//
// Every controller step writes a log line. This machine may have no system
// logger; with --logger the lines go to a socket of the bench's own that a
// thread drains, as they would to a desktop's logger.
//
//   bench_sign [--logger] [benchmark flags, e.g. --benchmark_repetitions=5]
#include <benchmark/benchmark.h>
#include <capi/capi.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "TavrixCtrl.h"
#include "TavrixUtils.h"
#include "TmpCertArhive.h"
#include "test_support.h"

namespace {

constexpr DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kMsgProviderFlag = 0x200;

struct Key {
  const char* cert;
  const char* hashOid;
  const char* md;
};
const Key kKeys[] = {
    {"user-gost2001", szOID_CP_GOST_R3411, "md_gost94"},
    {"user-gost2012_256", szOID_CP_GOST_R3411_12_256, "md_gost12_256"},
    {"user-gost2012_512", szOID_CP_GOST_R3411_12_512, "md_gost12_512"},
};

std::string g_text;
std::string g_textFile;

std::string CertName(const tavrix_test::PkiCert& c) {
  return "#" + c.serialHex;
}

void BM_Sign(benchmark::State& state) {
  const tavrix_test::PkiCert& c =
      tavrix_test::TestPki::Get().Cert(kKeys[state.range(0)].cert);
  const std::string name = CertName(c);
  TmpCertArhive cache;
  {
    TavrixCtrl warm(cache, "");
    warm.Sign(g_text, name, 0);  // the key goes into the cache
  }
  size_t bytes = 0;
  for (auto _ : state) {
    TavrixCtrl ctrl(cache, "");
    std::string r = ctrl.Sign(g_text, name, 0);
    if (r.empty() || r.find("<Error>") != std::string::npos) {
      state.SkipWithError(r.c_str());
      return;
    }
    bytes = r.size();
    benchmark::DoNotOptimize(r);
  }
  state.counters["sig_per_s"] =
      benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["result_chars"] = static_cast<double>(bytes);
}

// The part of Sign that finds the certificate in the store and takes its
// key from the cache.
void BM_LookupCached(benchmark::State& state) {
  const std::string name =
      CertName(tavrix_test::TestPki::Get().Cert(kKeys[state.range(0)].cert));
  TmpCertArhive cache;
  for (auto _ : state) {
    TavrixCtrl ctrl(cache, "");
    std::string r = ctrl.CertProvFinder(name);
    if (!r.empty()) {
      state.SkipWithError(r.c_str());
      return;
    }
  }
}

void BM_ProviderCryptMsg(benchmark::State& state) {
  const Key& k = kKeys[state.range(0)];
  const tavrix_test::PkiCert& c = tavrix_test::TestPki::Get().Cert(k.cert);
  PCCERT_CONTEXT cert = CertCreateCertificateContext(
      kEnc, c.der.data(), static_cast<DWORD>(c.der.size()));
  HCRYPTPROV prov = 0;
  DWORD spec = 0;
  BOOL mustFree = FALSE;
  if (cert == nullptr || !CryptAcquireCertificatePrivateKey(
                             cert, 0, nullptr, &prov, &spec, &mustFree)) {
    state.SkipWithError("no key");
    return;
  }
  CMSG_SIGNER_ENCODE_INFO si{};
  si.cbSize = sizeof si;
  si.pCertInfo = cert->pCertInfo;
  si.hCryptProv = prov;
  si.dwKeySpec = spec;
  si.HashAlgorithm.pszObjId = const_cast<char*>(k.hashOid);
  CERT_BLOB blob{cert->cbCertEncoded, cert->pbCertEncoded};
  CMSG_SIGNED_ENCODE_INFO info{};
  info.cbSize = sizeof info;
  info.cSigners = 1;
  info.rgSigners = &si;
  info.cCertEncoded = 1;
  info.rgCertEncoded = &blob;
  size_t bytes = 0;
  for (auto _ : state) {
    HCRYPTMSG m =
        CryptMsgOpenToEncode(kEnc, CMSG_DETACHED_FLAG | kMsgProviderFlag,
                             CMSG_SIGNED, &info, nullptr, nullptr);
    DWORD size = 0;
    bool ok = m != nullptr &&
              CryptMsgUpdate(m, reinterpret_cast<const BYTE*>(g_text.data()),
                             static_cast<DWORD>(g_text.size()), TRUE) &&
              CryptMsgGetParam(m, CMSG_CONTENT_PARAM, 0, nullptr, &size);
    std::vector<BYTE> out(size);
    ok = ok && CryptMsgGetParam(m, CMSG_CONTENT_PARAM, 0, out.data(), &size);
    if (m != nullptr) CryptMsgClose(m);
    if (!ok) {
      state.SkipWithError("CryptMsg encode failed");
      break;
    }
    bytes = size;
    benchmark::DoNotOptimize(out);
  }
  state.counters["sig_per_s"] =
      benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["der_bytes"] = static_cast<double>(bytes);
  CryptReleaseContext(prov, 0);
  CertFreeCertificateContext(cert);
}

// A process per signature, the way a script would call the tool: wall time.
void BM_OpensslCms(benchmark::State& state) {
  const Key& k = kKeys[state.range(0)];
  const tavrix_test::PkiCert& c = tavrix_test::TestPki::Get().Cert(k.cert);
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execlp("openssl", "openssl", "cms", "-sign", "-engine", "gost", "-binary",
             "-md", k.md, "-in", g_textFile.c_str(), "-signer",
             c.certPem.c_str(), "-inkey", c.keyPem.c_str(), "-outform", "DER",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("openssl cms -sign failed");
      break;
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
            .count());
  }
  state.counters["sig_per_s"] =
      benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}

void KeyArgs(benchmark::internal::Benchmark* b) {
  b->ArgName("key");
  for (int i = 0; i < 3; ++i) b->Arg(i);
}

BENCHMARK(BM_Sign)->Apply(KeyArgs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LookupCached)->Apply(KeyArgs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProviderCryptMsg)->Apply(KeyArgs)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpensslCms)
    ->Apply(KeyArgs)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);

// Keeps the fastest time per row, wall and cpu, for the summary.
class Summary : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, std::pair<double, double>> best;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      std::string name = r.benchmark_name();
      for (const char* tail : {"/iterations", "/manual_time", "/repeats"})
        name = name.substr(0, name.find(tail));
      auto it = best.find(name);
      const double wall = r.GetAdjustedRealTime(), cpu = r.GetAdjustedCPUTime();
      if (it == best.end()) {
        best[name] = {wall, cpu};
      } else {
        it->second.first = std::min(it->second.first, wall);
        it->second.second = std::min(it->second.second, cpu);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tavrix_test::TestPki::Get();
  tavrix_test::TempDir dir;
  if (argc > 1 && std::string(argv[1]) == "--logger") {
    const std::string path = dir.File("log");
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr))
      return 1;
    std::thread([fd] {
      char buf[65536];
      while (recv(fd, buf, sizeof buf, 0) >= 0) {
      }
    }).detach();
    TavrixUtils::SetLogSocket(path.c_str());
    std::printf("log lines go to %s\n", path.c_str());
  }
  // 1 KiB of Cyrillic and Latin text, as a page would send it.
  while (g_text.size() < 1024) g_text += "Платёжное поручение № 17; ";
  g_text.resize(1024);
  g_textFile = dir.File("text.txt");
  tavrix_test::WriteFileBytes(
      g_textFile, std::vector<uint8_t>(g_text.begin(), g_text.end()));

  Summary summary;
  benchmark::RunSpecifiedBenchmarks(&summary);
  // By cpu time: wall time on a shared machine mostly measures the others.
  std::printf(
      "\nfastest repetition, cpu microseconds per signature; \"own\" is Sign "
      "less the certificate lookup and the provider's encode (the "
      "controller's algorithm query, base64 and log lines):\n");
  for (int i = 0; i < 3; ++i) {
    const std::string arg = "/key:" + std::to_string(i);
    auto s = summary.best.find("BM_Sign" + arg);
    auto l = summary.best.find("BM_LookupCached" + arg);
    auto p = summary.best.find("BM_ProviderCryptMsg" + arg);
    auto o = summary.best.find("BM_OpensslCms" + arg);
    if (s == summary.best.end() || p == summary.best.end() ||
        l == summary.best.end())
      continue;
    const double sign = s->second.second, lookup = l->second.second,
                 msg = p->second.second, own = sign - lookup - msg;
    std::printf(
        "%-18s Sign %6.1f (%5.0f/s) | CryptMsg %6.1f (%5.0f/s) | Sign/CryptMsg "
        "%+6.1f %% | lookup %6.1f = %+6.1f %% | own %5.1f = %+5.1f %%",
        kKeys[i].cert, sign, 1e6 / sign, msg, 1e6 / msg,
        100.0 * (sign / msg - 1), lookup, 100.0 * lookup / msg, own,
        100.0 * own / msg);
    if (o != summary.best.end())
      std::printf(" | openssl cms %6.0f wall (%3.0f/s)", o->second.first,
                  1e6 / o->second.first);
    std::printf("\n");
  }
  benchmark::Shutdown();
  return 0;
}
