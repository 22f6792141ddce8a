#include "crypto/der.h"

#include <cstdlib>

namespace tavrix_provider {
namespace gost {

bool DerReader::Next(Tlv* out) {
  if (left_ < 2) return false;
  const uint8_t tag = p_[0];
  // Multi-byte tags never occur in the structures read here.
  if ((tag & 0x1F) == 0x1F) return false;
  size_t pos = 1;
  size_t len = p_[pos++];
  if (len & 0x80) {
    const size_t n = len & 0x7F;
    // Indefinite length (n == 0) is not DER; more than 4 octets is absurd.
    if (n == 0 || n > 4 || left_ - pos < n) return false;
    len = 0;
    for (size_t i = 0; i < n; ++i) len = (len << 8) | p_[pos++];
    if (len < 0x80) return false;  // not the shortest form
  }
  if (len > left_ - pos) return false;
  out->tag = tag;
  out->body = p_ + pos;
  out->len = len;
  out->total = pos + len;
  p_ += out->total;
  left_ -= out->total;
  return true;
}

bool DerReader::Expect(uint8_t tag, Tlv* out) {
  uint8_t next;
  if (!PeekTag(&next) || next != tag) return false;
  return Next(out);
}

bool DerReader::PeekTag(uint8_t* tag) const {
  if (left_ == 0) return false;
  *tag = p_[0];
  return true;
}

std::string DecodeOid(const uint8_t* body, size_t len) {
  if (len == 0 || len > 64) return std::string();
  std::string dotted;
  uint64_t value = 0;
  bool first = true;
  for (size_t i = 0; i < len; ++i) {
    // A leading 0x80 would be a non-minimal arc.
    if (value == 0 && body[i] == 0x80) return std::string();
    if (value > (UINT64_MAX >> 7)) return std::string();
    value = (value << 7) | (body[i] & 0x7F);
    if (body[i] & 0x80) {
      if (i + 1 == len) return std::string();  // cut in the middle of an arc
      continue;
    }
    if (first) {
      const uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
      dotted = std::to_string(top) + "." + std::to_string(value - top * 40);
      first = false;
    } else {
      dotted += "." + std::to_string(value);
    }
    value = 0;
  }
  return dotted;
}

std::vector<uint8_t> EncodeOidBody(const std::string& dotted) {
  std::vector<uint64_t> arcs;
  size_t pos = 0;
  while (pos <= dotted.size()) {
    size_t dot = dotted.find('.', pos);
    if (dot == std::string::npos) dot = dotted.size();
    if (dot == pos || dot - pos > 18) return {};
    uint64_t v = 0;
    for (size_t i = pos; i < dot; ++i) {
      if (dotted[i] < '0' || dotted[i] > '9') return {};
      v = v * 10 + static_cast<uint64_t>(dotted[i] - '0');
    }
    arcs.push_back(v);
    pos = dot + 1;
  }
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40))
    return {};
  std::vector<uint8_t> body;
  auto put = [&body](uint64_t v) {
    uint8_t tmp[10];
    int n = 0;
    do {
      tmp[n++] = static_cast<uint8_t>(v & 0x7F);
      v >>= 7;
    } while (v);
    while (n > 1) body.push_back(tmp[--n] | 0x80);
    body.push_back(tmp[0]);
  };
  put(arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
  return body;
}

void AppendTlv(std::vector<uint8_t>* out, uint8_t tag, const uint8_t* body,
               size_t len) {
  out->push_back(tag);
  if (len < 0x80) {
    out->push_back(static_cast<uint8_t>(len));
  } else {
    uint8_t tmp[sizeof(size_t)];
    int n = 0;
    for (size_t v = len; v; v >>= 8) tmp[n++] = static_cast<uint8_t>(v);
    out->push_back(static_cast<uint8_t>(0x80 | n));
    while (n) out->push_back(tmp[--n]);
  }
  if (len) out->insert(out->end(), body, body + len);
}

void AppendOid(std::vector<uint8_t>* out, const std::string& dotted) {
  const std::vector<uint8_t> body = EncodeOidBody(dotted);
  AppendTlv(out, kTagOid, body.data(), body.size());
}

}  // namespace gost
}  // namespace tavrix_provider
