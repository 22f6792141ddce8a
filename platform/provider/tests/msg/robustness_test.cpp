// Bad input never crashes the decoder: truncation, wrong lengths, lengths
// past the end, deep nesting, indefinite lengths where they may not stand,
// huge claimed sizes. Each gives FALSE with an error code.
#include <cstring>

#include "der/der.h"
#include "msg_test_util.h"

namespace msg_test {
namespace {

using tavrix::provider::der::BerReader;
using tavrix::provider::der::Tlv;

DWORD DecodeError(const Bytes& msg, size_t piece = 0) {
  HCRYPTMSG m = Decode(msg, piece);
  if (m) {
    CryptMsgClose(m);
    return 0;
  }
  return GetLastError();
}

// A small signed message made without any key: structure is all that
// matters to the decoder.
Bytes Structure(bool indefinite_content) {
  auto tlv = [](uint8_t tag, const Bytes& body) {
    Bytes out{tag};
    size_t n = body.size();
    if (n < 128) {
      out.push_back(static_cast<uint8_t>(n));
    } else {
      out.push_back(0x82);
      out.push_back(static_cast<uint8_t>(n >> 8));
      out.push_back(static_cast<uint8_t>(n));
    }
    out.insert(out.end(), body.begin(), body.end());
    return out;
  };
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };
  Bytes data_oid = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                    0xf7, 0x0d, 0x01, 0x07, 0x01};
  Bytes sd_oid = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                  0xf7, 0x0d, 0x01, 0x07, 0x02};
  Bytes alg = tlv(0x30, {0x06, 0x08, 0x2a, 0x85, 0x03, 0x07, 0x01, 0x01, 0x02,
                         0x02, 0x05, 0x00});
  Bytes name =
      tlv(0x30, tlv(0x31, tlv(0x30, cat({{0x06, 0x03, 0x55, 0x04, 0x03},
                                         tlv(0x0c, {'t', 'e', 's', 't'})}))));
  Bytes sigalg = tlv(0x30, {0x06, 0x08, 0x2a, 0x85, 0x03, 0x07, 0x01, 0x01,
                            0x01, 0x01, 0x05, 0x00});
  Bytes signer =
      tlv(0x30, cat({{0x02, 0x01, 0x01},
                     tlv(0x30, cat({name, {0x02, 0x02, 0x01, 0x23}})),
                     alg,
                     sigalg,
                     tlv(0x04, Bytes(64, 0x5a))}));
  Bytes content = Pattern(40);
  Bytes econtent;
  if (indefinite_content) {
    econtent = {0xa0, 0x80, 0x24, 0x80};
    econtent = cat({econtent,
                    tlv(0x04, Bytes(content.begin(), content.begin() + 15)),
                    tlv(0x04, Bytes(content.begin() + 15, content.end())),
                    {0, 0, 0, 0}});
  } else {
    econtent = tlv(0xa0, tlv(0x04, content));
  }
  Bytes sd = tlv(0x30, cat({{0x02, 0x01, 0x01},
                            tlv(0x31, alg),
                            tlv(0x30, cat({data_oid, econtent})),
                            tlv(0x31, signer)}));
  return tlv(0x30, cat({sd_oid, tlv(0xa0, sd)}));
}

TEST(Robustness, WellFormedStructuresDecode) {
  for (bool indef : {false, true}) {
    Bytes msg = Structure(indef);
    for (size_t piece : {size_t(0), size_t(1), size_t(5)}) {
      HCRYPTMSG m = Decode(msg, piece);
      ASSERT_NE(m, nullptr) << std::hex << GetLastError();
      Bytes content;
      EXPECT_TRUE(GetBytes(m, CMSG_CONTENT_PARAM, 0, &content));
      EXPECT_EQ(content, Pattern(40));
      CryptMsgClose(m);
    }
  }
}

TEST(Robustness, EveryTruncationAndEveryByteChangeFailsCleanly) {
  for (bool indef : {false, true}) {
    Bytes msg = Structure(indef);
    for (size_t cut = 0; cut < msg.size(); ++cut) {
      Bytes part(msg.begin(), msg.begin() + cut);
      DWORD e = DecodeError(part);
      EXPECT_NE(e, 0u) << "cut at " << cut;
      EXPECT_NE(DecodeError(part, 3), 0u) << "cut at " << cut;
    }
    // Every byte set to a few telling values: either the result still
    // decodes, or it fails with an error code; never a crash or a hang.
    for (size_t i = 0; i < msg.size(); ++i) {
      for (uint8_t v : {0x00, 0x80, 0x84, 0xff, 0x24, 0x30}) {
        Bytes bad = msg;
        bad[i] = v;
        HCRYPTMSG m = Decode(bad, i % 2 ? 7 : 0);
        if (m) {
          Bytes out;
          GetBytes(m, CMSG_CONTENT_PARAM, 0, &out);
          GetBytes(m, CMSG_ENCODED_MESSAGE, 0, &out);
          CryptMsgClose(m);
        } else {
          EXPECT_NE(GetLastError(), 0u);
        }
      }
    }
  }
}

TEST(Robustness, LengthsAndNestingOutOfBounds) {
  // Huge claimed sizes: nothing is allocated for them and the end of input
  // is reported.
  Bytes huge = {0x30, 0x84, 0xff, 0xff, 0xff, 0xf0, 0x06, 0x09, 0x2a, 0x86,
                0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02, 0xa0, 0x84, 0xff,
                0xff, 0xff, 0x00, 0x30, 0x84, 0xff, 0xff, 0xfe, 0x00};
  EXPECT_EQ(DecodeError(huge), CRYPT_E_ASN1_EOD);
  // More length octets than any size we take.
  Bytes wide = {0x30, 0x89, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(DecodeError(wide), CRYPT_E_ASN1_LARGE);
  // A child longer than its parent.
  Bytes msg = Structure(false);
  Bytes longer = msg;
  longer[msg.size() - 1 - 64 - 1] = 0x41;  // the signature's length: 64 -> 65
  EXPECT_NE(DecodeError(longer), 0u);
  // Indefinite length on a primitive element.
  Bytes prim = {0x30, 0x80, 0x06, 0x80, 0x00, 0x00};
  EXPECT_EQ(DecodeError(prim), CRYPT_E_ASN1_CORRUPT);
  // Trailing bytes after a complete message.
  Bytes trailing = msg;
  trailing.push_back(0);
  EXPECT_EQ(DecodeError(trailing), CRYPT_E_MSG_ERROR);
  // Content nested as constructed strings far too deep.
  Bytes deep = Structure(true);
  size_t at = 0;
  for (size_t i = 0; i + 3 < deep.size(); ++i)
    if (deep[i] == 0xa0 && deep[i + 1] == 0x80 && deep[i + 2] == 0x24)
      at = i + 2;
  ASSERT_NE(at, 0u);
  Bytes nest(deep.begin(), deep.begin() + static_cast<std::ptrdiff_t>(at));
  for (int i = 0; i < 200; ++i) nest.insert(nest.end(), {0x24, 0x80});
  EXPECT_EQ(DecodeError(nest, 11), CRYPT_E_ASN1_LARGE);
  // And deep nesting inside the signer infos, where elements are measured
  // whole.
  // Signer infos replaced by 1000 nested indefinite SETs.
  BerReader top(msg.data(), msg.size());
  Tlv ci, sd0, sd, child;
  ASSERT_TRUE(top.Next(&ci));
  BerReader cr(ci);
  ASSERT_TRUE(cr.Next(&child) && cr.Next(&sd0));
  BerReader xr(sd0);
  ASSERT_TRUE(xr.Next(&sd));
  BerReader sr(sd);
  while (!sr.empty()) ASSERT_TRUE(sr.Next(&child));
  size_t sis = static_cast<size_t>(child.start - msg.data());
  Bytes bomb(msg.begin(), msg.begin() + static_cast<std::ptrdiff_t>(sis));
  for (int i = 0; i < 1000; ++i) bomb.insert(bomb.end(), {0x31, 0x80});
  for (int i = 0; i < 1000; ++i) bomb.insert(bomb.end(), {0x00, 0x00});
  EXPECT_EQ(DecodeError(bomb), CRYPT_E_ASN1_LARGE);
}

}  // namespace
}  // namespace msg_test
