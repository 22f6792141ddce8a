// The browser-side object of one embedded element, as the module's
// callbacks see it.
#pragma once

#include <string>

namespace FB {

class BrowserPlugin {
 public:
  explicit BrowserPlugin(const std::string& mimetype) : m_mimetype(mimetype) {}
  virtual ~BrowserPlugin() = default;
  virtual void shutdown() = 0;
  virtual void setFSPath(const std::string& path) { m_filesystemPath = path; }

 protected:
  std::string m_mimetype;
  std::string m_filesystemPath;
};

}  // namespace FB
