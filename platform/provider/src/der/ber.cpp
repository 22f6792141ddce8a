// BER as streaming producers write it: indefinite lengths, constructed
// OCTET STRINGs, and input that may stop anywhere.
#include "der/der.h"

namespace tavrix::provider::der {

Status ParseHeader(const uint8_t* p, size_t n, Header* h, size_t* need,
                   DWORD* err) {
  if (n < 2) {
    *need = 2;
    return Status::kNeedMore;
  }
  if ((p[0] & 0x1F) == 0x1F) {
    *err = CRYPT_E_ASN1_BADTAG;
    return Status::kError;
  }
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
    if (!h->constructed) {
      *err = CRYPT_E_ASN1_CORRUPT;
      return Status::kError;
    }
    h->indefinite = true;
    h->length = 0;
    h->header_len = 2;
    return Status::kOk;
  }
  const size_t count = first & 0x7F;
  // Four length octets cover every size a DWORD-sized API can carry.
  if (count > 4) {
    *err = CRYPT_E_ASN1_LARGE;
    return Status::kError;
  }
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
               DWORD* err, int depth) {
  if (depth > kMaxDepth) {
    *err = CRYPT_E_ASN1_LARGE;
    return Status::kError;
  }
  Header h;
  Status s = ParseHeader(p, n, &h, need, err);
  if (s != Status::kOk) return s;
  if (!h.indefinite) {
    if (h.length > SIZE_MAX - h.header_len) {
      *err = CRYPT_E_ASN1_LARGE;
      return Status::kError;
    }
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
    if (p[pos] == 0) {  // a zero identifier is only allowed as the EOC
      *err = CRYPT_E_ASN1_CORRUPT;
      return Status::kError;
    }
    size_t child = 0, child_need = 0;
    s = Measure(p + pos, n - pos, &child, &child_need, err, depth + 1);
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
  Status s = ParseHeader(p_, n_, &h, &need, &err_);
  if (s == Status::kOk) s = Measure(p_, n_, &total, &need, &err_);
  if (s != Status::kOk) {
    if (s == Status::kNeedMore) err_ = CRYPT_E_ASN1_EOD;
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

static bool OctetsInto(const Tlv& e, Bytes* out, DWORD* err, int depth) {
  if (depth > kMaxDepth) {
    *err = CRYPT_E_ASN1_LARGE;
    return false;
  }
  if (!e.constructed) {
    out->insert(out->end(), e.value, e.value + e.len);
    return true;
  }
  BerReader r(e);
  while (!r.empty()) {
    Tlv c;
    if (!r.Next(&c)) {
      *err = r.error();
      return false;
    }
    if ((c.tag & ~0x20) != kTagOctetString) {
      *err = CRYPT_E_ASN1_BADTAG;
      return false;
    }
    if (!OctetsInto(c, out, err, depth + 1)) return false;
  }
  return true;
}

bool OctetStringValue(const Tlv& e, Bytes* out, DWORD* err) {
  out->clear();
  return OctetsInto(e, out, err, 0);
}

bool OidValue(const Tlv& e, std::string* out, DWORD* err) {
  std::string s;
  if (!e.constructed) s = OidToString(e.value, e.len);
  if (s.empty()) {
    *err = CRYPT_E_ASN1_CORRUPT;
    return false;
  }
  *out = s;
  return true;
}

bool SmallIntValue(const Tlv& e, uint32_t* out, DWORD* err) {
  uint64_t v;
  if (!ParseSmallUint(e, &v)) {
    *err = CRYPT_E_ASN1_CORRUPT;
    return false;
  }
  if (v > UINT32_MAX) {
    *err = CRYPT_E_ASN1_LARGE;
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace tavrix::provider::der
