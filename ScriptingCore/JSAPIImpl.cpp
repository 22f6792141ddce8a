#include <algorithm>
#include <cassert>

#include "JSObject.h"

namespace FB {

JSAPIImpl::JSAPIImpl(SecurityZone zone) : m_defaultZone(zone) {
  m_zoneStack.push_back(zone);
}

JSAPIImpl::~JSAPIImpl() = default;

void JSAPIImpl::invalidate() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  m_valid = false;
}

bool JSAPIImpl::isValid() const {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return m_valid;
}

void JSAPIImpl::registerEventMethod(const std::string& name,
                                    const JSObjectPtr& handler) {
  if (!handler) throw invalid_arguments();
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  const void* id = handler->getEventId();
  auto range = m_eventMap.equal_range(name);
  // Registering the same function twice calls it once, as the DOM does.
  for (auto it = range.first; it != range.second; ++it)
    if (it->second.id == id) return;
  m_eventMap.emplace(name, Handler{handler, id});
}

void JSAPIImpl::unregisterEventMethod(const std::string& name,
                                      const JSObjectPtr& handler) {
  if (!handler) return;
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  const void* id = handler->getEventId();
  auto range = m_eventMap.equal_range(name);
  for (auto it = range.first; it != range.second;) {
    if (it->second.id == id)
      it = m_eventMap.erase(it);
    else
      ++it;
  }
}

void JSAPIImpl::registerProxy(const JSAPIWeakPtr& proxy) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  m_proxies.push_back(proxy);
}

void JSAPIImpl::unregisterProxy(const JSAPIPtr& proxy) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  m_proxies.erase(std::remove_if(m_proxies.begin(), m_proxies.end(),
                                 [&](const JSAPIWeakPtr& p) {
                                   JSAPIPtr q = p.lock();
                                   return !q || q == proxy;
                                 }),
                  m_proxies.end());
}

void JSAPIImpl::FireEvent(const std::string& name, const VariantList& args) {
  std::vector<JSAPIPtr> proxies;
  {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_valid) return;
    for (auto it = m_proxies.begin(); it != m_proxies.end();) {
      if (JSAPIPtr p = it->lock()) {
        proxies.push_back(std::move(p));
        ++it;
      } else {
        it = m_proxies.erase(it);
      }
    }
  }
  // Delivery happens outside the lock: a handler call may need the main
  // thread, which may itself be waiting for this object.
  for (const JSAPIPtr& p : proxies) {
    try {
      p->FireJSEvent(name, VariantMap(), args);
    } catch (const script_error&) {
    }
  }
  try {
    FireJSEvent(name, VariantMap(), args);
  } catch (const script_error&) {
  }
}

void JSAPIImpl::FireJSEvent(const std::string& name, const VariantMap& members,
                            const VariantList& args) {
  std::vector<JSObjectPtr> handlers;
  {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!m_valid) return;
    auto range = m_eventMap.equal_range(name);
    for (auto it = range.first; it != range.second; ++it)
      handlers.push_back(it->second.function);
    if (JSObjectPtr h = getAttributeHandler(name)) {
      bool known = std::any_of(handlers.begin(), handlers.end(),
                               [&](const JSObjectPtr& x) {
                                 return x->getEventId() == h->getEventId();
                               });
      if (!known) handlers.push_back(std::move(h));
    }
  }
  // An event with members reaches the handler as one event object first.
  VariantList callArgs;
  if (!members.empty()) callArgs.emplace_back(members);
  callArgs.insert(callArgs.end(), args.begin(), args.end());
  for (const JSObjectPtr& h : handlers) h->InvokeAsync("", callArgs);
}

void JSAPIImpl::fireAsyncEvent(const std::string& name,
                               const VariantList& args) {
  FireJSEvent(name, VariantMap(), args);
}

JSObjectPtr JSAPIImpl::getAttributeHandler(const std::string&) const {
  return nullptr;
}

void JSAPIImpl::pushZone(SecurityZone zone) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  m_zoneStack.push_back(zone);
}

void JSAPIImpl::popZone() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  // The bottom zone stays: the stack is never empty.
  if (m_zoneStack.size() > 1) m_zoneStack.pop_back();
}

SecurityZone JSAPIImpl::getZone() const {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  assert(!m_zoneStack.empty());
  return m_zoneStack.back();
}

SecurityZone JSAPIImpl::getDefaultZone() const { return m_defaultZone; }

bool JSAPIImpl::HasProperty(int) const { return false; }

variant JSAPIImpl::GetProperty(int idx) {
  throw invalid_member(std::to_string(idx));
}

void JSAPIImpl::SetProperty(int idx, const variant&) {
  throw invalid_member(std::to_string(idx));
}

void JSAPIImpl::RemoveProperty(int idx) {
  throw invalid_member(std::to_string(idx));
}

variant JSAPIImpl::Construct(const VariantList&) {
  throw script_error("Constructor not supported");
}

}  // namespace FB
