// The runtime's own error texts in Russian. Codes that are not the runtime's
// give 0, so callers fall back to the provider's FormatMessage.
#include <cwchar>

#include "cades_internal.h"

namespace {

struct Text {
  DWORD code;
  const wchar_t* text;
};

const Text kTexts[] = {
    {CADES_E_BAD_PARAMETER, L"Неверные параметры вызова среды CAdES."},
    {CADES_E_NO_SIGNER, L"В сообщении нет подписи с указанным номером."},
    {CADES_E_NO_SIGNER_CERT, L"Не найден сертификат подписанта."},
    {CADES_E_TSP_ADDRESS, L"Неверный адрес службы штампов времени."},
    {CADES_E_TSP_UNREACHABLE,
     L"Служба штампов времени недоступна или не ответила вовремя."},
    {CADES_E_TSP_REJECTED, L"Служба штампов времени отказала в выдаче штампа."},
    {CADES_E_TSP_MALFORMED,
     L"Ответ службы штампов времени имеет неверный формат."},
    {CADES_E_TSP_IMPRINT, L"Штамп времени выдан не на значение подписи."},
    {CADES_E_TSP_NONCE,
     L"Штамп времени не соответствует запросу: другое случайное число."},
    {CADES_E_TSP_SIGNATURE, L"Неверная подпись штампа времени."},
    {CADES_E_TSP_USAGE,
     L"Сертификат службы штампов времени не имеет критического расширения "
     L"использования ключа для штампов времени."},
    {CADES_E_TSP_UNTRUSTED,
     L"Сертификат службы штампов времени не является доверенным."},
    {CADES_E_NO_CHAIN,
     L"Не удалось построить цепочку сертификатов до доверенного корневого "
     L"сертификата."},
    {CADES_E_REVOCATION_UNREACHABLE,
     L"Не удалось получить сведения об отзыве сертификата."},
    {CADES_E_REVOCATION_MALFORMED,
     L"Ответ о статусе сертификата имеет неверный формат."},
    {CADES_E_REVOCATION_UNTRUSTED,
     L"Ответ о статусе сертификата подписан не издателем сертификата и не его "
     L"уполномоченной службой."},
    {CADES_E_REVOCATION_STALE, L"Сведения об отзыве сертификата устарели."},
    {CADES_E_REVOKED, L"Сертификат отозван."},
    {CADES_E_UNSUPPORTED_TYPE, L"Неподдерживаемый тип подписи CAdES."},
    {CADES_E_NOT_IMPLEMENTED, L"Эта функция среды CAdES не реализована."},
    {CADES_E_ALREADY_ENHANCED,
     L"Подпись уже содержит штамп времени или доказательства подлинности."},
};

}  // namespace

extern "C" CAPI_EXPORT DWORD WINAPI CadesFormatMessage(DWORD dwFlags, LPCVOID,
                                                       DWORD dwMessageId, DWORD,
                                                       LPWSTR lpBuffer,
                                                       DWORD nSize, va_list*) {
  const wchar_t* text = nullptr;
  for (const Text& t : kTexts)
    if (t.code == dwMessageId) text = t.text;
  if (!text) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  if (!lpBuffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t len = std::wcslen(text);
  if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    // lpBuffer is then where the caller wants the buffer's address.
    size_t chars = len + 1 > nSize ? len + 1 : nSize;
    auto* buf =
        static_cast<LPWSTR>(LocalAlloc(LMEM_ZEROINIT, chars * sizeof(WCHAR)));
    if (!buf) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::wmemcpy(reinterpret_cast<wchar_t*>(buf), text, len + 1);
    *reinterpret_cast<LPWSTR*>(lpBuffer) = buf;
    return static_cast<DWORD>(len);
  }
  if (nSize < len + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::wmemcpy(reinterpret_cast<wchar_t*>(lpBuffer), text, len + 1);
  return static_cast<DWORD>(len);
}
