// The five entry points a Linux browser looks up in the library. They are
// the only names the library exports (see the plug-in's version script).
#include <NpapiPluginCallbacks.h>
#include <NpapiPluginModule.h>
#include <PluginInfo.h>
#include <npapi/npfunctions.h>

using FB::Npapi::NpapiPluginModule;

extern "C" {

NP_EXPORT(NPError)
NP_Initialize(NPNetscapeFuncs* bFuncs, NPPluginFuncs* pFuncs) {
  // A browser that hands no tables cannot be served; answering beats
  // writing through a null pointer.
  if (!bFuncs || !pFuncs) return NPERR_INVALID_FUNCTABLE_ERROR;
  try {
    NpapiPluginModule::Init();
    NpapiPluginModule* module = NpapiPluginModule::GetModule(nullptr);
    module->getPluginFuncs(pFuncs);
    module->setNetscapeFuncs(bFuncs);
  } catch (...) {
    return NPERR_GENERIC_ERROR;
  }
  return NPERR_NO_ERROR;
}

NP_EXPORT(NPError) NP_Shutdown(void) {
  try {
    NpapiPluginModule::ReleaseModule(nullptr);
  } catch (...) {
    return NPERR_GENERIC_ERROR;
  }
  return NPERR_NO_ERROR;
}

NP_EXPORT(const char*) NP_GetMIMEDescription(void) {
  return FB::pluginMimeDescription();
}

NP_EXPORT(NPError)
NP_GetValue(void* future, NPPVariable aVariable, void* aValue) {
  return FB::Npapi::NPP_GetValue(static_cast<NPP>(future), aVariable, aValue);
}

NP_EXPORT(const char*) NP_GetPluginVersion(void) { return FB::pluginVersion(); }

}  // extern "C"
