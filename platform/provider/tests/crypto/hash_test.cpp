// Hash values through CryptoAPI: published vectors, the GOST engine as a
// peer, and the life cycle of a hash object.
#include <string>

#include "provider_test.h"

namespace crypto_test {

using tavrix_test::Bytes;
using tavrix_test::CapiHash;
using tavrix_test::FromHex;
using tavrix_test::HashHandle;
using tavrix_test::HaveGostEngine;
using tavrix_test::Hex;
using tavrix_test::Reverse;
using tavrix_test::ShellStatus;
using tavrix_test::WriteFileBytes;

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

ALG_ID HashAlg(const std::string& name) {
  if (name == "gost94") return CALG_GR3411;
  if (name == "streebog256") return CALG_GR3411_2012_256;
  if (name == "streebog512") return CALG_GR3411_2012_512;
  ADD_FAILURE() << "unknown hash " << name;
  return 0;
}

// Published vectors (GOST R 34.11-94 with the CryptoPro parameter set, and
// RFC 6986), kept in data/gost_hash.vec.
TEST_F(HashTest, KnownAnswers) {
  const std::string file =
      std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) +
      "/data/gost_hash.vec";
  const auto vectors = tavrix_test::ReadVecFile(file);
  ASSERT_EQ(vectors.size(), 10u);
  for (const auto& v : vectors) {
    const bool reversed = v.Has("order") && v.At("order") == "reversed";
    Bytes msg;
    if (v.Has("text")) {
      msg = Str(v.At("text"));
    } else {
      msg = FromHex(v.At("msg"));
      if (reversed) msg = Reverse(msg);
    }
    if (v.Has("len")) {
      ASSERT_EQ(msg.size(), std::stoul(v.At("len"))) << v.where;
    }
    Bytes digest = FromHex(v.At("digest"));
    if (reversed) digest = Reverse(digest);
    EXPECT_EQ(Hex(CapiHash(prov_, HashAlg(v.At("alg")), msg)), Hex(digest))
        << v.where;
  }
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
    WriteFileBytes(file, data);
    for (const auto& a : algs) {
      std::string out;
      ASSERT_EQ(ShellStatus(std::string("openssl dgst -engine gost -") + a.md +
                                " -r " + file,
                            &out),
                0);
      EXPECT_EQ(Hex(CapiHash(prov_, a.alg, data)), out.substr(0, out.find(' ')))
          << a.md << " over " << len << " bytes";
    }
  }
  ShellStatus(std::string("rm -rf ") + dir);
}

TEST_F(HashTest, ParamsChunkingDuplicateAndState) {
  for (ALG_ID alg : {CALG_GR3411, CALG_GR3411_2012_256, CALG_GR3411_2012_512}) {
    HashHandle h;
    ASSERT_TRUE(CryptCreateHash(prov_, alg, 0, 0, h.out()));
    DWORD v = 0, len = sizeof v;
    ASSERT_TRUE(CryptGetHashParam(h.get(), HP_ALGID,
                                  reinterpret_cast<BYTE*>(&v), &len, 0));
    EXPECT_EQ(v, alg);
    len = sizeof v;
    ASSERT_TRUE(CryptGetHashParam(h.get(), HP_HASHSIZE,
                                  reinterpret_cast<BYTE*>(&v), &len, 0));
    const DWORD size = alg == CALG_GR3411_2012_512 ? 64 : 32;
    EXPECT_EQ(v, size);

    // Fed in odd pieces, with a copy taken half-way.
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
    ASSERT_TRUE(CryptHashData(h.get(), data.data(), 17, 0));
    ASSERT_TRUE(CryptHashData(h.get(), nullptr, 0, 0));
    HashHandle copy;
    ASSERT_TRUE(CryptDuplicateHash(h.get(), nullptr, 0, copy.out()));
    ASSERT_TRUE(CryptHashData(h.get(), data.data() + 17, 4983, 0));
    ASSERT_TRUE(CryptHashData(copy.get(), data.data() + 17, 100, 0));

    // A size query must not close the hash.
    len = 0;
    ASSERT_TRUE(CryptGetHashParam(h.get(), HP_HASHVAL, nullptr, &len, 0));
    EXPECT_EQ(len, size);
    Bytes value(size);
    len = size - 1;
    EXPECT_FALSE(CryptGetHashParam(h.get(), HP_HASHVAL, value.data(), &len, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(len, size);
    len = size;
    ASSERT_TRUE(CryptGetHashParam(h.get(), HP_HASHVAL, value.data(), &len, 0));
    EXPECT_EQ(value, CapiHash(prov_, alg, data));
    // Once read, the value is fixed: more data is refused, re-reads agree.
    EXPECT_FALSE(CryptHashData(h.get(), data.data(), 1, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
    Bytes again(size);
    ASSERT_TRUE(CryptGetHashParam(h.get(), HP_HASHVAL, again.data(), &len, 0));
    EXPECT_EQ(again, value);

    Bytes copy_value(size);
    len = size;
    ASSERT_TRUE(
        CryptGetHashParam(copy.get(), HP_HASHVAL, copy_value.data(), &len, 0));
    EXPECT_EQ(copy_value,
              CapiHash(prov_, alg, Bytes(data.begin(), data.begin() + 117)));

    // A value set from outside is what is read back.
    Bytes given(size, 0x5A);
    ASSERT_TRUE(CryptSetHashParam(copy.get(), HP_HASHVAL, given.data(), 0));
    ASSERT_TRUE(
        CryptGetHashParam(copy.get(), HP_HASHVAL, copy_value.data(), &len, 0));
    EXPECT_EQ(copy_value, given);
    EXPECT_TRUE(CryptDestroyHash(copy.release()));
    EXPECT_TRUE(CryptDestroyHash(h.release()));
  }
}

}  // namespace
}  // namespace crypto_test
