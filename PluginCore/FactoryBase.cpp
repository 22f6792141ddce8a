#include "FactoryBase.h"

#include <NpapiPlugin.h>

namespace FB {

std::shared_ptr<BrowserPlugin> FactoryBase::createNpapiPlugin(
    const Npapi::NpapiBrowserHostPtr& host, const std::string& mimetype) {
  return std::make_shared<Npapi::NpapiPlugin>(host, mimetype);
}

}  // namespace FB
