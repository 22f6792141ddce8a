// The browser-side object of one embedded element: it owns the plug-in core
// made by the factory, answers the browser's queries and hands out the
// scriptable object.
#pragma once

#include <BrowserPlugin.h>
#include <PluginCore.h>
#include <npapi/npfunctions.h>

#include <map>
#include <memory>
#include <string>

namespace FB {
namespace Npapi {

class NpapiBrowserHost;
using NpapiBrowserHostPtr = std::shared_ptr<NpapiBrowserHost>;

// The factory gave no plug-in object for the element.
struct PluginCreateError : std::runtime_error {
  explicit PluginCreateError(const std::string& text)
      : std::runtime_error(text) {}
};

// The MIME type -> description table of the library, built once.
const std::map<std::string, std::string>& MimeDescriptions();
// The description for a MIME type; "" for one the table lacks.
std::string DescriptionFor(const std::string& mimetype);

class NpapiPlugin : public FB::BrowserPlugin {
 public:
  NpapiPlugin(const NpapiBrowserHostPtr& host, const std::string& mimetype);
  ~NpapiPlugin() override;

  // The element's parameters (pairs with a null value are left out), then
  // readiness.
  void init(NPMIMEType pluginType, int16_t argc, char* argn[], char* argv[]);
  void shutdown() override;

  NPError GetValue(NPPVariable variable, void* value);
  NPError SetValue(NPNVariable variable, void* value);
  NPError SetWindow(NPWindow* window);
  NPError NewStream(NPMIMEType type, NPStream* stream, NPBool seekable,
                    uint16_t* stype);
  NPError DestroyStream(NPStream* stream, NPReason reason);
  int32_t WriteReady(NPStream* stream);
  int32_t Write(NPStream* stream, int32_t offset, int32_t len, void* buffer);
  void StreamAsFile(NPStream* stream, const char* fname);
  void Print(NPPrint* platformPrint);
  int16_t HandleEvent(void* event);
  void URLNotify(const char* url, NPReason reason, void* notifyData);

  // The scriptable object, retained once more for the caller (the browser
  // releases what it receives).
  NPObject* getScriptableObject();
  const PluginCorePtr& core() const { return pluginMain; }

 private:
  PluginCorePtr pluginMain;
  std::weak_ptr<NpapiBrowserHost> m_npHost;
  NPObject* m_obj = nullptr;
  bool m_retainReturnedNPObject = true;
  std::string m_pluginName;
  std::string m_pluginDesc;
  NPWindow* m_window = nullptr;
};

using NpapiPluginPtr = std::shared_ptr<NpapiPlugin>;

}  // namespace Npapi
}  // namespace FB
