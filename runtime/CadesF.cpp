#include "CadesF.h"

#include <dlfcn.h>

#include "TavrixUtils.h"

namespace {

const char kCadesLibrary[] = "libcades.so";
const char* const kCadesNames[] = {
    "CadesMsgIsType",          "CadesFreeVerificationInfo",
    "CadesMsgVerifySignature", "CadesMsgEnhanceSignature",
    "CadesMsgOpenToEncode",    "CadesFormatMessage"};

template <typename F>
F Resolve(void* handle, const char* name) {
  return reinterpret_cast<F>(dlsym(handle, name));
}

}  // namespace

CadesF::CadesF() {
  void* loaded = dlopen(kCadesLibrary, RTLD_LAZY);
  hCadesDll = loaded;
  if (loaded != nullptr) {
    FCadesMsgIsType = Resolve<PFN_CADES_MSG_IS_TYPE>(loaded, kCadesNames[0]);
    FCadesFreeVerificationInfo =
        Resolve<PFN_CADES_FREE_VERIFICATION_INFO>(loaded, kCadesNames[1]);
    FCadesMsgVerifySignature =
        Resolve<PFN_CADES_MSG_VERIFY_SIGNATURE>(loaded, kCadesNames[2]);
    FCadesMsgEnhanceSignature =
        Resolve<PFN_CADES_MSG_ENHANCE_SIGNATURE>(loaded, kCadesNames[3]);
    FCadesMsgOpenToEncode =
        Resolve<PFN_CADES_MSG_OPEN_TO_ENCODE>(loaded, kCadesNames[4]);
    FCadesFormatMessage =
        Resolve<PFN_CADES_FORMAT_MESSAGE>(loaded, kCadesNames[5]);
  }
  if (!FCadesMsgIsType || !FCadesFreeVerificationInfo ||
      !FCadesMsgVerifySignature || !FCadesMsgEnhanceSignature ||
      !FCadesMsgOpenToEncode || !FCadesFormatMessage)
    hCadesDll = nullptr;

  std::string line = "CadesF:";
  if (loaded != nullptr) {
    auto flag = [](const void* p) { return p ? "1" : "0"; };
    line += " hCadesDll=" + toString(loaded);
    line += std::string(" FCadesMsgIsType=") +
            flag(reinterpret_cast<const void*>(FCadesMsgIsType));
    line += std::string(" FCadesFreeVerificationInfo=") +
            flag(reinterpret_cast<const void*>(FCadesFreeVerificationInfo));
    line += std::string(" FCadesMsgVerifySignature=") +
            flag(reinterpret_cast<const void*>(FCadesMsgVerifySignature));
    line += std::string(" FCadesMsgEnhanceSignature=") +
            flag(reinterpret_cast<const void*>(FCadesMsgEnhanceSignature));
    line += std::string(" FCadesMsgOpenToEncode=") +
            flag(reinterpret_cast<const void*>(FCadesMsgOpenToEncode));
    line += std::string(" FCadesFormatMessage=") +
            flag(reinterpret_cast<const void*>(FCadesFormatMessage));
  }
  TavrixUtils::ODebug(line);
}

CadesF::~CadesF() {
  // An incomplete runtime was left loaded on purpose: nothing to close.
  if (hCadesDll != nullptr) dlclose(hCadesDll);
}

std::string CadesF::FindCadesDll() {
  std::string result;
  void* handle = dlopen(kCadesLibrary, RTLD_NOW);
  if (handle == nullptr) {
    result = "Не установлен КриптоПРО ЭЦП Runtime!";
  } else {
    std::string missing;
    for (const char* name : kCadesNames)
      if (dlsym(handle, name) == nullptr) missing += std::string(name) + ",";
    if (!missing.empty()) {
      missing.erase(missing.size() - 1);
      result =
          "Необходимо обновить КрипроПро ЭЦП Runtime. Не найдены следующие "
          "методы:" +
          missing;
    } else {
      result = "1";
    }
    // Not closed: a runtime once found stays loaded for the process.
  }
  TavrixUtils::ODebug("FindCadesDll" + result);
  return result;
}
