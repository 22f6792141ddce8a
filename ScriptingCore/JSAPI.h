// The interface of a script-callable object: what the browser bridge asks
// of any object it exposes to a page, and of the page's own objects that
// native code holds (JSObject).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "APITypes.h"
#include "ScriptErrors.h"
#include "variant.h"

namespace FB {

class JSAPI : public std::enable_shared_from_this<JSAPI> {
 public:
  JSAPI() = default;
  JSAPI(const JSAPI&) = delete;
  JSAPI& operator=(const JSAPI&) = delete;
  virtual ~JSAPI() = default;

  // ---- lifetime: after invalidate() every call, read and write throws
  // object_invalidated.
  virtual void invalidate() = 0;
  virtual bool isValid() const = 0;

  // ---- members
  virtual void getMemberNames(StringVec& names) const = 0;
  StringVec getMemberNames() const {
    StringVec names;
    getMemberNames(names);
    return names;
  }
  virtual size_t getMemberCount() const = 0;

  virtual bool HasMethod(const std::string& name) const = 0;
  // True when the method is offered to the page as a callable property
  // value (GetMethodObject) rather than only as a method.
  virtual bool HasMethodObject(const std::string& name) const = 0;
  // A script-callable object whose default invocation calls the method.
  virtual JSAPIPtr GetMethodObject(const std::string& name) = 0;
  virtual bool HasProperty(const std::string& name) const = 0;
  virtual bool HasProperty(int idx) const = 0;
  virtual variant GetProperty(const std::string& name) = 0;
  virtual variant GetProperty(int idx) = 0;
  virtual void SetProperty(const std::string& name, const variant& value) = 0;
  virtual void SetProperty(int idx, const variant& value) = 0;
  virtual void RemoveProperty(const std::string& name) = 0;
  virtual void RemoveProperty(int idx) = 0;
  // Calls the method `name`; an empty name is the object's default call.
  virtual variant Invoke(const std::string& name, const VariantList& args) = 0;
  virtual variant Construct(const VariantList& args) = 0;

  // ---- events. Handlers are the page's functions, registered under the
  // event's attribute name ("onecho"); firing calls each of them once.
  virtual void registerEventMethod(const std::string& name,
                                   const JSObjectPtr& handler) = 0;
  virtual void unregisterEventMethod(const std::string& name,
                                     const JSObjectPtr& handler) = 0;
  // Safe from any thread: delivery to the page is always asynchronous.
  virtual void FireEvent(const std::string& name, const VariantList& args) = 0;
  virtual void FireJSEvent(const std::string& name, const VariantMap& members,
                           const VariantList& args) = 0;
  virtual void fireAsyncEvent(const std::string& name,
                              const VariantList& args) = 0;

  // ---- security zones
  virtual void pushZone(SecurityZone zone) = 0;
  virtual void popZone() = 0;
  virtual SecurityZone getZone() const = 0;
  virtual SecurityZone getDefaultZone() const = 0;
};

// Raises the object's zone for a scope.
class scoped_zonelock {
 public:
  scoped_zonelock(const JSAPIPtr& api, SecurityZone zone) : api_(api) {
    api_->pushZone(zone);
  }
  scoped_zonelock(JSAPI& api, SecurityZone zone) : raw_(&api) {
    raw_->pushZone(zone);
  }
  ~scoped_zonelock() { (api_ ? api_.get() : raw_)->popZone(); }
  scoped_zonelock(const scoped_zonelock&) = delete;
  scoped_zonelock& operator=(const scoped_zonelock&) = delete;

 private:
  JSAPIPtr api_;
  JSAPI* raw_ = nullptr;
};

}  // namespace FB
