// The state every script object of the plug-in shares: its valid flag, its
// zone stack, the page's event handlers and the proxies that re-publish its
// events. Member tables come with JSAPIAuto.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "JSAPI.h"

namespace FB {

class JSAPIImpl : public JSAPI {
 public:
  explicit JSAPIImpl(SecurityZone zone = SecurityScope_Public);
  ~JSAPIImpl() override;

  void invalidate() override;
  bool isValid() const override;

  void registerEventMethod(const std::string& name,
                           const JSObjectPtr& handler) override;
  void unregisterEventMethod(const std::string& name,
                             const JSObjectPtr& handler) override;
  void FireEvent(const std::string& name, const VariantList& args) override;
  void FireJSEvent(const std::string& name, const VariantMap& members,
                   const VariantList& args) override;
  void fireAsyncEvent(const std::string& name,
                      const VariantList& args) override;

  // Another object that re-publishes this object's events to its own
  // handlers. Held weakly: a proxy that is gone is dropped when next fired.
  void registerProxy(const JSAPIWeakPtr& proxy);
  void unregisterProxy(const JSAPIPtr& proxy);

  void pushZone(SecurityZone zone) override;
  void popZone() override;
  SecurityZone getZone() const override;
  SecurityZone getDefaultZone() const override;

  // Objects answer no index members and no construction unless they say so.
  bool HasProperty(int idx) const override;
  variant GetProperty(int idx) override;
  void SetProperty(int idx, const variant& value) override;
  void RemoveProperty(int idx) override;
  variant Construct(const VariantList& args) override;
  using JSAPI::GetProperty;
  using JSAPI::HasProperty;
  using JSAPI::RemoveProperty;
  using JSAPI::SetProperty;

 protected:
  // The handler stored as the attribute "on" + event name, if any.
  virtual JSObjectPtr getAttributeHandler(const std::string& attrName) const;

  // Held while the tables are read or changed; recursive because members
  // fire events and read attributes while a call is under way.
  mutable std::recursive_mutex m_mutex;

 private:
  struct Handler {
    JSObjectPtr function;
    const void* id;
  };
  std::multimap<std::string, Handler> m_eventMap;
  std::vector<JSAPIWeakPtr> m_proxies;
  std::vector<SecurityZone> m_zoneStack;
  SecurityZone m_defaultZone;
  bool m_valid = true;
};

}  // namespace FB
