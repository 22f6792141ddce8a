// Text as the provider hands it across: UTF-8 and the platform's wide
// characters (UTF-32 wchar_t), and hex renderings of binary values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavrix::provider::text {

// Decodes UTF-8 into wide text. Strict: false at the first malformed,
// overlong or surrogate sequence (what was decoded so far stays in *out).
// Lenient: each such sequence becomes U+FFFD and decoding goes on.
bool Utf8ToWide(const uint8_t* p, size_t n, bool strict, std::wstring* out);
std::wstring Utf8ToWide(std::string_view s);  // lenient

// Encodes wide text as UTF-8; a value that is no Unicode scalar (a lone
// surrogate, beyond U+10FFFF) becomes U+FFFD.
std::string WideToUtf8(std::wstring_view w);
// The same, but false at the first value that is no Unicode scalar.
bool WideToUtf8Strict(std::wstring_view w, std::string* out);

std::string HexUpper(const uint8_t* p, size_t n);
std::string HexLower(const uint8_t* p, size_t n);

}  // namespace tavrix::provider::text
