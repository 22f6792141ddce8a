#include "msg/der.h"

#include <algorithm>
#include <cstring>

namespace tavrix_msg {
namespace der {

Status ParseHeader(const uint8_t* p, size_t n, Header* h, size_t* need,
                   DWORD* err) {
  if (n < 2) {
    *need = 2;
    return Status::kNeedMore;
  }
  // High tag numbers never occur in the structures read here.
  if ((p[0] & 0x1F) == 0x1F) {
    *err = CRYPT_E_ASN1_BADTAG;
    return Status::kError;
  }
  h->tag = p[0];
  h->constructed = (p[0] & 0x20) != 0;
  h->indefinite = false;
  uint8_t first = p[1];
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
  size_t count = first & 0x7F;
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
    size_t t = h.header_len + h.length;
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

bool Reader::Next(Element* e) {
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
  e->full = p_;
  e->full_len = total;
  e->content = p_ + h.header_len;
  e->content_len = total - h.header_len - (h.indefinite ? 2 : 0);
  p_ += total;
  n_ -= total;
  return true;
}

bool Reader::Expect(uint8_t tag, Element* e) {
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

bool Reader::Optional(uint8_t tag, Element* e, bool* present) {
  *present = false;
  if (err_) return false;
  if (n_ == 0 || p_[0] != tag) return true;
  *present = true;
  return Next(e);
}

static bool OctetsInto(const Element& e, Bytes* out, DWORD* err, int depth) {
  if (depth > kMaxDepth) {
    *err = CRYPT_E_ASN1_LARGE;
    return false;
  }
  if (!e.constructed) {
    out->insert(out->end(), e.content, e.content + e.content_len);
    return true;
  }
  Reader r(e);
  while (!r.empty()) {
    Element c;
    if (!r.Next(&c)) {
      *err = r.error();
      return false;
    }
    if ((c.tag & ~0x20) != kOctetString) {
      *err = CRYPT_E_ASN1_BADTAG;
      return false;
    }
    if (!OctetsInto(c, out, err, depth + 1)) return false;
  }
  return true;
}

bool OctetStringValue(const Element& e, Bytes* out, DWORD* err) {
  out->clear();
  return OctetsInto(e, out, err, 0);
}

bool OidValue(const Element& e, std::string* out, DWORD* err) {
  if (e.constructed || e.content_len == 0 || e.content_len > 256 ||
      (e.content[e.content_len - 1] & 0x80)) {
    *err = CRYPT_E_ASN1_CORRUPT;
    return false;
  }
  std::string s;
  uint64_t v = 0;
  bool first = true;
  for (size_t i = 0; i < e.content_len; ++i) {
    uint8_t b = e.content[i];
    if (v == 0 && b == 0x80) {  // non-minimal arc
      *err = CRYPT_E_ASN1_CORRUPT;
      return false;
    }
    if (v > (UINT64_MAX >> 7)) {
      *err = CRYPT_E_ASN1_LARGE;
      return false;
    }
    v = (v << 7) | (b & 0x7F);
    if (b & 0x80) continue;
    if (first) {
      uint64_t a = v < 40 ? 0 : (v < 80 ? 1 : 2);
      s = std::to_string(a) + "." + std::to_string(v - a * 40);
      first = false;
    } else {
      s += "." + std::to_string(v);
    }
    v = 0;
  }
  *out = s;
  return true;
}

bool SmallIntValue(const Element& e, uint32_t* out, DWORD* err) {
  if (e.constructed || e.content_len == 0 || e.content_len > 5 ||
      (e.content[0] & 0x80)) {
    *err = CRYPT_E_ASN1_CORRUPT;
    return false;
  }
  uint64_t v = 0;
  for (size_t i = 0; i < e.content_len; ++i) v = (v << 8) | e.content[i];
  if (v > UINT32_MAX) {
    *err = CRYPT_E_ASN1_LARGE;
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

size_t HeaderSize(size_t len) {
  if (len < 0x80) return 2;
  size_t count = 0;
  for (size_t l = len; l; l >>= 8) ++count;
  return 2 + count;
}

void AppendHeader(Bytes* out, uint8_t tag, size_t len) {
  out->push_back(tag);
  if (len < 0x80) {
    out->push_back(static_cast<uint8_t>(len));
    return;
  }
  size_t count = HeaderSize(len) - 2;
  out->push_back(static_cast<uint8_t>(0x80 | count));
  for (size_t i = count; i-- > 0;)
    out->push_back(static_cast<uint8_t>(len >> (8 * i)));
}

Bytes Tlv(uint8_t tag, const uint8_t* p, size_t n) {
  Bytes out;
  out.reserve(HeaderSize(n) + n);
  AppendHeader(&out, tag, n);
  if (n) out.insert(out.end(), p, p + n);
  return out;
}

void Append(Bytes* out, const Bytes& b) {
  out->insert(out->end(), b.begin(), b.end());
}

bool EncodeOid(const std::string& dotted, Bytes* out) {
  std::vector<uint64_t> arcs;
  size_t i = 0;
  while (i <= dotted.size()) {
    size_t j = dotted.find('.', i);
    if (j == std::string::npos) j = dotted.size();
    if (j == i || j - i > 19) return false;
    uint64_t v = 0;
    for (size_t k = i; k < j; ++k) {
      if (dotted[k] < '0' || dotted[k] > '9') return false;
      v = v * 10 + static_cast<uint64_t>(dotted[k] - '0');
    }
    arcs.push_back(v);
    i = j + 1;
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40) ||
      arcs[1] > UINT64_MAX - 80)
    return false;
  Bytes body;
  auto put = [&body](uint64_t v) {
    uint8_t tmp[10];
    int n = 0;
    do {
      tmp[n++] = static_cast<uint8_t>(v & 0x7F);
      v >>= 7;
    } while (v);
    while (n-- > 0)
      body.push_back(static_cast<uint8_t>(tmp[n] | (n ? 0x80 : 0)));
  };
  put(arcs[0] * 40 + arcs[1]);
  for (size_t k = 2; k < arcs.size(); ++k) put(arcs[k]);
  *out = Tlv(kOid, body);
  return true;
}

Bytes EncodeUnsignedInteger(const uint8_t* be, size_t n) {
  while (n > 1 && be[0] == 0 && !(be[1] & 0x80)) {
    ++be;
    --n;
  }
  Bytes body;
  if (n == 0 || (be[0] & 0x80)) body.push_back(0);
  body.insert(body.end(), be, be + n);
  return Tlv(kInteger, body);
}

Bytes EncodeSmallInt(uint32_t v) {
  uint8_t be[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                   static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  return EncodeUnsignedInteger(be, 4);
}

Bytes EncodeSetOf(uint8_t tag, std::vector<Bytes> items) {
  std::sort(items.begin(), items.end());
  size_t len = 0;
  for (const Bytes& b : items) len += b.size();
  Bytes out;
  out.reserve(HeaderSize(len) + len);
  AppendHeader(&out, tag, len);
  for (const Bytes& b : items) Append(&out, b);
  return out;
}

}  // namespace der
}  // namespace tavrix_msg
