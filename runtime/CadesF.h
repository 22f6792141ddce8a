// Run-time binding to the provider's CAdES runtime "libcades.so", which need
// not be installed: the plug-in never links it.
#pragma once

#include <capi/cades.h>
#include <capi/capi.h>

#include <string>

class CadesF {
 public:
  // Loads the runtime and resolves the six calls; never fails. Without every
  // call the object has a null hCadesDll and must not be used.
  CadesF();
  virtual ~CadesF();

  CadesF(const CadesF&) = delete;
  CadesF& operator=(const CadesF&) = delete;

  // "1" when the runtime loads and offers every call, otherwise a Russian
  // message for the user. The runtime, once found, stays loaded.
  static std::string FindCadesDll();

  PFN_CADES_MSG_IS_TYPE FCadesMsgIsType = nullptr;
  PFN_CADES_FREE_VERIFICATION_INFO FCadesFreeVerificationInfo = nullptr;
  PFN_CADES_MSG_VERIFY_SIGNATURE FCadesMsgVerifySignature = nullptr;
  PFN_CADES_MSG_ENHANCE_SIGNATURE FCadesMsgEnhanceSignature = nullptr;
  PFN_CADES_MSG_OPEN_TO_ENCODE FCadesMsgOpenToEncode = nullptr;
  PFN_CADES_FORMAT_MESSAGE FCadesFormatMessage = nullptr;
  void* hCadesDll = nullptr;
};
