#include "NpapiPlugin.h"

#include <FactoryBase.h>
#include <PluginInfo.h>

#include <boost/algorithm/string/split.hpp>
#include <mutex>
#include <vector>

#include "NPJavascriptObject.h"
#include "NpapiBrowserHost.h"

namespace FB {
namespace Npapi {

const std::map<std::string, std::string>& MimeDescriptions() {
  static const std::map<std::string, std::string> table = [] {
    std::map<std::string, std::string> t;
    std::vector<std::string> entries, pieces;
    const std::string desc = pluginMimeDescription();
    boost::algorithm::split(entries, desc, [](char c) { return c == ';'; });
    for (const std::string& e : entries) {
      boost::algorithm::split(pieces, e, [](char c) { return c == ':'; });
      if (pieces.size() > 2) t[pieces[0]] = pieces[2];
    }
    return t;
  }();
  return table;
}

std::string DescriptionFor(const std::string& mimetype) {
  auto it = MimeDescriptions().find(mimetype);
  return it == MimeDescriptions().end() ? std::string() : it->second;
}

NpapiPlugin::NpapiPlugin(const NpapiBrowserHostPtr& host,
                         const std::string& mimetype)
    : BrowserPlugin(mimetype), m_npHost(host) {
  pluginMain = getFactoryInstance()->createPlugin(mimetype);
  if (!pluginMain) throw PluginCreateError("Could not create the plugin");
  pluginMain->SetHost(host);
  m_pluginName = pluginName();
  try {
    m_pluginDesc = MimeDescriptions().at(mimetype);
  } catch (const std::exception&) {
    m_pluginDesc = "Unknown Description";
  }
}

NpapiPlugin::~NpapiPlugin() {
  if (m_obj) {
    NpapiBrowserHostPtr host = m_npHost.lock();
    if (host) host->ReleaseObject(m_obj);
  }
}

void NpapiPlugin::init(NPMIMEType, int16_t argc, char* argn[], char* argv[]) {
  VariantParamMap params;
  for (int16_t i = 0; argn && argv && i < argc; ++i) {
    if (!argn[i] || !argv[i]) continue;
    params[argn[i]] = variant(std::string(argv[i]));
  }
  pluginMain->setParams(params);
  NpapiBrowserHostPtr host = m_npHost.lock();
  if (host && pluginMain->isWindowless()) {
    host->SetValue(NPPVpluginWindowBool, nullptr);
    host->SetValue(NPPVpluginTransparentBool, reinterpret_cast<void*>(1));
  }
  pluginMain->setReady();
}

void NpapiPlugin::shutdown() {
  if (m_obj) {
    // The page may keep its reference; the object answers nothing from
    // now on.
    if (NPJavascriptObject::isNPJavascriptObject(m_obj))
      static_cast<NPJavascriptObject*>(m_obj)->setInvalid();
    if (NpapiBrowserHostPtr host = m_npHost.lock()) host->ReleaseObject(m_obj);
    m_obj = nullptr;
  }
  if (pluginMain) {
    pluginMain->ClearWindow();
    pluginMain->shutdown();
  }
}

NPObject* NpapiPlugin::getScriptableObject() {
  NpapiBrowserHostPtr host = m_npHost.lock();
  if (!host || host->isShutDown()) return nullptr;
  if (!m_obj) {
    JSAPIPtr api = pluginMain->getRootJSAPI();
    if (!api) return nullptr;
    m_obj = host->getJSAPIWrapper(api, true);
    if (!m_obj) return nullptr;
  }
  if (m_retainReturnedNPObject) host->RetainObject(m_obj);
  return m_obj;
}

NPError NpapiPlugin::GetValue(NPPVariable variable, void* value) {
  if (!value) return NPERR_INVALID_PARAM;
  switch (variable) {
    case NPPVpluginNameString:
      *static_cast<const char**>(value) = m_pluginName.c_str();
      return NPERR_NO_ERROR;
    case NPPVpluginDescriptionString:
      *static_cast<const char**>(value) = m_pluginDesc.c_str();
      return NPERR_NO_ERROR;
    case NPPVpluginScriptableNPObject: {
      NPObject* obj = getScriptableObject();
      *static_cast<NPObject**>(value) = obj;
      return obj ? NPERR_NO_ERROR : NPERR_GENERIC_ERROR;
    }
    default:
      return NPERR_GENERIC_ERROR;
  }
}

NPError NpapiPlugin::SetValue(NPNVariable, void*) {
  return NPERR_GENERIC_ERROR;
}

NPError NpapiPlugin::SetWindow(NPWindow* window) {
  // No native window is made: the element only carries the script object.
  m_window = window;
  return NPERR_NO_ERROR;
}

// The plug-in asks for no streams; one the browser sends anyway is taken
// and ignored, so it ends rather than waiting for a reader.
NPError NpapiPlugin::NewStream(NPMIMEType, NPStream*, NPBool, uint16_t* stype) {
  if (stype) *stype = NP_NORMAL;
  return NPERR_NO_ERROR;
}
NPError NpapiPlugin::DestroyStream(NPStream*, NPReason) {
  return NPERR_NO_ERROR;
}
int32_t NpapiPlugin::WriteReady(NPStream*) { return 0x7fffffff; }
int32_t NpapiPlugin::Write(NPStream*, int32_t, int32_t len, void*) {
  return len < 0 ? 0 : len;
}
void NpapiPlugin::StreamAsFile(NPStream*, const char*) {}
void NpapiPlugin::Print(NPPrint*) {}
int16_t NpapiPlugin::HandleEvent(void*) { return 0; }
void NpapiPlugin::URLNotify(const char*, NPReason, void*) {}

}  // namespace Npapi
}  // namespace FB
