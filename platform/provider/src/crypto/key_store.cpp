#include "crypto/key_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

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

bool ReadContainer(const std::string& container, std::vector<uint8_t>* der,
                   DWORD* error) {
  const std::string path = ContainerPath(container);
  if (path.empty()) {
    *error = NTE_BAD_KEYSET_PARAM;
    return false;
  }
  const std::string dir = KeysDir();
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  struct stat dst;
  if (dfd < 0 || fstat(dfd, &dst) != 0 || !PrivateEnough(dfd, dst, 0700, dir)) {
    if (dfd >= 0) close(dfd);
    *error = NTE_BAD_KEYSET;
    return false;
  }
  struct stat st;
  // Missing, unreadable, a link, a FIFO or any other non-regular file.
  int fd = OpenRegularFile(dfd, container + ".key", &st);
  close(dfd);
  if (fd < 0 || !PrivateEnough(fd, st, 0600, path)) {
    if (fd >= 0) close(fd);
    *error = NTE_BAD_KEYSET;
    return false;
  }
  if (st.st_size <= 0 || st.st_size > kMaxKeyFile) {
    close(fd);
    *error = NTE_KEYSET_ENTRY_BAD;
    return false;
  }
  bool ok = ReadOpenFile(fd, st, static_cast<size_t>(kMaxKeyFile), der);
  close(fd);
  if (!ok) {
    *error = NTE_BAD_KEYSET;
    return false;
  }
  return true;
}

bool ImportPrivateKey(const unsigned char* der, size_t len,
                      const std::string& container) {
  if (!ValidName(container)) {
    SetLastError(NTE_BAD_KEYSET_PARAM);
    return false;
  }
  DWORD error = 0;
  if (!der || len == 0 || len > static_cast<size_t>(kMaxKeyFile) ||
      !gost::GostKey::FromPrivateKeyInfo(der, len, &error)) {
    SetLastError(error ? error : NTE_BAD_DATA);
    return false;
  }
  const std::string dir = KeysDir();
  if (!EnsureDirectory(dir, 0700) || chmod(dir.c_str(), 0700) != 0) {
    SetLastError(NTE_FAIL);
    return false;
  }
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
  if (fd < 0) {
    SetLastError(NTE_FAIL);
    return false;
  }
  bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, der, len) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    SetLastError(NTE_FAIL);
    return false;
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
  if (path.empty()) {
    SetLastError(NTE_BAD_KEYSET_PARAM);
    return false;
  }
  if (unlink(path.c_str()) != 0) {
    SetLastError(errno == ENOENT ? NTE_BAD_KEYSET : NTE_FAIL);
    return false;
  }
  return true;
}

}  // namespace tavrix::provider
