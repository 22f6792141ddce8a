#include "files_helpers.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace files_test {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteAll(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsSymlink(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

unsigned FileMode(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 0xFFFF;
  return st.st_mode & 07777;
}

CwdGuard::CwdGuard(const std::string& dir) {
  char buf[4096];
  if (getcwd(buf, sizeof(buf)) == nullptr) throw std::runtime_error("getcwd");
  old_ = buf;
  if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir " + dir);
}

CwdGuard::~CwdGuard() {
  if (chdir(old_.c_str()) != 0) abort();
}

}  // namespace files_test
