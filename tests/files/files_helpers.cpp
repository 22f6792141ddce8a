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

ScratchDir::ScratchDir() {
  char name[] = "/tmp/tavrix-files-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

ScratchDir::~ScratchDir() {
  std::string out;
  Run({"rm", "-rf", path_}, &out);
}

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

int Run(const std::vector<std::string>& argv, std::string* out,
        const std::string* input) {
  int outPipe[2], inPipe[2];
  if (pipe(outPipe) != 0) return -1;
  if (pipe(inPipe) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dup2(inPipe[0], 0);
    dup2(outPipe[1], 1);
    close(inPipe[0]);
    close(inPipe[1]);
    close(outPipe[0]);
    close(outPipe[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(inPipe[0]);
  close(outPipe[1]);
  // Small inputs only: written before the output is read.
  if (input != nullptr) {
    size_t done = 0;
    while (done < input->size()) {
      ssize_t n = write(inPipe[1], input->data() + done, input->size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  close(inPipe[1]);
  std::string collected;
  char buf[65536];
  for (;;) {
    ssize_t n = read(outPipe[0], buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    collected.append(buf, static_cast<size_t>(n));
  }
  close(outPipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (out != nullptr) *out = collected;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
