#include "base/provider_home.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace tavrix_provider {

std::string ProviderHome() {
  const char* own = std::getenv("TAVRIX_PROVIDER_HOME");
  if (own && *own) return own;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && *xdg) return std::string(xdg) + "/tavrix-provider";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") +
         "/.local/share/tavrix-provider";
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

}  // namespace tavrix_provider
