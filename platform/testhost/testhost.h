// A browser for tests: loads a plug-in library with dlopen, hands it a full
// browser function table and plays the page around it. Objects carry real
// reference counts, memory given to the plug-in is accounted for, the page's
// window has properties and functions written in C++, and a main loop runs
// the plug-in's thread-async calls and the page's timers. Every check a real
// browser would make quietly (a call off the main thread, a release of an
// object that is gone, a free of memory the browser never gave) is counted
// as a violation so that tests can insist on none.
#pragma once

#include <npapi/npfunctions.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testhost {

// An NPVariant owned by the host: strings are copies, objects are retained.
class Value {
 public:
  Value() { VOID_TO_NPVARIANT(v_); }
  Value(bool b) { BOOLEAN_TO_NPVARIANT(b, v_); }
  Value(int32_t i) { INT32_TO_NPVARIANT(i, v_); }
  Value(double d) { DOUBLE_TO_NPVARIANT(d, v_); }
  Value(const char* s) : Value(std::string(s)) {}
  Value(const std::string& s);
  static Value Null();
  // Retains obj.
  static Value Object(NPObject* obj);
  // Takes over a variant the plug-in filled in (its string memory and its
  // object reference), as a browser does with a result.
  static Value Adopt(NPVariant& v);
  // A deep copy of a variant the host does not own.
  static Value Copy(const NPVariant& v);

  Value(const Value& o);
  Value(Value&& o) noexcept;
  Value& operator=(Value o) noexcept;
  ~Value();

  NPVariantType type() const { return v_.type; }
  bool isVoid() const { return v_.type == NPVariantType_Void; }
  bool isString() const { return v_.type == NPVariantType_String; }
  bool isObject() const { return v_.type == NPVariantType_Object; }
  std::string str() const;  // the string, or "" for other types
  double number() const;    // Int32 or Double, else NaN
  bool boolean() const {
    return v_.type == NPVariantType_Bool && v_.value.boolValue;
  }
  NPObject* obj() const {
    return v_.type == NPVariantType_Object ? v_.value.objectValue : nullptr;
  }
  const NPVariant& np() const { return v_; }
  std::string debug() const;

 private:
  NPVariant v_;
};

using Args = std::vector<Value>;
// A page function: receives `this` (may be null) and the arguments; sets
// *exception to make the call fail as a thrown script error does.
using PageFunction = std::function<Value(NPObject* self, const Args& args,
                                         std::string* exception)>;

// The outcome of one script operation on an object.
struct Result {
  bool ok = false;
  Value value;
  std::string exception;  // the text the plug-in raised with NPN_SetException
};

class Browser;

// One embedded element.
class Instance {
 public:
  Instance(Browser& browser, std::string mime,
           std::vector<std::pair<std::string, std::optional<std::string>>>
               params = {});
  ~Instance();  // destroys the instance when still alive
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  NPError create();   // NPP_New
  NPError destroy();  // NPP_Destroy; releases the scriptable object first
  bool alive() const { return alive_; }
  NPP npp() { return &npp_; }

  // NPP_GetValue(NPPVpluginScriptableNPObject), once; the host keeps the
  // reference until destroy().
  NPObject* scriptable();
  // What `element.name(args)` does in a page: a method is invoked, a
  // property holding an object is called through its default method.
  Result call(const std::string& name, const Args& args = {});
  Result get(const std::string& name);
  Result set(const std::string& name, const Value& v);

  // The values the plug-in set with NPN_SetValue.
  std::map<int, intptr_t> setValues;
  NPObject* element = nullptr;  // the <embed> element object

 private:
  Browser& browser_;
  std::string mime_;
  std::vector<std::pair<std::string, std::optional<std::string>>> params_;
  NPP_t npp_{};
  bool alive_ = false;
  NPObject* scriptable_ = nullptr;
};

class Browser {
 public:
  Browser();
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;
  // The browser the NPN_ functions reach; one at a time.
  static Browser* current();

  // dlopen + NP_Initialize. On failure returns false and says why.
  bool load(const std::string& path, std::string* error);
  // The same with entry points linked into the test program, so that a
  // test can also reach the plug-in's objects behind the browser's back.
  bool attach(NP_InitializeFunc init, NP_ShutdownFunc shutdown,
              std::string* error);
  NPError shutdown();  // NP_Shutdown and dlclose
  bool loaded() const { return lib_ != nullptr || shutdownFn_ != nullptr; }
  void* symbol(const char* name);
  const NPPluginFuncs& plugin() const { return pluginFuncs_; }
  NPNetscapeFuncs& browserFuncs() { return browserFuncs_; }

  // The page: a window object with "Array", "Object", "setTimeout",
  // "clearTimeout", "console" and "document". openPage() replaces it.
  void openPage();
  void closePage();  // releases the window and everything only it holds
  NPObject* window() { return window_; }
  void defineFunction(const std::string& name, PageFunction fn);
  void setProperty(NPObject* obj, const std::string& name, const Value& v);
  Value property(NPObject* obj, const std::string& name);
  std::vector<std::string> console;  // console.log lines

  // Objects of the page.
  NPObject* newObject();  // each returns a new reference
  NPObject* newFunction(PageFunction fn);
  NPObject* newArray(const Args& elements);
  bool isArray(NPObject* obj) const;
  std::vector<Value> arrayElements(NPObject* obj);

  // Script operations as the page's engine performs them on any object.
  Result invoke(NPObject* obj, const std::string& name, const Args& args);
  Result invokeDefault(NPObject* obj, const Args& args);
  Result getProperty(NPObject* obj, const std::string& name);
  Result getIndex(NPObject* obj, int32_t index);
  Result setProperty2(NPObject* obj, const std::string& name, const Value& v);
  bool hasMethod(NPObject* obj, const std::string& name);
  bool hasProperty(NPObject* obj, const std::string& name);
  bool removeProperty(NPObject* obj, const std::string& name);
  std::vector<std::string> enumerate(NPObject* obj, bool* ok = nullptr);

  // Texts NPN_Evaluate understands beyond the delayed-call installer.
  std::map<std::string, Value> scripts;
  std::vector<std::string> evaluated;  // every text given to NPN_Evaluate

  // The main loop. Only the thread that made the Browser may run it.
  void runFor(std::chrono::milliseconds ms);
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout);
  size_t pendingAsyncCalls();
  int32_t setTimer(std::chrono::milliseconds delay, std::function<void()> fn);
  void clearTimer(int32_t id);
  size_t pendingTimers() const { return timers_.size(); }
  void clearTimers() { timers_.clear(); }

  // Accounting.
  size_t liveObjects() const;
  size_t liveObjectsOfClass(const NPClass* cls) const;
  int64_t outstandingBytes() const;
  size_t violations() const;
  std::vector<std::string> violationLog() const;
  void violation(const std::string& what);
  size_t asyncCallsRun() const;
  size_t asyncCallsDropped() const;
  bool isMainThread() const {
    return std::this_thread::get_id() == mainThread_;
  }
  bool isHostObject(NPObject* obj) const;
  bool isLiveObject(NPObject* obj) const;

  // Internal, for the NPN_ functions.
  struct Impl;
  Impl& impl() { return *impl_; }
  void registerInstance(NPP npp, Instance* inst);
  void unregisterInstance(NPP npp);
  Instance* instanceFor(NPP npp);

 private:
  std::unique_ptr<Impl> impl_;
  void* lib_ = nullptr;
  NP_ShutdownFunc shutdownFn_ = nullptr;
  NPNetscapeFuncs browserFuncs_{};
  NPPluginFuncs pluginFuncs_{};
  NPObject* window_ = nullptr;
  std::thread::id mainThread_;
  struct Timer {
    std::chrono::steady_clock::time_point due;
    std::function<void()> fn;
  };
  std::map<int32_t, Timer> timers_;
  int32_t nextTimer_ = 1;
  bool runOne(std::chrono::steady_clock::time_point deadline);
};

}  // namespace testhost
