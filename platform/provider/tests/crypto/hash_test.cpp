// Hash values through CryptoAPI: published vectors, the GOST engine as a
// peer, and the life cycle of a hash object.
#include <string>

#include "crypto_test_util.h"

namespace crypto_test {
namespace {

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

class HashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CryptAcquireContextA(&prov_, nullptr, nullptr,
                                     PROV_GOST_2012_256, CRYPT_VERIFYCONTEXT));
  }
  void TearDown() override { EXPECT_TRUE(CryptReleaseContext(prov_, 0)); }
  HCRYPTPROV prov_ = 0;
};

// GOST R 34.11-94 with the CryptoPro parameter set, in the byte order the
// tools print; the empty message is the case Debian's engine gets wrong.
TEST_F(HashTest, Gost94CryptoProVectors) {
  const struct {
    const char* text;
    const char* hex;
  } v[] = {
      {"", "981e5f3ca30c841487830f84fb433e13ac1101569b9c13584ac483234cd656c0"},
      {"a", "e74c52dd282183bf37af0079c9f78055715a103f17e3133ceff1aacf2f403011"},
      {"abc",
       "b285056dbf18d7392d7677369524dd14747459ed8143997e163b2986f92fd42c"},
      {"message digest",
       "bc6041dd2aa401ebfa6e9886734174febdb4729aa972d60f549ac39b29721ba0"},
      {"This is message, length=32 bytes",
       "2cefc2f7b7bdc514e18ea57fa74ff357e7fa17d652c75f69cb1be7893ede48eb"},
      {"Suppose the original message has length = 50 bytes",
       "c3730c5cbccacf915ac292676f21e8bd4ef75331d9405e5f1a61dc3130a65011"},
  };
  for (const auto& t : v)
    EXPECT_EQ(Hex(CapiHash(prov_, CALG_GR3411, Str(t.text))), t.hex) << t.text;
}

// RFC 6986 prints messages and hash values as numbers, most significant
// octet first; the byte order of the tools is the reverse.
TEST_F(HashTest, StreebogRfc6986Vectors) {
  const Bytes m1 =
      Str("012345678901234567890123456789012345678901234567890123456789012");
  const Bytes m2 = Reverse(FromHex(
      "fbe2e5f0eee3c820fbeafaebef20fffbf0e1e0f0f520e0ed20e8ece0ebe5f0f2f120fff0"
      "eeec20f120faf2fee5e2202ce8f6f3ede220e8e6eee1e8f0f2d1202ce8f0f2e5e220e5d"
      "1"));
  ASSERT_EQ(m2.size(), 72u);
  EXPECT_EQ(CapiHash(prov_, CALG_GR3411_2012_256, m1),
            Reverse(FromHex("00557be5e584fd52a449b16b0251d05d27f94ab76cbaa6da8"
                            "90b59d8ef1e159d")));
  EXPECT_EQ(CapiHash(prov_, CALG_GR3411_2012_512, m1),
            Reverse(FromHex("486f64c1917879417fef082b3381a4e211c324f074654c388"
                            "23a7b76f830ad00fa1fbae42b1285c0352f227524bc9ab162"
                            "54288dd6863dccd5b9f54a1ad0541b")));
  EXPECT_EQ(CapiHash(prov_, CALG_GR3411_2012_256, m2),
            Reverse(FromHex("508f7e553c06501d749a66fc28c6cac0b005746d97537fa85"
                            "d9e40904efed29d")));
  EXPECT_EQ(CapiHash(prov_, CALG_GR3411_2012_512, m2),
            Reverse(FromHex("28fbc9bada033b1460642bdcddb90c3fb3e56c497ccd0f62b"
                            "8a2ad4935e85f037613966de4ee00531ae60f3b5a47f8dae0"
                            "6915d5f2f194996fcabf2622e6881e")));
}

// The engine as an independent peer on inputs around the block sizes, so a
// byte-order or padding slip shows whatever the vectors happen to cover.
TEST_F(HashTest, SameAsGostEngine) {
  if (!HaveGostEngine()) GTEST_SKIP() << "openssl gost engine not available";
  char dir[] = "/tmp/tavrix-hash-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const struct {
    ALG_ID alg;
    const char* md;
  } algs[] = {{CALG_GR3411, "md_gost94"},
              {CALG_GR3411_2012_256, "md_gost12_256"},
              {CALG_GR3411_2012_512, "md_gost12_512"}};
  for (size_t len : {1u, 31u, 32u, 33u, 63u, 64u, 65u, 1000u, 70000u}) {
    Bytes data(len);
    for (size_t i = 0; i < len; ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    const std::string file = std::string(dir) + "/m";
    WriteFile(file, data);
    for (const auto& a : algs) {
      std::string out;
      ASSERT_EQ(Shell(std::string("openssl dgst -engine gost -") + a.md +
                          " -r " + file,
                      &out),
                0);
      EXPECT_EQ(Hex(CapiHash(prov_, a.alg, data)), out.substr(0, out.find(' ')))
          << a.md << " over " << len << " bytes";
    }
  }
  Shell(std::string("rm -rf ") + dir);
}

TEST_F(HashTest, ParamsChunkingDuplicateAndState) {
  for (ALG_ID alg : {CALG_GR3411, CALG_GR3411_2012_256, CALG_GR3411_2012_512}) {
    HCRYPTHASH h = 0;
    ASSERT_TRUE(CryptCreateHash(prov_, alg, 0, 0, &h));
    DWORD v = 0, len = sizeof v;
    ASSERT_TRUE(
        CryptGetHashParam(h, HP_ALGID, reinterpret_cast<BYTE*>(&v), &len, 0));
    EXPECT_EQ(v, alg);
    len = sizeof v;
    ASSERT_TRUE(CryptGetHashParam(h, HP_HASHSIZE, reinterpret_cast<BYTE*>(&v),
                                  &len, 0));
    const DWORD size = alg == CALG_GR3411_2012_512 ? 64 : 32;
    EXPECT_EQ(v, size);

    // Fed in odd pieces, with a copy taken half-way.
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    ASSERT_TRUE(CryptHashData(h, data.data(), 17, 0));
    ASSERT_TRUE(CryptHashData(h, nullptr, 0, 0));
    HCRYPTHASH copy = 0;
    ASSERT_TRUE(CryptDuplicateHash(h, nullptr, 0, &copy));
    ASSERT_TRUE(CryptHashData(h, data.data() + 17, 4983, 0));
    ASSERT_TRUE(CryptHashData(copy, data.data() + 17, 100, 0));

    // A size query must not close the hash.
    len = 0;
    ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, nullptr, &len, 0));
    EXPECT_EQ(len, size);
    Bytes value(size);
    len = size - 1;
    EXPECT_FALSE(CryptGetHashParam(h, HP_HASHVAL, value.data(), &len, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(len, size);
    len = size;
    ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, value.data(), &len, 0));
    EXPECT_EQ(value, CapiHash(prov_, alg, data));
    // Once read, the value is fixed: more data is refused, re-reads agree.
    EXPECT_FALSE(CryptHashData(h, data.data(), 1, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
    Bytes again(size);
    ASSERT_TRUE(CryptGetHashParam(h, HP_HASHVAL, again.data(), &len, 0));
    EXPECT_EQ(again, value);

    Bytes copy_value(size);
    len = size;
    ASSERT_TRUE(
        CryptGetHashParam(copy, HP_HASHVAL, copy_value.data(), &len, 0));
    EXPECT_EQ(copy_value,
              CapiHash(prov_, alg, Bytes(data.begin(), data.begin() + 117)));

    // A value set from outside is what is read back.
    Bytes given(size, 0x5A);
    ASSERT_TRUE(CryptSetHashParam(copy, HP_HASHVAL, given.data(), 0));
    ASSERT_TRUE(
        CryptGetHashParam(copy, HP_HASHVAL, copy_value.data(), &len, 0));
    EXPECT_EQ(copy_value, given);
    EXPECT_TRUE(CryptDestroyHash(copy));
    EXPECT_TRUE(CryptDestroyHash(h));
  }
}

}  // namespace
}  // namespace crypto_test
