// A page object (a function, an array, a DOM object) held by native code.
// Every call reaches the browser on its main thread; a call from another
// thread is carried there and waits for the answer.
#pragma once

#include <JSObject.h>
#include <npapi/npruntime.h>

#include <memory>
#include <string>

namespace FB {
namespace Npapi {

class NpapiBrowserHost;
class NpapiPluginModule;
using NpapiBrowserHostPtr = std::shared_ptr<NpapiBrowserHost>;

class NPObjectAPI : public FB::JSObject {
 public:
  // Retains o for the life of this object.
  NPObjectAPI(NPObject* o, const NpapiBrowserHostPtr& host);
  ~NPObjectAPI() override;

  NPObject* getNPObject() const { return obj; }
  const void* getEventId() const override { return obj; }

  void invalidate() override { m_valid = false; }
  bool isValid() const override;

  using JSAPI::getMemberNames;
  void getMemberNames(StringVec& names) const override;
  size_t getMemberCount() const override;
  bool HasMethod(const std::string& name) const override;
  bool HasMethodObject(const std::string&) const override { return false; }
  JSAPIPtr GetMethodObject(const std::string&) override { return JSAPIPtr(); }
  bool HasProperty(const std::string& name) const override;
  bool HasProperty(int idx) const override;
  variant GetProperty(const std::string& name) override;
  variant GetProperty(int idx) override;
  void SetProperty(const std::string& name, const variant& value) override;
  void SetProperty(int idx, const variant& value) override;
  void RemoveProperty(const std::string& name) override;
  void RemoveProperty(int idx) override;
  variant Invoke(const std::string& name, const VariantList& args) override;
  variant Construct(const VariantList& args) override;
  void InvokeAsync(const std::string& name, const VariantList& args) override;

  // A page object carries no events of the plug-in.
  void registerEventMethod(const std::string&, const JSObjectPtr&) override {}
  void unregisterEventMethod(const std::string&, const JSObjectPtr&) override {}
  void FireEvent(const std::string&, const VariantList&) override {}
  void FireJSEvent(const std::string&, const VariantMap&,
                   const VariantList&) override {}
  void fireAsyncEvent(const std::string&, const VariantList&) override {}
  void pushZone(SecurityZone) override {}
  void popZone() override {}
  SecurityZone getZone() const override { return SecurityScope_Public; }
  SecurityZone getDefaultZone() const override { return SecurityScope_Public; }

 private:
  // The host, on the main thread; throws when the page is gone.
  NpapiBrowserHostPtr host() const;
  variant getProp(NPIdentifier id, const std::string& what);
  void setProp(NPIdentifier id, const variant& value, const std::string& what);

  std::weak_ptr<NpapiBrowserHost> m_browser;
  // Outlives every instance: the page object is released through it even
  // when this wrapper outlives its host.
  NpapiPluginModule* m_module;
  NPObject* obj;
  bool m_valid = true;
};

}  // namespace Npapi
}  // namespace FB
