#include "NpapiPluginModule.h"

#include <FactoryBase.h>
#include <NpapiPluginCallbacks.h>

#include <cstring>
#include <mutex>

namespace FB {
namespace Npapi {

std::map<const void*, NpapiPluginModule*> NpapiPluginModule::s_modules;
int NpapiPluginModule::s_moduleCount = 0;

NpapiPluginModule::NpapiPluginModule()
    : m_mainThread(std::this_thread::get_id()) {}

NpapiPluginModule::~NpapiPluginModule() = default;

void NpapiPluginModule::Init() {
  static std::once_flag once;
  std::call_once(once, [] {});
}

NpapiPluginModule* NpapiPluginModule::GetModule(const void* key) {
  auto it = s_modules.find(key);
  if (it != s_modules.end()) return it->second;
  if (s_moduleCount == 0) getFactoryInstance()->globalPluginInitialize();
  auto* module = new NpapiPluginModule();
  s_modules[key] = module;
  ++s_moduleCount;
  return module;
}

void NpapiPluginModule::ReleaseModule(const void* key) {
  auto it = s_modules.find(key);
  if (it == s_modules.end()) return;
  delete it->second;
  s_modules.erase(it);
  if (--s_moduleCount == 0) getFactoryInstance()->globalPluginDeinitialize();
}

NpapiPluginModule* NpapiPluginModule::Default() {
  auto it = s_modules.find(nullptr);
  return it == s_modules.end() ? nullptr : it->second;
}

void NpapiPluginModule::getPluginFuncs(NPPluginFuncs* pFuncs) {
  // A browser states how much of the table it has room for; write no slot
  // beyond that.
  const size_t room = pFuncs->size ? pFuncs->size : sizeof(NPPluginFuncs);
  auto fits = [&](const void* field, size_t n) {
    return static_cast<size_t>(static_cast<const char*>(field) -
                               reinterpret_cast<const char*>(pFuncs)) +
               n <=
           room;
  };
#define TAVRIX_SET_SLOT(slot, fn) \
  if (fits(&pFuncs->slot, sizeof(pFuncs->slot))) pFuncs->slot = fn
  TAVRIX_SET_SLOT(newp, NPP_New);
  TAVRIX_SET_SLOT(destroy, NPP_Destroy);
  TAVRIX_SET_SLOT(setwindow, NPP_SetWindow);
  TAVRIX_SET_SLOT(newstream, NPP_NewStream);
  TAVRIX_SET_SLOT(destroystream, NPP_DestroyStream);
  TAVRIX_SET_SLOT(asfile, NPP_StreamAsFile);
  TAVRIX_SET_SLOT(writeready, NPP_WriteReady);
  TAVRIX_SET_SLOT(write, NPP_Write);
  TAVRIX_SET_SLOT(print, NPP_Print);
  TAVRIX_SET_SLOT(event, NPP_HandleEvent);
  TAVRIX_SET_SLOT(urlnotify, NPP_URLNotify);
  TAVRIX_SET_SLOT(getvalue, NPP_GetValue);
  TAVRIX_SET_SLOT(setvalue, NPP_SetValue);
#undef TAVRIX_SET_SLOT
}

void NpapiPluginModule::setNetscapeFuncs(const NPNetscapeFuncs* npnFuncs) {
  // An older browser's table is shorter: the slots it lacks stay empty.
  std::memset(&NPNFuncs, 0, sizeof(NPNFuncs));
  size_t n = npnFuncs->size ? npnFuncs->size : sizeof(NPNetscapeFuncs);
  if (n > sizeof(NPNetscapeFuncs)) n = sizeof(NPNetscapeFuncs);
  std::memcpy(&NPNFuncs, npnFuncs, n);
}

void NpapiPluginModule::Version(int* plugin_major, int* plugin_minor,
                                int* netscape_major, int* netscape_minor) {
  if (plugin_major) *plugin_major = NP_VERSION_MAJOR;
  if (plugin_minor) *plugin_minor = NP_VERSION_MINOR;
  if (netscape_major) *netscape_major = NPNFuncs.version >> 8;
  if (netscape_minor) *netscape_minor = NPNFuncs.version & 0xFF;
}

void* NpapiPluginModule::MemAlloc(uint32_t size) {
  return NPNFuncs.memalloc ? NPNFuncs.memalloc(size) : nullptr;
}
void NpapiPluginModule::MemFree(void* ptr) {
  if (ptr && NPNFuncs.memfree) NPNFuncs.memfree(ptr);
}
uint32_t NpapiPluginModule::MemFlush(uint32_t size) {
  return NPNFuncs.memflush ? NPNFuncs.memflush(size) : 0;
}
void NpapiPluginModule::ReloadPlugins(NPBool reloadPages) {
  if (NPNFuncs.reloadplugins) NPNFuncs.reloadplugins(reloadPages);
}
void NpapiPluginModule::ReleaseVariantValue(NPVariant* variant) {
  if (variant && NPNFuncs.releasevariantvalue)
    NPNFuncs.releasevariantvalue(variant);
}
NPIdentifier NpapiPluginModule::GetStringIdentifier(const NPUTF8* name) {
  return NPNFuncs.getstringidentifier && name
             ? NPNFuncs.getstringidentifier(name)
             : nullptr;
}
void NpapiPluginModule::GetStringIdentifiers(const NPUTF8** names,
                                             int32_t nameCount,
                                             NPIdentifier* identifiers) {
  if (NPNFuncs.getstringidentifiers)
    NPNFuncs.getstringidentifiers(names, nameCount, identifiers);
}
NPIdentifier NpapiPluginModule::GetIntIdentifier(int32_t intid) {
  return NPNFuncs.getintidentifier ? NPNFuncs.getintidentifier(intid) : nullptr;
}
bool NpapiPluginModule::IdentifierIsString(NPIdentifier identifier) {
  return NPNFuncs.identifierisstring && NPNFuncs.identifierisstring(identifier);
}
NPUTF8* NpapiPluginModule::UTF8FromIdentifier(NPIdentifier identifier) {
  return NPNFuncs.utf8fromidentifier ? NPNFuncs.utf8fromidentifier(identifier)
                                     : nullptr;
}
std::string NpapiPluginModule::StringFromIdentifier(NPIdentifier identifier) {
  NPUTF8* s = UTF8FromIdentifier(identifier);
  if (!s) return std::string();
  std::string out(s);
  MemFree(s);
  return out;
}
int32_t NpapiPluginModule::IntFromIdentifier(NPIdentifier identifier) {
  return NPNFuncs.intfromidentifier ? NPNFuncs.intfromidentifier(identifier)
                                    : 0;
}
NPObject* NpapiPluginModule::RetainObject(NPObject* npobj) {
  return npobj && NPNFuncs.retainobject ? NPNFuncs.retainobject(npobj) : npobj;
}
void NpapiPluginModule::ReleaseObject(NPObject* npobj) {
  if (npobj && NPNFuncs.releaseobject) NPNFuncs.releaseobject(npobj);
}

}  // namespace Npapi
}  // namespace FB
