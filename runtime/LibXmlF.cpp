#include "LibXmlF.h"

#include <dlfcn.h>

#include "TavrixUtils.h"

namespace {

const wchar_t kLibXmlName[] = L"libxml2.so";
const char kLibXmlNarrow[] = "libxml2.so";
const char* const kLibXmlNames[] = {"xmlC14NDocDumpMemory",
                                    "xmlCleanupParser",
                                    "xmlDocGetRootElement",
                                    "xmlFree",
                                    "xmlFreeDoc",
                                    "xmlInitParser",
                                    "xmlMemoryDump",
                                    "xmlReadMemory",
                                    "xmlSubstituteEntitiesDefault",
                                    "xmlXPathFreeObject",
                                    "__xmlLoadExtDtdDefaultValue"};

template <typename F>
void Resolve(void* handle, const char* name, F& field, std::string& line) {
  field = reinterpret_cast<F>(dlsym(handle, name));
  line += std::string(" ") + name + "=" + toString(field);
}

}  // namespace

LibXmlF::LibXmlF() {
  std::string line = "LibXmlF:";
  hDll = TavrixUtils::LoadLib(kLibXmlName);
  if (hDll != nullptr) {
    line += " hDll=" + toString(hDll);
    Resolve(hDll, kLibXmlNames[0], FxmlC14NDocDumpMemory, line);
    Resolve(hDll, kLibXmlNames[1], FxmlCleanupParser, line);
    Resolve(hDll, kLibXmlNames[2], FxmlDocGetRootElement, line);
    void* freeVariable = dlsym(hDll, kLibXmlNames[3]);
    FxmlFree =
        freeVariable ? *static_cast<xmlFreeFunc*>(freeVariable) : nullptr;
    line += " xmlFree=" + toString(FxmlFree);
    Resolve(hDll, kLibXmlNames[4], FxmlFreeDoc, line);
    Resolve(hDll, kLibXmlNames[5], FxmlInitParser, line);
    Resolve(hDll, kLibXmlNames[6], FxmlMemoryDump, line);
    Resolve(hDll, kLibXmlNames[7], FxmlReadMemory, line);
    Resolve(hDll, kLibXmlNames[8], FxmlSubstituteEntitiesDefault, line);
    Resolve(hDll, kLibXmlNames[9], FxmlXPathFreeObject, line);
    Resolve(hDll, kLibXmlNames[10], F__xmlLoadExtDtdDefaultValue, line);
    if (!FxmlC14NDocDumpMemory || !FxmlCleanupParser ||
        !FxmlDocGetRootElement || !FxmlFree || !FxmlFreeDoc ||
        !FxmlInitParser || !FxmlMemoryDump || !FxmlReadMemory ||
        !FxmlSubstituteEntitiesDefault || !FxmlXPathFreeObject ||
        !F__xmlLoadExtDtdDefaultValue)
      hDll = nullptr;  // left loaded, as the check leaves it
  }
  TavrixUtils::ODebug(line);
}

LibXmlF::~LibXmlF() {
  if (hDll != nullptr) dlclose(hDll);
}

std::string LibXmlF::FindDll() {
  std::string result;
  void* handle = TavrixUtils::LoadLib(kLibXmlName);
  if (handle == nullptr) {
    result = std::string("Не установлен ") + kLibXmlNarrow + "!";
  } else {
    std::string missing;
    for (const char* name : kLibXmlNames)
      if (dlsym(handle, name) == nullptr) missing += std::string(name) + ",";
    if (!missing.empty()) {
      missing.erase(missing.size() - 1);
      result = std::string("Необходимо обновить ") + kLibXmlNarrow +
               ". Не найдены следующие методы:" + missing;
    }
  }
  TavrixUtils::ODebug("FindDll: " + result);
  return result;
}
