// 64 MiB through CryptHashData (GOST R 34.11-94 and Streebog-256) beside
// nettle, libgcrypt and OpenSSL's GOST engine in the same run. Prints MB/s
// and our speed relative to the fastest peer.
//
// Speeds are CPU time (the engine's as a child process), so a machine busy
// with other work does not tilt the comparison; wall-clock figures are in
// Google Benchmark's own table.
#include <benchmark/benchmark.h>
#include <capi/capi.h>
#include <fcntl.h>
#include <gcrypt.h>
#include <nettle/gosthash94.h>
#include <nettle/streebog.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kTotal = 64u << 20;
constexpr size_t kChunk = 1u << 20;  // how a caller streams a file

const std::vector<uint8_t>& Data() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> d(kTotal);
    uint32_t x = 2463534242u;
    for (auto& b : d) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<uint8_t>(x);
    }
    return d;
  }();
  return data;
}

// Best MB/s seen per implementation and algorithm.
std::map<std::string, double>& Best() {
  static std::map<std::string, double> best;
  return best;
}

double ThreadCpu() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

template <class F>
void Timed(benchmark::State& state, const std::string& key, F hash_all) {
  for (auto _ : state) {
    const double t0 = ThreadCpu();
    hash_all();
    const double s = ThreadCpu() - t0;
    double& b = Best()[key];
    b = std::max(b, kTotal / 1e6 / s);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void Capi(benchmark::State& state, ALG_ID alg, const std::string& key) {
  HCRYPTPROV prov = 0;
  if (!CryptAcquireContextA(&prov, nullptr, nullptr, 0, CRYPT_VERIFYCONTEXT)) {
    state.SkipWithError("CryptAcquireContext failed");
    return;
  }
  const auto& d = Data();
  uint8_t out[64];
  Timed(state, key, [&] {
    HCRYPTHASH h = 0;
    CryptCreateHash(prov, alg, 0, 0, &h);
    for (size_t off = 0; off < kTotal; off += kChunk)
      CryptHashData(h, d.data() + off, kChunk, 0);
    DWORD len = sizeof out;
    CryptGetHashParam(h, HP_HASHVAL, out, &len, 0);
    CryptDestroyHash(h);
    benchmark::DoNotOptimize(out);
  });
  CryptReleaseContext(prov, 0);
}

void NettleGost94(benchmark::State& state) {
  const auto& d = Data();
  uint8_t out[GOSTHASH94CP_DIGEST_SIZE];
  Timed(state, "nettle/gr3411", [&] {
    gosthash94cp_ctx ctx;
    gosthash94cp_init(&ctx);
    for (size_t off = 0; off < kTotal; off += kChunk)
      gosthash94cp_update(&ctx, kChunk, d.data() + off);
    gosthash94cp_digest(&ctx, sizeof out, out);
    benchmark::DoNotOptimize(out);
  });
}

void NettleStreebog(benchmark::State& state) {
  const auto& d = Data();
  uint8_t out[STREEBOG256_DIGEST_SIZE];
  Timed(state, "nettle/streebog256", [&] {
    streebog256_ctx ctx;
    streebog256_init(&ctx);
    for (size_t off = 0; off < kTotal; off += kChunk)
      streebog256_update(&ctx, kChunk, d.data() + off);
    streebog256_digest(&ctx, sizeof out, out);
    benchmark::DoNotOptimize(out);
  });
}

void Gcrypt(benchmark::State& state, int algo, const std::string& key) {
  const auto& d = Data();
  Timed(state, key, [&] {
    gcry_md_hd_t h;
    gcry_md_open(&h, algo, 0);
    for (size_t off = 0; off < kTotal; off += kChunk)
      gcry_md_write(h, d.data() + off, kChunk);
    benchmark::DoNotOptimize(gcry_md_read(h, algo));
    gcry_md_close(h);
  });
}

extern "C" char** environ;

// CPU seconds (user + system) of one `openssl dgst` run; -1 on failure.
double ChildCpu(const char* md, const char* file) {
  const std::string opt = std::string("-") + md;
  const char* argv[] = {"openssl",   "dgst", "-engine", "gost",
                        opt.c_str(), file,   nullptr};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int rc = posix_spawnp(&pid, "openssl", &fa, nullptr,
                              const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  rusage ru;
  if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return -1;
  return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec +
         ru.ru_stime.tv_usec / 1e6;
}

// The engine runs as a process over a file: its start-up (measured on an
// empty file) is taken off, so the figure is its hashing speed alone.
void Engine(const char* md, const std::string& key) {
  char path[] = "/tmp/bench-hash-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return;
  const auto& d = Data();
  const bool written =
      write(fd, d.data(), d.size()) == static_cast<ssize_t>(d.size());
  close(fd);
  double best = 0;
  for (int i = 0; written && i < 3; ++i) {
    const double empty = ChildCpu(md, "/dev/null");
    const double full = ChildCpu(md, path);
    if (empty < 0 || full < 0) break;
    best = std::max(best, kTotal / 1e6 / std::max(full - empty, 1e-6));
  }
  unlink(path);
  if (best > 0) Best()[key] = best;
}

}  // namespace

int main(int argc, char** argv) {
  if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
  }
  Data();
  auto reg = [](const char* name, auto fn) {
    benchmark::RegisterBenchmark(name, fn)
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  };
  reg("capi/gr3411",
      [](benchmark::State& s) { Capi(s, CALG_GR3411, "capi/gr3411"); });
  reg("nettle/gr3411", NettleGost94);
  reg("gcrypt/gr3411", [](benchmark::State& s) {
    Gcrypt(s, GCRY_MD_GOSTR3411_CP, "gcrypt/gr3411");
  });
  reg("capi/streebog256", [](benchmark::State& s) {
    Capi(s, CALG_GR3411_2012_256, "capi/streebog256");
  });
  reg("nettle/streebog256", NettleStreebog);
  reg("gcrypt/streebog256", [](benchmark::State& s) {
    Gcrypt(s, GCRY_MD_STRIBOG256, "gcrypt/streebog256");
  });
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Engine("md_gost94", "engine/gr3411");
  Engine("md_gost12_256", "engine/streebog256");

  std::printf("\n64 MiB, best of 3, MB/s of CPU time\n");
  for (const char* alg : {"gr3411", "streebog256"}) {
    double fastest = 0;
    std::string fastest_name;
    for (const char* peer : {"nettle", "gcrypt", "engine"}) {
      const std::string key = std::string(peer) + "/" + alg;
      const auto it = Best().find(key);
      if (it == Best().end()) {
        std::printf("  %-22s  (not available)\n", key.c_str());
        continue;
      }
      std::printf("  %-22s %8.1f\n", key.c_str(), it->second);
      if (it->second > fastest) {
        fastest = it->second;
        fastest_name = key;
      }
    }
    const double ours = Best()[std::string("capi/") + alg];
    std::printf("  %-22s %8.1f   %.2fx the fastest peer (%s)\n",
                (std::string("capi/") + alg).c_str(), ours,
                fastest > 0 ? ours / fastest : 0.0, fastest_name.c_str());
  }
  return 0;
}
