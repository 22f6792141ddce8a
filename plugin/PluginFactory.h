// The one factory of the library: one Tavrix per embedded element.
#pragma once

#include <FactoryBase.h>

class PluginFactory : public FB::FactoryBase {
 public:
  ~PluginFactory() override = default;
  FB::PluginCorePtr createPlugin(const std::string& mimetype) override;
  void globalPluginInitialize() override;
  void globalPluginDeinitialize() override;
};
