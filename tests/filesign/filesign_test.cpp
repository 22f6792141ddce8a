// File signing: blocks fed to the streamed message, results checked with
// OpenSSL's GOST engine, removal of the plug-in's own temporary files only,
// output failures and sizes past 32 bits; streamed file hashes.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <streambuf>
#include <string>
#include <vector>

#include "TavrixCtrl.h"
#include "TmpCertArhive.h"
#include "base64.h"
#include "cades_peers.h"
#include "capi_spy.h"
#include "test_support.h"

using tavrix_test::RunCommand;
using tavrix_test::ShellQuote;
using tavrix_test::TempDir;

namespace {

const std::string kPrefix = "<?xml version='1.0' encoding='utf-8'?><Error>";
const uint64_t kMiB = 1048576;

std::string CertName(const std::string& key) {
  return "#" + tavrix_test::TestPki::Get().Cert("user-" + key).serialHex;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + 7) % 251);
  return s;
}

void Write(const std::string& path, const std::string& content) {
  tavrix_test::WriteFileBytes(
      path, std::vector<uint8_t>(content.begin(), content.end()));
}

std::string Decode(const std::string& text) {
  return tavrix_test::FromBase64(text);
}

// A temporary file of the plug-in's own, holding `content`.
std::string OwnTempFile(const std::string& content) {
  TavrixCtrl ctrl;
  std::string name = ctrl.GetFullTempFileName();
  EXPECT_FALSE(name.empty());
  Write(name, content);
  return name;
}

bool LinesOf76(const std::string& b64) {
  for (size_t at = 0;;) {
    size_t eol = b64.find("\r\n", at);
    size_t len = (eol == std::string::npos ? b64.size() : eol) - at;
    if (eol == std::string::npos) return len > 0 && len <= 76;
    if (len != 76) return false;
    at = eol + 2;
  }
}

// openssl cms -verify against the test PKI; the content comes back out.
bool OpensslVerifies(const std::string& b64, const std::string& dataFile,
                     bool detached, const std::string& key) {
  TempDir dir;
  Write(dir.File("m.p7s"), Decode(b64));
  auto& pki = tavrix_test::TestPki::Get();
  std::string ca = dir.File("ca.pem");
  RunCommand("cat " + ShellQuote(pki.Cert("root-" + key).certPem) + " " +
             ShellQuote(pki.Cert("inter-" + key).certPem) + " > " +
             ShellQuote(ca));
  std::string cmd =
      "openssl cms -verify -engine gost -binary -purpose any"
      " -inform DER -in " +
      ShellQuote(dir.File("m.p7s")) + " -CAfile " + ShellQuote(ca) + " -out " +
      ShellQuote(dir.File("out"));
  if (detached) cmd += " -content " + ShellQuote(dataFile);
  if (RunCommand(cmd + " >/dev/null 2>&1").exitCode != 0) return false;
  return tavrix_test::ReadFileBytes(dir.File("out")) ==
         tavrix_test::ReadFileBytes(dataFile);
}

void ExpectCreatedNamesGone() {
  for (const auto& name : capi_spy::Get().created)
    EXPECT_FALSE(Exists(name)) << name;
}

class ByKey : public ::testing::TestWithParam<std::string> {};

TEST_P(ByKey, BlocksResultsAndVerification) {
  struct Case {
    uint64_t size;
    std::vector<DWORD> updates;  // the last one final
  };
  const Case cases[] = {
      {1, {1}},
      {kMiB, {kMiB}},
      {kMiB + 1, {kMiB, 1}},
      {5 * kMiB / 2, {kMiB, kMiB, kMiB / 2}},
  };
  for (const Case& c : cases) {
    for (bool attached : {false, true}) {
      SCOPED_TRACE(::testing::Message()
                   << "size=" << c.size << " attached=" << attached);
      const std::string content = Pattern(c.size);
      TempDir keep;
      Write(keep.File("data"), content);
      const std::string path = OwnTempFile(content);
      capi_spy::Reset();
      TavrixCtrl ctrl;
      std::string sig =
          ctrl.SignFileWeb(path, CertName(GetParam()), attached ? 4 : 0);
      ASSERT_EQ(sig.find("<Error>"), std::string::npos) << sig;
      const auto& ups = capi_spy::Get().updates;
      ASSERT_EQ(ups.size(), c.updates.size());
      for (size_t i = 0; i < ups.size(); ++i) {
        EXPECT_EQ(ups[i].size, c.updates[i]);
        EXPECT_EQ(ups[i].final != FALSE, i + 1 == ups.size());
      }
      EXPECT_EQ(capi_spy::Get().streamed,
                std::vector<DWORD>{static_cast<DWORD>(c.size)});
      EXPECT_TRUE(LinesOf76(sig));
      // Attached carries the content, detached does not.
      const std::string der = Decode(sig);
      if (attached) {
        EXPECT_NE(der.find(content), std::string::npos);
      } else if (c.size >= kMiB) {
        EXPECT_LT(der.size(), c.size);
      }
      EXPECT_TRUE(
          OpensslVerifies(sig, keep.File("data"), !attached, GetParam()));
      EXPECT_FALSE(Exists(path)) << "the download is removed after signing";
      ExpectCreatedNamesGone();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Keys, ByKey,
                         ::testing::Values("gost2001", "gost2012_256",
                                           "gost2012_512"));

TEST(SignFileWeb, RemovesOnlyItsOwnUnchangedTemporaryFiles) {
  TempDir dir;
  const std::string cert = CertName("gost2012_256");
  struct Case {
    const char* what;
    // Makes the file; returns the path to pass and the names to check.
    std::function<std::string(std::vector<std::string>*)> make;
    std::string certName;
    bool removed;  // the first name is gone afterwards
  };
  const std::vector<Case> cases = {
      {"own temp file", [](auto*) { return OwnTempFile("abc"); }, cert, true},
      {"own temp file, signing fails", [](auto*) { return OwnTempFile("abc"); },
       "nobody at all", true},
      {"own empty temp file", [](auto*) { return OwnTempFile(""); }, cert,
       true},
      {"own temp file as a file address",
       [](auto*) { return "file://" + OwnTempFile("abc"); }, cert, true},
      {"page file",
       [&](auto*) {
         Write(dir.File("doc"), "abc");
         return dir.File("doc");
       },
       cert, false},
      {"page file, signing fails",
       [&](auto*) {
         Write(dir.File("doc2"), "abc");
         return dir.File("doc2");
       },
       "nobody at all", false},
      {"temp-like name the plug-in did not make",
       [&](auto* also) {
         std::string n = "/tmp/npX_T" + std::to_string(getpid());
         Write(n, "abc");
         also->push_back(n);
         return n;
       },
       cert, false},
      {"own name replaced by a link to a page file",
       [&](auto* also) {
         Write(dir.File("victim"), "secret");
         std::string n = OwnTempFile("abc");
         unlink(n.c_str());
         EXPECT_EQ(symlink(dir.File("victim").c_str(), n.c_str()), 0);
         also->push_back(dir.File("victim"));
         return n;
       },
       cert, false},
      {"own name replaced by another file",
       [&](auto*) {
         std::string n = OwnTempFile("abc");
         unlink(n.c_str());
         Write(n, "other");
         return n;
       },
       cert, false},
      {"own file with a second link",
       [&](auto* also) {
         std::string n = OwnTempFile("abc");
         EXPECT_EQ(link(n.c_str(), dir.File("hard").c_str()), 0);
         also->push_back(dir.File("hard"));
         return n;
       },
       cert, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> also;
    std::string path = c.make(&also);
    std::string name = path.rfind("file://", 0) == 0 ? path.substr(7) : path;
    TavrixCtrl ctrl;
    std::string r = ctrl.SignFileWeb(path, c.certName, 0);
    const std::string what = c.what;
    const bool link = what.find("link to") != std::string::npos;
    if (c.certName == cert && what != "own empty temp file" && !link) {
      EXPECT_EQ(r.find("<Error>"), std::string::npos) << r;
    }
    EXPECT_EQ(!Exists(name), c.removed);
    for (const auto& n : also) EXPECT_TRUE(Exists(n)) << n;
    if (link) {
      // The link is not followed: nothing of the page file is signed.
      EXPECT_EQ(r.rfind(kPrefix + "Error open file 5", 0), 0u) << r;
      EXPECT_EQ(tavrix_test::ReadFileBytes(dir.File("victim")).size(), 6u);
    }
    unlink(name.c_str());
    for (const auto& n : also)
      if (n.rfind("/tmp/", 0) == 0) unlink(n.c_str());
  }
}

TEST(SignFileWeb, ErrorsAndNoCopiesLeftBehind) {
  TempDir dir;
  Write(dir.File("doc"), "abc");
  const std::string cert = CertName("gost2012_256");
  const bool runtime = TavrixCtrl().TestCades() == "1";
  struct Case {
    std::string path;
    std::string certName;
    int flags;
    std::string expectedStart;
  };
  const std::vector<Case> cases = {
      {dir.File("nope"), cert, 0,
       kPrefix + "Error open file 2" + dir.File("nope") + "</Error>"},
      {dir.File("doc") + std::string(1, '\0') + "x", cert, 0,
       kPrefix + "Error open file 2"},
      {dir.path(), cert, 0, kPrefix + "Error open file 5" + dir.path()},
      {dir.File("doc"), "nobody at all", 0, kPrefix + "Сертификат не найден! "},
      {dir.File("doc"), cert, 2,
       kPrefix + (runtime ? "Адрес штампов времени пустой! "
                          : "Не найдена библиотека cades.dll ")},
      {dir.File("doc"), cert, 0x16,
       runtime ? std::string() : kPrefix + "Не найдена библиотека cades.dll "},
      {dir.File("empty"), cert, 4,
       kPrefix + "Ошибка в ProcessMessage-Cannot encode zero length data "},
  };
  Write(dir.File("empty"), "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " flags=" + std::to_string(c.flags));
    if (c.expectedStart.empty()) continue;  // covered by the runtime tests
    capi_spy::Reset();
    TavrixCtrl ctrl;
    std::string r = ctrl.SignFileWeb(c.path, c.certName, c.flags);
    EXPECT_EQ(r.rfind(c.expectedStart, 0), 0u) << r;
    EXPECT_TRUE(Exists(dir.File("doc")));
    ExpectCreatedNamesGone();
  }
}

// A full file system for the output: the write fails inside the update,
// which is reported, and nothing of the file stays in /tmp.
TEST(SignFileWeb, OutputWriteFailure) {
  const std::string content = Pattern(5 * kMiB / 2);
  const std::string path = OwnTempFile(content);
  const std::string cert = CertName("gost2012_256");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {64 * 1024, 64 * 1024};
    setrlimit(RLIMIT_FSIZE, &lim);
    capi_spy::Reset();
    TavrixCtrl ctrl;
    std::string r = ctrl.SignFileWeb(path, cert, 4);
    for (const auto& n : capi_spy::Get().created)
      if (Exists(n)) r += "\nleft behind: " + n;
    if (write(fds[1], r.data(), r.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string r;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) r.append(buf, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(r.rfind(kPrefix + "Ошибка в ProcessMessage-CryptMsgUpdate ", 0), 0u)
      << r;
  EXPECT_EQ(r.find("left behind"), std::string::npos) << r;
  EXPECT_FALSE(Exists(path));
}

// Zeros of any length without a file: sizes past 32 bits cost no disk.
class ZeroStream : public std::streambuf {
 public:
  explicit ZeroStream(uint64_t size) : size_(size) {}

 protected:
  pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                   std::ios_base::openmode) override {
    uint64_t base = dir == std::ios_base::beg   ? 0
                    : dir == std::ios_base::end ? size_
                                                : pos_;
    pos_ = base + off;
    return pos_type(static_cast<off_type>(pos_));
  }
  pos_type seekpos(pos_type p, std::ios_base::openmode m) override {
    return seekoff(off_type(p), std::ios_base::beg, m);
  }
  std::streamsize xsgetn(char* s, std::streamsize n) override {
    uint64_t k = std::min<uint64_t>(n, size_ - pos_);
    std::fill(s, s + k, '\0');
    pos_ += k;
    return static_cast<std::streamsize>(k);
  }

 private:
  uint64_t size_;
  uint64_t pos_ = 0;
};

TEST(SignFileWeb, SizesPast32Bits) {
  const uint64_t big = (uint64_t{4} << 30) + 1;
  TavrixCtrl ctrl;
  ASSERT_EQ(ctrl.CertProvFinder(CertName("gost2012_256")), "");
  PCCRYPT_OID_INFO info = nullptr;
  ASSERT_EQ(ctrl.FindHashAlgoritmByProvider(info), "");

  // Every block counted in 64 bits, the final flag on the one-byte tail.
  CMSG_SIGNER_ENCODE_INFO signer = {};
  signer.cbSize = offsetof(CMSG_SIGNER_ENCODE_INFO, SignerId);
  signer.pCertInfo = ctrl.pCertContextCurrent->pCertInfo;
  signer.hCryptProv = ctrl.hProvCurrent;
  signer.dwKeySpec = ctrl.dwKeySpec;
  signer.HashAlgorithm.pszObjId = const_cast<LPSTR>(info->pszOID);
  CMSG_SIGNED_ENCODE_INFO signedInfo = {};
  signedInfo.cbSize = sizeof signedInfo;
  signedInfo.cSigners = 1;
  signedInfo.rgSigners = &signer;
  std::string out;
  CMSG_STREAM_INFO stream = {CMSG_INDEFINITE_LENGTH,
                             [](const void* arg, BYTE* p, DWORD n, BOOL) {
                               static_cast<std::string*>(const_cast<void*>(arg))
                                   ->append(reinterpret_cast<char*>(p), n);
                               return TRUE;
                             },
                             &out};
  HCRYPTMSG msg = CryptMsgOpenToEncode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                       CMSG_DETACHED_FLAG, CMSG_SIGNED,
                                       &signedInfo, nullptr, &stream);
  ASSERT_NE(msg, nullptr);
  ZeroStream zeros(big);
  std::istream in(&zeros);
  capi_spy::Reset();
  capi_spy::PassOnlyFirstAndFinal(true);
  EXPECT_EQ(ctrl.ProcessMessage(msg, in), "");
  CryptMsgClose(msg);
  const auto ups = capi_spy::Get().updates;
  ASSERT_EQ(ups.size(), 4097u);
  EXPECT_EQ(ups.back().size, 1u);
  EXPECT_TRUE(ups.back().final);
  EXPECT_FALSE(ups[4095].final);
  EXPECT_FALSE(out.empty());

  TempDir dir;
  const std::string sparse = dir.File("sparse");
  ASSERT_EQ(truncate((Write(sparse, ""), sparse.c_str()), big), 0);
  // Detached: the stream record says "indefinite" instead of a wrapped
  // 32-bit size (a second update failing stops the run early).
  capi_spy::Reset();
  capi_spy::FailUpdate(2);
  TavrixCtrl detached;
  std::string r = detached.SignFileWeb(sparse, CertName("gost2012_256"), 0);
  EXPECT_EQ(r.rfind(kPrefix + "Ошибка в ProcessMessage-CryptMsgUpdate ", 0), 0u)
      << r;
  EXPECT_EQ(capi_spy::Get().streamed,
            std::vector<DWORD>{CMSG_INDEFINITE_LENGTH});

  // Attached, too long for the page's string: refused before any work.
  capi_spy::Reset();
  ASSERT_EQ(truncate(sparse.c_str(), uint64_t{3} << 30), 0);
  TavrixCtrl attached;
  r = attached.SignFileWeb(sparse, CertName("gost2012_256"), 4);
  EXPECT_EQ(
      r.rfind(kPrefix + "Ошибка в SignStream-File too large for an attached "
                        "signature ",
              0),
      0u)
      << r;
  EXPECT_TRUE(capi_spy::Get().streamed.empty());
  EXPECT_TRUE(Exists(sparse));
}

TEST(HashFile, StreamedAcrossBlockBoundaries) {
  TempDir dir;
  for (uint64_t size : {uint64_t{1}, kMiB, kMiB + 1, 5 * kMiB / 2}) {
    SCOPED_TRACE(size);
    Write(dir.File("f"), Pattern(size));
    std::string digest =
        RunCommand("openssl dgst -engine gost -md_gost94 -binary " +
                   ShellQuote(dir.File("f")) + " 2>/dev/null")
            .output;
    TavrixCtrl ctrl;
    EXPECT_EQ(ctrl.HashFile(dir.File("f"), CertName("gost2001"), 0),
              dir.File("f.hash"));
    auto hash = tavrix_test::ReadFileBytes(dir.File("f.hash"));
    EXPECT_EQ(std::string(hash.begin(), hash.end()),
              base64::encoding(digest.data(), digest.size(), false));
  }
}

}  // namespace

namespace {

// CAdES through the runtime of the build tree. A file gets the runtime's
// encoding (CAdES-BES); the time-stamp address is only required, so any
// address does, and none with 0x10. OpenSSL's cms -verify -cades checks the
// signing-certificate attribute and the chain.
TEST(SignFileWeb, CadesThroughTheRuntime) {
  ASSERT_EQ(TavrixCtrl().TestCades(), "1");
  tavrix_test::CadesPeers& env = tavrix_test::CadesPeers::Get();
  const std::string content = Pattern(5 * kMiB / 2);
  const std::vector<uint8_t> bytes(content.begin(), content.end());
  TempDir dir;
  Write(dir.File("doc"), content);
  for (const char* kt : {"gost2001", "gost2012_256", "gost2012_512"}) {
    for (int flags : {0x02, 0x06, 0x16}) {
      SCOPED_TRACE(std::string(kt) + " flags " + std::to_string(flags));
      TmpCertArhive cache;
      TavrixCtrl ctrl(cache, flags & 0x10 ? "" : "TspUrl=" + env.Tsa());
      capi_spy::Reset();
      std::string sig = ctrl.SignFileWeb(dir.File("doc"),
                                         "#" + env.Signer(kt).serialHex, flags);
      ASSERT_EQ(sig.find("<Error>"), std::string::npos) << sig;
      EXPECT_TRUE(LinesOf76(sig));
      const std::string der = Decode(sig);
      // Attached carries the content, detached does not.
      EXPECT_EQ(
          der.find(content.substr(kMiB + 1000, 4096)) != std::string::npos,
          (flags & 0x04) != 0);
      EXPECT_EQ(env.Check(std::vector<uint8_t>(der.begin(), der.end()), "bes",
                          flags & 0x04 ? nullptr : &bytes),
                "");
      EXPECT_TRUE(Exists(dir.File("doc")));
      ExpectCreatedNamesGone();
    }
  }
}

}  // namespace
