// Small helpers shared by the file, download and hashing tests.
#pragma once

#include <string>
#include <vector>

namespace files_test {

// A private folder under /tmp, removed with its content at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& content);
bool Exists(const std::string& path);
bool IsSymlink(const std::string& path);
unsigned FileMode(const std::string& path);  // permission bits

// Runs argv with stdin from /dev/null (or `input` when given); returns the
// exit status (-1 when it could not run) and fills `out` with stdout.
int Run(const std::vector<std::string>& argv, std::string* out,
        const std::string* input = nullptr);

// The test HTTP server of tests/support, on a free port of 127.0.0.1.
class HttpServer {
 public:
  explicit HttpServer(const std::string& dir);
  ~HttpServer();
  int port() const { return port_; }
  std::string url(const std::string& path) const;

 private:
  int pid_ = -1;
  int stdinFd_ = -1;
  int port_ = 0;
};

// Changes the working directory for a scope: "file:///" addresses lose their
// leading slash and so are resolved against it.
class CwdGuard {
 public:
  explicit CwdGuard(const std::string& dir);
  ~CwdGuard();

 private:
  std::string old_;
};

std::string SupportDir();  // absolute path of tests/support

}  // namespace files_test
