// The exported CryptMsg* calls for signed messages: each looks its message
// up in the handle table, holds it for the call and passes the work on to
// the encoder (msg/encoder.cpp), the decoder (msg/decoder.cpp), the
// parameters (msg/params.cpp) or the controls (msg/controls.cpp).
#include "base/c_boundary.h"
#include "capi/capi.h"
#include "msg/message.h"

namespace tavrix::provider::msg {
namespace {

bool ValidEncoding(DWORD t) {
  return (t & PKCS_7_ASN_ENCODING) || (t & X509_ASN_ENCODING);
}

}  // namespace
}  // namespace tavrix::provider::msg

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::msg;

extern "C" {

CAPI_EXPORT HCRYPTMSG WINAPI
CryptMsgOpenToEncode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                     void const* pvMsgEncodeInfo, LPSTR pszInnerContentObjID,
                     PCMSG_STREAM_INFO pStreamInfo) try {
  if (!ValidEncoding(dwMsgEncodingType))
    return FailWith<HCRYPTMSG>(E_INVALIDARG, nullptr);
  if (dwMsgType != CMSG_SIGNED)
    return FailWith<HCRYPTMSG>(CRYPT_E_INVALID_MSG_TYPE, nullptr);
  auto m = std::make_shared<Msg>();
  m->flags = dwFlags;
  if (!OpenEncoder(m.get(),
                   static_cast<const CMSG_SIGNED_ENCODE_INFO*>(pvMsgEncodeInfo),
                   pszInnerContentObjID, pStreamInfo))
    return nullptr;
  return Messages().Add(std::move(m));
}
CAPI_GUARD(nullptr)

CAPI_EXPORT HCRYPTMSG WINAPI
CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                     HCRYPTPROV_LEGACY hCryptProv, PCERT_INFO pRecipientInfo,
                     PCMSG_STREAM_INFO pStreamInfo) try {
  (void)pRecipientInfo;
  if (!ValidEncoding(dwMsgEncodingType))
    return FailWith<HCRYPTMSG>(E_INVALIDARG, nullptr);
  if (dwMsgType != 0 && dwMsgType != CMSG_SIGNED)
    return FailWith<HCRYPTMSG>(CRYPT_E_INVALID_MSG_TYPE, nullptr);
  if (pStreamInfo && !pStreamInfo->pfnStreamOutput)
    return FailWith<HCRYPTMSG>(E_INVALIDARG, nullptr);
  auto m = std::make_shared<Msg>();
  m->flags = dwFlags;
  m->user_prov = hCryptProv;
  if (pStreamInfo) {
    m->streaming = true;
    m->stream = *pStreamInfo;
  }
  OpenDecoder(m.get());
  return Messages().Add(std::move(m));
}
CAPI_GUARD(nullptr)

CAPI_EXPORT HCRYPTMSG WINAPI CryptMsgDuplicate(HCRYPTMSG hCryptMsg) try {
  if (!Messages().Retain(hCryptMsg))
    return FailWith<HCRYPTMSG>(E_INVALIDARG, nullptr);
  return hCryptMsg;
}
CAPI_GUARD(nullptr)

CAPI_EXPORT BOOL WINAPI CryptMsgClose(HCRYPTMSG hCryptMsg) try {
  if (!hCryptMsg) return TRUE;
  // The last reference may be a call still under way; it frees the message.
  MsgPtr m = Messages().Release(hCryptMsg);
  return m ? TRUE : Fail(E_INVALIDARG);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData,
                                       DWORD cbData, BOOL fFinal) try {
  MsgPtr m = Messages().Get(hCryptMsg);
  if (!m) return Fail(E_INVALIDARG);
  std::lock_guard<std::recursive_mutex> g(m->mu);
  return m->encoding() ? EncodeUpdate(m.get(), pbData, cbData, fFinal)
                       : DecodeUpdate(m.get(), pbData, cbData, fFinal);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType,
                                         DWORD dwIndex, void* pvData,
                                         DWORD* pcbData) try {
  MsgPtr m = Messages().Get(hCryptMsg);
  if (!m) return Fail(E_INVALIDARG);
  std::lock_guard<std::recursive_mutex> g(m->mu);
  return GetParam(m.get(), dwParamType, dwIndex, pvData, pcbData);
}
CAPI_GUARD(FALSE)

CAPI_EXPORT BOOL WINAPI CryptMsgControl(HCRYPTMSG hCryptMsg, DWORD dwFlags,
                                        DWORD dwCtrlType,
                                        void const* pvCtrlPara) try {
  (void)dwFlags;  // the provider's 0x200 and the standard flags change nothing
                  // here
  MsgPtr m = Messages().Get(hCryptMsg);
  if (!m) return Fail(E_INVALIDARG);
  std::lock_guard<std::recursive_mutex> g(m->mu);
  if (m->encoding() && m->streaming) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
  return Control(m.get(), dwCtrlType, pvCtrlPara);
}
CAPI_GUARD(FALSE)

// The size a whole definite encoding takes (an upper bound, as CryptoAPI
// allows; exact here, since every signature and digest has a fixed size).
CAPI_EXPORT DWORD WINAPI CryptMsgCalculateEncodedLength(
    DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
    void const* pvMsgEncodeInfo, LPSTR pszInnerContentObjID, DWORD cbData) try {
  if (!ValidEncoding(dwMsgEncodingType))
    return FailWith<DWORD>(E_INVALIDARG, 0);
  DWORD n = 0;
  if (dwMsgType == CMSG_DATA) return DataLength(dwFlags, cbData, &n) ? n : 0;
  if (dwMsgType != CMSG_SIGNED)
    return FailWith<DWORD>(CRYPT_E_INVALID_MSG_TYPE, 0);
  Msg m;
  // Nothing is encoded: the caller's providers stay the caller's.
  m.flags = dwFlags & ~CMSG_CRYPT_RELEASE_CONTEXT_FLAG;
  if (!OpenEncoder(&m,
                   static_cast<const CMSG_SIGNED_ENCODE_INFO*>(pvMsgEncodeInfo),
                   pszInnerContentObjID, nullptr) ||
      !SignedLength(&m, cbData, &n))
    return 0;
  return n;
}
CAPI_GUARD(0)

}  // extern "C"
