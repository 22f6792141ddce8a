#include <base64.h>
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string Encode(const std::string& bytes, bool split = true) {
  return base64::encoding(bytes.data(), bytes.size(), split);
}

std::string Decode(const std::string& text) {
  std::vector<char> out(base64::GetLengthToDecode(text.size()), 'X');
  size_t len = 12345;
  EXPECT_TRUE(base64::decoding(text.data(), text.size(), out.data(), &len));
  EXPECT_LT(len, out.size());
  EXPECT_EQ(out[len], '\0') << "terminating zero behind the bytes";
  return std::string(out.data(), len);
}

TEST(Base64Encoding, PaddingAndKnownVectors) {
  EXPECT_EQ(Encode(""), "");
  EXPECT_EQ(Encode("f"), "Zg==");
  EXPECT_EQ(Encode("fo"), "Zm8=");
  EXPECT_EQ(Encode("foo"), "Zm9v");
  EXPECT_EQ(Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Encode(std::string("\xff\xfe\x00\x80", 4)), "//4AgA==");
  EXPECT_EQ(base64::encoding(nullptr, 10), "");
  EXPECT_EQ(base64::encoding(nullptr, 10, false), "");
}

TEST(Base64Encoding, LinesOf76JoinedByCrLf) {
  const std::string one(57, 'a');
  const std::string e57 = Encode(one);
  EXPECT_EQ(e57.size(), 76u);
  EXPECT_EQ(e57.find('\r'), std::string::npos);

  const std::string e58 = Encode(one + "a");
  ASSERT_EQ(e58.size(), 76u + 2 + 4);
  EXPECT_EQ(e58.substr(0, 76), e57);
  EXPECT_EQ(e58.substr(76, 2), "\r\n");
  EXPECT_EQ(e58.substr(80), "==");

  // Many lines: every full line is exactly 76 long, no break at the end,
  // and the unsplit form is the same text without the breaks.
  std::string big(57 * 5, '\x5a');
  const std::string split = Encode(big);
  const std::string flat = Encode(big, false);
  EXPECT_EQ(flat.find('\n'), std::string::npos);
  std::string joined;
  size_t start = 0;
  for (;;) {
    const size_t br = split.find("\r\n", start);
    const std::string line = split.substr(start, br - start);
    joined += line;
    if (br == std::string::npos) {
      EXPECT_EQ(line.size(), 76u);
      break;
    }
    EXPECT_EQ(line.size(), 76u);
    start = br + 2;
  }
  EXPECT_EQ(joined, flat);
  EXPECT_NE(split.substr(split.size() - 2), "\r\n");
}

TEST(Base64Encoding, EachCallStartsAFreshLine) {
  // A previous encoding leaves the process-wide counter mid-line.
  Encode(std::string(30, 'x'));
  EXPECT_NE(base64::nChar, 0);
  EXPECT_EQ(Encode(std::string(57, 'a')).find('\r'), std::string::npos);
}

TEST(Base64Alphabet, CharactersMapBothWays) {
  const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int v = 0; v < 64; ++v) {
    EXPECT_EQ(base64::encodeChar(static_cast<char>(v)), alphabet[v]);
    EXPECT_EQ(base64::decodeChar(alphabet[v]), v);
  }
  EXPECT_EQ(base64::encodeChar(64), '=');
  EXPECT_EQ(base64::encodeChar(-1), '=');
  for (char c : std::string("= \r\n-_.\x80\xff", 10))
    EXPECT_EQ(base64::decodeChar(c), 64) << int(c);
}

TEST(Base64Decoding, RoundTripsAllLengthsAndBothForms) {
  std::mt19937 rng(7);
  for (size_t n = 0; n < 400; ++n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    ASSERT_EQ(Decode(Encode(bytes)), bytes) << n;
    ASSERT_EQ(Decode(Encode(bytes, false)), bytes) << n;
  }
}

TEST(Base64Decoding, ForeignCharactersAreSkipped) {
  EXPECT_EQ(Decode("Zm9v\r\nYmFy"), "foobar");
  EXPECT_EQ(Decode(" Z m=9v\nY==mF y "), "foobar");
  EXPECT_EQ(Decode("Zm9vYg"), "foob");  // missing padding is harmless
  EXPECT_EQ(Decode("Zm9vYmE"), "fooba");
  EXPECT_EQ(Decode(""), "");
  EXPECT_EQ(Decode("\r\n==  "), "");
}

TEST(Base64Decoding, LoneTrailingCharacterGivesOneByte) {
  // Five characters: one full group and one value in the top six bits.
  EXPECT_EQ(Decode("Zm9v/"), std::string("foo\xfc", 4));
  EXPECT_EQ(Decode("B"), std::string("\x04", 1));
}

TEST(Base64Decoding, BufferSizeCoversEveryText) {
  EXPECT_EQ(base64::GetLengthToDecode(0), 1u);
  EXPECT_EQ(base64::GetLengthToDecode(4), 4u);
  EXPECT_EQ(base64::GetLengthToDecode(5), 5u);
  // Texts of pure alphabet characters need the most room; the buffer from
  // GetLengthToDecode must hold the bytes and the zero for every length.
  for (size_t n = 0; n < 200; ++n) {
    const std::string text(n, 'Q');
    std::vector<char> out(base64::GetLengthToDecode(n));
    size_t len = 0;
    base64::decoding(text.data(), n, out.data(), &len);
    EXPECT_LT(len, out.size()) << n;
  }
}

TEST(Base64Check, IsBase64) {
  std::string empty;
  EXPECT_TRUE(base64::IsBase64(empty));
  std::string lines = Encode(std::string(100, 'q'));
  ASSERT_NE(lines.find("\r\n"), std::string::npos);
  EXPECT_TRUE(base64::IsBase64(lines));
  std::string trailing = lines + " ";
  EXPECT_FALSE(base64::IsBase64(trailing));
  std::string urlSafe = "ab-c";
  EXPECT_FALSE(base64::IsBase64(urlSafe));
  urlSafe = "ab_c";
  EXPECT_FALSE(base64::IsBase64(urlSafe));

  char raw[] = "QUJD\r\nRA==";
  EXPECT_TRUE(base64::IsBase64(raw, sizeof(raw) - 1));
  char withZero[] = {'Q', 'U', '\0', 'J'};
  EXPECT_FALSE(base64::IsBase64(withZero, sizeof(withZero)));
  EXPECT_TRUE(base64::IsBase64(withZero, 2));
}

}  // namespace
