// The GOST R 34.10 parameter sets keys may name (RFC 4357 and the TC 26
// sets), with the name libgcrypt knows each by and whether nettle has it.
#include "crypto/signature_backend.h"

namespace tavrix::provider::gost {
namespace {

// nettle takes the curves it knows (nettle_curve set); libgcrypt the rest.
const CurveInfo kCurves[] = {
    {"1.2.643.2.2.35.1", "GOST2001-CryptoPro-A", 32, 256},
    {"1.2.643.2.2.35.2", "GOST2001-CryptoPro-B", 32, 0},
    {"1.2.643.2.2.35.3", "GOST2001-CryptoPro-C", 32, 0},
    {"1.2.643.2.2.36.0", "GOST2001-CryptoPro-XchA", 32, 256},
    {"1.2.643.2.2.36.1", "GOST2001-CryptoPro-XchB", 32, 0},
    // tc26-256-A is a twisted Edwards curve in its own right; B, C and D are
    // the CryptoPro A, B and C curves under new names.
    {"1.2.643.7.1.2.1.1.1", "GOST2012-256-A", 32, 0},
    {"1.2.643.7.1.2.1.1.2", "GOST2001-CryptoPro-A", 32, 256},
    {"1.2.643.7.1.2.1.1.3", "GOST2001-CryptoPro-B", 32, 0},
    {"1.2.643.7.1.2.1.1.4", "GOST2001-CryptoPro-C", 32, 0},
    {"1.2.643.7.1.2.1.2.1", "GOST2012-512-tc26-A", 64, 512},
    {"1.2.643.7.1.2.1.2.2", "GOST2012-512-tc26-B", 64, 0},
    {"1.2.643.7.1.2.1.2.3", "GOST2012-512-tc26-C", 64, 0},
};

}  // namespace

const CurveInfo* FindCurve(std::string_view oid) {
  for (const CurveInfo& c : kCurves)
    if (oid == c.oid) return &c;
  return nullptr;
}

}  // namespace tavrix::provider::gost
