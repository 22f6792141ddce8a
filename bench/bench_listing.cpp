// Listing a personal store of 1,000 certificates, half of them long expired,
// the way a page asks for the certificates it may offer. The certificates are
// made once by OpenSSL's GOST engine (one key for all of them, so that only
// the signing of each certificate costs time) into a throw-away provider home.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "TavrixCtrl.h"
#include "base64.h"

namespace {

const int kCertificates = 1000;
const int kSubjects = 10;

void Shell(const std::string& command) {
  int rc = system(command.c_str());
  if (rc == -1 || !WIFEXITED(rc) || WEXITSTATUS(rc) != 0) {
    throw std::runtime_error("failed: " + command);
  }
}

std::string Stamp(long long offset) {
  char buf[32];
  time_t t = time(nullptr) + offset;
  strftime(buf, sizeof buf, "%Y%m%d%H%M%SZ", gmtime(&t));
  return buf;
}

// The DER bytes of the first certificate of a PEM file.
std::vector<char> PemToDer(const std::string& path) {
  std::ifstream in(path);
  std::stringstream all;
  all << in.rdbuf();
  std::string text = all.str();
  size_t begin = text.find("-----BEGIN CERTIFICATE-----");
  size_t end = text.find("-----END CERTIFICATE-----");
  if (begin == std::string::npos || end == std::string::npos) {
    throw std::runtime_error("no certificate in " + path);
  }
  begin += 27;
  std::string b64 = text.substr(begin, end - begin);
  std::vector<char> der(base64::GetLengthToDecode(b64.size()));
  size_t len = 0;
  base64::decoding(b64.data(), b64.size(), der.data(), &len);
  der.resize(len);
  return der;
}

struct Home {
  std::string dir;
  Home() {
    char templ[] = "/tmp/bench-listing-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp");
    dir = templ;
    setenv("TAVRIX_PROVIDER_HOME", dir.c_str(), 1);
  }
  ~Home() { Shell("rm -rf '" + dir + "'"); }
};

void MakeStore(const std::string& home) {
  const std::string pki = home + "/pki";
  Shell("mkdir -p '" + pki + "/out' && : > '" + pki +
        "/index.txt' && echo 1000 > '" + pki + "/serial'");
  std::ofstream cfg(pki + "/ca.cnf");
  cfg << "[ ca ]\ndefault_ca = tca\n[ tca ]\ndir = " << pki
      << "\ndatabase = " << pki << "/index.txt\nserial = " << pki
      << "/serial\nnew_certs_dir = " << pki
      << "/out\ndefault_md = md_gost12_256\npolicy = any\nunique_subject = "
         "no\ncopy_extensions = none\n[ any ]\ncommonName = optional\n"
         "[ req ]\ndistinguished_name = dn\nutf8 = yes\nstring_mask = "
         "utf8only\n[ dn ]\n[ ext ]\nbasicConstraints = CA:FALSE\n"
         "extendedKeyUsage = 1.3.6.1.5.5.7.3.2,1.2.643.2.2.34.6\n";
  cfg.close();
  const std::string o = "openssl";
  Shell(o +
        " genpkey -engine gost -algorithm gost2012_256 -pkeyopt "
        "paramset:A -out '" +
        pki + "/key.pem' 2>/dev/null");
  Shell(o + " req -engine gost -new -x509 -key '" + pki +
        "/key.pem' -subj '/CN=Bench CA' -days 3650 -config '" + pki +
        "/ca.cnf' -out '" + pki + "/ca.pem' 2>/dev/null");
  std::string reqs;
  for (int i = 0; i < kSubjects; ++i) {
    std::string req = pki + "/req" + std::to_string(i) + ".pem";
    Shell(o + " req -engine gost -new -key '" + pki +
          "/key.pem' -utf8 -subj "
          "'/C=RU/O=Bench/CN=Пользователь " +
          std::to_string(i) + "/SN=Фамилия" + std::to_string(i) +
          "/GN=Имя' -config '" + pki + "/ca.cnf' -out '" + req +
          "' 2>/dev/null");
    reqs += " '" + req + "'";
  }
  std::string batch;
  for (int i = 0; i < kCertificates / 2 / kSubjects; ++i) batch += reqs;
  // Half expired a year ago, half valid now.
  const long long year = 365LL * 86400;
  for (int expired = 1; expired >= 0; --expired) {
    std::string start = Stamp(expired ? -3 * year : -86400);
    std::string end = Stamp(expired ? -year : year);
    Shell(o + " ca -engine gost -batch -notext -preserveDN -utf8 -config '" +
          pki + "/ca.cnf' -cert '" + pki + "/ca.pem' -keyfile '" + pki +
          "/key.pem' -extensions ext -startdate " + start + " -enddate " + end +
          " -out /dev/null -infiles" + batch + " >/dev/null 2>&1");
  }

  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W,
                                   X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                   CERT_SYSTEM_STORE_CURRENT_USER, L"MY");
  if (store == nullptr) throw std::runtime_error("cannot open MY");
  int added = 0;
  DIR* dir = opendir((pki + "/out").c_str());
  while (dirent* entry = dir ? readdir(dir) : nullptr) {
    std::string name = entry->d_name;
    if (name.size() < 5 || name.substr(name.size() - 4) != ".pem") continue;
    std::vector<char> der = PemToDer(pki + "/out/" + name);
    if (CertAddEncodedCertificateToStore(
            store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
            static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
            nullptr)) {
      ++added;
    }
  }
  if (dir) closedir(dir);
  CertCloseStore(store, 0);
  if (added != kCertificates) {
    throw std::runtime_error("only " + std::to_string(added) +
                             " certificates in the store");
  }
}

Home* g_home = nullptr;

void EnsureStore() {
  if (g_home != nullptr) return;
  g_home = new Home;
  auto t0 = std::chrono::steady_clock::now();
  MakeStore(g_home->dir);
  auto t1 = std::chrono::steady_clock::now();
  std::cerr << "made " << kCertificates << " certificates in "
            << std::chrono::duration<double>(t1 - t0).count() << " s\n";
}

size_t CountListed(const std::string& xml) {
  size_t n = 0;
  for (size_t p = 0; (p = xml.find("<Certificate>", p)) != std::string::npos;
       ++p) {
    ++n;
  }
  return n;
}

void BM_ListAll(benchmark::State& state) {
  EnsureStore();
  size_t listed = 0;
  for (auto _ : state) {
    TavrixCtrl ctrl;
    std::string xml = ctrl.SelectCertificate("", "");
    listed = CountListed(xml);
    benchmark::DoNotOptimize(xml);
  }
  state.counters["listed"] = static_cast<double>(listed);
  if (listed != static_cast<size_t>(kCertificates)) {
    state.SkipWithError("not every certificate was listed");
  }
}
BENCHMARK(BM_ListAll)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// A subject and a purpose filter: every certificate is still examined.
void BM_ListFiltered(benchmark::State& state) {
  EnsureStore();
  size_t listed = 0;
  for (auto _ : state) {
    TavrixCtrl ctrl;
    std::string xml = ctrl.SelectCertificate(
        "Фамилия3", "FilterOID=1.2.643.2.2.34.6\r\nIssuer=Bench CA");
    listed = CountListed(xml);
    benchmark::DoNotOptimize(xml);
  }
  state.counters["listed"] = static_cast<double>(listed);
}
BENCHMARK(BM_ListFiltered)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  int rc = 0;
  try {
    benchmark::RunSpecifiedBenchmarks();
  } catch (const std::exception& e) {
    std::cerr << "bench_listing: " << e.what() << "\n";
    rc = 1;
  }
  benchmark::Shutdown();
  delete g_home;
  return rc;
}
