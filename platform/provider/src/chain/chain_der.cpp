#include "chain/chain_der.h"

#include <cstring>

namespace tavrix_chain {

bool DerReader::Next(Tlv* out) {
  if (n_ < 2) return false;
  uint8_t t = p_[0];
  // High tag numbers never occur in the structures read here.
  if ((t & 0x1F) == 0x1F) return false;
  size_t pos = 2;
  size_t len = p_[1];
  if (len & 0x80) {
    size_t count = len & 0x7F;
    // Indefinite lengths are not DER; more than four octets is absurd here.
    if (count == 0 || count > 4) return false;
    if (n_ < 2 + count) return false;
    len = 0;
    for (size_t i = 0; i < count; ++i) len = (len << 8) | p_[2 + i];
    pos += count;
  }
  if (len > n_ - pos) return false;
  out->tag = t;
  out->whole = p_;
  out->whole_len = pos + len;
  out->value = p_ + pos;
  out->len = len;
  p_ += pos + len;
  n_ -= pos + len;
  return true;
}

bool DerReader::Expect(uint8_t want, Tlv* out) {
  DerReader save = *this;
  if (!Next(out) || out->tag != want) {
    *this = save;
    return false;
  }
  return true;
}

bool DerReader::Optional(uint8_t want, Tlv* out, bool* present) {
  *present = false;
  uint8_t t;
  if (!PeekTag(&t) || t != want) return true;
  if (!Next(out)) return false;
  *present = true;
  return true;
}

bool DerReader::PeekTag(uint8_t* t) const {
  if (n_ == 0) return false;
  *t = p_[0];
  return true;
}

std::string OidToString(const uint8_t* p, size_t n) {
  if (n == 0 || n > 128) return std::string();
  std::string s;
  uint64_t v = 0;
  bool first = true;
  for (size_t i = 0; i < n; ++i) {
    if (v > (UINT64_MAX >> 7)) return std::string();
    if (v == 0 && p[i] == 0x80) return std::string();  // non-minimal
    v = (v << 7) | (p[i] & 0x7F);
    if (p[i] & 0x80) {
      if (i + 1 == n) return std::string();
      continue;
    }
    if (first) {
      uint64_t a = v < 40 ? 0 : (v < 80 ? 1 : 2);
      s = std::to_string(a) + "." + std::to_string(v - a * 40);
      first = false;
    } else {
      s += "." + std::to_string(v);
    }
    v = 0;
  }
  return s;
}

bool OidFromString(const std::string& dotted, Bytes* value) {
  std::vector<uint64_t> arcs;
  uint64_t cur = 0;
  bool digit = false;
  for (char c : dotted) {
    if (c >= '0' && c <= '9') {
      if (cur > UINT64_MAX / 10 - 10) return false;
      cur = cur * 10 + static_cast<uint64_t>(c - '0');
      digit = true;
    } else if (c == '.' && digit) {
      arcs.push_back(cur);
      cur = 0;
      digit = false;
    } else {
      return false;
    }
  }
  if (!digit) return false;
  arcs.push_back(cur);
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40))
    return false;
  value->clear();
  auto put = [value](uint64_t v) {
    uint8_t tmp[10];
    int k = 0;
    do {
      tmp[k++] = static_cast<uint8_t>(v & 0x7F);
      v >>= 7;
    } while (v);
    while (k--) value->push_back(static_cast<uint8_t>(tmp[k] | (k ? 0x80 : 0)));
  };
  put(arcs[0] * 40 + arcs[1]);
  for (size_t i = 2; i < arcs.size(); ++i) put(arcs[i]);
  return true;
}

namespace {

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool Digits(const uint8_t* p, size_t n, int* v) {
  *v = 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    *v = *v * 10 + (p[i] - '0');
  }
  return true;
}

}  // namespace

bool ParseTime(const Tlv& t, int64_t* seconds) {
  const uint8_t* p = t.value;
  int year, mon, day, hour, min, sec;
  size_t off;
  if (t.tag == tag::kUtcTime) {
    if (t.len != 13 || p[12] != 'Z') return false;
    if (!Digits(p, 2, &year)) return false;
    year += year < 50 ? 2000 : 1900;
    off = 2;
  } else if (t.tag == tag::kGeneralizedTime) {
    if (t.len != 15 || p[14] != 'Z') return false;
    if (!Digits(p, 4, &year)) return false;
    off = 4;
  } else {
    return false;
  }
  if (!Digits(p + off, 2, &mon) || !Digits(p + off + 2, 2, &day) ||
      !Digits(p + off + 4, 2, &hour) || !Digits(p + off + 6, 2, &min) ||
      !Digits(p + off + 8, 2, &sec))
    return false;
  if (mon < 1 || mon > 12 || day < 1 || day > 31 || hour > 23 || min > 59 ||
      sec > 60)
    return false;
  *seconds = DaysFromCivil(year, static_cast<unsigned>(mon),
                           static_cast<unsigned>(day)) *
                 86400 +
             hour * 3600 + min * 60 + sec;
  return true;
}

bool ParseSmallUint(const Tlv& t, uint64_t* v) {
  if (t.len == 0 || t.len > 9) return false;
  if (t.value[0] & 0x80) return false;
  if (t.len == 9 && t.value[0] != 0) return false;
  *v = 0;
  for (size_t i = 0; i < t.len; ++i) *v = (*v << 8) | t.value[i];
  return true;
}

bool BitStringBytes(const Tlv& t, const uint8_t** p, size_t* n,
                    unsigned* unused) {
  if (t.tag != tag::kBitString || t.len < 1 || t.value[0] > 7) return false;
  if (t.len == 1 && t.value[0] != 0) return false;
  *p = t.value + 1;
  *n = t.len - 1;
  if (unused) *unused = t.value[0];
  return true;
}

// FILETIME counts 100 ns intervals since 1601-01-01.
static constexpr int64_t kEpochDelta = 11644473600LL;

FILETIME UnixToFileTime(int64_t seconds) {
  int64_t secs = seconds + kEpochDelta;
  if (secs < 0) secs = 0;
  uint64_t ticks = static_cast<uint64_t>(secs) * 10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

int64_t FileTimeToUnix(const FILETIME& ft) {
  uint64_t ticks =
      (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000ULL) - kEpochDelta;
}

void PutTlv(Bytes* out, uint8_t t, const uint8_t* v, size_t n) {
  out->push_back(t);
  if (n < 0x80) {
    out->push_back(static_cast<uint8_t>(n));
  } else {
    uint8_t tmp[8];
    int k = 0;
    for (size_t x = n; x; x >>= 8) tmp[k++] = static_cast<uint8_t>(x & 0xFF);
    out->push_back(static_cast<uint8_t>(0x80 | k));
    while (k--) out->push_back(tmp[k]);
  }
  if (n) out->insert(out->end(), v, v + n);
}

Bytes Wrap(uint8_t t, const Bytes& v) {
  Bytes out;
  PutTlv(&out, t, v);
  return out;
}

}  // namespace tavrix_chain
