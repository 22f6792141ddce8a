// Helpers the report's renderers share.
#pragma once

#include <capi/capi.h>

#include <string>

namespace report_text {

// A text from a certificate or a message, made safe for the report: "&",
// "<" and ">" become entities (so no value adds markup, and no "]]>" can end
// the CDATA section the report is sent in), and what XML 1.0 does not allow
// at all (control characters other than tab and line breaks, U+FFFE, U+FFFF,
// bytes that are not UTF-8) becomes U+FFFD.
std::string Html(const std::string& text);

// The CryptoAPI encoding of every structure the report decodes.
const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

}  // namespace report_text
