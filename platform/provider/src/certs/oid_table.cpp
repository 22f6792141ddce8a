// The one table behind CryptFindOIDInfo, CertOIDToAlgId and CertAlgIdToOID:
// GOST and common algorithms, name attributes, extensions, key usages,
// CMS/ESS/CAdES attributes and policies, each with its Russian name.
#include <cstring>
#include <iterator>
#include <mutex>
#include <vector>

#include "base/c_boundary.h"
#include "base/gost_algorithms.h"
#include "certs/certs_internal.h"

#define CALG_G28147 (ALG_CLASS_DATA_ENCRYPT | ALG_TYPE_BLOCK | 30)

namespace tavrix::provider::certs {
namespace {

struct Entry {
  const char* oid;
  const wchar_t* name;
  DWORD group;
  DWORD algid;
  DWORD pubKeyAlg;  // signature entries: the public key algorithm
};

// The GOST entries: identifiers and ALG_IDs from the one table of GOST facts,
// the Russian names here.
struct GostNames {
  const wchar_t* hash;
  const wchar_t* key;
  const wchar_t* dh;
  const wchar_t* sig;
};
const GostNames kGostNames[] = {
    {L"ГОСТ Р 34.11-94", L"ГОСТ Р 34.10-2001", L"ГОСТ Р 34.10-2001 DH",
     L"ГОСТ Р 34.11-94/34.10-2001"},
    {L"ГОСТ Р 34.11-2012 256 бит", L"ГОСТ Р 34.10-2012 256 бит",
     L"ГОСТ Р 34.10-2012 256 бит DH", L"ГОСТ Р 34.11-2012/34.10-2012 256 бит"},
    {L"ГОСТ Р 34.11-2012 512 бит", L"ГОСТ Р 34.10-2012 512 бит",
     L"ГОСТ Р 34.10-2012 512 бит DH", L"ГОСТ Р 34.11-2012/34.10-2012 512 бит"},
};
static_assert(std::size(kGostNames) == std::size(gost::kFamilies),
              "a name set per GOST family");

// Everything else. The table is the GOST entries (hashes, keys, key
// agreement keys, signatures) followed by these; hashes come before
// signatures, so that an ALG_ID shared by both resolves to the hash, as
// CryptoAPI's tables do.
const Entry kEntries[] = {
    {szOID_OIWSEC_sha1, L"sha1", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_SHA1, 0},
    {szOID_NIST_sha256, L"sha256", CRYPT_HASH_ALG_OID_GROUP_ID, CALG_SHA_256,
     0},
    // Ciphers
    {"1.2.643.2.2.21", L"ГОСТ 28147-89", CRYPT_ENCRYPT_ALG_OID_GROUP_ID,
     CALG_G28147, 0},
    // Public keys and signatures
    {szOID_RSA_RSA, L"RSA", CRYPT_PUBKEY_ALG_OID_GROUP_ID, CALG_RSA_SIGN, 0},
    {szOID_RSA_SHA256RSA, L"sha256RSA", CRYPT_SIGN_ALG_OID_GROUP_ID,
     CALG_SHA_256, CALG_RSA_SIGN},
    // Name attributes
    {szOID_COMMON_NAME, L"Общее имя", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_SUR_NAME, L"Фамилия", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_GIVEN_NAME, L"Имя и отчество", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_INITIALS, L"Инициалы", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_DEVICE_SERIAL_NUMBER, L"Серийный номер", CRYPT_RDN_ATTR_OID_GROUP_ID,
     0, 0},
    {szOID_COUNTRY_NAME, L"Страна", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_LOCALITY_NAME, L"Населенный пункт", CRYPT_RDN_ATTR_OID_GROUP_ID, 0,
     0},
    {szOID_STATE_OR_PROVINCE_NAME, L"Область", CRYPT_RDN_ATTR_OID_GROUP_ID, 0,
     0},
    {szOID_STREET_ADDRESS, L"Улица", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_ORGANIZATION_NAME, L"Организация", CRYPT_RDN_ATTR_OID_GROUP_ID, 0,
     0},
    {szOID_ORGANIZATIONAL_UNIT_NAME, L"Подразделение",
     CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_TITLE, L"Должность", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_DESCRIPTION, L"Описание", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_POSTAL_CODE, L"Почтовый индекс", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_TELEPHONE_NUMBER, L"Номер телефона", CRYPT_RDN_ATTR_OID_GROUP_ID, 0,
     0},
    {szOID_PSEUDONYM, L"Псевдоним", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_DOMAIN_COMPONENT, L"Компонент домена", CRYPT_RDN_ATTR_OID_GROUP_ID,
     0, 0},
    {szOID_RSA_emailAddr, L"Адрес электронной почты",
     CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_RSA_UNSTRUCT_NAME, L"Неструктурированное имя",
     CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_INN, L"ИНН", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_OGRN, L"ОГРН", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_SNILS, L"СНИЛС", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_INNLE, L"ИНН юридического лица", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_OGRNIP, L"ОГРНИП", CRYPT_RDN_ATTR_OID_GROUP_ID, 0, 0},
    // Certificate extensions
    {szOID_AUTHORITY_KEY_IDENTIFIER, L"Идентификатор ключа центра сертификатов",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_SUBJECT_KEY_IDENTIFIER, L"Идентификатор ключа субъекта",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_KEY_USAGE, L"Использование ключа", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0,
     0},
    {szOID_PRIVATEKEY_USAGE_PERIOD, L"Период использования закрытого ключа",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_SUBJECT_ALT_NAME2, L"Дополнительное имя субъекта",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_ISSUER_ALT_NAME2, L"Дополнительное имя издателя",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_BASIC_CONSTRAINTS2, L"Основные ограничения",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_CRL_NUMBER, L"Номер списка отзыва", CRYPT_EXT_OR_ATTR_OID_GROUP_ID,
     0, 0},
    {szOID_CRL_REASON_CODE, L"Код причины отзыва",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_CRL_DIST_POINTS, L"Точки распространения списков отзыва",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_CERT_POLICIES, L"Политики сертификата",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_AUTHORITY_KEY_IDENTIFIER2,
     L"Идентификатор ключа центра сертификатов", CRYPT_EXT_OR_ATTR_OID_GROUP_ID,
     0, 0},
    {szOID_ENHANCED_KEY_USAGE, L"Улучшенный ключ",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_AUTHORITY_INFO_ACCESS, L"Доступ к информации о центрах сертификации",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_SIGN_TOOL_OF_SUBJECT, L"Средство электронной подписи владельца",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_SIGN_TOOL_OF_ISSUER, L"Средства электронной подписи и УЦ издателя",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    // CMS, ESS and CAdES attributes and content types
    {szOID_RSA_data, L"Данные", CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_RSA_signedData, L"Подписанные данные",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_RSA_contentType, L"Тип содержимого", CRYPT_EXT_OR_ATTR_OID_GROUP_ID,
     0, 0},
    {szOID_RSA_messageDigest, L"Дайджест сообщения",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_RSA_signingTime, L"Время подписания", CRYPT_EXT_OR_ATTR_OID_GROUP_ID,
     0, 0},
    {szOID_RSA_counterSign, L"Встречная подпись",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {szOID_RSA_SMIMECapabilities, L"Возможности S/MIME",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {"1.2.840.113549.1.9.16.2.12", L"Сертификат подписи",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {"1.2.840.113549.1.9.16.2.47", L"Сертификат подписи v2",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {"1.2.840.113549.1.9.16.2.14", L"Штамп времени подписи",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {"1.2.840.113549.1.9.16.2.21", L"Ссылки на сертификаты",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {"1.2.840.113549.1.9.16.2.22", L"Ссылки на данные об отзыве",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {"1.2.840.113549.1.9.16.2.23", L"Значения сертификатов",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {"1.2.840.113549.1.9.16.2.24", L"Значения данных об отзыве",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {"1.2.840.113549.1.9.16.2.25", L"Штамп времени на ссылки CAdES-C",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {"1.2.840.113549.1.9.16.2.26",
     L"Штамп времени на сертификаты и списки отзыва",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    {"1.2.840.113549.1.9.16.1.4", L"Информация о штампе времени",
     CRYPT_EXT_OR_ATTR_OID_GROUP_ID, 0, 0},
    // Extended key usages
    {szOID_PKIX_KP_SERVER_AUTH, L"Проверка подлинности сервера",
     CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0, 0},
    {szOID_PKIX_KP_CLIENT_AUTH, L"Проверка подлинности клиента",
     CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0, 0},
    {szOID_PKIX_KP_CODE_SIGNING, L"Подписывание кода",
     CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0, 0},
    {szOID_PKIX_KP_EMAIL_PROTECTION, L"Защищенная электронная почта",
     CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0, 0},
    {szOID_PKIX_KP_TIMESTAMP_SIGNING, L"Установка штампа времени",
     CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0, 0},
    {szOID_PKIX_KP_OCSP_SIGNING, L"Подписывание ответа OCSP",
     CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0, 0},
    {"1.2.643.2.2.34.6", L"Пользователь центра регистрации",
     CRYPT_ENHKEY_USAGE_OID_GROUP_ID, 0, 0},
    // Policies
    {"1.2.643.100.113.1", L"Класс средства ЭП КС1", CRYPT_POLICY_OID_GROUP_ID,
     0, 0},
    {"1.2.643.100.113.2", L"Класс средства ЭП КС2", CRYPT_POLICY_OID_GROUP_ID,
     0, 0},
    {"1.2.643.100.113.3", L"Класс средства ЭП КС3", CRYPT_POLICY_OID_GROUP_ID,
     0, 0},
};

struct Table {
  std::vector<CRYPT_OID_INFO> infos;
  std::vector<DWORD> extra;  // pubKeyAlg of signature entries
};

std::vector<Entry> AllEntries() {
  std::vector<Entry> all;
  const size_t n = std::size(gost::kFamilies);
  for (size_t i = 0; i < n; ++i)
    all.push_back({gost::kFamilies[i].hash_oid, kGostNames[i].hash,
                   CRYPT_HASH_ALG_OID_GROUP_ID, gost::kFamilies[i].hash_alg,
                   0});
  for (size_t i = 0; i < n; ++i)
    all.push_back({gost::kFamilies[i].key_oid, kGostNames[i].key,
                   CRYPT_PUBKEY_ALG_OID_GROUP_ID, gost::kFamilies[i].sign_alg,
                   0});
  for (size_t i = 0; i < n; ++i)
    all.push_back({gost::kFamilies[i].dh_oid, kGostNames[i].dh,
                   CRYPT_PUBKEY_ALG_OID_GROUP_ID,
                   gost::kFamilies[i].exchange_alg, 0});
  // Signatures: ALG_ID of the hash, public key algorithm alongside.
  for (size_t i = 0; i < n; ++i)
    all.push_back({gost::kFamilies[i].sig_oid, kGostNames[i].sig,
                   CRYPT_SIGN_ALG_OID_GROUP_ID, gost::kFamilies[i].hash_alg,
                   gost::kFamilies[i].sign_alg});
  all.insert(all.end(), std::begin(kEntries), std::end(kEntries));
  return all;
}

const Table& GetTable() {
  static Table t;
  static std::once_flag once;
  std::call_once(once, [] {
    const std::vector<Entry> all = AllEntries();
    t.infos.resize(all.size());
    t.extra.resize(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
      CRYPT_OID_INFO& o = t.infos[i];
      memset(&o, 0, sizeof o);
      o.cbSize = sizeof o;
      o.pszOID = all[i].oid;
      o.pwszName = all[i].name;
      o.dwGroupId = all[i].group;
      o.Algid = all[i].algid;
      t.extra[i] = all[i].pubKeyAlg;
      if (all[i].pubKeyAlg) {
        o.ExtraInfo.cbData = sizeof(DWORD);
        o.ExtraInfo.pbData = reinterpret_cast<BYTE*>(&t.extra[i]);
      }
    }
  });
  return t;
}

bool IsAlgGroup(DWORD g) {
  return g >= CRYPT_FIRST_ALG_OID_GROUP_ID && g <= CRYPT_LAST_ALG_OID_GROUP_ID;
}

}  // namespace
}  // namespace tavrix::provider::certs

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::certs;

extern "C" {

PCCRYPT_OID_INFO WINAPI CryptFindOIDInfo(DWORD dwKeyType, void* pvKey,
                                         DWORD dwGroupId) try {
  if (!pvKey) {
    SetLastError(E_INVALIDARG);
    return nullptr;
  }
  const Table& t = GetTable();
  DWORD group = dwGroupId & 0xFFFF;
  DWORD key = dwKeyType & 0xFFFF;
  std::wstring foldedName;
  if (key == CRYPT_OID_INFO_NAME_KEY)
    foldedName = FoldCase(static_cast<const wchar_t*>(pvKey));
  for (size_t i = 0; i < t.infos.size(); ++i) {
    const CRYPT_OID_INFO& o = t.infos[i];
    if (group && o.dwGroupId != group) continue;
    bool hit = false;
    switch (key) {
      case CRYPT_OID_INFO_OID_KEY:
        hit = strcmp(o.pszOID, static_cast<const char*>(pvKey)) == 0;
        break;
      case CRYPT_OID_INFO_NAME_KEY:
        hit = FoldCase(o.pwszName) == foldedName;
        break;
      case CRYPT_OID_INFO_ALGID_KEY:
        hit = IsAlgGroup(o.dwGroupId) && o.Algid != 0 &&
              o.Algid == *static_cast<const ALG_ID*>(pvKey);
        break;
      case CRYPT_OID_INFO_SIGN_KEY: {
        const ALG_ID* pair = static_cast<const ALG_ID*>(pvKey);
        hit = o.dwGroupId == CRYPT_SIGN_ALG_OID_GROUP_ID &&
              o.Algid == pair[0] && t.extra[i] == pair[1];
        break;
      }
      default:
        SetLastError(E_INVALIDARG);
        return nullptr;
    }
    if (hit) return &o;
  }
  SetLastError(CRYPT_E_NOT_FOUND);
  return nullptr;
}
CAPI_GUARD(nullptr)

ALG_ID WINAPI CertOIDToAlgId(LPCSTR pszObjId) try {
  if (!pszObjId) return 0;
  const Table& t = GetTable();
  for (const CRYPT_OID_INFO& o : t.infos)
    if (IsAlgGroup(o.dwGroupId) && strcmp(o.pszOID, pszObjId) == 0)
      return o.Algid;
  SetLastError(CRYPT_E_NOT_FOUND);
  return 0;
}
CAPI_GUARD(0)

LPCSTR WINAPI CertAlgIdToOID(DWORD dwAlgId) try {
  const Table& t = GetTable();
  for (const CRYPT_OID_INFO& o : t.infos)
    if (IsAlgGroup(o.dwGroupId) && o.Algid != 0 && o.Algid == dwAlgId)
      return o.pszOID;
  SetLastError(CRYPT_E_NOT_FOUND);
  return nullptr;
}
CAPI_GUARD(nullptr)

}  // extern "C"
