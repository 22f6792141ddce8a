// The NPObject class through which the page's script engine reaches a
// script object of the plug-in. Script errors never leave as native
// exceptions: they become the page's exception and the last exception text.
#pragma once

#include <JSAPI.h>
#include <npapi/npruntime.h>

#include <functional>
#include <memory>
#include <string>

namespace FB {
namespace Npapi {

class NpapiBrowserHost;
using NpapiBrowserHostPtr = std::shared_ptr<NpapiBrowserHost>;

class NPJavascriptObject : public NPObject {
 public:
  // A new object (one reference, the caller's) wrapping api; with
  // autoRelease the host keeps api alive as long as the object lives.
  static NPJavascriptObject* NewObject(const NpapiBrowserHostPtr& host,
                                       const JSAPIPtr& api, bool autoRelease);
  static bool isNPJavascriptObject(const NPObject* o) {
    return o && o->_class == &NPJavascriptObjectClass;
  }
  // The wrapped object; throws std::bad_weak_ptr when it is gone.
  JSAPIPtr getAPI() const { return JSAPIPtr(m_api); }
  bool isValid() const;
  void setInvalid() { m_valid = false; }

  // The text of the last script error raised through any object.
  static const std::string& lastException();

  static NPClass NPJavascriptObjectClass;

 private:
  explicit NPJavascriptObject(NPP npp);
  ~NPJavascriptObject();

  template <class F>
  bool guarded(F&& f);
  void raise(const std::string& message);
  std::string name(NPIdentifier id) const;
  const JSAPIPtr& builtin(JSAPIPtr& slot,
                          std::function<variant(const VariantList&)> fn);

  void Invalidate() { m_valid = false; }
  bool HasMethod(NPIdentifier name);
  bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
              NPVariant* result);
  bool InvokeDefault(const NPVariant* args, uint32_t argCount,
                     NPVariant* result);
  bool HasProperty(NPIdentifier name);
  bool GetProperty(NPIdentifier name, NPVariant* result);
  bool SetProperty(NPIdentifier name, const NPVariant* value);
  bool RemoveProperty(NPIdentifier name);
  bool Enumeration(NPIdentifier** value, uint32_t* count);
  bool Construct(const NPVariant* args, uint32_t argCount, NPVariant* result);
  bool callWith(const std::string& method, const NPVariant* args,
                uint32_t argCount, NPVariant* result);

  static NPObject* _Allocate(NPP npp, NPClass* aClass);
  static void _Deallocate(NPObject* npobj);
  static void _Invalidate(NPObject* npobj);
  static bool _HasMethod(NPObject* npobj, NPIdentifier name);
  static bool _Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                      uint32_t argCount, NPVariant* result);
  static bool _InvokeDefault(NPObject* npobj, const NPVariant* args,
                             uint32_t argCount, NPVariant* result);
  static bool _HasProperty(NPObject* npobj, NPIdentifier name);
  static bool _GetProperty(NPObject* npobj, NPIdentifier name,
                           NPVariant* result);
  static bool _SetProperty(NPObject* npobj, NPIdentifier name,
                           const NPVariant* value);
  static bool _RemoveProperty(NPObject* npobj, NPIdentifier name);
  static bool _Enumeration(NPObject* npobj, NPIdentifier** value,
                           uint32_t* count);
  static bool _Construct(NPObject* npobj, const NPVariant* args,
                         uint32_t argCount, NPVariant* result);

  NPP m_npp;
  std::weak_ptr<JSAPI> m_api;
  bool m_autoRelease = false;
  std::weak_ptr<NpapiBrowserHost> m_browser;
  bool m_valid = true;
  JSAPIPtr m_addEventFunc;
  JSAPIPtr m_removeEventFunc;
  JSAPIPtr m_getLastExceptionFunc;
};

}  // namespace Npapi
}  // namespace FB
