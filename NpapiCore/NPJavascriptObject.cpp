#include "NPJavascriptObject.h"

#include <JSAPIAuto.h>
#include <ScriptErrors.h>

#include <algorithm>
#include <functional>
#include <new>
#include <set>
#include <utility>

#include "NpapiBrowserHost.h"

namespace FB {
namespace Npapi {

namespace {

std::string g_lastException;

// A built-in member of every scriptable object, offered to the page as a
// callable object: its default call runs fn.
class BuiltinMethod : public JSAPIAuto {
 public:
  using Fn = std::function<variant(const VariantList&)>;
  explicit BuiltinMethod(Fn fn)
      : JSAPIAuto("<built-in method>"), m_fn(std::move(fn)) {}
  variant Invoke(const std::string& name, const VariantList& args) override {
    if (name.empty()) return m_fn(args);
    return JSAPIAuto::Invoke(name, args);
  }

 private:
  Fn m_fn;
};

// addEventListener(type, handler[, capture]) and its reverse.
BuiltinMethod::Fn EventListenerFn(std::weak_ptr<JSAPI> weak, bool add) {
  return [weak, add](const VariantList& args) -> variant {
    if (args.size() < 2 || args.size() > 3) throw invalid_arguments();
    JSAPIPtr api = weak.lock();
    if (!api) throw object_invalidated();
    std::string type;
    JSObjectPtr handler;
    try {
      type = args[0].convert_cast<std::string>();
      handler = args[1].convert_cast<JSObjectPtr>();
    } catch (const bad_variant_cast&) {
      throw invalid_arguments();
    }
    if (!handler) throw invalid_arguments();
    if (add)
      api->registerEventMethod("on" + type, handler);
    else
      api->unregisterEventMethod("on" + type, handler);
    return variant();
  };
}

// DOM members of the embedding element. The browser asks the plug-in's
// object first, and dynamic attributes would claim every name, so a page
// would read `el.parentNode` as undefined and could no longer move or remove
// its own element. Unless the object registered such a name itself, it
// stays the element's.
bool IsElementMember(const std::string& n) {
  static const std::set<std::string> names = {
      "parentNode",      "parentElement",
      "childNodes",      "children",
      "firstChild",      "lastChild",
      "previousSibling", "nextSibling",
      "ownerDocument",   "nodeName",
      "nodeValue",       "tagName",
      "textContent",     "innerHTML",
      "outerHTML",       "className",
      "classList",       "dataset",
      "appendChild",     "removeChild",
      "insertBefore",    "replaceChild",
      "cloneNode",       "contains",
      "remove",          "getBoundingClientRect",
      "focus",           "blur",
      "dispatchEvent",   "hasAttribute",
      "removeAttribute", "isConnected",
      "scrollIntoView"};
  return names.count(n) != 0;
}

}  // namespace

NPClass NPJavascriptObject::NPJavascriptObjectClass = {
    NP_CLASS_STRUCT_VERSION_CTOR,        NPJavascriptObject::_Allocate,
    NPJavascriptObject::_Deallocate,     NPJavascriptObject::_Invalidate,
    NPJavascriptObject::_HasMethod,      NPJavascriptObject::_Invoke,
    NPJavascriptObject::_InvokeDefault,  NPJavascriptObject::_HasProperty,
    NPJavascriptObject::_GetProperty,    NPJavascriptObject::_SetProperty,
    NPJavascriptObject::_RemoveProperty, NPJavascriptObject::_Enumeration,
    NPJavascriptObject::_Construct,
};

const std::string& NPJavascriptObject::lastException() {
  return g_lastException;
}

NPJavascriptObject::NPJavascriptObject(NPP npp) : m_npp(npp) {
  _class = &NPJavascriptObjectClass;
  referenceCount = 0;
}

NPJavascriptObject::~NPJavascriptObject() = default;

NPJavascriptObject* NPJavascriptObject::NewObject(
    const NpapiBrowserHostPtr& host, const JSAPIPtr& api, bool autoRelease) {
  NPObject* o = host->CreateObject(&NPJavascriptObjectClass);
  if (!o) return nullptr;
  auto* obj = static_cast<NPJavascriptObject*>(o);
  obj->m_api = api;
  obj->m_browser = host;
  obj->m_autoRelease = autoRelease;
  if (autoRelease && api) host->retainJSAPIPtr(api);
  return obj;
}

// Made on first use: most objects (a method object handed to the page for
// one call) are never asked for them.
const JSAPIPtr& NPJavascriptObject::builtin(
    JSAPIPtr& slot, std::function<variant(const VariantList&)> fn) {
  if (!slot) slot = std::make_shared<BuiltinMethod>(std::move(fn));
  return slot;
}

bool NPJavascriptObject::isValid() const {
  if (!m_valid) return false;
  NpapiBrowserHostPtr host = m_browser.lock();
  return host && !host->isShutDown();
}

void NPJavascriptObject::raise(const std::string& message) {
  g_lastException = message;
  if (NpapiBrowserHostPtr host = m_browser.lock())
    host->SetException(this, message);
}

std::string NPJavascriptObject::name(NPIdentifier id) const {
  NpapiBrowserHostPtr host = m_browser.lock();
  if (!host) throw std::bad_weak_ptr();
  return host->StringFromIdentifier(id);
}

template <class F>
bool NPJavascriptObject::guarded(F&& f) {
  if (!isValid()) return false;
  try {
    return f();
  } catch (const std::bad_weak_ptr&) {
    return false;  // the wrapped object is gone
  } catch (const script_error& e) {
    raise(e.what());
  } catch (const std::exception& e) {
    // Nothing may unwind into the browser; the page still learns why.
    raise(e.what());
  } catch (...) {
    raise("Unknown error");
  }
  return false;
}

bool NPJavascriptObject::HasMethod(NPIdentifier id) {
  return guarded([&] {
    NpapiBrowserHostPtr host = NpapiBrowserHostPtr(m_browser);
    if (!host->IdentifierIsString(id)) return false;
    std::string n = name(id);
    if (n == "toString") return true;
    JSAPIPtr api = getAPI();
    return api->HasMethod(n) && !api->HasMethodObject(n);
  });
}

bool NPJavascriptObject::callWith(const std::string& method,
                                  const NPVariant* args, uint32_t argCount,
                                  NPVariant* result) {
  NpapiBrowserHostPtr host = NpapiBrowserHostPtr(m_browser);
  if (argCount && !args) throw invalid_arguments();
  VariantList list;
  list.reserve(argCount);
  for (uint32_t i = 0; i < argCount; ++i)
    list.push_back(host->getVariant(&args[i]));
  variant ret = getAPI()->Invoke(method, list);
  host->getNPVariant(result, ret);
  return true;
}

bool NPJavascriptObject::Invoke(NPIdentifier id, const NPVariant* args,
                                uint32_t argCount, NPVariant* result) {
  if (!result) return false;
  VOID_TO_NPVARIANT(*result);
  return guarded([&] {
    NpapiBrowserHostPtr host = NpapiBrowserHostPtr(m_browser);
    if (!host->IdentifierIsString(id))
      throw invalid_member(std::to_string(host->IntFromIdentifier(id)));
    return callWith(name(id), args, argCount, result);
  });
}

bool NPJavascriptObject::InvokeDefault(const NPVariant* args, uint32_t argCount,
                                       NPVariant* result) {
  if (!result) return false;
  VOID_TO_NPVARIANT(*result);
  return guarded([&] { return callWith("", args, argCount, result); });
}

bool NPJavascriptObject::HasProperty(NPIdentifier id) {
  return guarded([&] {
    NpapiBrowserHostPtr host = NpapiBrowserHostPtr(m_browser);
    JSAPIPtr api = getAPI();
    if (!host->IdentifierIsString(id))
      return api->HasProperty(static_cast<int>(host->IntFromIdentifier(id)));
    std::string n = name(id);
    if (n == "addEventListener" || n == "removeEventListener" ||
        n == "getLastException")
      return true;
    if (n != "toString" && api->HasMethodObject(n)) return true;
    if (n == "toString" || api->HasMethod(n)) return false;
    if (IsElementMember(n)) {
      StringVec own = api->getMemberNames();
      if (std::find(own.begin(), own.end(), n) == own.end()) return false;
    }
    return api->HasProperty(n);
  });
}

bool NPJavascriptObject::GetProperty(NPIdentifier id, NPVariant* result) {
  if (!result) return false;
  VOID_TO_NPVARIANT(*result);
  return guarded([&] {
    NpapiBrowserHostPtr host = NpapiBrowserHostPtr(m_browser);
    JSAPIPtr api = getAPI();
    variant value;
    if (!host->IdentifierIsString(id)) {
      value = api->GetProperty(static_cast<int>(host->IntFromIdentifier(id)));
    } else {
      std::string n = name(id);
      if (n == "addEventListener")
        value = builtin(m_addEventFunc, EventListenerFn(m_api, true));
      else if (n == "removeEventListener")
        value = builtin(m_removeEventFunc, EventListenerFn(m_api, false));
      else if (n == "getLastException")
        value = builtin(m_getLastExceptionFunc, [](const VariantList&) {
          return variant(g_lastException);
        });
      else if (api->HasMethodObject(n))
        value = api->GetMethodObject(n);
      else
        value = api->GetProperty(n);
    }
    host->getNPVariant(result, value);
    return true;
  });
}

bool NPJavascriptObject::SetProperty(NPIdentifier id, const NPVariant* value) {
  return guarded([&] {
    if (!value) throw invalid_arguments();
    NpapiBrowserHostPtr host = NpapiBrowserHostPtr(m_browser);
    JSAPIPtr api = getAPI();
    variant v = host->getVariant(value);
    if (!host->IdentifierIsString(id)) {
      api->SetProperty(static_cast<int>(host->IntFromIdentifier(id)), v);
      return true;
    }
    std::string n = name(id);
    if (api->HasMethodObject(n))
      throw script_error("This property cannot be changed");
    api->SetProperty(n, v);
    return true;
  });
}

bool NPJavascriptObject::RemoveProperty(NPIdentifier id) {
  return guarded([&] {
    NpapiBrowserHostPtr host = NpapiBrowserHostPtr(m_browser);
    JSAPIPtr api = getAPI();
    if (!host->IdentifierIsString(id))
      api->RemoveProperty(static_cast<int>(host->IntFromIdentifier(id)));
    else
      api->RemoveProperty(name(id));
    return true;
  });
}

bool NPJavascriptObject::Enumeration(NPIdentifier** value, uint32_t* count) {
  if (!value || !count) return false;
  *value = nullptr;
  *count = 0;
  return guarded([&] {
    NpapiBrowserHostPtr host = NpapiBrowserHostPtr(m_browser);
    StringVec names = getAPI()->getMemberNames();
    if (names.empty()) return true;
    auto* ids = static_cast<NPIdentifier*>(host->MemAlloc(
        static_cast<uint32_t>(sizeof(NPIdentifier) * names.size())));
    if (!ids) throw std::bad_alloc();
    for (size_t i = 0; i < names.size(); ++i)
      ids[i] = host->GetStringIdentifier(names[i]);
    *value = ids;
    *count = static_cast<uint32_t>(names.size());
    return true;
  });
}

bool NPJavascriptObject::Construct(const NPVariant* args, uint32_t argCount,
                                   NPVariant* result) {
  if (!result) return false;
  VOID_TO_NPVARIANT(*result);
  return guarded([&] {
    NpapiBrowserHostPtr host = NpapiBrowserHostPtr(m_browser);
    if (argCount && !args) throw invalid_arguments();
    VariantList list;
    for (uint32_t i = 0; i < argCount; ++i)
      list.push_back(host->getVariant(&args[i]));
    host->getNPVariant(result, getAPI()->Construct(list));
    return true;
  });
}

// ---- the class table

NPObject* NPJavascriptObject::_Allocate(NPP npp, NPClass*) {
  return new (std::nothrow) NPJavascriptObject(npp);
}

void NPJavascriptObject::_Deallocate(NPObject* npobj) {
  auto* self = static_cast<NPJavascriptObject*>(npobj);
  if (NpapiBrowserHostPtr host = self->m_browser.lock()) {
    host->forgetJSAPIWrapper(self);
    if (self->m_autoRelease) {
      if (JSAPIPtr api = self->m_api.lock()) host->releaseJSAPIPtr(api);
    }
  }
  delete self;
}

void NPJavascriptObject::_Invalidate(NPObject* npobj) {
  static_cast<NPJavascriptObject*>(npobj)->Invalidate();
}

bool NPJavascriptObject::_HasMethod(NPObject* npobj, NPIdentifier name) {
  return static_cast<NPJavascriptObject*>(npobj)->HasMethod(name);
}

bool NPJavascriptObject::_Invoke(NPObject* npobj, NPIdentifier name,
                                 const NPVariant* args, uint32_t argCount,
                                 NPVariant* result) {
  return static_cast<NPJavascriptObject*>(npobj)->Invoke(name, args, argCount,
                                                         result);
}

bool NPJavascriptObject::_InvokeDefault(NPObject* npobj, const NPVariant* args,
                                        uint32_t argCount, NPVariant* result) {
  return static_cast<NPJavascriptObject*>(npobj)->InvokeDefault(args, argCount,
                                                                result);
}

bool NPJavascriptObject::_HasProperty(NPObject* npobj, NPIdentifier name) {
  return static_cast<NPJavascriptObject*>(npobj)->HasProperty(name);
}

bool NPJavascriptObject::_GetProperty(NPObject* npobj, NPIdentifier name,
                                      NPVariant* result) {
  return static_cast<NPJavascriptObject*>(npobj)->GetProperty(name, result);
}

bool NPJavascriptObject::_SetProperty(NPObject* npobj, NPIdentifier name,
                                      const NPVariant* value) {
  return static_cast<NPJavascriptObject*>(npobj)->SetProperty(name, value);
}

bool NPJavascriptObject::_RemoveProperty(NPObject* npobj, NPIdentifier name) {
  return static_cast<NPJavascriptObject*>(npobj)->RemoveProperty(name);
}

bool NPJavascriptObject::_Enumeration(NPObject* npobj, NPIdentifier** value,
                                      uint32_t* count) {
  return static_cast<NPJavascriptObject*>(npobj)->Enumeration(value, count);
}

bool NPJavascriptObject::_Construct(NPObject* npobj, const NPVariant* args,
                                    uint32_t argCount, NPVariant* result) {
  return static_cast<NPJavascriptObject*>(npobj)->Construct(args, argCount,
                                                            result);
}

}  // namespace Npapi
}  // namespace FB
