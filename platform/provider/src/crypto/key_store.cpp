#include "crypto/key_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tavrix/key_store.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "base/c_boundary.h"
#include "base/provider_home.h"
#include "crypto/gost_key.h"
#include "crypto/key_store_internal.h"

namespace tavrix::provider {
namespace {

// A key file bigger than this is not a GOST private key.
constexpr off_t kMaxKeyFile = 64 * 1024;

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 200 || name[0] == '.') return false;
  for (char c : name)
    if (c == '/' || c == '\0') return false;
  return true;
}

std::string KeysDir() {
  std::string home = ProviderHome();
  return home.empty() ? home : home + "/keys";
}

// A key readable by others is no longer private, and one owned by someone
// else may have been planted. Our own files get their mode back (the log
// says so); anything else is refused.
bool PrivateEnough(int fd, const struct stat& st, mode_t wanted,
                   const std::string& path) {
  if (st.st_uid != geteuid()) {
    LogWarning("refusing " + path + ": owned by user " +
               std::to_string(st.st_uid));
    return false;
  }
  if ((st.st_mode & 077) == 0) return true;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
  if (fchmod(fd, wanted) != 0) {
    LogWarning("refusing " + path + ": mode " + mode + " cannot be repaired");
    return false;
  }
  LogWarning("mode of " + path + " was " + mode + ", now private");
  return true;
}

bool WriteAll(int fd, const unsigned char* p, size_t n) {
  while (n) {
    ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

std::string ContainerPath(const std::string& container) {
  const std::string dir = KeysDir();
  if (!ValidName(container) || dir.empty()) return std::string();
  return dir + "/" + container + ".key";
}

bool ReadContainer(const std::string& container, std::vector<uint8_t>* der) {
  const std::string path = ContainerPath(container);
  if (path.empty()) return Fail(NTE_BAD_KEYSET_PARAM);
  const std::string dir = KeysDir();
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  struct stat dst;
  if (dfd < 0 || fstat(dfd, &dst) != 0 || !PrivateEnough(dfd, dst, 0700, dir)) {
    if (dfd >= 0) close(dfd);
    return Fail(NTE_BAD_KEYSET);
  }
  struct stat st;
  // Missing, unreadable, a link, a FIFO or any other non-regular file.
  int fd = OpenRegularFile(dfd, container + ".key", &st);
  close(dfd);
  if (fd < 0 || !PrivateEnough(fd, st, 0600, path)) {
    if (fd >= 0) close(fd);
    return Fail(NTE_BAD_KEYSET);
  }
  if (st.st_size <= 0 || st.st_size > kMaxKeyFile) {
    close(fd);
    return Fail(NTE_KEYSET_ENTRY_BAD);
  }
  bool ok = ReadOpenFile(fd, st, static_cast<size_t>(kMaxKeyFile), der);
  close(fd);
  if (!ok) return Fail(NTE_BAD_KEYSET);
  return true;
}

bool ImportPrivateKey(const unsigned char* der, size_t len,
                      const std::string& container) {
  if (!ValidName(container)) return Fail(NTE_BAD_KEYSET_PARAM);
  if (!der || len == 0 || len > static_cast<size_t>(kMaxKeyFile))
    return Fail(NTE_BAD_DATA);
  if (!gost::GostKey::FromPrivateKeyInfo(der, len)) return false;
  const std::string dir = KeysDir();
  if (!EnsureDirectory(dir, 0700) || chmod(dir.c_str(), 0700) != 0)
    return Fail(NTE_FAIL);
  const std::string path = ContainerPath(container);
  uint8_t rnd[8];
  gost::RandomBytes(rnd, sizeof rnd);
  char suffix[40];
  std::snprintf(suffix, sizeof suffix, ".tmp.%d.%02x%02x%02x%02x%02x%02x",
                static_cast<int>(getpid()), rnd[0], rnd[1], rnd[2], rnd[3],
                rnd[4], rnd[5]);
  // The temporary name starts with '.', which no container name may, so a
  // leftover can never be taken for a key.
  const std::string tmp = dir + "/." + container + suffix;
  int fd = open(tmp.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Fail(NTE_FAIL);
  bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, der, len) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return Fail(NTE_FAIL);
  }
  return true;
}

bool ContainerExists(const std::string& container) {
  const std::string path = ContainerPath(container);
  struct stat st;
  return !path.empty() && lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DeleteContainer(const std::string& container) {
  const std::string path = ContainerPath(container);
  if (path.empty()) return Fail(NTE_BAD_KEYSET_PARAM);
  if (unlink(path.c_str()) != 0)
    return Fail(errno == ENOENT ? NTE_BAD_KEYSET : NTE_FAIL);
  return true;
}

}  // namespace tavrix::provider

using namespace tavrix::provider;  // NOLINT: the exported names are global

extern "C" {

CAPI_EXPORT BOOL WINAPI TavrixImportPrivateKey(LPCSTR szContainer,
                                               const BYTE* pbKey,
                                               DWORD cbKey) try {
  if (!szContainer) return Fail(NTE_BAD_KEYSET_PARAM);
  return ImportPrivateKey(pbKey, cbKey, szContainer);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI TavrixDeleteContainer(LPCSTR szContainer) try {
  if (!szContainer) return Fail(NTE_BAD_KEYSET_PARAM);
  return DeleteContainer(szContainer);
}
CAPI_GUARD(FALSE)

}  // extern "C"
