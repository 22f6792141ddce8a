#include "files_helpers.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

std::string SupportDir() {
  std::string here = __FILE__;
  return here.substr(0, here.rfind("/files/")) + "/support";
}

HttpServer::HttpServer(const std::string& dir) {
  int inPipe[2], outPipe[2];
  if (pipe(inPipe) != 0 || pipe(outPipe) != 0)
    throw std::runtime_error("pipe failed");
  std::string script = SupportDir() + "/httpd.py";
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    close(inPipe[0]);
    close(inPipe[1]);
    close(outPipe[0]);
    close(outPipe[1]);
    execlp("python3", "python3", script.c_str(), "--dir", dir.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  close(inPipe[0]);
  close(outPipe[1]);
  stdinFd_ = inPipe[1];
  std::string line;
  char c;
  while (read(outPipe[0], &c, 1) == 1 && c != '\n') line += c;
  close(outPipe[0]);
  port_ = atoi(line.c_str());
  if (port_ <= 0) throw std::runtime_error("test HTTP server did not start");
}

HttpServer::~HttpServer() {
  if (stdinFd_ >= 0) close(stdinFd_);
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status;
    waitpid(pid_, &status, 0);
  }
}

std::string HttpServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace files_test
