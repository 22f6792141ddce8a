// The library's side of the browser's function table: one module per
// process, created by NP_Initialize and released by NP_Shutdown. Every call
// into the browser goes through these wrappers, which answer a failure
// instead of jumping through a slot an older browser left empty.
#pragma once

#include <npapi/npfunctions.h>

#include <cstdint>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace FB {
namespace Npapi {

class NpapiPluginModule {
 public:
  NpapiPluginModule();
  ~NpapiPluginModule();
  NpapiPluginModule(const NpapiPluginModule&) = delete;
  NpapiPluginModule& operator=(const NpapiPluginModule&) = delete;

  static void Init();
  static NpapiPluginModule* GetModule(const void* key);
  static void ReleaseModule(const void* key);
  // The module of the running library (the one made for the null key), or
  // null outside NP_Initialize .. NP_Shutdown.
  static NpapiPluginModule* Default();
  static int liveModules() { return s_moduleCount; }

  void getPluginFuncs(NPPluginFuncs* pFuncs);
  void setNetscapeFuncs(const NPNetscapeFuncs* npnFuncs);
  bool isMainThread() const {
    return std::this_thread::get_id() == m_mainThread;
  }

  void Version(int* plugin_major, int* plugin_minor, int* netscape_major,
               int* netscape_minor);
  void* MemAlloc(uint32_t size);
  void MemFree(void* ptr);
  uint32_t MemFlush(uint32_t size);
  void ReloadPlugins(NPBool reloadPages);
  void ReleaseVariantValue(NPVariant* variant);
  NPIdentifier GetStringIdentifier(const NPUTF8* name);
  void GetStringIdentifiers(const NPUTF8** names, int32_t nameCount,
                            NPIdentifier* identifiers);
  NPIdentifier GetIntIdentifier(int32_t intid);
  bool IdentifierIsString(NPIdentifier identifier);
  NPUTF8* UTF8FromIdentifier(NPIdentifier identifier);
  // The name as a string; the browser's copy is freed here.
  std::string StringFromIdentifier(NPIdentifier identifier);
  int32_t IntFromIdentifier(NPIdentifier identifier);
  NPObject* RetainObject(NPObject* npobj);
  void ReleaseObject(NPObject* npobj);

  const NPNetscapeFuncs& funcs() const { return NPNFuncs; }

 private:
  NPNetscapeFuncs NPNFuncs{};
  std::thread::id m_mainThread;
  static std::map<const void*, NpapiPluginModule*> s_modules;
  static int s_moduleCount;
};

}  // namespace Npapi
}  // namespace FB
