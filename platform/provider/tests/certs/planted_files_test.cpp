// Files planted in the user's provider folder: FIFOs, links, keys that are
// not private, and a process without HOME.
#include <capi/capi.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>

#include "base/provider_home.h"
#include "provider_test.h"

using tavrix_test::CertHandle;
using tavrix_test::ProvHandle;
using tavrix_test::StoreHandle;
using tavrix_test::TestPki;

namespace {

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// What a certificate's caller sees when its container cannot be used.
const DWORD kRefused = CRYPT_E_NO_KEY_PROPERTY;

class PlantedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    pki_ = &TestPki::Get();
    old_ = getenv("TAVRIX_PROVIDER_HOME");
    tavrix_test::SetProviderHome(home_.path());
    user_ = &pki_->Cert("user-gost2012_256");
    ASSERT_TRUE(pki_->Install(*user_, "MY", true));
    keys_ = home_.File("keys");
    DIR* d = opendir(keys_.c_str());
    ASSERT_NE(d, nullptr);
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') key_ = keys_ + "/" + e->d_name;
    closedir(d);
    ASSERT_FALSE(key_.empty());
  }
  void TearDown() override { tavrix_test::SetProviderHome(old_); }

  // Runs `fn` with a bound on its time; on a hang, opening the FIFO for
  // writing lets the blocked reader go so the test can end.
  bool Bounded(const std::function<void()>& fn, const std::string& fifo) {
    auto done = std::async(std::launch::async, fn);
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
      return true;
    int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
    done.wait();
    return false;
  }

  // Acquires the installed certificate's key; the error when that fails.
  DWORD Acquire() {
    CertHandle c;
    StoreHandle s(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, kEnc, 0,
                                CERT_SYSTEM_STORE_CURRENT_USER, "MY"));
    if (s) c.reset(CertEnumCertificatesInStore(s.get(), nullptr));
    if (!c) return GetLastError() ? GetLastError() : NTE_FAIL;
    ProvHandle prov;
    DWORD spec = 0;
    BOOL free = FALSE;
    if (!CryptAcquireCertificatePrivateKey(c.get(), 0, nullptr, prov.out(),
                                           &spec, &free))
      return GetLastError();
    return 0;
  }

  mode_t Mode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  TestPki* pki_ = nullptr;
  const tavrix_test::PkiCert* user_ = nullptr;
  std::string old_, keys_, key_;
  tavrix_test::TempDir home_;
};

TEST_F(PlantedFiles, FifoInTheStoreIsSkippedWithoutHanging) {
  const std::string fifo = home_.File("stores/MY/00planted.cer");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  size_t listed = 0;
  EXPECT_TRUE(Bounded(
      [&] {
        StoreHandle s(CertOpenStore(CERT_STORE_PROV_SYSTEM_A, kEnc, 0,
                                    CERT_SYSTEM_STORE_CURRENT_USER, "MY"));
        PCCERT_CONTEXT c = nullptr;
        while (s && (c = CertEnumCertificatesInStore(s.get(), c))) ++listed;
      },
      fifo))
      << "the listing blocked on a FIFO";
  EXPECT_EQ(listed, 1u);
}

TEST_F(PlantedFiles, KeyFileMustBeARegularFileOfOurOwn) {
  ASSERT_EQ(Acquire(), 0u);
  const std::string saved = key_ + ".saved";
  ASSERT_EQ(rename(key_.c_str(), saved.c_str()), 0);

  // A FIFO or a link in the key's place is not a key, and does not hang.
  ASSERT_EQ(mkfifo(key_.c_str(), 0600), 0);
  DWORD err = 0;
  EXPECT_TRUE(Bounded([&] { err = Acquire(); }, key_));
  EXPECT_EQ(err, kRefused);
  unlink(key_.c_str());
  ASSERT_EQ(symlink(saved.c_str(), key_.c_str()), 0);
  EXPECT_EQ(Acquire(), kRefused);
  unlink(key_.c_str());
  ASSERT_EQ(rename(saved.c_str(), key_.c_str()), 0);

  // Our own key and folder open to others get their private modes back.
  ASSERT_EQ(chmod(key_.c_str(), 0644), 0);
  ASSERT_EQ(chmod(keys_.c_str(), 0755), 0);
  EXPECT_EQ(Acquire(), 0u);
  EXPECT_EQ(Mode(key_), 0600u);
  EXPECT_EQ(Mode(keys_), 0700u);

  // One owned by someone else is refused (only root can give it away).
  if (geteuid() == 0) {
    ASSERT_EQ(chown(key_.c_str(), 65534, 65534), 0);
    EXPECT_EQ(Acquire(), kRefused);
    ASSERT_EQ(chown(key_.c_str(), 0, 0), 0);
    EXPECT_EQ(Acquire(), 0u);
  }
}

TEST(ProviderHome, WithoutHomeComesFromThePasswordDatabase) {
  std::string saved[3];
  const char* names[3] = {"TAVRIX_PROVIDER_HOME", "XDG_DATA_HOME", "HOME"};
  bool had[3];
  for (int i = 0; i < 3; ++i) {
    const char* v = getenv(names[i]);
    had[i] = v != nullptr;
    if (v) saved[i] = v;
    unsetenv(names[i]);
  }
  std::string home = tavrix::provider::ProviderHome();
  for (int i = 0; i < 3; ++i)
    if (had[i]) setenv(names[i], saved[i].c_str(), 1);
  struct passwd* pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(home, std::string(pw->pw_dir) + "/.local/share/tavrix-provider");
}

}  // namespace
