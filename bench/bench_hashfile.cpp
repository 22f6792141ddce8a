// HashFile on a 100 MB file beside `openssl dgst -engine gost -md_gost94` on
// the same file, in the same run. Every measured run happens in a child
// process of its own so that its peak resident set (wait4's ru_maxrss) is
// its own. One more row gives the provider's hash over the raw bytes, read
// whole: what the controller's streaming read adds to hashing.
//
//   bench_hashfile [--size_mb=N] [benchmark flags]

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
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "TavrixCtrl.h"
#include "base64.h"
#include "child_run.h"
#include "test_support.h"

namespace {

const char kSubject[] = "Bench Hash Signer";

using Sample = bench::ChildRun;

std::string g_file;
size_t g_size = 0;
std::string g_expected;  // OpenSSL's digest, base64, to check every result

Sample OpensslChild() {
  Sample s = bench::RunProgram(
      {"openssl", "dgst", "-engine", "gost", "-md_gost94", "-binary", g_file});
  s.output = base64::encoding(s.output.data(), s.output.size(), false);
  return s;
}

void Report(benchmark::State& state, const Sample& s, double* peak) {
  if (!s.ok) {
    state.SkipWithError("the measured run failed");
    return;
  }
  state.SetIterationTime(s.wall);
  if (s.peakMiB > *peak) *peak = s.peakMiB;
}

void Finish(benchmark::State& state, double peak) {
  state.counters["peak_rss_MiB"] = peak;
  state.counters["MB_per_s"] =
      benchmark::Counter(static_cast<double>(g_size) / 1e6,
                         benchmark::Counter::kIsIterationInvariantRate);
}

void BM_HashFile(benchmark::State& state) {
  double peak = 0;
  for (auto _ : state) {
    Sample s = bench::RunInChild([] {
      TavrixCtrl ctrl;
      std::string path = ctrl.HashFile(g_file, kSubject, 0);
      if (path.find("<Error>") != std::string::npos) _exit(3);
      FILE* f = fopen(path.c_str(), "rb");
      std::string hash(64, '\0');
      hash.resize(f ? fread(&hash[0], 1, hash.size(), f) : 0);
      if (f) fclose(f);
      return hash;
    });
    if (s.ok && s.output != g_expected) {
      state.SkipWithError(("hash differs from OpenSSL's: " + s.output).c_str());
      return;
    }
    Report(state, s, &peak);
  }
  Finish(state, peak);
}

void BM_OpensslDgst(benchmark::State& state) {
  double peak = 0;
  for (auto _ : state) {
    Sample s = OpensslChild();
    Report(state, s, &peak);
  }
  Finish(state, peak);
}

// The provider's GOST hash over the file's bytes, read whole but never
// encoded: what hashing costs without the base64 round trip.
void BM_ProviderHashRawBytes(benchmark::State& state) {
  double peak = 0;
  for (auto _ : state) {
    Sample s = bench::RunInChild([] {
      std::vector<unsigned char> bytes(g_size);
      FILE* f = fopen(g_file.c_str(), "rb");
      if (f == nullptr || fread(bytes.data(), 1, g_size, f) != g_size) _exit(4);
      fclose(f);
      TavrixCtrl ctrl;
      if (!ctrl.CertProvFinder(kSubject).empty()) _exit(5);
      return ctrl.GetHashInBase64(CALG_GR3411, bytes.data(),
                                  static_cast<unsigned int>(g_size));
    });
    if (s.ok && s.output != g_expected) {
      state.SkipWithError("raw hash differs from OpenSSL's");
      return;
    }
    Report(state, s, &peak);
  }
  Finish(state, peak);
}

BENCHMARK(BM_HashFile)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslDgst)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProviderHashRawBytes)
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

  // A certificate with its key in a private provider home.
  auto& pki = tavrix_test::TestPki::Get();
  const auto& cert =
      pki.MakeCert("bench-hash", "gost2001", std::string("/CN=") + kSubject,
                   -3600, 86400, "self");
  if (!pki.Install(cert, "MY", true)) {
    std::fprintf(stderr, "cannot install the benchmark certificate\n");
    return 1;
  }

  tavrix_test::TempDir dir;
  g_file = dir.File("data.bin");
  g_size = sizeMb * 1000 * 1000;
  {
    std::mt19937_64 rng(42);
    std::vector<uint64_t> block(1 << 17);
    FILE* f = std::fopen(g_file.c_str(), "wb");
    for (size_t left = g_size; left > 0;) {
      for (auto& w : block) w = rng();
      size_t n = std::min(left, block.size() * sizeof(uint64_t));
      std::fwrite(block.data(), 1, n, f);
      left -= n;
    }
    std::fclose(f);
  }
  g_expected = OpensslChild().output;
  std::printf("file: %zu bytes; OpenSSL GOST R 34.11-94: %s\n", g_size,
              g_expected.c_str());

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
