// A script object that publishes native member functions and accessors to
// the page under names, with the argument conversions and error texts the
// page sees. Subclasses register their members in their constructor:
//
//   registerMethod("Sign", make_method(this, &MyAPI::Sign));
//   registerProperty("version", make_property(this, &MyAPI::get_version));
#pragma once

#include <map>
#include <set>
#include <string>

#include "JSAPIImpl.h"
#include "JSObject.h"
#include "MethodBinding.h"

namespace FB {

class JSAPIAuto : public JSAPIImpl {
 public:
  explicit JSAPIAuto(
      const std::string& description = "<JSAPI-Auto Javascript Object>");
  JSAPIAuto(SecurityZone zone, const std::string& description);
  ~JSAPIAuto() override;

  // ---- registration
  void registerMethod(const std::string& name, CallMethodFunctor method);
  void unregisterMethod(const std::string& name);
  void registerProperty(const std::string& name, PropertyFunctors property);
  void unregisterProperty(const std::string& name);
  void registerAttribute(const std::string& name, const variant& value,
                         bool readOnly = false);
  void unregisterAttribute(const std::string& name);

  // ---- built-in members
  virtual std::string ToString() { return m_description; }
  virtual variant getAttribute(const std::string& name);
  virtual void setAttribute(const std::string& name, const variant& value);
  bool get_valid() { return isValid(); }

  // ---- the bridge's calls
  using JSAPI::getMemberNames;
  void getMemberNames(StringVec& names) const override;
  size_t getMemberCount() const override;
  bool HasMethod(const std::string& name) const override;
  bool HasMethodObject(const std::string& name) const override;
  JSAPIPtr GetMethodObject(const std::string& name) override;
  bool HasProperty(const std::string& name) const override;
  bool HasProperty(int idx) const override;
  variant GetProperty(const std::string& name) override;
  variant GetProperty(int idx) override;
  void SetProperty(const std::string& name, const variant& value) override;
  void SetProperty(int idx, const variant& value) override;
  void RemoveProperty(const std::string& name) override;
  void RemoveProperty(int idx) override;
  variant Invoke(const std::string& name, const VariantList& args) override;

  // Class-wide defaults copied into each object at construction.
  static bool s_allowDynamicAttributes;
  static bool s_allowRemoveProperties;
  static bool s_allowMethodObjects;

 protected:
  void setReserved(const std::string& name) { m_reservedMembers.insert(name); }
  bool isReserved(const std::string& name) const {
    return m_reservedMembers.count(name) != 0;
  }
  // Called with m_mutex held.
  bool memberAccessible(const std::string& name) const;
  JSObjectPtr getAttributeHandler(const std::string& attrName) const override;

  bool m_allowDynamicAttributes;
  bool m_allowRemoveProperties;
  bool m_allowMethodObjects;

 private:
  struct Attribute {
    variant value;
    bool readOnly;
  };
  void init();

  std::map<std::string, CallMethodFunctor> m_methodFunctorMap;
  std::map<std::string, PropertyFunctors> m_propertyFunctorsMap;
  std::map<std::string, Attribute> m_attributes;
  std::map<std::string, SecurityZone> m_zoneMap;
  std::set<std::string> m_reservedMembers;
  std::map<std::string, JSAPIPtr> m_methodObjects;
  std::string m_description;
};

}  // namespace FB
