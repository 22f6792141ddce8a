// The shared DER toolkit on raw bytes: every truncation, lying and long-form
// lengths, indefinite lengths where they may not stand, nesting limits,
// identifiers and times both ways.
#include "der/der.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace tavrix::provider::der;

// SEQUENCE { OID 1.2.643.7.1.1.2.2, OCTET STRING (200 bytes), NULL }: long
// and short lengths at two levels.
Bytes Sample() {
  Bytes body;
  EXPECT_TRUE(AppendOid(&body, "1.2.643.7.1.1.2.2"));
  AppendTlv(&body, kTagOctetString, Bytes(200, 0xA5));
  AppendTlv(&body, kTagNull, nullptr, 0);
  return Wrap(kTagSequence, body);
}

bool WalkAll(const Bytes& b) {
  DefiniteReader top(b.data(), b.size());
  Tlv seq, oid, os, null;
  if (!top.Expect(kTagSequence, &seq) || !top.AtEnd()) return false;
  DefiniteReader in(seq);
  return in.Expect(kTagOid, &oid) && in.Expect(kTagOctetString, &os) &&
         in.Expect(kTagNull, &null) && in.AtEnd() && os.len == 200 &&
         OidToString(oid.value, oid.len) == "1.2.643.7.1.1.2.2";
}

TEST(DefiniteReader, TruncationAndLyingLengths) {
  const Bytes whole = Sample();
  ASSERT_TRUE(WalkAll(whole));
  Tlv t;
  ASSERT_TRUE(ReadTlv(whole.data(), whole.size(), &t));
  EXPECT_EQ(t.total(), whole.size());
  EXPECT_EQ(t.WholeBytes(), whole);
  // Cut at every length: the outer element never reads, and a BER measure
  // asks for exactly the whole.
  for (size_t n = 0; n < whole.size(); ++n) {
    EXPECT_FALSE(ReadTlv(whole.data(), n, &t)) << n;
    DefiniteReader r(whole.data(), n);
    EXPECT_FALSE(r.Next(&t)) << n;
    size_t total = 0, need = 0;
    SetLastError(0);
    EXPECT_EQ(Measure(whole.data(), n, &total, &need), Status::kNeedMore) << n;
    EXPECT_GT(need, n);
    EXPECT_LE(need, whole.size());
  }
  // Every inner length one more or one less than the truth: the walk fails
  // (more: past the parent; less: the next element starts mid-value).
  // Length octets: outer, identifier, string (last of two), NULL.
  for (size_t at : {size_t{2}, size_t{4}, size_t{15}, size_t{217}}) {
    for (int delta : {-1, 1}) {
      Bytes lie = whole;
      lie[at] = static_cast<uint8_t>(lie[at] + delta);
      EXPECT_FALSE(WalkAll(lie)) << at << " " << delta;
    }
  }
  // A length claiming almost 4 GiB over a few bytes, and five length octets.
  const Bytes huge = {0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xF0, 1, 2, 3};
  EXPECT_FALSE(ReadTlv(huge.data(), huge.size(), &t));
  size_t total = 0, need = 0;
  SetLastError(0);
  EXPECT_EQ(Measure(huge.data(), huge.size(), &total, &need),
            Status::kNeedMore);
  EXPECT_EQ(need, 6u + 0xFFFFFFF0u);
  const Bytes wide = {0x04, 0x85, 0, 0, 0, 0, 1, 7};
  EXPECT_FALSE(ReadTlv(wide.data(), wide.size(), &t));
  EXPECT_EQ(Measure(wide.data(), wide.size(), &total, &need), Status::kError);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_LARGE));
  // High tag numbers are refused by both readers.
  const Bytes high = {0x1F, 0x81, 0x00, 0x00};
  EXPECT_FALSE(ReadTlv(high.data(), high.size(), &t));
  Header h;
  EXPECT_EQ(ParseHeader(high.data(), high.size(), &h, &need), Status::kError);
}

TEST(DefiniteReader, LongFormAndReaderContract) {
  // Long forms of one to four octets read the same content.
  const Bytes forms[] = {{0x04, 0x03, 1, 2, 3},
                         {0x04, 0x81, 0x03, 1, 2, 3},
                         {0x04, 0x82, 0x00, 0x03, 1, 2, 3},
                         {0x04, 0x84, 0x00, 0x00, 0x00, 0x03, 1, 2, 3}};
  for (const Bytes& f : forms) {
    Tlv t;
    ASSERT_TRUE(ReadTlv(f.data(), f.size(), &t));
    EXPECT_EQ(t.ValueBytes(), (Bytes{1, 2, 3}));
    EXPECT_EQ(t.total(), f.size());
  }
  // The writer picks the shortest form at each boundary, and reads back.
  for (size_t n : {0u, 127u, 128u, 255u, 256u, 65535u, 65536u}) {
    const Bytes t = Wrap(kTagOctetString, Bytes(n, 7));
    EXPECT_EQ(t.size(), HeaderSize(n) + n);
    Tlv back;
    ASSERT_TRUE(ReadTlv(t.data(), t.size(), &back));
    EXPECT_EQ(back.len, n);
    size_t total = 0, need = 0;
    SetLastError(0);
    EXPECT_EQ(Measure(t.data(), t.size(), &total, &need), Status::kOk);
    EXPECT_EQ(total, t.size());
  }
  // Expect and Optional consume nothing when the tag differs; a malformed
  // element is a failure, not an absence.
  const Bytes two = {0x02, 0x01, 0x05, 0x04, 0x05, 0x00};
  DefiniteReader r(two.data(), two.size());
  Tlv t;
  bool present = true;
  EXPECT_FALSE(r.Expect(kTagBoolean, &t));
  EXPECT_TRUE(r.Optional(kTagBoolean, &t, &present));
  EXPECT_FALSE(present);
  EXPECT_TRUE(r.Optional(kTagInteger, &t, &present));
  EXPECT_TRUE(present);
  EXPECT_EQ(t.value[0], 5);
  EXPECT_FALSE(r.Optional(kTagOctetString, &t, &present));
  EXPECT_FALSE(r.AtEnd());
  // A null range is empty, not a crash.
  DefiniteReader none(nullptr, 10);
  EXPECT_TRUE(none.AtEnd());
  EXPECT_FALSE(none.Next(&t));
}

TEST(BerReader, IndefiniteLengthsAndDepth) {
  // Constructed OCTET STRING in pieces, indefinite, inside a definite
  // SEQUENCE: the content is gathered in order.
  const Bytes ber = {0x30, 0x0C, 0x24, 0x80, 0x04, 0x02, 'a',
                     'b',  0x04, 0x02, 'c',  'd',  0x00, 0x00};
  BerReader r(ber.data(), ber.size());
  Tlv seq, os;
  ASSERT_TRUE(r.Next(&seq));
  BerReader in(seq);
  ASSERT_TRUE(in.Expect(kTagConstructedOctetString, &os));
  EXPECT_TRUE(os.indefinite);
  EXPECT_EQ(os.total(), 12u);
  Bytes got;
  SetLastError(0);
  ASSERT_TRUE(OctetStringValue(os, &got));
  EXPECT_EQ(got, (Bytes{'a', 'b', 'c', 'd'}));
  // The DER reader refuses the same bytes.
  DefiniteReader strict(seq);
  Tlv t;
  EXPECT_FALSE(strict.Next(&t));
  // Indefinite length on a primitive element, and a zero identifier that is
  // not an end-of-contents.
  const Bytes prim = {0x04, 0x80, 0x00, 0x00};
  Header h;
  size_t need = 0, total = 0;
  EXPECT_EQ(ParseHeader(prim.data(), prim.size(), &h, &need), Status::kError);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
  const Bytes zero = {0x30, 0x80, 0x00, 0x01, 0x00, 0x00, 0x00};
  SetLastError(0);
  EXPECT_EQ(Measure(zero.data(), zero.size(), &total, &need), Status::kError);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
  // A child of a constructed OCTET STRING that is not an OCTET STRING.
  const Bytes mixed = {0x24, 0x80, 0x02, 0x01, 0x05, 0x00, 0x00};
  BerReader mr(mixed.data(), mixed.size());
  ASSERT_TRUE(mr.Next(&os));
  EXPECT_FALSE(OctetStringValue(os, &got));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
  // Nesting at the limit is measured; one level more is refused.
  auto nest = [](int levels) {
    Bytes b;
    for (int i = 0; i < levels; ++i) b.insert(b.end(), {0x30, 0x80});
    b.insert(b.end(), {0x05, 0x00});
    for (int i = 0; i < levels; ++i) b.insert(b.end(), {0x00, 0x00});
    return b;
  };
  Bytes ok = nest(kMaxDepth);
  SetLastError(0);
  EXPECT_EQ(Measure(ok.data(), ok.size(), &total, &need), Status::kOk);
  EXPECT_EQ(total, ok.size());
  Bytes deep = nest(kMaxDepth + 1);
  EXPECT_EQ(Measure(deep.data(), deep.size(), &total, &need), Status::kError);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_LARGE));
  // Still arriving: refused as soon as the too-deep header is there.
  const size_t head = 2 * static_cast<size_t>(kMaxDepth + 1) + 2;
  EXPECT_EQ(Measure(deep.data(), head - 1, &total, &need), Status::kNeedMore);
  EXPECT_EQ(Measure(deep.data(), head, &total, &need), Status::kError);
  // Pieces of a deep constructed OCTET STRING stop at the limit too.
  Bytes deep_os;
  for (int i = 0; i < kMaxDepth + 2; ++i)
    deep_os.insert(deep_os.end(), {0x24, 0x80});
  BerReader dr(deep_os.data(), deep_os.size());
  EXPECT_FALSE(dr.Next(&os));
  EXPECT_NE(dr.error(), 0u);
  // The reader keeps its first error and goes no further.
  const Bytes cut = {0x30, 0x05, 0x02};
  BerReader cr(cut.data(), cut.size());
  EXPECT_FALSE(cr.Next(&seq));
  EXPECT_EQ(cr.error(), static_cast<DWORD>(CRYPT_E_ASN1_EOD));
}

TEST(Oid, RoundTripsAndRefusals) {
  for (const char* oid :
       {"1.2.643.7.1.1.2.2", "2.999.9223372036854775807", "0.39",
        "1.2.840.113549.1.9.16.2.23", "2.18446744073709551535",
        "1.3.18446744073709551615"}) {
    Bytes enc;
    ASSERT_TRUE(EncodeOid(oid, &enc)) << oid;
    BerReader r(enc.data(), enc.size());
    Tlv e;
    ASSERT_TRUE(r.Next(&e));
    std::string back;
    SetLastError(0);
    ASSERT_TRUE(OidValue(e, &back)) << oid;
    EXPECT_EQ(back, oid);
    EXPECT_EQ(OidToString(e.value, e.len), oid);
  }
  Bytes enc{0x55};
  for (const char* bad :
       {"", "1", "3.1", "1.40", "1..2", "1.2.", ".1.2", "a.b",
        "1.2.99999999999999999999", "2.18446744073709551536", "1.2 ", "-1.2"}) {
    EXPECT_FALSE(EncodeOid(bad, &enc)) << bad;
    EXPECT_FALSE(AppendOid(&enc, bad)) << bad;
  }
  EXPECT_EQ(enc, Bytes{0x55});  // nothing written for a bad text
  // Malformed content: empty, a non-minimal arc, an arc cut short, an arc
  // past 64 bits.
  const Bytes bad_bodies[] = {
      {},
      {0x2A, 0x80, 0x01},
      {0x2A, 0x86},
      {0x2A, 0x82, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}};
  for (const Bytes& b : bad_bodies)
    EXPECT_EQ(OidToString(b.data(), b.size()), "") << b.size();
}

TEST(Values, TimesIntegersAndBitStrings) {
  auto time_tlv = [](uint8_t tag, const std::string& s) {
    Tlv t;
    t.tag = tag;
    t.value = reinterpret_cast<const uint8_t*>(s.data());
    t.len = s.size();
    return t;
  };
  const std::string utc = "240229235960Z", gen = "20491231235959Z";
  int64_t secs = 0;
  ASSERT_TRUE(ParseTime(time_tlv(kTagUtcTime, utc), &secs));
  EXPECT_EQ(secs, 1709251200);  // the leap second runs into 1 March
  ASSERT_TRUE(ParseTime(time_tlv(kTagGeneralizedTime, gen), &secs));
  EXPECT_EQ(secs, 2524607999);
  const std::string y1950 = "500101000000Z";
  ASSERT_TRUE(ParseTime(time_tlv(kTagUtcTime, y1950), &secs));
  EXPECT_EQ(secs, -631152000);
  FILETIME ft;
  ASSERT_TRUE(DecodeTime(time_tlv(kTagGeneralizedTime, gen), &ft));
  EXPECT_EQ(FileTimeToUnix(ft), 2524607999);
  // Short and fractional forms only where any form is asked for.
  const std::string short_utc = "2402291200Z", frac = "20240229120000.25Z";
  EXPECT_FALSE(ParseTime(time_tlv(kTagUtcTime, short_utc), &secs));
  ASSERT_TRUE(
      ParseTime(time_tlv(kTagUtcTime, short_utc), &secs, TimeForm::kAny));
  EXPECT_EQ(secs, 1709208000);
  EXPECT_FALSE(ParseTime(time_tlv(kTagGeneralizedTime, frac), &secs));
  ASSERT_TRUE(
      ParseTime(time_tlv(kTagGeneralizedTime, frac), &secs, TimeForm::kAny));
  EXPECT_EQ(secs, 1709208000);
  // Days that do not exist, local times, stray characters, wrong tags.
  for (const std::string& s :
       {std::string("230229000000Z"), std::string("240230000000Z"),
        std::string("240431000000Z"), std::string("241301000000Z"),
        std::string("240101240000Z"), std::string("240101000000+0300"),
        std::string("2401010000 0Z"), std::string("240101000000")})
    EXPECT_FALSE(ParseTime(time_tlv(kTagUtcTime, s), &secs, TimeForm::kAny))
        << s;
  EXPECT_FALSE(ParseTime(time_tlv(kTagOctetString, utc), &secs));

  const Bytes ints[] = {
      {0x02, 0x01, 0x00},
      {0x02, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
      {0x02, 0x01, 0x80},
      {0x02, 0x00},
      {0x02, 0x09, 0x01, 0, 0, 0, 0, 0, 0, 0, 0},
      {0x02, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00}};
  Tlv t;
  uint64_t v = 0;
  uint32_t v32 = 0;
  SetLastError(0);
  ASSERT_TRUE(ReadTlv(ints[0].data(), ints[0].size(), &t));
  EXPECT_TRUE(ParseSmallUint(t, &v));
  EXPECT_EQ(v, 0u);
  ASSERT_TRUE(ReadTlv(ints[1].data(), ints[1].size(), &t));
  EXPECT_TRUE(ParseSmallUint(t, &v));
  EXPECT_EQ(v, UINT64_MAX);
  for (int i : {2, 3, 4}) {
    ASSERT_TRUE(ReadTlv(ints[i].data(), ints[i].size(), &t));
    EXPECT_FALSE(ParseSmallUint(t, &v)) << i;
    EXPECT_FALSE(SmallIntValue(t, &v32)) << i;
  }
  ASSERT_TRUE(ReadTlv(ints[5].data(), ints[5].size(), &t));
  EXPECT_FALSE(SmallIntValue(t, &v32));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ASN1_LARGE));
  EXPECT_EQ(EncodeSmallInt(0x80), (Bytes{0x02, 0x02, 0x00, 0x80}));
  EXPECT_EQ(EncodeSmallInt(0), (Bytes{0x02, 0x01, 0x00}));

  const Bytes bits = {0x03, 0x03, 0x06, 0xC0, 0x40};
  ASSERT_TRUE(ReadTlv(bits.data(), bits.size(), &t));
  const uint8_t* p = nullptr;
  size_t n = 0;
  unsigned unused = 0;
  ASSERT_TRUE(BitStringBytes(t, &p, &n, &unused));
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(unused, 6u);
  for (const Bytes& b : {Bytes{0x03, 0x00}, Bytes{0x03, 0x01, 0x01},
                         Bytes{0x03, 0x02, 0x08, 0x00}}) {
    ASSERT_TRUE(ReadTlv(b.data(), b.size(), &t));
    EXPECT_FALSE(BitStringBytes(t, &p, &n, &unused)) << b.size();
  }
}

TEST(Writer, IntegersAndSets) {
  // Serial numbers: positive, minimal.
  const uint8_t top[] = {0x00, 0x00, 0x80};
  EXPECT_EQ(EncodeUnsignedInteger(top, 3), (Bytes{2, 2, 0, 0x80}));
  const uint8_t small[] = {0x00, 0x05};
  EXPECT_EQ(EncodeUnsignedInteger(small, 2), (Bytes{2, 1, 5}));
  EXPECT_EQ(EncodeUnsignedInteger(nullptr, 0), (Bytes{2, 1, 0}));
  // DER SET OF is sorted.
  EXPECT_EQ(EncodeSetOf(kTagSet, {{0x04, 0x01, 0x09}, {0x02, 0x01, 0x01}}),
            (Bytes{0x31, 6, 0x02, 1, 1, 0x04, 1, 9}));
}

}  // namespace
