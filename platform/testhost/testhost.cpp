#include "testhost.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <sstream>
#include <unordered_map>

namespace testhost {
namespace {

Browser* g_browser = nullptr;

// Blocks handed out by NPN_MemAlloc carry their size and a mark in front, so
// that a free of foreign memory is seen instead of corrupting the heap.
constexpr uint64_t kBlockMark = 0x7461767269786d65ULL;
struct BlockHeader {
  uint64_t mark;
  uint64_t size;
};

struct Ident {
  bool isString;
  std::string s;
  int32_t i;
};

enum class Kind { Plain, Function, Array };

struct PageObject : NPObject {
  Kind kind = Kind::Plain;
  std::map<std::string, Value> props;
  std::vector<Value> elems;
  PageFunction fn;
};

NPObject* PageAllocate(NPP, NPClass*) { return new PageObject; }
void PageDeallocate(NPObject* o) { delete static_cast<PageObject*>(o); }

NPClass kPageClass = {NP_CLASS_STRUCT_VERSION,
                      PageAllocate,
                      PageDeallocate,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr,
                      nullptr};

PageObject* AsPage(NPObject* o) {
  return o && o->_class == &kPageClass ? static_cast<PageObject*>(o) : nullptr;
}

const char kDelayedCallPrefix[] = "window.__FB_CALL_";
const char kDelayedCallTemplate[] =
    "window.__FB_CALL_%1% = function(delay, f, args, fname) {   if "
    "(arguments.length == 3)       return setTimeout(function() { "
    "f.apply(null, args); }, delay);   else       return "
    "setTimeout(function() { f[fname].apply(f, args); }, delay);};";

}  // namespace

struct Browser::Impl {
  // Objects.
  std::unordered_map<NPObject*, NPP>
      live;  // object -> instance it was made for
  // Identifiers live as long as the browser, as in real browsers.
  std::map<std::string, std::unique_ptr<Ident>> stringIds;
  std::map<int32_t, std::unique_ptr<Ident>> intIds;
  std::set<const void*> idents;
  // Memory.
  mutable std::mutex memMutex;
  std::set<void*> blocks;
  int64_t bytes = 0;
  // Exceptions raised by the plug-in during the current operation.
  bool exceptionSet = false;
  std::string exception;
  // Async calls.
  std::mutex qMutex;
  std::condition_variable qCond;
  struct Call {
    NPP npp;
    void (*func)(void*);
    void* data;
  };
  std::deque<Call> queue;
  NPP lastServed = nullptr;
  size_t asyncRun = 0, asyncDropped = 0;
  // Instances.
  std::map<NPP, Instance*> instances;
  // Violations.
  mutable std::mutex vMutex;
  std::vector<std::string> violations;

  void* alloc(uint32_t size) {
    auto* h =
        static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
    if (!h) return nullptr;
    h->mark = kBlockMark;
    h->size = size;
    std::lock_guard<std::mutex> l(memMutex);
    blocks.insert(h + 1);
    bytes += size;
    return h + 1;
  }
  bool free(void* p) {
    if (!p) return true;
    {
      std::lock_guard<std::mutex> l(memMutex);
      auto it = blocks.find(p);
      if (it == blocks.end()) return false;
      blocks.erase(it);
      auto* h = static_cast<BlockHeader*>(p) - 1;
      bytes -= static_cast<int64_t>(h->size);
      h->mark = 0;
    }
    std::free(static_cast<BlockHeader*>(p) - 1);
    return true;
  }
  // A copy of a host value for the plug-in to own (string memory from the
  // browser's allocator, object retained).
  NPVariant toPlugin(const Value& v);
};

namespace {

Browser& B() { return *g_browser; }

void CheckMain(const char* fn) {
  if (g_browser && !g_browser->isMainThread())
    g_browser->violation(std::string(fn) + " called off the main thread");
}

Ident* AsIdent(NPIdentifier id) {
  if (!g_browser || !B().impl().idents.count(id)) return nullptr;
  return static_cast<Ident*>(id);
}

NPObject* Retain(NPObject* o);
void Release(NPObject* o);

}  // namespace

// ---------------------------------------------------------------- Value

Value::Value(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  std::memcpy(p, s.data(), s.size());
  p[s.size()] = 0;
  STRINGN_TO_NPVARIANT(p, s.size(), v_);
}

Value Value::Null() {
  Value v;
  NULL_TO_NPVARIANT(v.v_);
  return v;
}

Value Value::Object(NPObject* obj) {
  Value v;
  if (!obj) return Null();
  Retain(obj);
  OBJECT_TO_NPVARIANT(obj, v.v_);
  return v;
}

Value Value::Copy(const NPVariant& in) {
  switch (in.type) {
    case NPVariantType_String:
      return Value(std::string(in.value.stringValue.UTF8Characters
                                   ? in.value.stringValue.UTF8Characters
                                   : "",
                               in.value.stringValue.UTF8Length));
    case NPVariantType_Object:
      return Object(in.value.objectValue);
    default: {
      Value v;
      v.v_ = in;
      return v;
    }
  }
}

Value Value::Adopt(NPVariant& in) {
  Value v;
  if (in.type == NPVariantType_String) {
    v = Value(std::string(in.value.stringValue.UTF8Characters
                              ? in.value.stringValue.UTF8Characters
                              : "",
                          in.value.stringValue.UTF8Length));
    void* p = const_cast<NPUTF8*>(in.value.stringValue.UTF8Characters);
    if (p && !B().impl().free(p))
      B().violation("result string not allocated with NPN_MemAlloc");
  } else if (in.type == NPVariantType_Object) {
    if (!B().isLiveObject(in.value.objectValue)) {
      B().violation("result object is not a live object");
    } else {
      v.v_ = in;
    }
  } else if (in.type > NPVariantType_Object) {
    B().violation("result of unknown variant type");
  } else {
    v.v_ = in;
  }
  VOID_TO_NPVARIANT(in);
  return v;
}

Value::Value(const Value& o) : Value(Copy(o.v_)) {}
Value::Value(Value&& o) noexcept : v_(o.v_) { VOID_TO_NPVARIANT(o.v_); }
Value& Value::operator=(Value o) noexcept {
  std::swap(v_, o.v_);
  return *this;
}
Value::~Value() {
  if (v_.type == NPVariantType_String)
    std::free(const_cast<NPUTF8*>(v_.value.stringValue.UTF8Characters));
  else if (v_.type == NPVariantType_Object)
    Release(v_.value.objectValue);
}

std::string Value::str() const {
  if (v_.type != NPVariantType_String) return "";
  return std::string(v_.value.stringValue.UTF8Characters,
                     v_.value.stringValue.UTF8Length);
}

double Value::number() const {
  if (v_.type == NPVariantType_Int32) return v_.value.intValue;
  if (v_.type == NPVariantType_Double) return v_.value.doubleValue;
  return NAN;
}

std::string Value::debug() const {
  std::ostringstream os;
  switch (v_.type) {
    case NPVariantType_Void:
      return "undefined";
    case NPVariantType_Null:
      return "null";
    case NPVariantType_Bool:
      return v_.value.boolValue ? "true" : "false";
    case NPVariantType_Int32:
      os << v_.value.intValue;
      return os.str();
    case NPVariantType_Double:
      os << v_.value.doubleValue;
      return os.str();
    case NPVariantType_String:
      return "\"" + str() + "\"";
    case NPVariantType_Object:
      os << "[object " << v_.value.objectValue << "]";
      return os.str();
  }
  return "?";
}

NPVariant Browser::Impl::toPlugin(const Value& v) {
  NPVariant out = v.np();
  if (out.type == NPVariantType_String) {
    uint32_t n = out.value.stringValue.UTF8Length;
    char* p = static_cast<char*>(alloc(n + 1));
    std::memcpy(p, out.value.stringValue.UTF8Characters, n);
    p[n] = 0;
    out.value.stringValue.UTF8Characters = p;
  } else if (out.type == NPVariantType_Object) {
    Retain(out.value.objectValue);
  }
  return out;
}

// ---------------------------------------------------------------- NPN_

namespace {

NPObject* Retain(NPObject* o) {
  if (!o) return o;
  if (!B().isLiveObject(o)) {
    B().violation("retain of an object that is not alive");
    return o;
  }
  ++o->referenceCount;
  return o;
}

void Release(NPObject* o) {
  if (!o || !g_browser) return;
  auto& live = B().impl().live;
  if (!live.count(o)) {
    B().violation("release of an object that is not alive");
    return;
  }
  if (o->referenceCount == 0) {
    B().violation("release of an object with no references");
    return;
  }
  if (--o->referenceCount == 0) {
    live.erase(o);
    if (o->_class && o->_class->deallocate)
      o->_class->deallocate(o);
    else
      std::free(o);
  }
}

NPObject* CreateObject(NPP npp, NPClass* cls) {
  CheckMain("NPN_CreateObject");
  if (!cls) {
    B().violation("NPN_CreateObject without a class");
    return nullptr;
  }
  NPObject* o = cls->allocate
                    ? cls->allocate(npp, cls)
                    : static_cast<NPObject*>(std::malloc(sizeof(NPObject)));
  if (!o) return nullptr;
  o->_class = cls;
  o->referenceCount = 1;
  B().impl().live[o] = npp;
  return o;
}

void* MemAlloc(uint32_t size) { return B().impl().alloc(size); }
void MemFree(void* p) {
  if (!B().impl().free(p)) B().violation("NPN_MemFree of foreign memory");
}
uint32_t MemFlush(uint32_t) { return 0; }
void ReloadPlugins(NPBool) {}

NPIdentifier GetStringIdentifier(const NPUTF8* name) {
  CheckMain("NPN_GetStringIdentifier");
  if (!name) {
    B().violation("NPN_GetStringIdentifier(NULL)");
    return nullptr;
  }
  auto& impl = B().impl();
  auto& slot = impl.stringIds[name];
  if (!slot) {
    slot.reset(new Ident{true, name, 0});
    impl.idents.insert(slot.get());
  }
  return slot.get();
}

void GetStringIdentifiers(const NPUTF8** names, int32_t n, NPIdentifier* ids) {
  for (int32_t i = 0; i < n; ++i) ids[i] = GetStringIdentifier(names[i]);
}

NPIdentifier GetIntIdentifier(int32_t v) {
  CheckMain("NPN_GetIntIdentifier");
  auto& impl = B().impl();
  auto& slot = impl.intIds[v];
  if (!slot) {
    slot.reset(new Ident{false, "", v});
    impl.idents.insert(slot.get());
  }
  return slot.get();
}

bool IdentifierIsString(NPIdentifier id) {
  Ident* i = AsIdent(id);
  if (!i) B().violation("unknown identifier");
  return i && i->isString;
}

NPUTF8* UTF8FromIdentifier(NPIdentifier id) {
  CheckMain("NPN_UTF8FromIdentifier");
  Ident* i = AsIdent(id);
  if (!i) {
    B().violation("NPN_UTF8FromIdentifier of an unknown identifier");
    return nullptr;
  }
  if (!i->isString) return nullptr;
  char* p = static_cast<char*>(B().impl().alloc(i->s.size() + 1));
  std::memcpy(p, i->s.c_str(), i->s.size() + 1);
  return p;
}

int32_t IntFromIdentifier(NPIdentifier id) {
  Ident* i = AsIdent(id);
  if (!i) {
    B().violation("NPN_IntFromIdentifier of an unknown identifier");
    return INT32_MIN;
  }
  return i->isString ? INT32_MIN : i->i;
}

std::string IdName(NPIdentifier id) {
  Ident* i = AsIdent(id);
  if (!i) return "";
  return i->isString ? i->s : std::to_string(i->i);
}

Args ToArgs(const NPVariant* args, uint32_t n) {
  Args out;
  for (uint32_t i = 0; i < n; ++i) out.push_back(Value::Copy(args[i]));
  return out;
}

void ReportPageError(const std::string& what) {
  B().console.push_back("Uncaught " + what);
}

// A page function reached from the plug-in.
bool CallPage(PageObject* fnobj, NPObject* self, const Args& args,
              NPVariant* result) {
  std::string exc;
  PageFunction fn = fnobj->fn;  // the call may replace the property
  Value v = fn(self, args, &exc);
  if (!exc.empty()) {
    ReportPageError(exc);
    return false;
  }
  *result = B().impl().toPlugin(v);
  return true;
}

bool PageInvoke(PageObject* o, const std::string& name, const Args& args,
                NPVariant* result) {
  if (o->kind == Kind::Array && name == "push") {
    for (auto& a : args) o->elems.push_back(a);
    INT32_TO_NPVARIANT(static_cast<int32_t>(o->elems.size()), *result);
    return true;
  }
  auto it = o->props.find(name);
  if (it == o->props.end()) return false;
  PageObject* f = AsPage(it->second.obj());
  if (!f || f->kind != Kind::Function) return false;
  Value keep = it->second;
  return CallPage(f, o, args, result);
}

bool ValidObject(NPObject* o, const char* fn) {
  if (!o) {
    B().violation(std::string(fn) + " on a null object");
    return false;
  }
  if (!B().isLiveObject(o)) {
    B().violation(std::string(fn) + " on an object that is not alive");
    return false;
  }
  return true;
}

bool Invoke(NPP, NPObject* o, NPIdentifier id, const NPVariant* args,
            uint32_t n, NPVariant* result) {
  CheckMain("NPN_Invoke");
  VOID_TO_NPVARIANT(*result);
  if (!ValidObject(o, "NPN_Invoke")) return false;
  if (PageObject* p = AsPage(o))
    return PageInvoke(p, IdName(id), ToArgs(args, n), result);
  return o->_class->invoke && o->_class->invoke(o, id, args, n, result);
}

bool InvokeDefault(NPP, NPObject* o, const NPVariant* args, uint32_t n,
                   NPVariant* result) {
  CheckMain("NPN_InvokeDefault");
  VOID_TO_NPVARIANT(*result);
  if (!ValidObject(o, "NPN_InvokeDefault")) return false;
  if (PageObject* p = AsPage(o)) {
    if (p->kind != Kind::Function) return false;
    return CallPage(p, nullptr, ToArgs(args, n), result);
  }
  return o->_class->invokeDefault &&
         o->_class->invokeDefault(o, args, n, result);
}

bool Construct(NPP, NPObject* o, const NPVariant* args, uint32_t n,
               NPVariant* result) {
  CheckMain("NPN_Construct");
  VOID_TO_NPVARIANT(*result);
  if (!ValidObject(o, "NPN_Construct")) return false;
  if (PageObject* p = AsPage(o)) {
    if (p->kind != Kind::Function) return false;
    return CallPage(p, nullptr, ToArgs(args, n), result);
  }
  return NP_CLASS_STRUCT_VERSION_HAS_CTOR(o->_class) && o->_class->construct &&
         o->_class->construct(o, args, n, result);
}

bool Evaluate(NPP npp, NPObject* o, NPString* script, NPVariant* result) {
  CheckMain("NPN_Evaluate");
  VOID_TO_NPVARIANT(*result);
  if (!ValidObject(o, "NPN_Evaluate") || !script) return false;
  std::string text(script->UTF8Characters ? script->UTF8Characters : "",
                   script->UTF8Length);
  B().evaluated.push_back(text);
  PageObject* win = AsPage(B().window());
  if (!win || o != B().window()) return false;
  // The delayed-call installer the plug-in evaluates once per instance.
  const size_t plen = sizeof(kDelayedCallPrefix) - 1;
  if (text.compare(0, plen, kDelayedCallPrefix) == 0) {
    size_t end = plen;
    while (end < text.size() && isdigit(static_cast<unsigned char>(text[end])))
      ++end;
    std::string id = text.substr(plen, end - plen);
    std::string expected = kDelayedCallTemplate;
    expected.replace(expected.find("%1%"), 3, id);
    if (id.empty() || text != expected) return false;
    NPObject* fn = B().newFunction(
        [](NPObject*, const Args& a, std::string* exc) -> Value {
          // (delay, f, args[, fname]) -> setTimeout id
          if (a.size() < 3 || !a[1].isObject() || !a[2].isObject() ||
              !B().isArray(a[2].obj())) {
            *exc = "TypeError: bad arguments to the delayed call";
            return Value();
          }
          double delay = a[0].number();
          if (std::isnan(delay)) delay = 0;
          Value f = a[1];
          std::vector<Value> elems = B().arrayElements(a[2].obj());
          std::string fname = a.size() > 3 ? a[3].str() : "";
          bool byName = a.size() > 3;
          return Value(B().setTimer(
              std::chrono::milliseconds(static_cast<int64_t>(delay)),
              [f, elems, fname, byName] {
                Result r = byName ? B().invoke(f.obj(), fname, elems)
                                  : B().invokeDefault(f.obj(), elems);
                if (!r.ok)
                  ReportPageError("delayed call failed: " + r.exception);
              }));
        });
    B().setProperty(B().window(), "__FB_CALL_" + id, Value::Object(fn));
    Release(fn);
    return true;
  }
  auto it = B().scripts.find(text);
  if (it == B().scripts.end()) return false;
  *result = B().impl().toPlugin(it->second);
  (void)npp;
  return true;
}

bool GetProperty(NPP, NPObject* o, NPIdentifier id, NPVariant* result) {
  CheckMain("NPN_GetProperty");
  VOID_TO_NPVARIANT(*result);
  if (!ValidObject(o, "NPN_GetProperty")) return false;
  if (PageObject* p = AsPage(o)) {
    Ident* i = AsIdent(id);
    if (!i) return false;
    if (p->kind == Kind::Array) {
      if (i->isString && i->s == "length") {
        INT32_TO_NPVARIANT(static_cast<int32_t>(p->elems.size()), *result);
        return true;
      }
      if (!i->isString) {
        if (i->i >= 0 && static_cast<size_t>(i->i) < p->elems.size())
          *result = B().impl().toPlugin(p->elems[i->i]);
        return true;
      }
    }
    auto it = p->props.find(IdName(id));
    if (it != p->props.end()) *result = B().impl().toPlugin(it->second);
    return true;  // a missing property reads as undefined
  }
  return o->_class->getProperty && o->_class->getProperty(o, id, result);
}

bool SetProperty(NPP, NPObject* o, NPIdentifier id, const NPVariant* v) {
  CheckMain("NPN_SetProperty");
  if (!ValidObject(o, "NPN_SetProperty") || !v) return false;
  if (PageObject* p = AsPage(o)) {
    Ident* i = AsIdent(id);
    if (!i) return false;
    if (p->kind == Kind::Array && !i->isString && i->i >= 0) {
      if (p->elems.size() <= static_cast<size_t>(i->i))
        p->elems.resize(i->i + 1);
      p->elems[i->i] = Value::Copy(*v);
      return true;
    }
    p->props[IdName(id)] = Value::Copy(*v);
    return true;
  }
  return o->_class->setProperty && o->_class->setProperty(o, id, v);
}

bool RemoveProperty(NPP, NPObject* o, NPIdentifier id) {
  CheckMain("NPN_RemoveProperty");
  if (!ValidObject(o, "NPN_RemoveProperty")) return false;
  if (PageObject* p = AsPage(o)) return p->props.erase(IdName(id)) > 0;
  return o->_class->removeProperty && o->_class->removeProperty(o, id);
}

bool HasProperty(NPP, NPObject* o, NPIdentifier id) {
  CheckMain("NPN_HasProperty");
  if (!ValidObject(o, "NPN_HasProperty")) return false;
  if (PageObject* p = AsPage(o)) {
    Ident* i = AsIdent(id);
    if (i && p->kind == Kind::Array && !i->isString)
      return i->i >= 0 && static_cast<size_t>(i->i) < p->elems.size();
    return p->props.count(IdName(id)) > 0;
  }
  return o->_class->hasProperty && o->_class->hasProperty(o, id);
}

bool HasMethod(NPP, NPObject* o, NPIdentifier id) {
  CheckMain("NPN_HasMethod");
  if (!ValidObject(o, "NPN_HasMethod")) return false;
  if (PageObject* p = AsPage(o)) {
    if (p->kind == Kind::Array && IdName(id) == "push") return true;
    auto it = p->props.find(IdName(id));
    PageObject* f = it == p->props.end() ? nullptr : AsPage(it->second.obj());
    return f && f->kind == Kind::Function;
  }
  return o->_class->hasMethod && o->_class->hasMethod(o, id);
}

bool Enumerate(NPP, NPObject* o, NPIdentifier** ids, uint32_t* count) {
  CheckMain("NPN_Enumerate");
  if (!ValidObject(o, "NPN_Enumerate") || !ids || !count) return false;
  if (PageObject* p = AsPage(o)) {
    *count = static_cast<uint32_t>(p->props.size());
    *ids = static_cast<NPIdentifier*>(
        B().impl().alloc(sizeof(NPIdentifier) * (*count ? *count : 1)));
    uint32_t k = 0;
    for (auto& kv : p->props)
      (*ids)[k++] = GetStringIdentifier(kv.first.c_str());
    return true;
  }
  return NP_CLASS_STRUCT_VERSION_HAS_ENUM(o->_class) && o->_class->enumerate &&
         o->_class->enumerate(o, ids, count);
}

void ReleaseVariantValue(NPVariant* v) {
  if (!v) return;
  if (v->type == NPVariantType_String) {
    void* p = const_cast<NPUTF8*>(v->value.stringValue.UTF8Characters);
    if (p && !B().impl().free(p))
      B().violation(
          "NPN_ReleaseVariantValue of a string not from NPN_MemAlloc");
  } else if (v->type == NPVariantType_Object) {
    Release(v->value.objectValue);
  }
  VOID_TO_NPVARIANT(*v);
}

void SetException(NPObject*, const NPUTF8* message) {
  CheckMain("NPN_SetException");
  auto& impl = B().impl();
  impl.exceptionSet = true;
  impl.exception = message ? message : "";
}

void PluginThreadAsyncCall(NPP npp, void (*func)(void*), void* data) {
  if (!g_browser || !func) return;
  auto& impl = B().impl();
  {
    std::lock_guard<std::mutex> l(impl.qMutex);
    impl.queue.push_back({npp, func, data});
  }
  impl.qCond.notify_all();
}

NPError GetValue(NPP npp, NPNVariable var, void* value) {
  CheckMain("NPN_GetValue");
  if (!value) return NPERR_INVALID_PARAM;
  Instance* inst = B().instanceFor(npp);
  switch (var) {
    case NPNVWindowNPObject:
      if (!B().window() || !inst) return NPERR_GENERIC_ERROR;
      *static_cast<NPObject**>(value) = Retain(B().window());
      return NPERR_NO_ERROR;
    case NPNVPluginElementNPObject:
      if (!inst || !inst->element) return NPERR_GENERIC_ERROR;
      *static_cast<NPObject**>(value) = Retain(inst->element);
      return NPERR_NO_ERROR;
    case NPNVToolkit:
      *static_cast<NPNToolkitType*>(value) = NPNVGtk2;
      return NPERR_NO_ERROR;
    case NPNVSupportsXEmbedBool:
    case NPNVjavascriptEnabledBool:
    case NPNVSupportsWindowless:
      *static_cast<NPBool*>(value) = true;
      return NPERR_NO_ERROR;
    case NPNVisOfflineBool:
    case NPNVprivateModeBool:
      *static_cast<NPBool*>(value) = false;
      return NPERR_NO_ERROR;
    default:
      return NPERR_GENERIC_ERROR;
  }
}

NPError SetValue(NPP npp, NPPVariable var, void* value) {
  CheckMain("NPN_SetValue");
  Instance* inst = B().instanceFor(npp);
  if (!inst) return NPERR_INVALID_INSTANCE_ERROR;
  inst->setValues[var] = reinterpret_cast<intptr_t>(value);
  return NPERR_NO_ERROR;
}

const char* UserAgent(NPP) {
  return "Mozilla/5.0 (X11; Linux x86_64) testhost";
}
void Status(NPP, const char*) {}
NPError GetURL(NPP, const char*, const char*) { return NPERR_GENERIC_ERROR; }
NPError GetURLNotify(NPP, const char*, const char*, void*) {
  return NPERR_GENERIC_ERROR;
}
NPError PostURL(NPP, const char*, const char*, uint32_t, const char*, NPBool) {
  return NPERR_GENERIC_ERROR;
}
NPError PostURLNotify(NPP, const char*, const char*, uint32_t, const char*,
                      NPBool, void*) {
  return NPERR_GENERIC_ERROR;
}
void PushPopups(NPP, NPBool) {}
void PopPopups(NPP) {}
void InvalidateRect(NPP, NPRect*) {}
void InvalidateRegion(NPP, NPRegion) {}
void ForceRedraw(NPP) {}

}  // namespace

// ---------------------------------------------------------------- Browser

Browser::Browser() : impl_(new Impl), mainThread_(std::this_thread::get_id()) {
  g_browser = this;
  NPNetscapeFuncs& f = browserFuncs_;
  f.size = sizeof(f);
  f.version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
  f.geturl = GetURL;
  f.posturl = PostURL;
  f.status = Status;
  f.uagent = UserAgent;
  f.memalloc = MemAlloc;
  f.memfree = MemFree;
  f.memflush = MemFlush;
  f.reloadplugins = ReloadPlugins;
  f.geturlnotify = GetURLNotify;
  f.posturlnotify = PostURLNotify;
  f.getvalue = GetValue;
  f.setvalue = SetValue;
  f.invalidaterect = InvalidateRect;
  f.invalidateregion = InvalidateRegion;
  f.forceredraw = ForceRedraw;
  f.getstringidentifier = GetStringIdentifier;
  f.getstringidentifiers = GetStringIdentifiers;
  f.getintidentifier = GetIntIdentifier;
  f.identifierisstring = IdentifierIsString;
  f.utf8fromidentifier = UTF8FromIdentifier;
  f.intfromidentifier = IntFromIdentifier;
  f.createobject = CreateObject;
  f.retainobject = Retain;
  f.releaseobject = Release;
  f.invoke = Invoke;
  f.invokeDefault = InvokeDefault;
  f.evaluate = Evaluate;
  f.getproperty = GetProperty;
  f.setproperty = SetProperty;
  f.removeproperty = RemoveProperty;
  f.hasproperty = HasProperty;
  f.hasmethod = HasMethod;
  f.releasevariantvalue = ReleaseVariantValue;
  f.setexception = SetException;
  f.pushpopupsenabledstate = PushPopups;
  f.poppopupsenabledstate = PopPopups;
  f.enumerate = Enumerate;
  f.pluginthreadasynccall = PluginThreadAsyncCall;
  f.construct = Construct;
  pluginFuncs_.size = sizeof(pluginFuncs_);
  pluginFuncs_.version = f.version;
  openPage();
}

Browser::~Browser() {
  timers_.clear();
  closePage();
  if (loaded()) shutdown();
  g_browser = nullptr;
}

Browser* Browser::current() { return g_browser; }

bool Browser::load(const std::string& path, std::string* error) {
  lib_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib_) {
    if (error) *error = dlerror();
    return false;
  }
  auto init = reinterpret_cast<NP_InitializeFunc>(symbol("NP_Initialize"));
  if (!init) {
    if (error) *error = "no NP_Initialize";
    dlclose(lib_);
    lib_ = nullptr;
    return false;
  }
  NPError e = init(&browserFuncs_, &pluginFuncs_);
  if (e != NPERR_NO_ERROR) {
    if (error) *error = "NP_Initialize returned " + std::to_string(e);
    return false;
  }
  return true;
}

bool Browser::attach(NP_InitializeFunc init, NP_ShutdownFunc shutdown,
                     std::string* error) {
  NPError e = init(&browserFuncs_, &pluginFuncs_);
  if (e != NPERR_NO_ERROR) {
    if (error) *error = "NP_Initialize returned " + std::to_string(e);
    return false;
  }
  shutdownFn_ = shutdown;
  return true;
}

NPError Browser::shutdown() {
  if (shutdownFn_) {
    NP_ShutdownFunc fn = shutdownFn_;
    shutdownFn_ = nullptr;
    return fn();
  }
  if (!lib_) return NPERR_GENERIC_ERROR;
  auto fn = reinterpret_cast<NP_ShutdownFunc>(symbol("NP_Shutdown"));
  NPError e = fn ? fn() : NPERR_GENERIC_ERROR;
  dlclose(lib_);
  lib_ = nullptr;
  return e;
}

void* Browser::symbol(const char* name) {
  return lib_ ? dlsym(lib_, name) : nullptr;
}

void Browser::openPage() {
  closePage();
  window_ = newObject();
  auto addFn = [this](NPObject* on, const char* name, PageFunction fn) {
    NPObject* f = newFunction(std::move(fn));
    setProperty(on, name, Value::Object(f));
    Release(f);
  };
  addFn(window_, "Array", [this](NPObject*, const Args& a, std::string*) {
    NPObject* arr = newArray(a);
    Value v = Value::Object(arr);
    Release(arr);
    return v;
  });
  addFn(window_, "Object", [this](NPObject*, const Args&, std::string*) {
    NPObject* o = newObject();
    Value v = Value::Object(o);
    Release(o);
    return v;
  });
  addFn(window_, "setTimeout",
        [this](NPObject*, const Args& a, std::string* exc) -> Value {
          if (a.empty() || !a[0].isObject()) {
            *exc = "TypeError: setTimeout needs a function";
            return Value();
          }
          Value f = a[0];
          double d = a.size() > 1 ? a[1].number() : 0;
          return Value(setTimer(
              std::chrono::milliseconds(std::isnan(d) ? 0 : int64_t(d)),
              [this, f] { invokeDefault(f.obj(), {}); }));
        });
  addFn(window_, "clearTimeout",
        [this](NPObject*, const Args& a, std::string*) {
          if (!a.empty()) clearTimer(static_cast<int32_t>(a[0].number()));
          return Value();
        });
  NPObject* console = newObject();
  addFn(console, "log", [this](NPObject*, const Args& a, std::string*) {
    std::string line;
    for (auto& v : a)
      line += (line.empty() ? "" : " ") + (v.isString() ? v.str() : v.debug());
    this->console.push_back(line);
    return Value();
  });
  setProperty(window_, "console", Value::Object(console));
  Release(console);
  NPObject* doc = newObject();
  setProperty(window_, "document", Value::Object(doc));
  Release(doc);
}

void Browser::closePage() {
  if (!window_) return;
  NPObject* w = window_;
  window_ = nullptr;
  // The window's properties may refer back to it; cut them first.
  if (PageObject* p = AsPage(w)) {
    std::map<std::string, Value> props;
    props.swap(p->props);
    props.clear();
  }
  Release(w);
}

void Browser::defineFunction(const std::string& name, PageFunction fn) {
  NPObject* f = newFunction(std::move(fn));
  setProperty(window_, name, Value::Object(f));
  Release(f);
}

void Browser::setProperty(NPObject* obj, const std::string& name,
                          const Value& v) {
  if (PageObject* p = AsPage(obj)) p->props[name] = v;
}

Value Browser::property(NPObject* obj, const std::string& name) {
  if (PageObject* p = AsPage(obj)) {
    auto it = p->props.find(name);
    if (it != p->props.end()) return it->second;
  }
  return Value();
}

NPObject* Browser::newObject() { return CreateObject(nullptr, &kPageClass); }

NPObject* Browser::newFunction(PageFunction fn) {
  auto* o = static_cast<PageObject*>(CreateObject(nullptr, &kPageClass));
  o->kind = Kind::Function;
  o->fn = std::move(fn);
  return o;
}

NPObject* Browser::newArray(const Args& elements) {
  auto* o = static_cast<PageObject*>(CreateObject(nullptr, &kPageClass));
  o->kind = Kind::Array;
  o->elems = elements;
  return o;
}

bool Browser::isArray(NPObject* obj) const {
  PageObject* p = AsPage(obj);
  return p && p->kind == Kind::Array;
}

std::vector<Value> Browser::arrayElements(NPObject* obj) {
  PageObject* p = AsPage(obj);
  return p && p->kind == Kind::Array ? p->elems : std::vector<Value>{};
}

namespace {
std::vector<NPVariant> Raw(const Args& args) {
  std::vector<NPVariant> out;
  for (auto& a : args) out.push_back(a.np());
  return out;
}

Result Finish(bool ok, NPVariant& res) {
  Result r;
  r.ok = ok;
  r.value = Value::Adopt(res);
  auto& impl = B().impl();
  if (impl.exceptionSet) {
    r.exception = impl.exception;
    impl.exceptionSet = false;
    impl.exception.clear();
  }
  return r;
}

void StartOp() {
  B().impl().exceptionSet = false;
  B().impl().exception.clear();
}
}  // namespace

Result Browser::invoke(NPObject* obj, const std::string& name,
                       const Args& args) {
  StartOp();
  std::vector<NPVariant> raw = Raw(args);
  NPVariant res;
  bool ok = Invoke(nullptr, obj, GetStringIdentifier(name.c_str()), raw.data(),
                   static_cast<uint32_t>(raw.size()), &res);
  return Finish(ok, res);
}

Result Browser::invokeDefault(NPObject* obj, const Args& args) {
  StartOp();
  std::vector<NPVariant> raw = Raw(args);
  NPVariant res;
  bool ok = InvokeDefault(nullptr, obj, raw.data(),
                          static_cast<uint32_t>(raw.size()), &res);
  return Finish(ok, res);
}

Result Browser::getProperty(NPObject* obj, const std::string& name) {
  StartOp();
  NPVariant res;
  bool ok = GetProperty(nullptr, obj, GetStringIdentifier(name.c_str()), &res);
  return Finish(ok, res);
}

Result Browser::getIndex(NPObject* obj, int32_t index) {
  StartOp();
  NPVariant res;
  bool ok = GetProperty(nullptr, obj, GetIntIdentifier(index), &res);
  return Finish(ok, res);
}

Result Browser::setProperty2(NPObject* obj, const std::string& name,
                             const Value& v) {
  StartOp();
  NPVariant res;
  VOID_TO_NPVARIANT(res);
  bool ok =
      SetProperty(nullptr, obj, GetStringIdentifier(name.c_str()), &v.np());
  return Finish(ok, res);
}

bool Browser::hasMethod(NPObject* obj, const std::string& name) {
  return HasMethod(nullptr, obj, GetStringIdentifier(name.c_str()));
}
bool Browser::hasProperty(NPObject* obj, const std::string& name) {
  return HasProperty(nullptr, obj, GetStringIdentifier(name.c_str()));
}
bool Browser::removeProperty(NPObject* obj, const std::string& name) {
  return RemoveProperty(nullptr, obj, GetStringIdentifier(name.c_str()));
}

std::vector<std::string> Browser::enumerate(NPObject* obj, bool* okOut) {
  NPIdentifier* ids = nullptr;
  uint32_t n = 0;
  bool ok = Enumerate(nullptr, obj, &ids, &n);
  if (okOut) *okOut = ok;
  std::vector<std::string> names;
  if (ok) {
    for (uint32_t i = 0; i < n; ++i) {
      if (!AsIdent(ids[i]))
        violation("enumeration gave an unknown identifier");
      else
        names.push_back(IdName(ids[i]));
    }
    if (ids && !impl_->free(ids))
      violation("enumeration array not allocated with NPN_MemAlloc");
  }
  return names;
}

int32_t Browser::setTimer(std::chrono::milliseconds delay,
                          std::function<void()> fn) {
  int32_t id = nextTimer_++;
  timers_[id] = {std::chrono::steady_clock::now() + delay, std::move(fn)};
  return id;
}

void Browser::clearTimer(int32_t id) { timers_.erase(id); }

bool Browser::runOne(std::chrono::steady_clock::time_point deadline) {
  if (!isMainThread()) {
    violation("main loop run off the main thread");
    return false;
  }
  Impl::Call call{};
  bool haveCall = false;
  {
    std::unique_lock<std::mutex> l(impl_->qMutex);
    auto now = std::chrono::steady_clock::now();
    auto wake = deadline;
    for (auto& t : timers_) wake = std::min(wake, t.second.due);
    if (impl_->queue.empty() && wake > now)
      impl_->qCond.wait_until(l, wake, [&] { return !impl_->queue.empty(); });
    if (!impl_->queue.empty()) {
      // Like browsers that keep one queue per instance, the calls of the
      // instance served last go first: order holds within an instance only.
      auto it = std::find_if(
          impl_->queue.begin(), impl_->queue.end(),
          [&](const Impl::Call& c) { return c.npp == impl_->lastServed; });
      if (it == impl_->queue.end()) it = impl_->queue.begin();
      call = *it;
      impl_->queue.erase(it);
      impl_->lastServed = call.npp;
      haveCall = true;
    }
  }
  if (haveCall) {
    // Browsers run no call for an instance that is gone.
    if (call.npp && !impl_->instances.count(call.npp)) {
      ++impl_->asyncDropped;
    } else {
      ++impl_->asyncRun;
      call.func(call.data);
    }
    return true;
  }
  auto now = std::chrono::steady_clock::now();
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.due <= now) {
      auto fn = std::move(it->second.fn);
      timers_.erase(it);
      fn();
      return true;
    }
  }
  return now < deadline;
}

void Browser::runFor(std::chrono::milliseconds ms) {
  auto deadline = std::chrono::steady_clock::now() + ms;
  while (std::chrono::steady_clock::now() < deadline && runOne(deadline)) {
  }
}

bool Browser::runUntil(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    auto slice = std::min(deadline, std::chrono::steady_clock::now() +
                                        std::chrono::milliseconds(5));
    runOne(slice);
  }
  return true;
}

size_t Browser::pendingAsyncCalls() {
  std::lock_guard<std::mutex> l(impl_->qMutex);
  return impl_->queue.size();
}

size_t Browser::liveObjects() const { return impl_->live.size(); }
size_t Browser::liveObjectsOfClass(const NPClass* cls) const {
  size_t n = 0;
  for (auto& kv : impl_->live) n += kv.first->_class == cls;
  return n;
}
int64_t Browser::outstandingBytes() const {
  std::lock_guard<std::mutex> l(impl_->memMutex);
  return impl_->bytes;
}
size_t Browser::violations() const {
  std::lock_guard<std::mutex> l(impl_->vMutex);
  return impl_->violations.size();
}
std::vector<std::string> Browser::violationLog() const {
  std::lock_guard<std::mutex> l(impl_->vMutex);
  return impl_->violations;
}
void Browser::violation(const std::string& what) {
  std::lock_guard<std::mutex> l(impl_->vMutex);
  impl_->violations.push_back(what);
}
size_t Browser::asyncCallsRun() const { return impl_->asyncRun; }
size_t Browser::asyncCallsDropped() const { return impl_->asyncDropped; }
bool Browser::isHostObject(NPObject* obj) const {
  return AsPage(obj) != nullptr;
}
bool Browser::isLiveObject(NPObject* obj) const {
  return impl_->live.count(obj) > 0;
}

void Browser::registerInstance(NPP npp, Instance* inst) {
  impl_->instances[npp] = inst;
}
void Browser::unregisterInstance(NPP npp) { impl_->instances.erase(npp); }
Instance* Browser::instanceFor(NPP npp) {
  auto it = impl_->instances.find(npp);
  return it == impl_->instances.end() ? nullptr : it->second;
}

// ---------------------------------------------------------------- Instance

Instance::Instance(
    Browser& browser, std::string mime,
    std::vector<std::pair<std::string, std::optional<std::string>>> params)
    : browser_(browser), mime_(std::move(mime)), params_(std::move(params)) {}

Instance::~Instance() {
  if (alive_) destroy();
  if (element) Release(element);
}

NPError Instance::create() {
  if (!browser_.plugin().newp) return NPERR_INVALID_FUNCTABLE_ERROR;
  if (!element) element = browser_.newObject();
  std::vector<std::string> names, values;
  std::vector<char*> argn, argv;
  names.reserve(params_.size());
  values.reserve(params_.size());
  for (auto& p : params_) {
    names.push_back(p.first);
    values.push_back(p.second.value_or(""));
  }
  for (size_t i = 0; i < params_.size(); ++i) {
    argn.push_back(&names[i][0]);
    argv.push_back(params_[i].second ? &values[i][0] : nullptr);
  }
  browser_.registerInstance(&npp_, this);
  std::vector<char> mime(mime_.begin(), mime_.end());
  mime.push_back(0);
  NPError e = browser_.plugin().newp(mime.data(), &npp_, NP_EMBED,
                                     static_cast<int16_t>(argn.size()),
                                     argn.data(), argv.data(), nullptr);
  if (e != NPERR_NO_ERROR)
    browser_.unregisterInstance(&npp_);
  else
    alive_ = true;
  return e;
}

NPError Instance::destroy() {
  if (scriptable_) {
    Release(scriptable_);
    scriptable_ = nullptr;
  }
  NPSavedData* saved = nullptr;
  NPError e = browser_.plugin().destroy(&npp_, &saved);
  alive_ = false;
  browser_.unregisterInstance(&npp_);
  // Objects the plug-in made for this instance and the page still holds are
  // invalidated, as a browser does when the element goes away.
  std::vector<NPObject*> left;
  for (auto& kv : browser_.impl().live)
    if (kv.second == &npp_) left.push_back(kv.first);
  for (NPObject* o : left)
    if (browser_.isLiveObject(o) && o->_class->invalidate)
      o->_class->invalidate(o);
  return e;
}

NPObject* Instance::scriptable() {
  if (scriptable_) return scriptable_;
  NPObject* obj = nullptr;
  if (browser_.plugin().getvalue(&npp_, NPPVpluginScriptableNPObject, &obj) ==
          NPERR_NO_ERROR &&
      obj) {
    if (!browser_.isLiveObject(obj))
      browser_.violation("scriptable object is not a live object");
    else
      scriptable_ = obj;
  }
  return scriptable_;
}

Result Instance::call(const std::string& name, const Args& args) {
  NPObject* obj = scriptable();
  if (!obj) return Result{false, Value(), "no scriptable object"};
  if (browser_.hasMethod(obj, name)) return browser_.invoke(obj, name, args);
  if (browser_.hasProperty(obj, name)) {
    Result r = browser_.getProperty(obj, name);
    if (!r.ok) return r;
    if (r.value.isObject()) return browser_.invokeDefault(r.value.obj(), args);
  }
  return Result{false, Value(), "TypeError: " + name + " is not a function"};
}

Result Instance::get(const std::string& name) {
  NPObject* obj = scriptable();
  if (!obj) return Result{false, Value(), "no scriptable object"};
  return browser_.getProperty(obj, name);
}

Result Instance::set(const std::string& name, const Value& v) {
  NPObject* obj = scriptable();
  if (!obj) return Result{false, Value(), "no scriptable object"};
  return browser_.setProperty2(obj, name, v);
}

}  // namespace testhost
