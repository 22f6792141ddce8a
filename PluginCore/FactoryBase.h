// What the browser layer needs of a plug-in library: a factory that makes
// one plug-in object per embedded element, and the process-wide hooks.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "PluginCore.h"

namespace FB {

class BrowserPlugin;
class PluginWindowX11;
namespace Npapi {
class NpapiBrowserHost;
using NpapiBrowserHostPtr = std::shared_ptr<NpapiBrowserHost>;
}  // namespace Npapi

enum LogLevel {
  LogLevel_Trace,
  LogLevel_Debug,
  LogLevel_Info,
  LogLevel_Warn,
  LogLevel_Error
};
enum LogMethod { LogMethod_Console, LogMethod_File };
using LogMethodList = std::vector<std::pair<LogMethod, std::string>>;

class FactoryBase : public std::enable_shared_from_this<FactoryBase> {
 public:
  FactoryBase() = default;
  virtual ~FactoryBase() = default;
  virtual PluginCorePtr createPlugin(const std::string& mimetype) = 0;
  virtual void globalPluginInitialize() {}
  virtual void globalPluginDeinitialize() {}
  virtual std::shared_ptr<BrowserPlugin> createNpapiPlugin(
      const Npapi::NpapiBrowserHostPtr& host, const std::string& mimetype);
  virtual void getLoggingMethods(LogMethodList& outMethods) {
    outMethods.clear();
  }
  virtual LogLevel getLogLevel() { return LogLevel_Info; }
  // No native windows are made here; the browser's window is accepted as
  // given.
  virtual PluginWindowX11* createPluginWindowX11(void* widget) {
    (void)widget;
    return nullptr;
  }
};

using FactoryBasePtr = std::shared_ptr<FactoryBase>;

}  // namespace FB

// The one factory of the library, made on first use; defined by the plug-in.
FB::FactoryBasePtr getFactoryInstance();
