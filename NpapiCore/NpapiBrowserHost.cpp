#include "NpapiBrowserHost.h"

#include <ScriptErrors.h>
#include <utf8.h>

#include <boost/format.hpp>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "NPJavascriptObject.h"
#include "NPObjectAPI.h"

namespace FB {
namespace Npapi {

int NpapiBrowserHost::s_instances = 0;

namespace {

const char kDelayedCallScript[] =
    "window.__FB_CALL_%1% = function(delay, f, args, fname) {   if "
    "(arguments.length == 3)       return setTimeout(function() { "
    "f.apply(null, args); }, delay);   else       return "
    "setTimeout(function() { f[fname].apply(f, args); }, delay);};";

// Wide text is UTF-32 here; what is not a code point becomes U+FFFD rather
// than failing the whole value.
std::string WideToUtf8(const std::wstring& w) {
  std::string out;
  for (wchar_t c : w) {
    uint32_t cp = static_cast<uint32_t>(c);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    utf8::unchecked::append(cp, std::back_inserter(out));
  }
  return out;
}

struct HtmlLogCall {
  std::weak_ptr<NpapiBrowserHost> host;
  std::string text;
};

void HtmlLogCallback(void* data) {
  std::unique_ptr<HtmlLogCall> call(static_cast<HtmlLogCall*>(data));
  NpapiBrowserHostPtr host = call->host.lock();
  if (!host || host->isShutDown()) return;
  try {
    JSObjectPtr window = host->getDOMWindow();
    variant console = window->GetProperty("console");
    if (console.is_of_type<JSObjectPtr>() && console.cast<JSObjectPtr>())
      console.cast<JSObjectPtr>()->Invoke("log", VariantList{call->text});
  } catch (const std::exception&) {
    // "Logging to browser console failed": the host layer's log is silent.
  }
}

}  // namespace

NpapiBrowserHost::NpapiBrowserHost(NpapiPluginModule* module, NPP npp)
    : m_module(module), m_npp(npp) {
  ++s_instances;
  if (module) m_funcs = module->funcs();
}

NpapiBrowserHost::~NpapiBrowserHost() { --s_instances; }

void NpapiBrowserHost::setBrowserFuncs(const NPNetscapeFuncs* funcs) {
  if (funcs) m_funcs = *funcs;
}

bool NpapiBrowserHost::ScheduleAsyncCall(void (*func)(void*),
                                         void* userData) const {
  if (isShutDown() || !m_funcs.pluginthreadasynccall) return false;
  m_funcs.pluginthreadasynccall(m_npp, func, userData);
  return true;
}

NPObject* NpapiBrowserHost::CreateObject(NPClass* aClass) {
  assertMainThread();
  return m_funcs.createobject ? m_funcs.createobject(m_npp, aClass) : nullptr;
}

NPError NpapiBrowserHost::GetValue(NPNVariable variable, void* value) {
  assertMainThread();
  return m_funcs.getvalue ? m_funcs.getvalue(m_npp, variable, value)
                          : NPERR_GENERIC_ERROR;
}

NPError NpapiBrowserHost::SetValue(NPPVariable variable, void* value) {
  assertMainThread();
  return m_funcs.setvalue ? m_funcs.setvalue(m_npp, variable, value)
                          : NPERR_GENERIC_ERROR;
}

bool NpapiBrowserHost::Invoke(NPObject* obj, NPIdentifier name,
                              const NPVariant* args, uint32_t count,
                              NPVariant* result) {
  assertMainThread();
  return m_funcs.invoke &&
         m_funcs.invoke(m_npp, obj, name, args, count, result);
}

bool NpapiBrowserHost::InvokeDefault(NPObject* obj, const NPVariant* args,
                                     uint32_t count, NPVariant* result) {
  assertMainThread();
  return m_funcs.invokeDefault &&
         m_funcs.invokeDefault(m_npp, obj, args, count, result);
}

bool NpapiBrowserHost::Construct(NPObject* obj, const NPVariant* args,
                                 uint32_t count, NPVariant* result) {
  assertMainThread();
  return m_funcs.construct &&
         m_funcs.construct(m_npp, obj, args, count, result);
}

bool NpapiBrowserHost::Evaluate(NPObject* obj, NPString* script,
                                NPVariant* result) {
  assertMainThread();
  return m_funcs.evaluate && m_funcs.evaluate(m_npp, obj, script, result);
}

bool NpapiBrowserHost::GetProperty(NPObject* obj, NPIdentifier name,
                                   NPVariant* result) {
  assertMainThread();
  return m_funcs.getproperty && m_funcs.getproperty(m_npp, obj, name, result);
}

bool NpapiBrowserHost::SetProperty(NPObject* obj, NPIdentifier name,
                                   const NPVariant* value) {
  assertMainThread();
  return m_funcs.setproperty && m_funcs.setproperty(m_npp, obj, name, value);
}

bool NpapiBrowserHost::RemoveProperty(NPObject* obj, NPIdentifier name) {
  assertMainThread();
  return m_funcs.removeproperty && m_funcs.removeproperty(m_npp, obj, name);
}

bool NpapiBrowserHost::HasProperty(NPObject* obj, NPIdentifier name) {
  assertMainThread();
  return m_funcs.hasproperty && m_funcs.hasproperty(m_npp, obj, name);
}

bool NpapiBrowserHost::HasMethod(NPObject* obj, NPIdentifier name) {
  assertMainThread();
  return m_funcs.hasmethod && m_funcs.hasmethod(m_npp, obj, name);
}

bool NpapiBrowserHost::Enumerate(NPObject* obj, NPIdentifier** ids,
                                 uint32_t* count) {
  assertMainThread();
  return m_funcs.enumerate && m_funcs.enumerate(m_npp, obj, ids, count);
}

void NpapiBrowserHost::SetException(NPObject* obj, const std::string& message) {
  assertMainThread();
  if (m_funcs.setexception) m_funcs.setexception(obj, message.c_str());
}

// ---- the page

NPObjectAPIPtr NpapiBrowserHost::wrapWindowObject(NPNVariable which) {
  if (isShutDown()) throw script_error("Shutting down");
  NPObject* o = nullptr;
  if (GetValue(which, &o) != NPERR_NO_ERROR || !o) return NPObjectAPIPtr();
  auto self = std::static_pointer_cast<NpapiBrowserHost>(shared_from_this());
  auto api = std::make_shared<NPObjectAPI>(o, self);
  ReleaseObject(o);  // the wrapper holds its own reference
  return api;
}

JSObjectPtr NpapiBrowserHost::getDOMWindow() {
  if (!isMainThread())
    return CallOnMainThread([this] { return getDOMWindow(); });
  if (!m_htmlWin) m_htmlWin = wrapWindowObject(NPNVWindowNPObject);
  if (!m_htmlWin) throw script_error("Cannot find HTML window");
  return m_htmlWin;
}

JSObjectPtr NpapiBrowserHost::getDOMDocument() {
  JSObjectPtr window = getDOMWindow();
  variant doc = window->GetProperty("document");
  if (!doc.is_of_type<JSObjectPtr>() || !doc.cast<JSObjectPtr>())
    throw script_error("Cannot find HTML document");
  return doc.cast<JSObjectPtr>();
}

JSObjectPtr NpapiBrowserHost::getDOMElement() {
  if (!isMainThread())
    return CallOnMainThread([this] { return getDOMElement(); });
  if (!m_htmlElement)
    m_htmlElement = wrapWindowObject(NPNVPluginElementNPObject);
  if (!m_htmlElement) throw script_error("Cannot find HTML element");
  return m_htmlElement;
}

void NpapiBrowserHost::evaluateJavaScript(const std::string& script) {
  if (!isMainThread()) {
    CallOnMainThread([this, &script] { evaluateJavaScript(script); });
    return;
  }
  JSObjectPtr window = getDOMWindow();
  NPObject* win = std::static_pointer_cast<NPObjectAPI>(window)->getNPObject();
  if (script.size() > std::numeric_limits<uint32_t>::max())
    throw script_error("Error executing JavaScript code");
  NPString text = {script.data(), static_cast<uint32_t>(script.size())};
  NPVariant result;
  VOID_TO_NPVARIANT(result);
  if (!Evaluate(win, &text, &result))
    throw script_error("Error executing JavaScript code");
  ReleaseVariantValue(&result);
}

void NpapiBrowserHost::initJS(const void* core) {
  uintptr_t x = reinterpret_cast<uintptr_t>(core);
  std::string id = std::to_string(x + (x >> 3));
  m_jsHelperName = "__FB_CALL_" + id;
  evaluateJavaScript((boost::format(kDelayedCallScript) % id).str());
}

int NpapiBrowserHost::delayedInvoke(int delayMs, const JSObjectPtr& func,
                                    const VariantList& args,
                                    const std::string& fname) {
  if (m_jsHelperName.empty()) return -1;
  JSObjectPtr window = getDOMWindow();
  variant helper = window->GetProperty(m_jsHelperName);
  if (!helper.is_of_type<JSObjectPtr>() || !helper.cast<JSObjectPtr>())
    return -1;
  VariantList callArgs{variant(delayMs), variant(func), variant(args)};
  if (!fname.empty()) callArgs.push_back(variant(fname));
  variant id = helper.cast<JSObjectPtr>()->Invoke("", callArgs);
  try {
    return id.convert_cast<int>();
  } catch (const std::exception&) {
    return 0;  // scheduled, though the page gave no usable timer id
  }
}

void NpapiBrowserHost::htmlLog(const std::string& text) {
  if (!isHtmlLogEnabled()) return;
  auto* call = new HtmlLogCall{
      std::static_pointer_cast<NpapiBrowserHost>(shared_from_this()), text};
  if (!ScheduleAsyncCall(HtmlLogCallback, call)) delete call;
}

void NpapiBrowserHost::shutdown() {
  BrowserHost::shutdown();
  // Objects still held by the page answer nothing from now on.
  for (auto& kv : m_wrappers)
    static_cast<NPJavascriptObject*>(kv.second.obj)->setInvalid();
  m_wrappers.clear();
  m_htmlWin.reset();
  m_htmlElement.reset();
}

// ---- values

variant NpapiBrowserHost::getVariant(const NPVariant* npVar) {
  if (!npVar) return variant();
  switch (npVar->type) {
    case NPVariantType_Void:
      return variant();
    case NPVariantType_Null:
      return variant(FBNull());
    case NPVariantType_Bool:
      return variant(static_cast<bool>(npVar->value.boolValue));
    case NPVariantType_Int32:
      return variant(static_cast<int32_t>(npVar->value.intValue));
    case NPVariantType_Double:
      return variant(npVar->value.doubleValue);
    case NPVariantType_String: {
      const NPString& s = npVar->value.stringValue;
      if (!s.UTF8Characters) return variant(std::string());
      return variant(std::string(s.UTF8Characters, s.UTF8Length));
    }
    case NPVariantType_Object: {
      NPObject* o = npVar->value.objectValue;
      if (!o) return variant(FBNull());
      if (NPJavascriptObject::isNPJavascriptObject(o)) {
        // One of ours coming back: the script object itself, while it lives.
        JSAPIPtr api = static_cast<NPJavascriptObject*>(o)->getAPI();
        return variant(api);
      }
      auto self =
          std::static_pointer_cast<NpapiBrowserHost>(shared_from_this());
      return variant(JSObjectPtr(std::make_shared<NPObjectAPI>(o, self)));
    }
  }
  return variant();
}

void NpapiBrowserHost::getNPVariant(NPVariant* dst, const variant& var) {
  assertMainThread();
  VOID_TO_NPVARIANT(*dst);
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, FBVoid>) {
          VOID_TO_NPVARIANT(*dst);
        } else if constexpr (std::is_same_v<T, FBNull>) {
          NULL_TO_NPVARIANT(*dst);
        } else if constexpr (std::is_same_v<T, bool>) {
          BOOLEAN_TO_NPVARIANT(v, *dst);
        } else if constexpr (std::is_integral_v<T>) {
          // Beyond 32 bits a number travels as a double rather than being
          // cut to its low half.
          if constexpr (std::is_signed_v<T>) {
            if (v >= INT32_MIN && v <= INT32_MAX)
              INT32_TO_NPVARIANT(static_cast<int32_t>(v), *dst);
            else
              DOUBLE_TO_NPVARIANT(static_cast<double>(v), *dst);
          } else {
            if (v <= static_cast<uint64_t>(INT32_MAX))
              INT32_TO_NPVARIANT(static_cast<int32_t>(v), *dst);
            else
              DOUBLE_TO_NPVARIANT(static_cast<double>(v), *dst);
          }
        } else if constexpr (std::is_floating_point_v<T>) {
          DOUBLE_TO_NPVARIANT(static_cast<double>(v), *dst);
        } else if constexpr (std::is_same_v<T, std::string> ||
                             std::is_same_v<T, std::wstring>) {
          std::string s;
          if constexpr (std::is_same_v<T, std::wstring>)
            s = WideToUtf8(v);
          else
            s = v;
          if (s.size() >= std::numeric_limits<uint32_t>::max())
            throw script_error("String too long");
          auto* p =
              static_cast<char*>(MemAlloc(static_cast<uint32_t>(s.size() + 1)));
          if (!p) throw std::bad_alloc();
          std::memcpy(p, s.data(), s.size());
          p[s.size()] = 0;
          STRINGN_TO_NPVARIANT(p, s.size(), *dst);
        } else if constexpr (std::is_same_v<T, VariantList>) {
          NPObject* win = std::static_pointer_cast<NPObjectAPI>(getDOMWindow())
                              ->getNPObject();
          NPVariant arr;
          VOID_TO_NPVARIANT(arr);
          if (!Invoke(win, GetStringIdentifier("Array"), nullptr, 0, &arr) ||
              arr.type != NPVariantType_Object) {
            ReleaseVariantValue(&arr);
            throw script_error("Could not create a script array");
          }
          NPIdentifier push = GetStringIdentifier("push");
          try {
            for (const variant& e : v) {
              NPVariant item, r;
              getNPVariant(&item, e);
              VOID_TO_NPVARIANT(r);
              bool ok = Invoke(arr.value.objectValue, push, &item, 1, &r);
              ReleaseVariantValue(&item);
              ReleaseVariantValue(&r);
              if (!ok) throw script_error("Could not fill a script array");
            }
          } catch (...) {
            ReleaseVariantValue(&arr);
            throw;
          }
          *dst = arr;
        } else if constexpr (std::is_same_v<T, VariantMap>) {
          NPObject* win = std::static_pointer_cast<NPObjectAPI>(getDOMWindow())
                              ->getNPObject();
          NPVariant obj;
          VOID_TO_NPVARIANT(obj);
          if (!Invoke(win, GetStringIdentifier("Object"), nullptr, 0, &obj) ||
              obj.type != NPVariantType_Object) {
            ReleaseVariantValue(&obj);
            throw script_error("Could not create a script object");
          }
          try {
            for (const auto& kv : v) {
              NPVariant item;
              getNPVariant(&item, kv.second);
              bool ok = SetProperty(obj.value.objectValue,
                                    GetStringIdentifier(kv.first), &item);
              ReleaseVariantValue(&item);
              if (!ok) throw script_error("Could not fill a script object");
            }
          } catch (...) {
            ReleaseVariantValue(&obj);
            throw;
          }
          *dst = obj;
        } else if constexpr (std::is_same_v<T, JSAPIPtr>) {
          if (!v) {
            NULL_TO_NPVARIANT(*dst);
            return;
          }
          NPObject* o = getJSAPIWrapper(v, true);
          if (!o) throw std::bad_alloc();
          OBJECT_TO_NPVARIANT(o, *dst);
        } else if constexpr (std::is_same_v<T, JSObjectPtr>) {
          if (!v) {
            NULL_TO_NPVARIANT(*dst);
            return;
          }
          if (auto page = std::dynamic_pointer_cast<NPObjectAPI>(v)) {
            OBJECT_TO_NPVARIANT(RetainObject(page->getNPObject()), *dst);
            return;
          }
          NPObject* o = getJSAPIWrapper(v, true);
          if (!o) throw std::bad_alloc();
          OBJECT_TO_NPVARIANT(o, *dst);
        }
      },
      var.storage());
}

NPObject* NpapiBrowserHost::getJSAPIWrapper(const JSAPIPtr& api,
                                            bool autoRelease) {
  assertMainThread();
  auto it = m_wrappers.find(api.get());
  if (it != m_wrappers.end()) {
    if (it->second.api.lock() == api) return RetainObject(it->second.obj);
    m_wrappers.erase(it);
  }
  auto self = std::static_pointer_cast<NpapiBrowserHost>(shared_from_this());
  NPObject* obj = NPJavascriptObject::NewObject(self, api, autoRelease);
  if (obj && !isShutDown()) m_wrappers[api.get()] = Wrapper{api, obj};
  return obj;
}

void NpapiBrowserHost::forgetJSAPIWrapper(NPObject* obj) {
  for (auto it = m_wrappers.begin(); it != m_wrappers.end(); ++it) {
    if (it->second.obj == obj) {
      m_wrappers.erase(it);
      return;
    }
  }
}

}  // namespace Npapi
}  // namespace FB
