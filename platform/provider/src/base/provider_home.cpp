#include "base/provider_home.h"

#include <fcntl.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tavrix::provider {

namespace {

std::string PasswordHome() {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
  struct passwd pw, *found = nullptr;
  while (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == ERANGE &&
         buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  if (found && found->pw_dir && found->pw_dir[0] == '/') return found->pw_dir;
  return std::string();
}

}  // namespace

std::string ProviderHome() {
  const char* own = std::getenv("TAVRIX_PROVIDER_HOME");
  if (own && *own) return own;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg) return std::string(xdg) + "/tavrix-provider";
  const char* env_home = std::getenv("HOME");
  std::string home = env_home && *env_home ? env_home : PasswordHome();
  // Without any home the keys would land in a folder everyone shares; an
  // empty answer makes every file operation fail instead.
  if (home.empty()) return std::string();
  return home + "/.local/share/tavrix-provider";
}

bool EnsureDirectory(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string::size_type slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 &&
      !EnsureDirectory(path.substr(0, slash), mode))
    return false;
  if (mkdir(path.c_str(), mode) == 0 || errno == EEXIST)
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  return false;
}

int OpenRegularFile(int dirfd, const std::string& name, struct stat* st) {
  int fd = openat(dirfd, name.c_str(),
                  O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

bool ReadOpenFile(int fd, const struct stat& st, size_t max,
                  std::vector<uint8_t>* out) {
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > max)
    return false;
  out->assign(static_cast<size_t>(st.st_size), 0);
  size_t got = 0;
  while (got < out->size()) {
    ssize_t r = read(fd, out->data() + got, out->size() - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got == out->size();
}

bool ReadRegularFile(const std::string& path, size_t max,
                     std::vector<uint8_t>* out) {
  struct stat st;
  int fd = OpenRegularFile(AT_FDCWD, path, &st);
  if (fd < 0) return false;
  bool ok = ReadOpenFile(fd, st, max, out);
  close(fd);
  return ok;
}

int CreateFreshFile(const std::string& path, unsigned mode) {
  if (path.empty()) return -1;
  unlink(path.c_str());
  return open(path.c_str(),
              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY,
              mode);
}

void LogWarning(const std::string& text) {
  // No openlog: the identity and facility stay the host's.
  syslog(LOG_USER | LOG_WARNING, "tavrix-provider: %s", text.c_str());
}

}  // namespace tavrix::provider
