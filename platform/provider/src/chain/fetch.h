// The one HTTP client of the provider and the CAdES runtime: bounded
// retrieval of CRLs, OCSP answers and time stamps.
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

// SHA-1 of arbitrary bytes: OCSP certificate identifiers (RFC 6960 §4.1.1),
// key identifiers (RFC 5280 §4.2.1.2), cache file names. Here because this
// library is the one both the provider and the CAdES runtime link that
// carries a SHA-1.

}  // namespace tavrix::provider::chain
