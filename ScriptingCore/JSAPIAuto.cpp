#include "JSAPIAuto.h"

#include <algorithm>

namespace FB {

bool JSAPIAuto::s_allowDynamicAttributes = true;
bool JSAPIAuto::s_allowRemoveProperties = false;
bool JSAPIAuto::s_allowMethodObjects = true;

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

// The page-side value of a method: calling it calls the method on its
// object. It holds the object weakly; once the object is gone, a call
// fails like a call on an invalidated object.
class MethodObject : public JSAPIAuto {
 public:
  MethodObject(const JSAPIWeakPtr& owner, const std::string& method)
      : JSAPIAuto("function " + method + "() { [native code] }"),
        owner_(owner),
        method_(method) {
    // Pages treat a method as a function: `m.call(obj, a, b)` and
    // `m.apply(obj, [a, b])` call it with those arguments (the object given
    // is always the owner).
    registerMethod("call", [this](const VariantList& args) {
      return callOwner(args.empty()
                           ? VariantList()
                           : VariantList(args.begin() + 1, args.end()));
    });
    registerMethod("apply", [this](const VariantList& args) {
      return callOwner(args.size() < 2 ? VariantList() : listOf(args[1]));
    });
  }

  variant Invoke(const std::string& name, const VariantList& args) override {
    if (!name.empty()) return JSAPIAuto::Invoke(name, args);
    return callOwner(args);
  }

 private:
  variant callOwner(const VariantList& args) {
    JSAPIPtr owner = owner_.lock();
    if (!owner) throw object_invalidated();
    return owner->Invoke(method_, args);
  }

  // The argument list `apply` was given: an array of the page, a list, or
  // nothing. A page array claims its own length, so it is bounded before it
  // is read element by element.
  static VariantList listOf(const variant& v) {
    if (v.empty() || v.is_null()) return VariantList();
    if (v.is_of_type<VariantList>()) return v.cast<VariantList>();
    JSObjectPtr array = v.convert_cast<JSObjectPtr>();
    if (!array) return VariantList();
    const int kMaxArguments = 256;
    int length = array->GetProperty("length").convert_cast<int>();
    if (length < 0 || length > kMaxArguments)
      throw invalid_arguments("Too many arguments");
    VariantList out;
    for (int i = 0; i < length; ++i) out.push_back(array->GetProperty(i));
    return out;
  }

  JSAPIWeakPtr owner_;
  std::string method_;
};

std::string couldNotConvert(const bad_variant_cast& e) {
  return "Could not convert from " + e.from + " to " + e.to;
}

}  // namespace

JSAPIAuto::JSAPIAuto(const std::string& description)
    : JSAPIAuto(SecurityScope_Public, description) {}

JSAPIAuto::JSAPIAuto(SecurityZone zone, const std::string& description)
    : JSAPIImpl(zone),
      m_allowDynamicAttributes(s_allowDynamicAttributes),
      m_allowRemoveProperties(s_allowRemoveProperties),
      m_allowMethodObjects(s_allowMethodObjects),
      m_description(description) {
  init();
}

JSAPIAuto::~JSAPIAuto() = default;

void JSAPIAuto::init() {
  registerMethod("toString", make_method(this, &JSAPIAuto::ToString));
  registerMethod("getAttribute", make_method(this, &JSAPIAuto::getAttribute));
  registerMethod("setAttribute", make_method(this, &JSAPIAuto::setAttribute));
  registerProperty("value", make_property(this, &JSAPIAuto::ToString));
  registerProperty("valid", make_property(this, &JSAPIAuto::get_valid));
  // Names a page or the browser probes on DOM elements; claiming them as
  // dynamic attributes would confuse the page's layout and introspection.
  for (const char* name :
       {"offsetWidth", "offsetHeight", "width", "height", "attributes",
        "nodeType", "namespaceURI", "localName", "wrappedJSObject", "prototype",
        "style", "id", "constructor"})
    setReserved(name);
}

void JSAPIAuto::registerMethod(const std::string& name,
                               CallMethodFunctor method) {
  Lock lock(m_mutex);
  m_methodFunctorMap[name] = std::move(method);
  m_zoneMap[name] = getZone();
  m_methodObjects.erase(name);
}

void JSAPIAuto::unregisterMethod(const std::string& name) {
  Lock lock(m_mutex);
  m_methodFunctorMap.erase(name);
  m_methodObjects.erase(name);
}

void JSAPIAuto::registerProperty(const std::string& name,
                                 PropertyFunctors property) {
  Lock lock(m_mutex);
  m_propertyFunctorsMap[name] = std::move(property);
  m_zoneMap[name] = getZone();
}

void JSAPIAuto::unregisterProperty(const std::string& name) {
  Lock lock(m_mutex);
  m_propertyFunctorsMap.erase(name);
}

void JSAPIAuto::registerAttribute(const std::string& name, const variant& value,
                                  bool readOnly) {
  Lock lock(m_mutex);
  m_attributes[name] = Attribute{value, readOnly};
  m_zoneMap[name] = getZone();
}

void JSAPIAuto::unregisterAttribute(const std::string& name) {
  Lock lock(m_mutex);
  auto it = m_attributes.find(name);
  if (it == m_attributes.end()) return;
  if (it->second.readOnly)
    throw script_error("Cannot remove read-only property " + name);
  m_attributes.erase(it);
}

variant JSAPIAuto::getAttribute(const std::string& name) {
  Lock lock(m_mutex);
  auto it = m_attributes.find(name);
  return it == m_attributes.end() ? variant() : it->second.value;
}

void JSAPIAuto::setAttribute(const std::string& name, const variant& value) {
  Lock lock(m_mutex);
  auto it = m_attributes.find(name);
  if (it == m_attributes.end()) {
    m_attributes.emplace(name, Attribute{value, false});
    m_zoneMap.emplace(name, getZone());
  } else if (it->second.readOnly) {
    throw script_error("Cannot set read-only property " + name);
  } else {
    it->second.value = value;
  }
}

bool JSAPIAuto::memberAccessible(const std::string& name) const {
  auto it = m_zoneMap.find(name);
  return it == m_zoneMap.end() || getZone() >= it->second;
}

void JSAPIAuto::getMemberNames(StringVec& names) const {
  Lock lock(m_mutex);
  names.clear();
  if (!isValid()) return;
  auto add = [&](const std::string& name) {
    if (memberAccessible(name) &&
        std::find(names.begin(), names.end(), name) == names.end())
      names.push_back(name);
  };
  for (const auto& m : m_methodFunctorMap) add(m.first);
  for (const auto& p : m_propertyFunctorsMap) add(p.first);
  for (const auto& a : m_attributes) add(a.first);
}

size_t JSAPIAuto::getMemberCount() const { return getMemberNames().size(); }

bool JSAPIAuto::HasMethod(const std::string& name) const {
  Lock lock(m_mutex);
  return isValid() && m_methodFunctorMap.count(name) != 0 &&
         memberAccessible(name);
}

bool JSAPIAuto::HasMethodObject(const std::string& name) const {
  Lock lock(m_mutex);
  return m_allowMethodObjects && HasMethod(name);
}

JSAPIPtr JSAPIAuto::GetMethodObject(const std::string& name) {
  Lock lock(m_mutex);
  if (!isValid()) throw object_invalidated();
  if (!HasMethodObject(name)) throw invalid_member(name);
  JSAPIPtr& cached = m_methodObjects[name];
  // Held weakly by the method object, so this object must be shared; the
  // same method object is handed out each time, so a page can compare it.
  if (!cached) cached = std::make_shared<MethodObject>(weak_from_this(), name);
  return cached;
}

bool JSAPIAuto::HasProperty(const std::string& name) const {
  Lock lock(m_mutex);
  if (!isValid()) return false;
  if (m_allowDynamicAttributes)
    return m_methodFunctorMap.count(name) == 0 && !isReserved(name);
  if (m_allowMethodObjects && HasMethod(name)) return true;
  if (m_propertyFunctorsMap.count(name) && memberAccessible(name)) return true;
  return m_attributes.count(name) != 0;
}

bool JSAPIAuto::HasProperty(int idx) const {
  Lock lock(m_mutex);
  if (!isValid()) return false;
  return m_allowDynamicAttributes ||
         m_attributes.count(std::to_string(idx)) != 0;
}

variant JSAPIAuto::GetProperty(const std::string& name) {
  std::function<variant()> getter;
  {
    Lock lock(m_mutex);
    if (!isValid()) throw object_invalidated();
    auto p = m_propertyFunctorsMap.find(name);
    if (p != m_propertyFunctorsMap.end() && memberAccessible(name)) {
      getter = p->second.get;
    } else if (m_allowMethodObjects && HasMethod(name) &&
               !weak_from_this().expired()) {
      return GetMethodObject(name);
    } else {
      auto a = m_attributes.find(name);
      if (a != m_attributes.end() && memberAccessible(name))
        return a->second.value;
      if (m_allowDynamicAttributes) return variant();
      throw invalid_member(name);
    }
  }
  // Getters run outside the lock: they may take long (a controller call)
  // and events fired meanwhile from other threads must not wait for them.
  try {
    return getter();
  } catch (const bad_variant_cast& e) {
    throw invalid_arguments(couldNotConvert(e));
  }
}

variant JSAPIAuto::GetProperty(int idx) {
  return GetProperty(std::to_string(idx));
}

void JSAPIAuto::SetProperty(const std::string& name, const variant& value) {
  std::function<void(const variant&)> setter;
  {
    Lock lock(m_mutex);
    if (!isValid()) throw object_invalidated();
    auto p = m_propertyFunctorsMap.find(name);
    if (p != m_propertyFunctorsMap.end()) {
      if (!memberAccessible(name)) throw invalid_member(name);
      // A page writing a read-only property learns it did not take.
      if (!p->second.set)
        throw script_error("Cannot set read-only property " + name);
      setter = p->second.set;
    } else if (m_allowDynamicAttributes || m_attributes.count(name)) {
      setAttribute(name, value);
      return;
    } else {
      throw invalid_member(name);
    }
  }
  try {
    setter(value);
  } catch (const bad_variant_cast& e) {
    throw invalid_arguments(couldNotConvert(e));
  }
}

void JSAPIAuto::SetProperty(int idx, const variant& value) {
  SetProperty(std::to_string(idx), value);
}

void JSAPIAuto::RemoveProperty(const std::string& name) {
  Lock lock(m_mutex);
  if (!isValid()) throw object_invalidated();
  if (m_allowRemoveProperties && m_attributes.count(name))
    unregisterAttribute(name);
}

void JSAPIAuto::RemoveProperty(int idx) { RemoveProperty(std::to_string(idx)); }

variant JSAPIAuto::Invoke(const std::string& name, const VariantList& args) {
  CallMethodFunctor method;
  {
    Lock lock(m_mutex);
    if (!isValid()) throw object_invalidated();
    auto it = m_methodFunctorMap.find(name);
    if (it == m_methodFunctorMap.end() || !memberAccessible(name))
      throw invalid_member(name);
    method = it->second;
  }
  // The call runs outside the lock (see GetProperty); the copy keeps the
  // callable alive even if the member is unregistered meanwhile.
  try {
    return method(args);
  } catch (const bad_variant_cast& e) {
    throw invalid_arguments(couldNotConvert(e));
  }
}

JSObjectPtr JSAPIAuto::getAttributeHandler(const std::string& eventName) const {
  // Pages attach a handler as `obj.onecho = f`, so an event already named
  // "on..." is looked up under its own name.
  std::string attr =
      eventName.compare(0, 2, "on") == 0 ? eventName : "on" + eventName;
  Lock lock(m_mutex);
  auto it = m_attributes.find(attr);
  if (it == m_attributes.end()) return nullptr;
  if (const JSObjectPtr* h =
          std::get_if<JSObjectPtr>(&it->second.value.storage()))
    return *h;
  return nullptr;
}

}  // namespace FB
