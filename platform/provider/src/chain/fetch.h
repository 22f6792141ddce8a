// Bounded HTTP retrieval of revocation data.
#pragma once

#include <capi/wintypes.h>

#include <string>

#include "der/der.h"

namespace tavrix::provider::chain {

namespace der = ::tavrix::provider::der;
using der::Bytes;

// Largest CRL or OCSP response accepted; anything longer is refused rather
// than buffered without end.
constexpr size_t kMaxFetchBytes = 16u << 20;

enum class FetchResult { kOk, kOffline, kBadUrl, kTooLarge };

// GET (when `post_body` is null) or POST the URL, http and https only, the
// whole exchange bounded by `timeout_ms`. Only a 200 answer counts as kOk.
FetchResult HttpFetch(const std::string& url, const Bytes* post_body,
                      const char* content_type, unsigned timeout_ms,
                      Bytes* out);

// Lowercase hexadecimal SHA-1 of arbitrary bytes.
std::string Sha1Hex(const uint8_t* p, size_t n);

}  // namespace tavrix::provider::chain
