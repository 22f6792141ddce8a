// Distinguished names as text: CertNameToStr, CertGetNameString, and the
// case folding used by name searches.
#include <algorithm>
#include <cstring>

#include "base/c_boundary.h"
#include "certs/certs_internal.h"
#include "text/text.h"

namespace tavrix::provider::certs {

namespace {

struct X500Key {
  const char* oid;
  const char* key;
};

// CryptoAPI's X.500 keys, with keys of the same style for the Russian
// qualified-certificate attributes.
const X500Key kX500Keys[] = {
    {szOID_COMMON_NAME, "CN"},
    {szOID_SUR_NAME, "SN"},
    {szOID_DEVICE_SERIAL_NUMBER, "SERIALNUMBER"},
    {szOID_COUNTRY_NAME, "C"},
    {szOID_LOCALITY_NAME, "L"},
    {szOID_STATE_OR_PROVINCE_NAME, "S"},
    {szOID_STREET_ADDRESS, "STREET"},
    {szOID_ORGANIZATION_NAME, "O"},
    {szOID_ORGANIZATIONAL_UNIT_NAME, "OU"},
    {szOID_TITLE, "T"},
    {szOID_DESCRIPTION, "Description"},
    {szOID_POSTAL_CODE, "PostalCode"},
    {szOID_TELEPHONE_NUMBER, "Phone"},
    {szOID_GIVEN_NAME, "G"},
    {szOID_INITIALS, "I"},
    {szOID_PSEUDONYM, "Pseudonym"},
    {szOID_DOMAIN_COMPONENT, "DC"},
    {szOID_RSA_emailAddr, "E"},
    {szOID_RSA_UNSTRUCT_NAME, "UnstructuredName"},
    {szOID_INN, "INN"},
    {szOID_OGRN, "OGRN"},
    {szOID_SNILS, "SNILS"},
    {szOID_OGRNIP, "OGRNIP"},
    {szOID_INNLE, "INNLE"},
};

bool NeedsQuotes(const std::wstring& v) {
  if (v.empty()) return false;
  if (v.front() == L' ' || v.back() == L' ') return true;
  for (wchar_t c : v)
    if (wcschr(L",+=\"\r\n<>#;", c)) return true;
  return false;
}

std::wstring ValueText(const NameAttr& a) {
  if (a.type == CERT_RDN_ENCODED_BLOB || a.type == CERT_RDN_OCTET_STRING) {
    std::string hex = text::HexUpper(a.value, a.len);
    return L"#" + std::wstring(hex.begin(), hex.end());
  }
  return DecodeStringValue(a.type, a.value, a.len);
}

wchar_t FoldChar(wchar_t w) {
  uint32_t c = static_cast<uint32_t>(w);
  if (c < 0x80)
    return (c >= 'a' && c <= 'z') ? static_cast<wchar_t>(c - 32) : w;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
    return static_cast<wchar_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x137) return static_cast<wchar_t>(c & ~1u);
  if (c >= 0x139 && c <= 0x148) return static_cast<wchar_t>(c % 2 ? c : c - 1);
  if (c >= 0x14A && c <= 0x177) return static_cast<wchar_t>(c & ~1u);
  if (c >= 0x179 && c <= 0x17E) return static_cast<wchar_t>(c % 2 ? c : c - 1);
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2)
    return static_cast<wchar_t>(c - 0x20);
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x430 && c <= 0x44F) return static_cast<wchar_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<wchar_t>(c - 0x50);
  if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) ||
      (c >= 0x4D0 && c <= 0x4FF))
    return static_cast<wchar_t>(c & ~1u);
  if (c >= 0x4C1 && c <= 0x4CE) return static_cast<wchar_t>(c % 2 ? c : c - 1);
  return w;
}

// Copies `text` out as CryptoAPI's name calls do: the size (with the
// terminator) when there is no buffer, else as much as fits, terminated.
template <typename Ch>
DWORD Emit(const std::basic_string<Ch>& text, Ch* out, DWORD cch) {
  DWORD need = static_cast<DWORD>(text.size() + 1);
  if (!out || cch == 0) return need;
  DWORD n = need <= cch ? need - 1 : cch - 1;
  std::memcpy(out, text.data(), n * sizeof(Ch));
  out[n] = 0;
  return n + 1;
}

// UTF-8 truncated at a character boundary.
DWORD EmitUtf8(const std::wstring& w, char* out, DWORD cch) {
  std::string s = text::WideToUtf8(w);
  if (!out || cch == 0) return static_cast<DWORD>(s.size() + 1);
  if (s.size() + 1 > cch) {
    size_t n = cch - 1;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    s.resize(n);
  }
  return Emit(s, out, cch);
}

bool FindAttr(const ParsedName& name, const char* oid, std::wstring* out) {
  for (const auto& rdn : name)
    for (const NameAttr& a : rdn)
      if (a.oid == oid) {
        *out = ValueText(a);
        return true;
      }
  return false;
}

// First GeneralName of the given context tag in an alternative-name value.
bool AltName(const CERT_INFO* info, bool issuer, uint8_t tag,
             std::wstring* out) {
  const char* oid = issuer ? szOID_ISSUER_ALT_NAME2 : szOID_SUBJECT_ALT_NAME2;
  for (DWORD i = 0; i < info->cExtension; ++i) {
    const CERT_EXTENSION& e = info->rgExtension[i];
    if (strcmp(e.pszObjId, oid) != 0) continue;
    Tlv seq, gn;
    if (!ReadTlv(e.Value.pbData, e.Value.cbData, &seq) ||
        seq.tag != kTagSequence)
      return false;
    DefiniteReader r(seq);
    while (r.Next(&gn))
      if (gn.tag == tag) {
        *out = DecodeStringValue(CERT_RDN_IA5_STRING, gn.value, gn.len);
        return true;
      }
  }
  return false;
}

std::wstring NameString(PCCERT_CONTEXT cert, DWORD type, DWORD flags,
                        void* para) {
  if (!cert || !cert->pCertInfo) return std::wstring();
  const CERT_INFO* info = cert->pCertInfo;
  bool issuer = (flags & CERT_NAME_ISSUER_FLAG) != 0;
  const CERT_NAME_BLOB& blob = issuer ? info->Issuer : info->Subject;
  ParsedName name;
  if (!ParseName(blob.pbData, blob.cbData, &name)) name.clear();
  std::wstring v;
  switch (type) {
    case CERT_NAME_ATTR_TYPE:
      if (para) FindAttr(name, static_cast<const char*>(para), &v);
      return v;
    case CERT_NAME_RDN_TYPE:
      return NameToString(
          blob.pbData, blob.cbData,
          para ? *static_cast<DWORD*>(para) : CERT_SIMPLE_NAME_STR);
    case CERT_NAME_EMAIL_TYPE:
      if (AltName(info, issuer, 0x81, &v)) return v;
      FindAttr(name, szOID_RSA_emailAddr, &v);
      return v;
    case CERT_NAME_DNS_TYPE:
      if (AltName(info, issuer, 0x82, &v)) return v;
      FindAttr(name, szOID_COMMON_NAME, &v);
      return v;
    case CERT_NAME_URL_TYPE:
      AltName(info, issuer, 0x86, &v);
      return v;
    case CERT_NAME_FRIENDLY_DISPLAY_TYPE:
      if (!issuer) {
        DWORD n = 0;
        if (CertGetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID,
                                              nullptr, &n) &&
            n >= sizeof(WCHAR)) {
          std::vector<WCHAR> buf(n / sizeof(WCHAR) + 1, 0);
          if (CertGetCertificateContextProperty(
                  cert, CERT_FRIENDLY_NAME_PROP_ID, buf.data(), &n))
            return std::wstring(buf.data());
        }
      }
      // fall through
    case CERT_NAME_SIMPLE_DISPLAY_TYPE:
      if (FindAttr(name, szOID_COMMON_NAME, &v) ||
          FindAttr(name, szOID_ORGANIZATIONAL_UNIT_NAME, &v) ||
          FindAttr(name, szOID_ORGANIZATION_NAME, &v) ||
          AltName(info, issuer, 0x81, &v) ||
          FindAttr(name, szOID_RSA_emailAddr, &v))
        return v;
      if (!name.empty()) return ValueText(name.front().front());
      return v;
    default:
      return v;
  }
}

// Value types as certificates of the Russian profile carry them: digits-only
// identifiers as NumericString, mail and domain parts as IA5String, the
// rest PrintableString when every character allows it, else UTF8String.
DWORD ValueTypeFor(const std::string& oid, const std::wstring& v) {
  if (oid == szOID_INN || oid == szOID_OGRN || oid == szOID_SNILS ||
      oid == szOID_OGRNIP || oid == szOID_INNLE)
    return CERT_RDN_NUMERIC_STRING;
  if (oid == szOID_RSA_emailAddr || oid == szOID_DOMAIN_COMPONENT)
    return CERT_RDN_IA5_STRING;
  static const wchar_t kPrintable[] = L" '()+,-./:=?";
  for (wchar_t c : v)
    if (!((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
          (c >= L'0' && c <= L'9') || wcschr(kPrintable, c)))
      return CERT_RDN_UTF8_STRING;
  return CERT_RDN_PRINTABLE_STRING;
}

std::string OidForKey(const std::wstring& key) {
  std::wstring k = FoldCase(key);
  for (const X500Key& x : kX500Keys) {
    std::string n = x.key;
    if (FoldCase(std::wstring(n.begin(), n.end())) == k) return x.oid;
  }
  std::wstring digits = k.compare(0, 4, L"oid.") == 0 ? key.substr(4) : key;
  if (digits.empty()) return std::string();
  for (wchar_t c : digits)
    if (!(c == L'.' || (c >= L'0' && c <= L'9'))) return std::string();
  return std::string(digits.begin(), digits.end());
}

struct StrAttr {
  std::string oid;
  std::string value;  // encoded content octets
  DWORD type = 0;
};

// Parses `key=value` pairs of `s` into RDNs; `rdnSeps` end an RDN, '+' (when
// allowed) an attribute. False with `*at` at the fault.
bool ParseX500(const wchar_t* s, const std::wstring& rdnSeps, bool plus,
               bool quoting, std::vector<std::vector<StrAttr>>* out,
               const wchar_t** at) {
  const wchar_t* p = s;
  std::vector<StrAttr> rdn;
  auto skipSpaces = [&] {
    while (*p == L' ' || *p == L'\t' || *p == L'\r' || *p == L'\n') ++p;
  };
  skipSpaces();
  if (!*p) return true;
  for (;;) {
    skipSpaces();
    *at = p;
    const wchar_t* k = p;
    while (*p && *p != L'=' && rdnSeps.find(*p) == std::wstring::npos) ++p;
    if (*p != L'=') return false;
    std::wstring key(k, p);
    while (!key.empty() && key.back() == L' ') key.pop_back();
    StrAttr a;
    a.oid = OidForKey(key);
    Bytes oidBytes;
    if (a.oid.empty() || !der::EncodeOid(a.oid, &oidBytes)) return false;
    ++p;
    skipSpaces();
    std::wstring v;
    if (quoting && *p == L'"') {
      for (++p;; ++p) {
        if (!*p) return false;
        if (*p == L'"') {
          if (p[1] != L'"') break;
          ++p;
        }
        v += *p;
      }
      ++p;
      skipSpaces();
    } else {
      while (*p && rdnSeps.find(*p) == std::wstring::npos &&
             !(plus && *p == L'+'))
        v += *p++;
      while (!v.empty() && v.back() == L' ') v.pop_back();
    }
    a.type = ValueTypeFor(a.oid, v);
    if (a.type == CERT_RDN_NUMERIC_STRING)
      for (wchar_t c : v)
        if (!(c == L' ' || (c >= L'0' && c <= L'9'))) return false;
    if (a.type == CERT_RDN_IA5_STRING)
      for (wchar_t c : v)
        if (c > 0x7F) return false;
    a.value = text::WideToUtf8(v);
    rdn.push_back(std::move(a));
    if (plus && *p == L'+') {
      ++p;
      continue;
    }
    out->push_back(std::move(rdn));
    rdn.clear();
    if (!*p) return true;
    if (rdnSeps.find(*p) == std::wstring::npos) return false;
    ++p;
    // "\r\n" counts as one separator.
    if (p[-1] == L'\r' && *p == L'\n') ++p;
  }
}

}  // namespace

const char* X500KeyForOid(const std::string& oid) {
  for (const X500Key& k : kX500Keys)
    if (oid == k.oid) return k.key;
  return nullptr;
}

std::wstring FoldCase(const std::wstring& s) {
  std::wstring out(s);
  for (wchar_t& c : out) c = FoldChar(c);
  return out;
}

std::wstring NameToString(const BYTE* p, size_t n, DWORD strType) {
  ParsedName name;
  if (!ParseName(p, n, &name)) return std::wstring();
  DWORD form = strType & 0xFFFF;
  std::wstring rdnSep = L", ";
  if (strType & CERT_NAME_STR_SEMICOLON_FLAG) rdnSep = L"; ";
  if (strType & CERT_NAME_STR_CRLF_FLAG) rdnSep = L"\r\n";
  std::wstring attrSep = (strType & CERT_NAME_STR_NO_PLUS_FLAG) ? L" " : L" + ";
  bool quote = !(strType & CERT_NAME_STR_NO_QUOTING_FLAG);
  if (strType & CERT_NAME_STR_REVERSE_FLAG)
    std::reverse(name.begin(), name.end());
  std::wstring out;
  for (size_t i = 0; i < name.size(); ++i) {
    if (i) out += rdnSep;
    for (size_t j = 0; j < name[i].size(); ++j) {
      const NameAttr& a = name[i][j];
      if (j) out += attrSep;
      if (form == CERT_OID_NAME_STR) {
        out += std::wstring(a.oid.begin(), a.oid.end()) + L"=";
      } else if (form == CERT_X500_NAME_STR) {
        const char* key = X500KeyForOid(a.oid);
        std::string k = key ? key : "OID." + a.oid;
        out += std::wstring(k.begin(), k.end()) + L"=";
      }
      std::wstring v = ValueText(a);
      if (quote && a.type != CERT_RDN_ENCODED_BLOB && NeedsQuotes(v)) {
        out += L'"';
        for (wchar_t c : v) {
          if (c == L'"') out += L'"';
          out += c;
        }
        out += L'"';
      } else {
        out += v;
      }
    }
  }
  return out;
}

}  // namespace tavrix::provider::certs

using namespace tavrix::provider;  // NOLINT: the exported names are global
using namespace tavrix::provider::certs;

extern "C" {

DWORD WINAPI CertNameToStrW(DWORD, PCERT_NAME_BLOB pName, DWORD dwStrType,
                            LPWSTR psz, DWORD csz) try {
  std::wstring text;
  ParsedName check;
  if (!pName || !ParseName(pName->pbData, pName->cbData, &check))
    SetLastError(pName ? CRYPT_E_ASN1_BADTAG : E_INVALIDARG);
  else
    text = NameToString(pName->pbData, pName->cbData, dwStrType);
  return Emit(text, psz, csz);
}
CAPI_GUARD(0)

DWORD WINAPI CertNameToStrA(DWORD enc, PCERT_NAME_BLOB pName, DWORD dwStrType,
                            LPSTR psz, DWORD csz) try {
  std::wstring text;
  if (pName) {
    ParsedName check;
    if (ParseName(pName->pbData, pName->cbData, &check))
      text = NameToString(pName->pbData, pName->cbData, dwStrType);
    else
      SetLastError(CRYPT_E_ASN1_BADTAG);
  } else {
    (void)enc;
    SetLastError(E_INVALIDARG);
  }
  return EmitUtf8(text, psz, csz);
}
CAPI_GUARD(0)

DWORD WINAPI CertGetNameStringW(PCCERT_CONTEXT pCertContext, DWORD dwType,
                                DWORD dwFlags, void* pvTypePara,
                                LPWSTR pszNameString, DWORD cchNameString) try {
  return Emit(NameString(pCertContext, dwType, dwFlags, pvTypePara),
              pszNameString, cchNameString);
}
CAPI_GUARD(0)

DWORD WINAPI CertGetNameStringA(PCCERT_CONTEXT pCertContext, DWORD dwType,
                                DWORD dwFlags, void* pvTypePara,
                                LPSTR pszNameString, DWORD cchNameString) try {
  return EmitUtf8(NameString(pCertContext, dwType, dwFlags, pvTypePara),
                  pszNameString, cchNameString);
}
CAPI_GUARD(0)

BOOL WINAPI CertStrToNameW(DWORD dwCertEncodingType, LPCWSTR pszX500,
                           DWORD dwStrType, void*, BYTE* pbEncoded,
                           DWORD* pcbEncoded, LPCWSTR* ppszError) try {
  if (ppszError) *ppszError = nullptr;
  if (!pszX500 || !pcbEncoded) return Fail(E_INVALIDARG);
  if (GET_CERT_ENCODING_TYPE(dwCertEncodingType) != X509_ASN_ENCODING)
    return Fail(ERROR_FILE_NOT_FOUND);
  std::wstring seps = L",;";
  if (dwStrType & CERT_NAME_STR_SEMICOLON_FLAG) seps = L";";
  if (dwStrType & CERT_NAME_STR_COMMA_FLAG) seps = L",";
  if (dwStrType & CERT_NAME_STR_CRLF_FLAG) seps = L"\r\n";
  std::vector<std::vector<StrAttr>> rdns;
  const wchar_t* at = pszX500;
  if (!ParseX500(pszX500, seps, !(dwStrType & CERT_NAME_STR_NO_PLUS_FLAG),
                 !(dwStrType & CERT_NAME_STR_NO_QUOTING_FLAG), &rdns, &at)) {
    if (ppszError) *ppszError = at;
    *pcbEncoded = 0;
    return Fail(CRYPT_E_INVALID_X500_STRING);
  }
  if (dwStrType & CERT_NAME_STR_REVERSE_FLAG)
    std::reverse(rdns.begin(), rdns.end());
  std::vector<std::vector<CERT_RDN_ATTR>> attrs(rdns.size());
  std::vector<CERT_RDN> rdnInfo(rdns.size());
  for (size_t i = 0; i < rdns.size(); ++i) {
    for (StrAttr& a : rdns[i]) {
      CERT_RDN_ATTR x{};
      x.pszObjId = &a.oid[0];
      x.dwValueType = a.type;
      x.Value.pbData = reinterpret_cast<BYTE*>(&a.value[0]);
      x.Value.cbData = static_cast<DWORD>(a.value.size());
      attrs[i].push_back(x);
    }
    rdnInfo[i].cRDNAttr = static_cast<DWORD>(attrs[i].size());
    rdnInfo[i].rgRDNAttr = attrs[i].data();
  }
  CERT_NAME_INFO info{static_cast<DWORD>(rdnInfo.size()), rdnInfo.data()};
  return CryptEncodeObject(X509_ASN_ENCODING, X509_NAME, &info, pbEncoded,
                           pcbEncoded);
}
CAPI_GUARD(FALSE)

}  // extern "C"
