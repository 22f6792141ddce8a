// The plug-in object of one embedded element, as the browser layer drives
// it: parameters, readiness, the window and the root script object.
#pragma once

#include <APITypes.h>
#include <variant.h>

#include <atomic>
#include <boost/logic/tribool.hpp>
#include <map>
#include <memory>
#include <string>

#include "PluginEvents.h"

namespace FB {

using VariantParamMap = std::map<std::string, variant>;

class PluginCore : public PluginEventSink,
                   public std::enable_shared_from_this<PluginCore> {
 public:
  PluginCore();
  ~PluginCore() override;
  PluginCore(const PluginCore&) = delete;
  PluginCore& operator=(const PluginCore&) = delete;

  virtual void SetHost(const BrowserHostPtr& host);
  virtual PluginWindow* GetWindow() const { return m_window; }
  virtual void setScriptingOnly(bool only) { m_scriptingOnly = only; }
  virtual bool isScriptingOnly() const { return m_scriptingOnly; }
  virtual void SetWindow(PluginWindow* win) { m_window = win; }
  virtual void ClearWindow() { m_window = nullptr; }
  // Initialises scripting for this core and schedules the page's "onload"
  // handler; true when that call was scheduled.
  virtual bool setReady();
  virtual void onPluginReady() {}
  virtual void shutdown() {}
  virtual JSAPIPtr createJSAPI() = 0;
  // The script object the page sees, created once on first request.
  virtual JSAPIPtr getRootJSAPI();
  virtual bool isWindowless() {
    if (boost::logic::indeterminate(m_windowLessParam)) return false;
    return bool(m_windowLessParam);
  }
  virtual void setFSPath(const std::string& path) { m_filesystemPath = path; }
  // Copies the element's parameters; those named "on..." that name a page
  // function become handlers of that event on the root script object.
  virtual void setParams(const VariantParamMap& params);
  virtual boost::optional<std::string> getParam(const std::string& key);
  virtual variant getParamVariant(const std::string& key);
  virtual bool handleUnsolicitedStream() { return false; }
  virtual BrowserHostPtr getHost() const { return m_host; }

  static int getActivePluginCount() { return s_activePlugins; }

 protected:
  BrowserHostPtr m_host;
  JSAPIPtr m_api;
  VariantParamMap m_params;
  boost::logic::tribool m_windowLessParam = boost::logic::indeterminate;
  PluginWindow* m_window = nullptr;
  bool m_scriptingOnly = false;
  std::string m_filesystemPath;

 private:
  static std::atomic<int> s_activePlugins;
};

using PluginCorePtr = std::shared_ptr<PluginCore>;

}  // namespace FB
