// BER as streaming producers write it: indefinite lengths, constructed
// OCTET STRINGs, and input that may stop anywhere.
#include "base/c_boundary.h"
#include "der/der.h"

namespace tavrix::provider::der {

namespace {
Status Error(DWORD code) {
  SetLastError(code);
  return Status::kError;
}
}  // namespace

Status ParseHeader(const uint8_t* p, size_t n, Header* h, size_t* need) {
  if (n < 2) {
    *need = 2;
    return Status::kNeedMore;
  }
  if ((p[0] & 0x1F) == 0x1F) return Error(CRYPT_E_ASN1_BADTAG);
  h->tag = p[0];
  h->constructed = (p[0] & 0x20) != 0;
  h->indefinite = false;
  const uint8_t first = p[1];
  if (first < 0x80) {
    h->length = first;
    h->header_len = 2;
    return Status::kOk;
  }
  if (first == 0x80) {
    if (!h->constructed) return Error(CRYPT_E_ASN1_CORRUPT);
    h->indefinite = true;
    h->length = 0;
    h->header_len = 2;
    return Status::kOk;
  }
  const size_t count = first & 0x7F;
  // Four length octets cover every size a DWORD-sized API can carry.
  if (count > 4) return Error(CRYPT_E_ASN1_LARGE);
  if (n < 2 + count) {
    *need = 2 + count;
    return Status::kNeedMore;
  }
  size_t len = 0;
  for (size_t i = 0; i < count; ++i) len = (len << 8) | p[2 + i];
  h->length = len;
  h->header_len = 2 + count;
  return Status::kOk;
}

Status Measure(const uint8_t* p, size_t n, size_t* total, size_t* need,
               int depth) {
  if (depth > kMaxDepth) return Error(CRYPT_E_ASN1_LARGE);
  Header h;
  Status s = ParseHeader(p, n, &h, need);
  if (s != Status::kOk) return s;
  if (!h.indefinite) {
    if (h.length > SIZE_MAX - h.header_len) return Error(CRYPT_E_ASN1_LARGE);
    const size_t t = h.header_len + h.length;
    if (t > n) {
      *need = t;
      return Status::kNeedMore;
    }
    *total = t;
    return Status::kOk;
  }
  // Indefinite: children until the end-of-contents octets.
  size_t pos = h.header_len;
  for (;;) {
    if (n - pos < 2) {
      *need = pos + 2;
      return Status::kNeedMore;
    }
    if (p[pos] == 0 && p[pos + 1] == 0) {
      *total = pos + 2;
      return Status::kOk;
    }
    // A zero identifier is only allowed as the end-of-contents.
    if (p[pos] == 0) return Error(CRYPT_E_ASN1_CORRUPT);
    size_t child = 0, child_need = 0;
    s = Measure(p + pos, n - pos, &child, &child_need, depth + 1);
    if (s == Status::kError) return s;
    if (s == Status::kNeedMore) {
      *need = pos + child_need;
      return s;
    }
    pos += child;
  }
}

bool BerReader::Next(Tlv* e) {
  if (err_) return false;
  if (n_ == 0) {
    err_ = CRYPT_E_ASN1_EOD;
    return false;
  }
  Header h;
  size_t need = 0, total = 0;
  Status s = ParseHeader(p_, n_, &h, &need);
  if (s == Status::kOk) s = Measure(p_, n_, &total, &need);
  if (s != Status::kOk) {
    // Inside one complete buffer, an element that needs more is cut short.
    err_ = s == Status::kNeedMore ? CRYPT_E_ASN1_EOD : GetLastError();
    return false;
  }
  e->tag = h.tag;
  e->constructed = h.constructed;
  e->indefinite = h.indefinite;
  e->start = p_;
  e->value = p_ + h.header_len;
  e->len = total - h.header_len - (h.indefinite ? 2 : 0);
  p_ += total;
  n_ -= total;
  return true;
}

bool BerReader::Expect(uint8_t tag, Tlv* e) {
  if (err_) return false;
  if (n_ == 0) {
    err_ = CRYPT_E_ASN1_EOD;
    return false;
  }
  if (p_[0] != tag) {
    err_ = CRYPT_E_ASN1_BADTAG;
    return false;
  }
  return Next(e);
}

bool BerReader::Optional(uint8_t tag, Tlv* e, bool* present) {
  *present = false;
  if (err_) return false;
  if (n_ == 0 || p_[0] != tag) return true;
  *present = true;
  return Next(e);
}

static bool OctetsInto(const Tlv& e, Bytes* out, int depth) {
  if (depth > kMaxDepth) return Fail(CRYPT_E_ASN1_LARGE);
  if (!e.constructed) {
    out->insert(out->end(), e.value, e.value + e.len);
    return true;
  }
  BerReader r(e);
  while (!r.empty()) {
    Tlv c;
    if (!r.Next(&c)) return Fail(r.error());
    if ((c.tag & ~0x20) != kTagOctetString) return Fail(CRYPT_E_ASN1_BADTAG);
    if (!OctetsInto(c, out, depth + 1)) return false;
  }
  return true;
}

bool OctetStringValue(const Tlv& e, Bytes* out) {
  out->clear();
  return OctetsInto(e, out, 0);
}

bool OidValue(const Tlv& e, std::string* out) {
  std::string s;
  if (!e.constructed) s = OidToString(e.value, e.len);
  if (s.empty()) return Fail(CRYPT_E_ASN1_CORRUPT);
  *out = s;
  return true;
}

bool SmallIntValue(const Tlv& e, uint32_t* out) {
  uint64_t v;
  if (!ParseSmallUint(e, &v)) return Fail(CRYPT_E_ASN1_CORRUPT);
  if (v > UINT32_MAX) return Fail(CRYPT_E_ASN1_LARGE);
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace tavrix::provider::der
