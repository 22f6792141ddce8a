#include "NpapiPluginCallbacks.h"

#include <FactoryBase.h>
#include <PluginInfo.h>

#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "NpapiBrowserHost.h"
#include "NpapiPlugin.h"
#include "NpapiPluginModule.h"

namespace FB {
namespace Npapi {

namespace {

// What an instance's private-data pointer holds.
struct PluginInstanceData {
  NpapiBrowserHostPtr host;
  NpapiPluginPtr plugin;
};

// The instances this library created and has not destroyed. The browser
// hands back NPP pointers; one it never gave to NPP_New, or one already
// destroyed, is answered as an invalid instance rather than trusted.
std::set<NPP>& Registered() {
  static std::set<NPP> instances;
  return instances;
}

PluginInstanceData* DataOf(NPP instance) {
  if (!instance || !Registered().count(instance)) return nullptr;
  return static_cast<PluginInstanceData*>(instance->pdata);
}

NpapiPlugin* PluginOf(NPP instance) {
  PluginInstanceData* data = DataOf(instance);
  return data ? data->plugin.get() : nullptr;
}

}  // namespace

NPError NPP_New(NPMIMEType pluginType, NPP instance, uint16_t, int16_t argc,
                char* argn[], char* argv[], NPSavedData*) {
  if (!instance) return NPERR_INVALID_INSTANCE_ERROR;
  if (Registered().count(instance)) return NPERR_GENERIC_ERROR;
  NpapiPluginModule* module = NpapiPluginModule::Default();
  if (!module) return NPERR_GENERIC_ERROR;
  std::unique_ptr<PluginInstanceData> data;
  NpapiBrowserHostPtr host;
  // A failed creation leaves nothing behind: no record, no live host, no
  // script object holding page objects.
  auto undo = [&](NPError code) {
    try {
      if (host) host->shutdown();
      if (data) data->plugin->shutdown();
    } catch (...) {
    }
    Registered().erase(instance);
    instance->pdata = nullptr;
    return code;
  };
  try {
    host = std::make_shared<NpapiBrowserHost>(module, instance);
    host->setBrowserFuncs(&module->funcs());
    const std::string mime = pluginType ? pluginType : "";
    std::shared_ptr<BrowserPlugin> made =
        getFactoryInstance()->createNpapiPlugin(host, mime);
    auto plugin = std::dynamic_pointer_cast<NpapiPlugin>(made);
    if (!plugin) {
      host->shutdown();
      return NPERR_OUT_OF_MEMORY_ERROR;
    }
    data.reset(new PluginInstanceData{host, plugin});
    instance->pdata = data.get();
    Registered().insert(instance);
    plugin->init(pluginType, argc, argn, argv);
    data.release();
    return NPERR_NO_ERROR;
  } catch (const PluginCreateError& e) {
    std::cout << e.what() << std::endl;
    return undo(NPERR_INCOMPATIBLE_VERSION_ERROR);
  } catch (const std::bad_alloc& e) {
    std::cout << e.what() << std::endl;
    return undo(NPERR_OUT_OF_MEMORY_ERROR);
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    return undo(NPERR_GENERIC_ERROR);
  } catch (...) {
    return undo(NPERR_GENERIC_ERROR);
  }
}

NPError NPP_Destroy(NPP instance, NPSavedData**) {
  if (!instance || !Registered().count(instance))
    return NPERR_INVALID_INSTANCE_ERROR;
  auto* data = static_cast<PluginInstanceData*>(instance->pdata);
  if (!data) {
    Registered().erase(instance);
    return NPERR_GENERIC_ERROR;
  }
  std::weak_ptr<NpapiBrowserHost> weakHost = data->host;
  try {
    data->host->shutdown();
    data->plugin->shutdown();
  } catch (...) {
    // Destruction goes on: the browser frees the instance regardless.
  }
  instance->pdata = nullptr;
  Registered().erase(instance);
  delete data;
  // A thread still waiting on the host may hold it a moment longer; it sees
  // the shut-down flag and lets go, so that is not treated as a fault.
  (void)weakHost;
  return NPERR_NO_ERROR;
}

NPError NPP_SetWindow(NPP instance, NPWindow* window) {
  NpapiPlugin* p = PluginOf(instance);
  return p ? p->SetWindow(window) : NPERR_INVALID_INSTANCE_ERROR;
}

NPError NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream,
                      NPBool seekable, uint16_t* stype) {
  NpapiPlugin* p = PluginOf(instance);
  return p ? p->NewStream(type, stream, seekable, stype)
           : NPERR_INVALID_INSTANCE_ERROR;
}

NPError NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason) {
  NpapiPlugin* p = PluginOf(instance);
  return p ? p->DestroyStream(stream, reason) : NPERR_INVALID_INSTANCE_ERROR;
}

int32_t NPP_WriteReady(NPP instance, NPStream* stream) {
  NpapiPlugin* p = PluginOf(instance);
  return p ? p->WriteReady(stream) : 0;
}

int32_t NPP_Write(NPP instance, NPStream* stream, int32_t offset, int32_t len,
                  void* buffer) {
  NpapiPlugin* p = PluginOf(instance);
  return p ? p->Write(stream, offset, len, buffer) : -1;
}

void NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fname) {
  if (NpapiPlugin* p = PluginOf(instance)) p->StreamAsFile(stream, fname);
}

void NPP_Print(NPP instance, NPPrint* platformPrint) {
  if (NpapiPlugin* p = PluginOf(instance)) p->Print(platformPrint);
}

int16_t NPP_HandleEvent(NPP instance, void* event) {
  NpapiPlugin* p = PluginOf(instance);
  return p ? p->HandleEvent(event) : 0;
}

void NPP_URLNotify(NPP instance, const char* url, NPReason reason,
                   void* notifyData) {
  if (NpapiPlugin* p = PluginOf(instance))
    p->URLNotify(url, reason, notifyData);
}

NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value) {
  if (NpapiPlugin* p = PluginOf(instance)) {
    try {
      return p->GetValue(variable, value);
    } catch (...) {
      return NPERR_GENERIC_ERROR;
    }
  }
  if (!value) return NPERR_INVALID_PARAM;
  // Without an instance: the library's name and the description of the
  // empty MIME type, kept for the life of the process.
  static std::once_flag once;
  static std::string name, description;
  std::call_once(once, [] {
    name = pluginName();
    description = DescriptionFor("");
  });
  switch (variable) {
    case NPPVpluginNameString:
      *static_cast<const char**>(value) = name.c_str();
      return NPERR_NO_ERROR;
    case NPPVpluginDescriptionString:
      *static_cast<const char**>(value) = description.c_str();
      return NPERR_NO_ERROR;
    default:
      return NPERR_GENERIC_ERROR;
  }
}

NPError NPP_SetValue(NPP instance, NPNVariable variable, void* value) {
  NpapiPlugin* p = PluginOf(instance);
  return p ? p->SetValue(variable, value) : NPERR_INVALID_INSTANCE_ERROR;
}

}  // namespace Npapi
}  // namespace FB
