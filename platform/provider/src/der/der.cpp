#include "der/der.h"

#include <algorithm>

namespace tavrix::provider::der {

// ------------------------------------------------------------ DER reading

bool ReadTlv(const uint8_t* p, size_t n, Tlv* out) {
  if (!p || n < 2) return false;
  const uint8_t tag = p[0];
  if ((tag & 0x1F) == 0x1F) return false;
  size_t pos = 1;
  size_t len = p[pos++];
  if (len & 0x80) {
    const size_t count = len & 0x7F;
    // Indefinite length (count == 0) is not DER; more than four octets would
    // claim more than any buffer handed to us can hold.
    if (count == 0 || count > 4 || n - pos < count) return false;
    len = 0;
    for (size_t i = 0; i < count; ++i) len = (len << 8) | p[pos++];
  }
  if (len > n - pos) return false;
  out->tag = tag;
  out->constructed = (tag & 0x20) != 0;
  out->indefinite = false;
  out->start = p;
  out->value = p + pos;
  out->len = len;
  return true;
}

bool DefiniteReader::Next(Tlv* out) {
  Tlv t;
  if (!ReadTlv(p_, n_, &t)) return false;
  p_ += t.total();
  n_ -= t.total();
  *out = t;
  return true;
}

bool DefiniteReader::Expect(uint8_t tag, Tlv* out) {
  uint8_t next;
  if (!PeekTag(&next) || next != tag) return false;
  return Next(out);
}

bool DefiniteReader::Optional(uint8_t tag, Tlv* out, bool* present) {
  *present = false;
  uint8_t next;
  if (!PeekTag(&next) || next != tag) return true;
  if (!Next(out)) return false;
  *present = true;
  return true;
}

bool DefiniteReader::PeekTag(uint8_t* tag) const {
  if (n_ == 0) return false;
  *tag = p_[0];
  return true;
}

// ------------------------------------------------------------ values

std::string OidToString(const uint8_t* p, size_t n) {
  if (!p || n == 0) return std::string();
  std::string s;
  uint64_t v = 0;
  bool first = true;
  for (size_t i = 0; i < n; ++i) {
    if (v == 0 && p[i] == 0x80) return std::string();  // non-minimal arc
    if (v > (UINT64_MAX >> 7)) return std::string();
    v = (v << 7) | (p[i] & 0x7F);
    if (p[i] & 0x80) {
      if (i + 1 == n) return std::string();  // cut in the middle of an arc
      continue;
    }
    if (first) {
      const uint64_t a = v < 40 ? 0 : (v < 80 ? 1 : 2);
      s = std::to_string(a) + "." + std::to_string(v - a * 40);
      first = false;
    } else {
      s += "." + std::to_string(v);
    }
    v = 0;
  }
  return s;
}

bool OidFromString(const std::string& dotted, Bytes* content) {
  std::vector<uint64_t> arcs;
  uint64_t cur = 0;
  bool digit = false;
  for (char c : dotted) {
    if (c >= '0' && c <= '9') {
      const uint64_t d = static_cast<uint64_t>(c - '0');
      if (cur > (UINT64_MAX - d) / 10) return false;
      cur = cur * 10 + d;
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
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40) ||
      arcs[1] > UINT64_MAX - 80)
    return false;
  content->clear();
  auto put = [content](uint64_t v) {
    uint8_t tmp[10];
    int k = 0;
    do {
      tmp[k++] = static_cast<uint8_t>(v & 0x7F);
      v >>= 7;
    } while (v);
    while (k--)
      content->push_back(static_cast<uint8_t>(tmp[k] | (k ? 0x80 : 0)));
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

int DaysInMonth(int year, int mon) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return mon == 2 && leap ? 29 : kDays[mon - 1];
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

bool ParseTime(const Tlv& t, int64_t* seconds, TimeForm form) {
  const uint8_t* p = t.value;
  const size_t n = t.len;
  const bool any = form == TimeForm::kAny;
  int year, mon, day, hh, mm, ss = 0;
  size_t pos;
  if (t.tag == kTagUtcTime) {
    if (n != 13 && !(any && n == 11)) return false;
    if (!Digits(p, 2, &year)) return false;
    year += year < 50 ? 2000 : 1900;
    pos = 2;
  } else if (t.tag == kTagGeneralizedTime) {
    if (any ? n < 13 : n != 15) return false;
    if (!Digits(p, 4, &year)) return false;
    pos = 4;
  } else {
    return false;
  }
  if (!Digits(p + pos, 2, &mon) || !Digits(p + pos + 2, 2, &day) ||
      !Digits(p + pos + 4, 2, &hh) || !Digits(p + pos + 6, 2, &mm))
    return false;
  pos += 8;
  // Seconds stand unless only the 'Z' is left.
  if (pos + 1 < n) {
    if (pos + 2 > n || !Digits(p + pos, 2, &ss)) return false;
    pos += 2;
  }
  if (any && t.tag == kTagGeneralizedTime && pos < n && p[pos] == '.') {
    ++pos;
    size_t digits = 0;
    while (pos < n && p[pos] >= '0' && p[pos] <= '9') ++pos, ++digits;
    if (!digits) return false;
  }
  if (pos + 1 != n || p[pos] != 'Z') return false;
  if (mon < 1 || mon > 12 || day < 1 || day > DaysInMonth(year, mon) ||
      hh > 23 || mm > 59 || ss > 60)
    return false;
  *seconds = DaysFromCivil(year, static_cast<unsigned>(mon),
                           static_cast<unsigned>(day)) *
                 86400 +
             hh * 3600 + mm * 60 + ss;
  return true;
}

bool DecodeTime(const Tlv& t, FILETIME* out, TimeForm form) {
  int64_t secs;
  if (!ParseTime(t, &secs, form)) return false;
  *out = UnixToFileTime(secs);
  return true;
}

// FILETIME counts 100 ns intervals since 1601-01-01.
static constexpr int64_t kEpochDelta = 11644473600LL;

int64_t FileTimeToUnix(const FILETIME& ft) {
  const uint64_t ticks =
      (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000ULL) - kEpochDelta;
}

FILETIME UnixToFileTime(int64_t seconds) {
  int64_t secs = seconds + kEpochDelta;
  if (secs < 0) secs = 0;
  const uint64_t ticks = static_cast<uint64_t>(secs) * 10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

bool ParseSmallUint(const Tlv& t, uint64_t* v) {
  if (t.constructed || t.len == 0 || t.len > 9) return false;
  if (t.value[0] & 0x80) return false;
  if (t.len == 9 && t.value[0] != 0) return false;
  *v = 0;
  for (size_t i = 0; i < t.len; ++i) *v = (*v << 8) | t.value[i];
  return true;
}

bool BitStringBytes(const Tlv& t, const uint8_t** p, size_t* n,
                    unsigned* unused) {
  if (t.tag != kTagBitString || t.len < 1 || t.value[0] > 7) return false;
  if (t.len == 1 && t.value[0] != 0) return false;
  *p = t.value + 1;
  *n = t.len - 1;
  if (unused) *unused = t.value[0];
  return true;
}

// ------------------------------------------------------------ writing

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
  const size_t count = HeaderSize(len) - 2;
  out->push_back(static_cast<uint8_t>(0x80 | count));
  for (size_t i = count; i-- > 0;)
    out->push_back(static_cast<uint8_t>(len >> (8 * i)));
}

void AppendTlv(Bytes* out, uint8_t tag, const uint8_t* p, size_t n) {
  AppendHeader(out, tag, n);
  if (n) out->insert(out->end(), p, p + n);
}

Bytes Wrap(uint8_t tag, const uint8_t* p, size_t n) {
  Bytes out;
  out.reserve(HeaderSize(n) + n);
  AppendTlv(&out, tag, p, n);
  return out;
}

void Append(Bytes* out, const Bytes& b) {
  out->insert(out->end(), b.begin(), b.end());
}

bool EncodeOid(const std::string& dotted, Bytes* out) {
  Bytes content;
  if (!OidFromString(dotted, &content)) return false;
  *out = Wrap(kTagOid, content);
  return true;
}

bool AppendOid(Bytes* out, const std::string& dotted) {
  Bytes content;
  if (!OidFromString(dotted, &content)) return false;
  AppendTlv(out, kTagOid, content);
  return true;
}

Bytes EncodeUnsignedInteger(const uint8_t* be, size_t n) {
  while (n > 1 && be[0] == 0 && !(be[1] & 0x80)) {
    ++be;
    --n;
  }
  Bytes body;
  if (n == 0 || (be[0] & 0x80)) body.push_back(0);
  if (n) body.insert(body.end(), be, be + n);
  return Wrap(kTagInteger, body);
}

Bytes EncodeSmallInt(uint32_t v) {
  const uint8_t be[4] = {static_cast<uint8_t>(v >> 24),
                         static_cast<uint8_t>(v >> 16),
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

}  // namespace tavrix::provider::der
