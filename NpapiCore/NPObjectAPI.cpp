#include "NPObjectAPI.h"

#include <ScriptErrors.h>

#include <utility>
#include <vector>

#include "NpapiBrowserHost.h"

namespace FB {
namespace Npapi {

namespace {

// Arguments converted for the browser, released whatever happens.
class NPArgs {
 public:
  NPArgs(NpapiBrowserHost& host, const VariantList& args) : host_(host) {
    vars_.reserve(args.size());
    for (const variant& a : args) {
      NPVariant v;
      host_.getNPVariant(&v, a);
      vars_.push_back(v);
    }
  }
  ~NPArgs() {
    for (NPVariant& v : vars_) host_.ReleaseVariantValue(&v);
  }
  NPArgs(const NPArgs&) = delete;
  NPArgs& operator=(const NPArgs&) = delete;
  const NPVariant* data() const { return vars_.data(); }
  uint32_t size() const { return static_cast<uint32_t>(vars_.size()); }

 private:
  NpapiBrowserHost& host_;
  std::vector<NPVariant> vars_;
};

// A result the browser filled in, turned into a script value and released.
variant TakeResult(NpapiBrowserHost& host, NPVariant& result) {
  variant v;
  try {
    v = host.getVariant(&result);
  } catch (...) {
    host.ReleaseVariantValue(&result);
    throw;
  }
  host.ReleaseVariantValue(&result);
  return v;
}

}  // namespace

NPObjectAPI::NPObjectAPI(NPObject* o, const NpapiBrowserHostPtr& host)
    : m_browser(host), m_module(host->module()), obj(o) {
  host->RetainObject(obj);
}

NPObjectAPI::~NPObjectAPI() {
  if (!obj || !m_module) return;
  NPObject* o = obj;
  NpapiPluginModule* module = m_module;
  NpapiBrowserHostPtr host = m_browser.lock();
  if (host && !host->isMainThread()) {
    // The last holder was another thread: the browser takes the release
    // only on its main thread. With the page gone the reference is left to
    // the browser, which frees its objects with the page.
    host->ScheduleOnMainThread([module, o] { module->ReleaseObject(o); });
    return;
  }
  if (!host && !module->isMainThread()) return;
  module->ReleaseObject(o);
}

NpapiBrowserHostPtr NPObjectAPI::host() const {
  NpapiBrowserHostPtr h = m_browser.lock();
  if (!h || h->isShutDown()) throw script_error("Shutting down");
  if (!m_valid) throw object_invalidated();
  return h;
}

bool NPObjectAPI::isValid() const {
  NpapiBrowserHostPtr h = m_browser.lock();
  return m_valid && h && !h->isShutDown();
}

void NPObjectAPI::getMemberNames(StringVec& names) const {
  names.clear();
  NpapiBrowserHostPtr h = host();
  if (!h->isMainThread()) {
    names = h->CallOnMainThread([this] { return getMemberNames(); });
    return;
  }
  NPIdentifier* ids = nullptr;
  uint32_t count = 0;
  if (!h->Enumerate(obj, &ids, &count)) return;
  for (uint32_t i = 0; i < count; ++i) {
    if (h->IdentifierIsString(ids[i]))
      names.push_back(h->StringFromIdentifier(ids[i]));
    else
      names.push_back(std::to_string(h->IntFromIdentifier(ids[i])));
  }
  h->MemFree(ids);
}

size_t NPObjectAPI::getMemberCount() const { return getMemberNames().size(); }

bool NPObjectAPI::HasMethod(const std::string& name) const {
  NpapiBrowserHostPtr h = host();
  if (!h->isMainThread())
    return h->CallOnMainThread([this, name] { return HasMethod(name); });
  return h->HasMethod(obj, h->GetStringIdentifier(name));
}

bool NPObjectAPI::HasProperty(const std::string& name) const {
  NpapiBrowserHostPtr h = host();
  if (!h->isMainThread())
    return h->CallOnMainThread([this, name] { return HasProperty(name); });
  return h->HasProperty(obj, h->GetStringIdentifier(name));
}

bool NPObjectAPI::HasProperty(int idx) const {
  NpapiBrowserHostPtr h = host();
  if (!h->isMainThread())
    return h->CallOnMainThread([this, idx] { return HasProperty(idx); });
  return h->HasProperty(obj, h->GetIntIdentifier(idx));
}

variant NPObjectAPI::getProp(NPIdentifier id, const std::string& what) {
  NpapiBrowserHostPtr h = host();
  NPVariant result;
  VOID_TO_NPVARIANT(result);
  if (!h->GetProperty(obj, id, &result)) {
    h->ReleaseVariantValue(&result);
    throw script_error("Error reading property " + what);
  }
  return TakeResult(*h, result);
}

variant NPObjectAPI::GetProperty(const std::string& name) {
  NpapiBrowserHostPtr h = host();
  if (!h->isMainThread())
    return h->CallOnMainThread([this, name] { return GetProperty(name); });
  return getProp(h->GetStringIdentifier(name), name);
}

variant NPObjectAPI::GetProperty(int idx) {
  NpapiBrowserHostPtr h = host();
  if (!h->isMainThread())
    return h->CallOnMainThread([this, idx] { return GetProperty(idx); });
  return getProp(h->GetIntIdentifier(idx), std::to_string(idx));
}

void NPObjectAPI::setProp(NPIdentifier id, const variant& value,
                          const std::string& what) {
  NpapiBrowserHostPtr h = host();
  NPVariant v;
  h->getNPVariant(&v, value);
  bool ok = h->SetProperty(obj, id, &v);
  h->ReleaseVariantValue(&v);
  if (!ok) throw script_error("Error setting property " + what);
}

void NPObjectAPI::SetProperty(const std::string& name, const variant& value) {
  NpapiBrowserHostPtr h = host();
  if (!h->isMainThread()) {
    h->CallOnMainThread([this, name, value] { SetProperty(name, value); });
    return;
  }
  setProp(h->GetStringIdentifier(name), value, name);
}

void NPObjectAPI::SetProperty(int idx, const variant& value) {
  NpapiBrowserHostPtr h = host();
  if (!h->isMainThread()) {
    h->CallOnMainThread([this, idx, value] { SetProperty(idx, value); });
    return;
  }
  setProp(h->GetIntIdentifier(idx), value, std::to_string(idx));
}

void NPObjectAPI::RemoveProperty(const std::string& name) {
  NpapiBrowserHostPtr h = host();
  if (!h->isMainThread()) {
    h->CallOnMainThread([this, name] { RemoveProperty(name); });
    return;
  }
  if (!h->RemoveProperty(obj, h->GetStringIdentifier(name)))
    throw script_error("Error removing property " + name);
}

void NPObjectAPI::RemoveProperty(int idx) {
  NpapiBrowserHostPtr h = host();
  if (!h->isMainThread()) {
    h->CallOnMainThread([this, idx] { RemoveProperty(idx); });
    return;
  }
  if (!h->RemoveProperty(obj, h->GetIntIdentifier(idx)))
    throw script_error("Error removing property " + std::to_string(idx));
}

variant NPObjectAPI::Invoke(const std::string& name, const VariantList& args) {
  NpapiBrowserHostPtr h = host();
  if (!h->isMainThread())
    return h->CallOnMainThread(
        [this, name, args] { return Invoke(name, args); });
  NPArgs np(*h, args);
  NPVariant result;
  VOID_TO_NPVARIANT(result);
  bool ok = name.empty() ? h->InvokeDefault(obj, np.data(), np.size(), &result)
                         : h->Invoke(obj, h->GetStringIdentifier(name),
                                     np.data(), np.size(), &result);
  if (!ok) {
    h->ReleaseVariantValue(&result);
    throw script_error("Error calling " + (name.empty() ? "function" : name));
  }
  return TakeResult(*h, result);
}

variant NPObjectAPI::Construct(const VariantList& args) {
  NpapiBrowserHostPtr h = host();
  if (!h->isMainThread())
    return h->CallOnMainThread([this, args] { return Construct(args); });
  NPArgs np(*h, args);
  NPVariant result;
  VOID_TO_NPVARIANT(result);
  if (!h->Construct(obj, np.data(), np.size(), &result)) {
    h->ReleaseVariantValue(&result);
    throw script_error("Error constructing object");
  }
  return TakeResult(*h, result);
}

void NPObjectAPI::InvokeAsync(const std::string& name,
                              const VariantList& args) {
  NpapiBrowserHostPtr h = m_browser.lock();
  if (!h || h->isShutDown()) return;
  // The call holds this wrapper (and so the page object) until it has run
  // or has been dropped with the page.
  std::weak_ptr<NpapiBrowserHost> weakHost = h;
  std::shared_ptr<NPObjectAPI> self =
      std::static_pointer_cast<NPObjectAPI>(shared_from_this());
  h->ScheduleOnMainThread([self, weakHost, name, args] {
    if (weakHost.expired())
      throw script_error("Error calling handlers (delegate disappeared)");
    try {
      self->Invoke(name, args);
    } catch (const std::exception&) {
      throw script_error("Error calling handlers");
    }
  });
}

}  // namespace Npapi
}  // namespace FB
