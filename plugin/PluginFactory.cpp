#include "PluginFactory.h"

#include <PluginInfo.h>

#include <memory>
#include <mutex>

#include "Tavrix.h"
#include "TavrixCtrl.h"

FB::PluginCorePtr PluginFactory::createPlugin(const std::string&) {
  return std::make_shared<Tavrix>();
}

void PluginFactory::globalPluginInitialize() { Tavrix::StaticInitialize(); }

void PluginFactory::globalPluginDeinitialize() { Tavrix::StaticDeinitialize(); }

FB::FactoryBasePtr getFactoryInstance() {
  static std::once_flag once;
  static FB::FactoryBasePtr factory;
  std::call_once(once, [] { factory = std::make_shared<PluginFactory>(); });
  return factory;
}

namespace FB {
const char* pluginName() { return "Tavrix_x86_64"; }
const char* pluginMimeDescription() {
  return "application/x-tavrix::Data Signer;";
}
const char* pluginVersion() {
  // One version for the browser and for the page's GetVersion.
  static const std::string version = TavrixCtrl::GetVersion();
  return version.c_str();
}
}  // namespace FB
