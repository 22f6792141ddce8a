// Object identifiers of OCSP messages (RFC 6960 §4.2.1, §4.4.1), for every
// reader and writer of them in the provider and the CAdES runtime.
#pragma once

namespace tavrix::provider::chain {

constexpr char kOidOcspBasic[] = "1.3.6.1.5.5.7.48.1.1";
constexpr char kOidOcspNonce[] = "1.3.6.1.5.5.7.48.1.2";

}  // namespace tavrix::provider::chain
