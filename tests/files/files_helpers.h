// Helpers of the file, download and hashing tests, beside the shared ones in
// tests/support.
#pragma once

#include <string>

#include "test_support.h"

namespace files_test {

std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& content);
bool Exists(const std::string& path);
bool IsSymlink(const std::string& path);
unsigned FileMode(const std::string& path);  // permission bits

// The test HTTP server of tests/support, on a free port of 127.0.0.1.
using tavrix_test::HttpServer;

// Changes the working directory for a scope: "file:///" addresses lose their
// leading slash and so are resolved against it.
class CwdGuard {
 public:
  explicit CwdGuard(const std::string& dir);
  ~CwdGuard();

 private:
  std::string old_;
};

using tavrix_test::SupportDir;  // absolute path of tests/support

}  // namespace files_test
