#include "PluginCore.h"

#include <BrowserHost.h>
#include <JSObject.h>
#include <ScriptErrors.h>

#include <boost/algorithm/string/predicate.hpp>

namespace FB {

std::atomic<int> PluginCore::s_activePlugins{0};

PluginCore::PluginCore() { ++s_activePlugins; }

PluginCore::~PluginCore() { --s_activePlugins; }

void PluginCore::SetHost(const BrowserHostPtr& host) { m_host = host; }

JSAPIPtr PluginCore::getRootJSAPI() {
  if (!m_api) m_api = createJSAPI();
  return m_api;
}

void PluginCore::setParams(const VariantParamMap& params) {
  for (const auto& kv : params) {
    m_params[kv.first] = kv.second;
    if (!boost::algorithm::starts_with(kv.first, "on") || !m_host) continue;
    // The value names a page function; a failed lookup leaves the entry as
    // a plain parameter.
    try {
      std::string fname = kv.second.convert_cast<std::string>();
      JSObjectPtr window = m_host->getDOMWindow();
      variant fn = window ? window->GetProperty(fname) : variant();
      if (fn.is_of_type<JSObjectPtr>()) {
        JSObjectPtr handler = fn.cast<JSObjectPtr>();
        if (handler) {
          getRootJSAPI()->registerEventMethod(kv.first, handler);
          m_params[kv.first] = handler;
        }
      }
    } catch (const std::exception&) {
    }
  }
}

boost::optional<std::string> PluginCore::getParam(const std::string& key) {
  auto it = m_params.find(key);
  if (it == m_params.end()) return boost::none;
  try {
    return it->second.convert_cast<std::string>();
  } catch (const std::exception&) {
    return boost::none;
  }
}

variant PluginCore::getParamVariant(const std::string& key) {
  auto it = m_params.find(key);
  return it == m_params.end() ? variant() : it->second;
}

bool PluginCore::setReady() {
  bool scheduled = false;
  if (m_host) {
    // A page that cannot run the helper script, or has no window to run it
    // in, still gets a working element: only its onload call is lost.
    try {
      m_host->initJS(this);
      auto it = m_params.find("onload");
      if (it != m_params.end() && it->second.is_of_type<JSObjectPtr>()) {
        JSObjectPtr onload = it->second.cast<JSObjectPtr>();
        if (onload) {
          VariantList args{variant(getRootJSAPI())};
          scheduled = m_host->delayedInvoke(250, onload, args) != -1;
        }
      }
    } catch (const script_error&) {
      scheduled = false;
    }
  }
  onPluginReady();
  return scheduled;
}

}  // namespace FB
