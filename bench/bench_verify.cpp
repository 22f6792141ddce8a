// VerifyFile on an attached signature of a 100 MB file (the content is
// written out beside it, as users get it) beside `openssl cms -verify
// -engine gost -binary` on the same message, writing the content too, in
// the same run. Each measured run is a program of its own, exec'd from a
// fresh child, so its peak resident set (wait4's ru_maxrss) is its own.
//
//   bench_verify [--size_mb=N] [benchmark flags]

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "child_run.h"
#include "test_support.h"

namespace {

std::string g_trusted;  // root and intermediate, PEM, for OpenSSL
std::string g_outDir;

using Sample = bench::ChildRun;

// Exit status 0 is success (for tavrix-check: a valid signature).
void Run(benchmark::State& state, const std::function<Sample()>& one) {
  double peak = 0;
  for (auto _ : state) {
    Sample s = one();
    if (!s.ok) {
      state.SkipWithError("the measured run failed");
      return;
    }
    state.SetIterationTime(s.wall);
    if (s.peakMiB > peak) peak = s.peakMiB;
  }
  state.counters["peak_rss_MiB"] = peak;
}

// tavrix-check --verify is VerifyFile with a few lines of printing around
// it; run like the peer, as a program of its own, the two peaks compare.
void BM_VerifyFile(benchmark::State& state) {
  Run(state, [] {
    return bench::RunProgram(
        {TAVRIX_CHECK_PATH, "--verify", g_outDir + "/data.bin.p7s"});
  });
}

void BM_OpensslCmsVerify(benchmark::State& state) {
  Run(state, [] {
    return bench::RunProgram({"openssl", "cms", "-verify", "-engine", "gost",
                              "-binary", "-inform", "DER", "-in",
                              g_outDir + "/data.bin.p7s", "-CAfile", g_trusted,
                              "-out", g_outDir + "/openssl.out"});
  });
}

BENCHMARK(BM_VerifyFile)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslCmsVerify)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  size_t sizeMb = 100;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--size_mb=", 10) == 0)
      sizeMb = std::strtoul(argv[i] + 10, nullptr, 10);
    else
      rest.push_back(argv[i]);
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());

  auto& pki = tavrix_test::TestPki::Get();
  const auto& user = pki.Cert("user-gost2012_256");
  tavrix_test::TempDir dir;
  g_outDir = dir.path();
  const std::string data = dir.File("data.bin");
  {
    std::mt19937_64 rng(42);
    std::vector<uint64_t> block(1 << 17);
    FILE* f = std::fopen(data.c_str(), "wb");
    for (size_t left = sizeMb * 1000 * 1000; left > 0;) {
      for (auto& w : block) w = rng();
      size_t n = std::min(left, block.size() * sizeof(uint64_t));
      std::fwrite(block.data(), 1, n, f);
      left -= n;
    }
    std::fclose(f);
  }
  g_trusted = dir.File("trusted.pem");
  using tavrix_test::ShellQuote;
  auto made = tavrix_test::RunCommand(
      "cat " + ShellQuote(pki.Cert("root-gost2012_256").certPem) + " " +
      ShellQuote(pki.Cert("inter-gost2012_256").certPem) + " > " +
      ShellQuote(g_trusted) +
      " && openssl cms -sign -engine gost -binary -nodetach -outform DER "
      "-signer " +
      ShellQuote(user.certPem) + " -inkey " + ShellQuote(user.keyPem) +
      " -in " + ShellQuote(data) + " -out " + ShellQuote(data + ".p7s") +
      " 2>&1");
  if (made.exitCode != 0) {
    std::fprintf(stderr, "cannot sign the benchmark file: %s\n",
                 made.output.c_str());
    return 1;
  }
  std::printf("content: %zu MB, attached signature by OpenSSL\n", sizeMb);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
