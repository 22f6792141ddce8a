// The browser services of one instance over NPAPI: the page's window,
// script evaluation, delayed page calls, the thread-async call, and the
// mapping of script values to and from NPVariant.
#pragma once

#include <BrowserHost.h>
#include <npapi/npruntime.h>
#include <variant.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "NpapiPluginModule.h"

namespace FB {
namespace Npapi {

class NPObjectAPI;
using NPObjectAPIPtr = std::shared_ptr<NPObjectAPI>;

class NpapiBrowserHost : public FB::BrowserHost {
 public:
  NpapiBrowserHost(NpapiPluginModule* module, NPP npp);
  ~NpapiBrowserHost() override;

  static int getInstanceCount() { return s_instances; }

  void setBrowserFuncs(const NPNetscapeFuncs* funcs);

  // ---- FB::BrowserHost
  bool ScheduleAsyncCall(void (*func)(void*), void* userData) const override;
  void evaluateJavaScript(const std::string& script) override;
  JSObjectPtr getDOMWindow() override;
  JSObjectPtr getDOMDocument() override;
  JSObjectPtr getDOMElement() override;
  void initJS(const void* core) override;
  int delayedInvoke(int delayMs, const JSObjectPtr& func,
                    const VariantList& args,
                    const std::string& fname = std::string()) override;
  void htmlLog(const std::string& text) override;
  void shutdown() override;

  // ---- values
  variant getVariant(const NPVariant* npVar);
  // Fills *dst with a value the browser owns (string memory from the
  // browser's allocator, objects retained once for it).
  void getNPVariant(NPVariant* dst, const variant& var);
  // A scriptable object for a script object of the plug-in: the same
  // NPObject for the same script object while it lives, retained for the
  // caller.
  NPObject* getJSAPIWrapper(const JSAPIPtr& api, bool autoRelease);
  void forgetJSAPIWrapper(NPObject* obj);

  // ---- the browser's functions, for this instance
  NPP getContextID() const { return m_npp; }
  NpapiPluginModule* module() const { return m_module; }
  NPObject* CreateObject(NPClass* aClass);
  NPObject* RetainObject(NPObject* npobj) {
    return m_module->RetainObject(npobj);
  }
  void ReleaseObject(NPObject* npobj) { m_module->ReleaseObject(npobj); }
  void* MemAlloc(uint32_t size) { return m_module->MemAlloc(size); }
  void MemFree(void* p) { m_module->MemFree(p); }
  void ReleaseVariantValue(NPVariant* v) { m_module->ReleaseVariantValue(v); }
  NPIdentifier GetStringIdentifier(const std::string& name) {
    return m_module->GetStringIdentifier(name.c_str());
  }
  NPIdentifier GetIntIdentifier(int32_t i) {
    return m_module->GetIntIdentifier(i);
  }
  bool IdentifierIsString(NPIdentifier id) {
    return m_module->IdentifierIsString(id);
  }
  std::string StringFromIdentifier(NPIdentifier id) {
    return m_module->StringFromIdentifier(id);
  }
  int32_t IntFromIdentifier(NPIdentifier id) {
    return m_module->IntFromIdentifier(id);
  }
  NPError GetValue(NPNVariable variable, void* value);
  NPError SetValue(NPPVariable variable, void* value);
  bool Invoke(NPObject* obj, NPIdentifier name, const NPVariant* args,
              uint32_t count, NPVariant* result);
  bool InvokeDefault(NPObject* obj, const NPVariant* args, uint32_t count,
                     NPVariant* result);
  bool Construct(NPObject* obj, const NPVariant* args, uint32_t count,
                 NPVariant* result);
  bool Evaluate(NPObject* obj, NPString* script, NPVariant* result);
  bool GetProperty(NPObject* obj, NPIdentifier name, NPVariant* result);
  bool SetProperty(NPObject* obj, NPIdentifier name, const NPVariant* value);
  bool RemoveProperty(NPObject* obj, NPIdentifier name);
  bool HasProperty(NPObject* obj, NPIdentifier name);
  bool HasMethod(NPObject* obj, NPIdentifier name);
  bool Enumerate(NPObject* obj, NPIdentifier** ids, uint32_t* count);
  void SetException(NPObject* obj, const std::string& message);

 private:
  NPObjectAPIPtr wrapWindowObject(NPNVariable which);

  NpapiPluginModule* m_module;
  NPP m_npp;
  NPNetscapeFuncs m_funcs{};
  NPObjectAPIPtr m_htmlWin;
  NPObjectAPIPtr m_htmlElement;
  std::string m_jsHelperName;
  // Wrappers handed to the browser, by the script object they wrap.
  struct Wrapper {
    std::weak_ptr<JSAPI> api;
    NPObject* obj;
  };
  std::map<const JSAPI*, Wrapper> m_wrappers;
  static int s_instances;
};

using NpapiBrowserHostPtr = std::shared_ptr<NpapiBrowserHost>;

}  // namespace Npapi
}  // namespace FB
