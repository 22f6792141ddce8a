// File signing and file hashing through the controller beside their peers,
// in one run, every side in a fresh process of its own (this program run
// again with --child), so that each peak RSS (wait4's ru_maxrss) is that
// side's alone:
//   - SignFileWeb of a 1 GiB file, detached, beside `openssl cms -sign
//     -engine gost -binary -stream` and the provider's raw hash of the same
//     algorithm over the same file in the same 1 MiB blocks;
//   - SignFileWeb of a 256 MiB file, attached: peak RSS against the size of
//     the base64 result;
//   - HashFile of the 1 GiB file beside the raw GOST R 34.11-94 hash and
//     `openssl dgst -engine gost -md_gost94`.
// Throughput is compared by cpu time (user + system), which other load on
// the machine disturbs less than wall time; both are printed. The raw
// hashes run before and after the controller and the faster run counts.
//
//   bench_filesign [detached MiB, 1024] [attached MiB, 256]
//                  [key: gost2012_256|gost2012_512|gost2001]
#include <capi/capi.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "TavrixCtrl.h"
#include "base64.h"
#include "child_run.h"
#include "test_support.h"

namespace {

constexpr size_t kBlock = 1 << 20;

struct Kind {
  std::string name, md;
  ALG_ID hash;
  DWORD provType;
};

Kind KindOf(const std::string& name) {
  if (name == "gost2001")
    return {name, "md_gost94", CALG_GR3411, PROV_GOST_2001_DH};
  if (name == "gost2012_512")
    return {name, "md_gost12_512", CALG_GR3411_2012_512, PROV_GOST_2012_512};
  return {"gost2012_256", "md_gost12_256", CALG_GR3411_2012_256,
          PROV_GOST_2012_256};
}

using Result = bench::ChildRun;

// The provider's hash of the file in 1 MiB blocks: what the controller's
// streaming cannot beat. Prints the hash in base64.
int RawHash(const std::string& path, const Kind& k) {
  HCRYPTPROV prov = 0;
  HCRYPTHASH h = 0;
  if (!CryptAcquireContextA(&prov, nullptr, nullptr, k.provType,
                            CRYPT_VERIFYCONTEXT) ||
      !CryptCreateHash(prov, k.hash, 0, 0, &h))
    return 3;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return 4;
  std::vector<BYTE> buf(kBlock);
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) > 0)
    if (!CryptHashData(h, buf.data(), static_cast<DWORD>(n), 0)) return 5;
  close(fd);
  BYTE v[64];
  DWORD len = sizeof v;
  if (n < 0 || !CryptGetHashParam(h, HP_HASHVAL, v, &len, 0)) return 6;
  CryptDestroyHash(h);
  CryptReleaseContext(prov, 0);
  std::printf("%s",
              base64::encoding(reinterpret_cast<char*>(v), len, false).c_str());
  return 0;
}

int Child(const std::string& mode, const std::string& path,
          const std::string& cert, const std::string& key) {
  if (mode == "rawhash") return RawHash(path, KindOf(key));
  if (mode == "rawhash94") return RawHash(path, KindOf("gost2001"));
  TavrixCtrl ctrl;
  if (mode == "hashfile") {
    std::string r = ctrl.HashFile(path, cert, 0);
    if (r.find("<Error>") != std::string::npos) return 7;
    std::vector<uint8_t> hash = tavrix_test::ReadFileBytes(path + ".hash");
    std::fwrite(hash.data(), 1, hash.size(), stdout);
    return 0;
  }
  std::string r = ctrl.SignFileWeb(path, cert, mode == "attached" ? 4 : 0);
  if (r.empty() || r.find("<Error>") != std::string::npos) return 8;
  std::printf("%zu", r.size());
  return 0;
}

void MakeFile(const std::string& path, size_t mib) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::exit(1);
  std::vector<uint8_t> buf(kBlock);
  uint32_t s = 12345;
  for (size_t i = 0; i < mib; ++i) {
    for (auto& b : buf)
      b = static_cast<uint8_t>((s = s * 1103515245u + 12345u) >> 16);
    if (std::fwrite(buf.data(), 1, buf.size(), f) != buf.size()) std::exit(1);
  }
  // Just written, so every side reads it from the page cache.
  std::fclose(f);
}

void Print(const char* what, const Result& r, double mib) {
  std::printf(
      "%-36s %s %7.2f s wall %7.1f MiB/s | %7.2f s cpu %7.1f MiB/s | peak RSS "
      "%7.1f MiB\n",
      what, r.ok ? "ok  " : "FAIL", r.wall, r.wall > 0 ? mib / r.wall : 0,
      r.cpu, r.cpu > 0 ? mib / r.cpu : 0, r.peakMiB);
  std::fflush(stdout);
}

const Result& Faster(const Result& a, const Result& b) {
  return !b.ok || (a.ok && a.cpu <= b.cpu) ? a : b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--child") == 0)
    return Child(argv[2], argv[3], argv[4], argv[5]);

  const size_t bigMiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
  const size_t attMiB = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 256;
  const Kind k = KindOf(argc > 3 ? argv[3] : "gost2012_256");
  const tavrix_test::PkiCert& pc =
      tavrix_test::TestPki::Get().Cert("user-" + k.name);
  const std::string cert = "#" + pc.serialHex;
  tavrix_test::TempDir dir;
  const std::string big = dir.File("big.bin"), att = dir.File("att.bin");
  const std::string self = "/proc/self/exe";
  char exe[4096];
  ssize_t len = readlink(self.c_str(), exe, sizeof exe - 1);
  if (len <= 0) return 1;
  exe[len] = 0;
  auto child = [&](const char* mode, const std::string& path) {
    return bench::RunProgram({exe, "--child", mode, path, cert, k.name});
  };
  bool ok = true;

  MakeFile(big, bigMiB);
  std::printf("SignFileWeb, detached: %zu MiB, key %s\n", bigMiB,
              k.name.c_str());
  Result raw1 = child("rawhash", big);
  Print("raw hash (CryptHashData, 1 MiB)", raw1, bigMiB);
  Result det = child("detached", big);
  Print("SignFileWeb detached", det, bigMiB);
  const std::string osslOut = dir.File("openssl.p7s");
  Result ossl = bench::RunProgram(
      {"openssl", "cms", "-sign", "-engine", "gost", "-binary", "-stream",
       "-md", k.md, "-in", big, "-signer", pc.certPem, "-inkey", pc.keyPem,
       "-outform", "DER", "-out", osslOut});
  Print("openssl cms -sign -binary -stream", ossl, bigMiB);
  unlink(osslOut.c_str());
  Result raw2 = child("rawhash", big);
  Print("raw hash, again", raw2, bigMiB);
  const Result& raw = Faster(raw1, raw2);
  if (raw.ok && det.ok)
    std::printf(
        "detached: throughput / raw hash %.3f by cpu, %.3f by wall (target "
        ">= 0.9); peak RSS %.1f MiB (target <= 32)\n",
        raw.cpu / det.cpu, raw.wall / det.wall, det.peakMiB);
  ok = ok && raw.ok && det.ok && ossl.ok;

  std::printf("\nHashFile: %zu MiB\n", bigMiB);
  Result dgst = bench::RunProgram(
      {"openssl", "dgst", "-engine", "gost", "-md_gost94", "-binary", big});
  Print("openssl dgst -md_gost94", dgst, bigMiB);
  const std::string expected =
      base64::encoding(dgst.output.data(), dgst.output.size(), false);
  Result r94a = child("rawhash94", big);
  Print("raw GOST R 34.11-94 (1 MiB)", r94a, bigMiB);
  Result hf = child("hashfile", big);
  Print("HashFile", hf, bigMiB);
  unlink((big + ".hash").c_str());
  Result r94b = child("rawhash94", big);
  Print("raw GOST R 34.11-94, again", r94b, bigMiB);
  const Result& r94 = Faster(r94a, r94b);
  const bool same = hf.output == expected && r94.output == expected;
  std::printf("hashes equal OpenSSL's: %s (%s)\n", same ? "yes" : "NO",
              expected.c_str());
  if (hf.ok && r94.ok)
    std::printf(
        "HashFile: throughput / raw hash %.3f by cpu, %.3f by wall (target "
        ">= 0.9); peak RSS %.1f MiB (target <= 32)\n",
        r94.cpu / hf.cpu, r94.wall / hf.wall, hf.peakMiB);
  ok = ok && hf.ok && r94.ok && dgst.ok && same;
  unlink(big.c_str());

  MakeFile(att, attMiB);
  std::printf("\nSignFileWeb, attached: %zu MiB\n", attMiB);
  Result at = child("attached", att);
  Print("SignFileWeb attached", at, attMiB);
  const double resultMiB = std::strtod(at.output.c_str(), nullptr) / kBlock;
  if (at.ok)
    std::printf(
        "attached: base64 result %.1f MiB, peak RSS %.1f MiB = %.2f x the "
        "result (target <= 1.6)\n",
        resultMiB, at.peakMiB, at.peakMiB / resultMiB);
  ok = ok && at.ok;
  unlink(att.c_str());
  return ok ? 0 : 1;
}
