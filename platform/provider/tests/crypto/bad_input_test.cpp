// Wrong handles, null pointers, short buffers, unknown algorithms, broken
// key files and public keys: each gives FALSE and a fitting last error,
// never a crash or an over-read (these run under ASan/UBSan too).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "crypto/key_store.h"
#include "provider_test.h"

namespace crypto_test {

using tavrix_test::Bytes;
using tavrix_test::CapiHash;
using tavrix_test::FromHex;
using tavrix_test::HashHandle;
using tavrix_test::Hex;
using tavrix_test::KeyHandle;
using tavrix_test::ProvHandle;
using tavrix_test::ProviderHomeTest;
using tavrix_test::ShellStatus;
using tavrix_test::WriteFileBytes;

namespace {

// A GOST R 34.10-2001 CryptoPro-A key as the engine writes it, and the
// public key info the engine prints for it (data/gost_key.vec).
const tavrix_test::VecBlock& Key2001() {
  static const tavrix_test::VecBlock v = [] {
    const std::string here = __FILE__;
    return tavrix_test::ReadVecFile(here.substr(0, here.rfind('/')) +
                                    "/data/gost_key.vec")
        .at(0);
  }();
  return v;
}

Bytes Der(uint8_t tag, const Bytes& body) {
  // Sized once and filled in place: GCC 12 at -O3 takes the grow-and-insert
  // form for an overflow of the two-byte start (a false -Warray-bounds).
  Bytes out(body.size() + 2);
  out[0] = tag;
  out[1] = static_cast<uint8_t>(body.size());
  std::copy(body.begin(), body.end(), out.begin() + 2);
  return out;
}

// The same key with the private part re-encoded: `inner` wraps the scalar.
Bytes KeyWithPrivate(const Bytes& private_octets) {
  const Bytes key = FromHex(Key2001().At("key"));
  Bytes body(key.begin() + 2, key.begin() + 2 + 3 + 30);  // version, algorithm
  const Bytes priv = Der(0x04, private_octets);
  body.insert(body.end(), priv.begin(), priv.end());
  return Der(0x30, body);
}

Bytes ScalarLe() {
  const Bytes key = FromHex(Key2001().At("key"));
  return Bytes(key.end() - 32, key.end());
}

Bytes ExportPoint(HCRYPTPROV prov) {
  DWORD size = 0;
  if (!CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING, nullptr,
                                &size))
    return {};
  std::vector<uint64_t> buf((size + 7) / 8);
  auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buf.data());
  if (!CryptExportPublicKeyInfo(prov, AT_SIGNATURE, X509_ASN_ENCODING, info,
                                &size))
    return {};
  return Bytes(info->PublicKey.pbData,
               info->PublicKey.pbData + info->PublicKey.cbData);
}

using KeyStoreTest = ProviderHomeTest;

TEST_F(KeyStoreTest, PrivateKeyEncodingsAgree) {
  // Scalar as the engine writes it, wrapped in an inner OCTET STRING, and as
  // a big-endian INTEGER: the same key, the engine's public point.
  const Bytes le = ScalarLe();
  Bytes be(le.rbegin(), le.rend());
  Bytes integer_body = be;
  if (integer_body[0] & 0x80) integer_body.insert(integer_body.begin(), 0);
  const Bytes forms[] = {FromHex(Key2001().At("key")),
                         KeyWithPrivate(Der(0x04, le)),
                         KeyWithPrivate(Der(0x02, integer_body))};
  for (const Bytes& form : forms) {
    ASSERT_TRUE(
        tavrix::provider::ImportPrivateKey(form.data(), form.size(), "k"))
        << Hex(form);
    ProvHandle prov;
    ASSERT_TRUE(
        CryptAcquireContextA(prov.out(), "k", nullptr, PROV_GOST_2001_DH, 0));
    EXPECT_EQ(Hex(ExportPoint(prov.get())), Key2001().At("point"));
    EXPECT_TRUE(CryptReleaseContext(prov.release(), 0));
  }
  // A reader prefix is tolerated in the container name.
  ProvHandle prov;
  ASSERT_TRUE(
      CryptAcquireContextA(prov.out(), "\\\\.\\HDIMAGE\\k", nullptr, 0, 0));
  DWORD len = 0;
  ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_CONTAINER, nullptr, &len, 0));
  std::string name(len, '\0');
  ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_CONTAINER,
                                reinterpret_cast<BYTE*>(&name[0]), &len, 0));
  EXPECT_STREQ(name.c_str(), "k");
  EXPECT_TRUE(CryptReleaseContext(prov.release(), 0));
}

TEST_F(KeyStoreTest, MalformedKeysAreRefused) {
  const Bytes key = FromHex(Key2001().At("key"));
  for (size_t n = 0; n < key.size(); ++n) {
    Bytes cut(key.begin(), key.begin() + n);
    EXPECT_FALSE(
        tavrix::provider::ImportPrivateKey(cut.data(), cut.size(), "t"))
        << n;
    EXPECT_EQ(GetLastError(), NTE_BAD_DATA) << n;
  }
  EXPECT_FALSE(tavrix::provider::ContainerExists("t"));
  // Every single corrupted octet: refused or accepted (a changed scalar is
  // still a key), never a crash.
  for (size_t i = 0; i < key.size(); ++i) {
    Bytes bad = key;
    bad[i] ^= 0xFF;
    tavrix::provider::ImportPrivateKey(bad.data(), bad.size(), "t");
  }
  EXPECT_FALSE(tavrix::provider::ImportPrivateKey(nullptr, 10, "t"));
  EXPECT_EQ(GetLastError(), NTE_BAD_DATA);

  EXPECT_FALSE(tavrix::provider::ImportPrivateKey(
      KeyWithPrivate(Bytes(32, 0)).data(), 69, "t"));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);  // zero scalar
  EXPECT_FALSE(tavrix::provider::ImportPrivateKey(
      KeyWithPrivate(Bytes(32, 0xFF)).data(), 69, "t"));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);  // not below the order
  Bytes unknown_curve = key;
  unknown_curve[25] = 0x09;  // ...2.35.9
  EXPECT_FALSE(tavrix::provider::ImportPrivateKey(unknown_curve.data(),
                                                  unknown_curve.size(), "t"));
  EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);

  for (const char* name : {"", "../t", "a/b", ".hidden"}) {
    EXPECT_FALSE(
        tavrix::provider::ImportPrivateKey(key.data(), key.size(), name));
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET_PARAM) << name;
  }
}

TEST_F(KeyStoreTest, ContainersMissingBrokenOrDeleted) {
  HCRYPTPROV prov = 0;
  EXPECT_FALSE(CryptAcquireContextA(&prov, "none", nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  EXPECT_FALSE(CryptAcquireContextA(&prov, nullptr, nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);

  const Bytes key = FromHex(Key2001().At("key"));
  ASSERT_TRUE(tavrix::provider::ImportPrivateKey(key.data(), key.size(), "k"));
  const std::string dir = home_ + "/home/keys/";
  // A file that is not a key, a folder and a symbolic link in its place.
  WriteFileBytes(dir + "junk.key", Bytes{0x30, 0x03, 0x02, 0x01, 0x00});
  EXPECT_FALSE(CryptAcquireContextA(&prov, "junk", nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), NTE_KEYSET_ENTRY_BAD);
  ASSERT_EQ(mkdir((dir + "folder.key").c_str(), 0700), 0);
  EXPECT_FALSE(CryptAcquireContextA(&prov, "folder", nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  ASSERT_EQ(symlink((dir + "k.key").c_str(), (dir + "link.key").c_str()), 0);
  EXPECT_FALSE(CryptAcquireContextA(&prov, "link", nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);

  // Re-import replaces atomically and leaves no temporary files behind.
  ASSERT_TRUE(tavrix::provider::ImportPrivateKey(key.data(), key.size(), "k"));
  std::string listing;
  ShellStatus("ls -A " + dir, &listing);
  EXPECT_EQ(listing, "folder.key\njunk.key\nk.key\nlink.key\n");

  EXPECT_FALSE(CryptAcquireContextA(&prov, "k", nullptr, 0, CRYPT_NEWKEYSET));
  EXPECT_EQ(GetLastError(), NTE_EXISTS);
  EXPECT_FALSE(CryptAcquireContextA(&prov, "k", nullptr, 0, 0x4000));
  EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
  EXPECT_TRUE(CryptAcquireContextA(&prov, "k", nullptr, 0, CRYPT_DELETEKEYSET));
  EXPECT_FALSE(tavrix::provider::ContainerExists("k"));
  EXPECT_FALSE(tavrix::provider::DeleteContainer("k"));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  EXPECT_FALSE(CryptAcquireContextA(&prov, "k", nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
}

class BadCallTest : public ProviderHomeTest {
 protected:
  void SetUp() override {
    ProviderHomeTest::SetUp();
    const Bytes key = FromHex(Key2001().At("key"));
    ASSERT_TRUE(
        tavrix::provider::ImportPrivateKey(key.data(), key.size(), "k"));
    ASSERT_TRUE(CryptAcquireContextA(&prov_, "k", nullptr, 0, 0));
    ASSERT_TRUE(CryptAcquireContextA(&verify_, nullptr, nullptr, 0,
                                     CRYPT_VERIFYCONTEXT));
  }
  void TearDown() override {
    CryptReleaseContext(prov_, 0);
    CryptReleaseContext(verify_, 0);
    ProviderHomeTest::TearDown();
  }
  HCRYPTPROV prov_ = 0, verify_ = 0;
};

TEST_F(BadCallTest, HandlesAndNullPointers) {
  const HCRYPTPROV garbage = 0xDEADBEEF;
  HCRYPTHASH h = 0;
  HCRYPTKEY k = 0;
  DWORD len = 4, v = 0;
  EXPECT_FALSE(CryptCreateHash(garbage, CALG_GR3411, 0, 0, &h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CryptReleaseContext(garbage, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(CryptHashData(garbage, nullptr, 0, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH);
  EXPECT_FALSE(CryptGetHashParam(0, HP_HASHSIZE, nullptr, &len, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH);
  EXPECT_FALSE(CryptDestroyKey(garbage));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  EXPECT_FALSE(CryptGetProvParam(prov_, PP_NAME, nullptr, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(
      CryptAcquireContextA(nullptr, nullptr, nullptr, 0, CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CryptAcquireContextA(&verify_, nullptr, nullptr, PROV_RSA_FULL,
                                    CRYPT_VERIFYCONTEXT));
  EXPECT_EQ(GetLastError(), NTE_BAD_PROV_TYPE);
  EXPECT_FALSE(CryptCreateHash(prov_, CALG_GR3411, 0, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  for (ALG_ID alg :
       {0u, static_cast<ALG_ID>(CALG_SHA1), static_cast<ALG_ID>(CALG_SHA_256),
        0xFFFFFFFFu, static_cast<ALG_ID>(CALG_GR3410EL)}) {
    EXPECT_FALSE(CryptCreateHash(prov_, alg, 0, 0, &h)) << alg;
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
  }

  ASSERT_TRUE(CryptCreateHash(prov_, CALG_GR3411, 0, 0, &h));
  EXPECT_FALSE(CryptHashData(h, nullptr, 5, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CryptGetHashParam(h, HP_HASHSIZE, reinterpret_cast<BYTE*>(&v),
                                 nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(
      CryptGetHashParam(h, 0x77, reinterpret_cast<BYTE*>(&v), &len, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
  EXPECT_FALSE(CryptSetHashParam(h, HP_HASHVAL, nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CryptSignHashW(h, AT_SIGNATURE, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(CryptSignHashW(h, 7, nullptr, 0, nullptr, &len));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  Bytes sig(64);
  len = 63;
  EXPECT_FALSE(CryptSignHashW(h, AT_SIGNATURE, nullptr, 0, sig.data(), &len));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(len, 64u);
  // The short buffer did not close the hash.
  EXPECT_TRUE(CryptHashData(h, sig.data(), 3, 0));
  EXPECT_TRUE(CryptDestroyHash(h));
  // A destroyed handle is dead.
  EXPECT_FALSE(CryptHashData(h, sig.data(), 3, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH);
  EXPECT_FALSE(CryptDestroyHash(h));
  EXPECT_EQ(GetLastError(), NTE_BAD_HASH);

  // Without a key: hashing works, signing and key calls do not.
  ASSERT_TRUE(CryptCreateHash(verify_, CALG_GR3411, 0, 0, &h));
  len = 64;
  EXPECT_FALSE(CryptSignHashW(h, AT_SIGNATURE, nullptr, 0, sig.data(), &len));
  EXPECT_EQ(GetLastError(), NTE_NO_KEY);
  EXPECT_FALSE(CryptGetUserKey(verify_, AT_SIGNATURE, &k));
  EXPECT_EQ(GetLastError(), NTE_NO_KEY);
  EXPECT_FALSE(CryptGetProvParam(verify_, PP_CONTAINER, nullptr, &len, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
  EXPECT_TRUE(CryptDestroyHash(h));
}

TEST_F(BadCallTest, EnumerationAndSizes) {
  // Size queries and short buffers do not move the cursor.
  PROV_ENUMALGS alg;
  DWORD len = 0;
  ASSERT_TRUE(
      CryptGetProvParam(verify_, PP_ENUMALGS, nullptr, &len, CRYPT_FIRST));
  EXPECT_EQ(len, sizeof(PROV_ENUMALGS));
  std::vector<ALG_ID> seen;
  for (DWORD flag = CRYPT_FIRST;; flag = CRYPT_NEXT) {
    len = 0;
    if (!CryptGetProvParam(verify_, PP_ENUMALGS, nullptr, &len, flag)) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
      break;
    }
    len = sizeof alg - 1;
    EXPECT_FALSE(CryptGetProvParam(verify_, PP_ENUMALGS,
                                   reinterpret_cast<BYTE*>(&alg), &len, flag));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    ASSERT_TRUE(CryptGetProvParam(verify_, PP_ENUMALGS,
                                  reinterpret_cast<BYTE*>(&alg), &len, flag));
    EXPECT_EQ(alg.dwNameLen, strlen(alg.szName) + 1);
    seen.push_back(alg.aiAlgid);
    ASSERT_LT(seen.size(), 20u);
  }
  EXPECT_EQ(seen, (std::vector<ALG_ID>{
                      CALG_GR3411, CALG_GR3411_2012_256, CALG_GR3411_2012_512,
                      CALG_GR3410EL, CALG_GR3410_12_256, CALG_GR3410_12_512}));
  len = sizeof alg;
  EXPECT_FALSE(CryptGetProvParam(
      verify_, PP_ENUMALGS, reinterpret_cast<BYTE*>(&alg), &len, CRYPT_NEXT));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  PROV_ENUMALGS_EX ex;
  len = sizeof ex;
  ASSERT_TRUE(CryptGetProvParam(
      prov_, PP_ENUMALGS_EX, reinterpret_cast<BYTE*>(&ex), &len, CRYPT_FIRST));
  EXPECT_EQ(ex.aiAlgid, static_cast<ALG_ID>(CALG_GR3411));
  EXPECT_EQ(ex.dwLongNameLen, strlen(ex.szLongName) + 1);

  len = 0;
  ASSERT_TRUE(CryptGetProvParam(prov_, PP_NAME, nullptr, &len, 0));
  std::string name(len, 'x');
  DWORD short_len = len - 1;
  EXPECT_FALSE(CryptGetProvParam(
      prov_, PP_NAME, reinterpret_cast<BYTE*>(&name[0]), &short_len, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(short_len, len);
  ASSERT_TRUE(CryptGetProvParam(prov_, PP_NAME,
                                reinterpret_cast<BYTE*>(&name[0]), &len, 0));
  EXPECT_EQ(name.back(), '\0');
  EXPECT_FALSE(CryptGetProvParam(prov_, 0x4242, nullptr, &len, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
}

TEST_F(BadCallTest, PublicKeyInfoChecks) {
  Bytes params = FromHex(Key2001().At("params")),
        point = FromHex(Key2001().At("point"));
  auto import = [&](const char* oid, const Bytes& p, const Bytes& bits,
                    DWORD unused = 0) {
    CERT_PUBLIC_KEY_INFO info = {};
    Bytes pc = p, bc = bits;
    info.Algorithm.pszObjId = const_cast<char*>(oid);
    info.Algorithm.Parameters = {static_cast<DWORD>(pc.size()),
                                 pc.empty() ? nullptr : pc.data()};
    info.PublicKey = {static_cast<DWORD>(bc.size()),
                      bc.empty() ? nullptr : bc.data(), unused};
    HCRYPTKEY k = 0;
    if (!CryptImportPublicKeyInfo(verify_, X509_ASN_ENCODING, &info, &k))
      return GetLastError();
    CryptDestroyKey(k);
    return static_cast<DWORD>(0);
  };
  EXPECT_EQ(import(szOID_CP_GOST_R3410EL, params, point), 0u);
  EXPECT_EQ(import("1.2.840.113549.1.1.1", params, point), NTE_BAD_ALGID);
  EXPECT_EQ(import(szOID_CP_GOST_R3410_12_512, params, point), NTE_BAD_ALGID);
  EXPECT_EQ(import(szOID_CP_GOST_R3410EL, {}, point),
            CRYPT_E_MISSING_PUBKEY_PARA);
  EXPECT_EQ(import(szOID_CP_GOST_R3410EL, Bytes{0x30, 0x05, 0x06}, point),
            NTE_BAD_PUBLIC_KEY);
  EXPECT_EQ(import(szOID_CP_GOST_R3410EL, params, point, 3),
            NTE_BAD_PUBLIC_KEY);
  EXPECT_EQ(import(szOID_CP_GOST_R3410EL, params, {}), NTE_BAD_PUBLIC_KEY);
  // The point without its OCTET STRING, one octet short or long, cut off.
  EXPECT_EQ(import(szOID_CP_GOST_R3410EL, params,
                   Bytes(point.begin() + 2, point.end())),
            NTE_BAD_PUBLIC_KEY);
  Bytes short_point(point.begin() + 2, point.end() - 1);
  EXPECT_EQ(import(szOID_CP_GOST_R3410EL, params, Der(0x04, short_point)),
            NTE_BAD_PUBLIC_KEY);
  Bytes long_point(point.begin() + 2, point.end());
  long_point.push_back(0);
  EXPECT_EQ(import(szOID_CP_GOST_R3410EL, params, Der(0x04, long_point)),
            NTE_BAD_PUBLIC_KEY);
  EXPECT_EQ(import(szOID_CP_GOST_R3410EL, params,
                   Bytes(point.begin(), point.end() - 1)),
            NTE_BAD_PUBLIC_KEY);
  Bytes off_curve = point;
  off_curve[10] ^= 1;
  EXPECT_EQ(import(szOID_CP_GOST_R3410EL, params, off_curve),
            NTE_BAD_PUBLIC_KEY);

  // Signatures of the wrong length are bad signatures, not over-reads.
  KeyHandle key;
  ASSERT_TRUE(CryptGetUserKey(prov_, AT_SIGNATURE, key.out()));
  HashHandle h;
  ASSERT_TRUE(CryptCreateHash(verify_, CALG_GR3411, 0, 0, h.out()));
  Bytes sig(128, 1);
  for (DWORD n : {0u, 1u, 63u, 65u, 128u}) {
    EXPECT_FALSE(
        CryptVerifySignatureW(h.get(), sig.data(), n, key.get(), nullptr, 0));
    EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE) << n;
  }
  EXPECT_FALSE(
      CryptVerifySignatureW(h.get(), nullptr, 64, key.get(), nullptr, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(
      CryptVerifySignatureW(h.get(), sig.data(), 64, 0xBAD, nullptr, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
  // r = s = 0 and r, s = all ones (beyond the order) are refused.
  Bytes zero(64, 0), ones(64, 0xFF);
  EXPECT_FALSE(
      CryptVerifySignatureW(h.get(), zero.data(), 64, key.get(), nullptr, 0));
  EXPECT_FALSE(
      CryptVerifySignatureW(h.get(), ones.data(), 64, key.get(), nullptr, 0));
  EXPECT_TRUE(CryptDestroyHash(h.release()));
  EXPECT_TRUE(CryptDestroyKey(key.release()));
}

// Several threads hashing, signing and verifying while others create and
// destroy handles: results stay right and nothing crashes.
TEST_F(BadCallTest, ConcurrentUse) {
  Bytes data(4096, 0x42);
  const Bytes expected = CapiHash(verify_, CALG_GR3411, data);
  KeyHandle key;
  ASSERT_TRUE(CryptGetUserKey(prov_, AT_SIGNATURE, key.out()));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 30; ++i) {
        if (CapiHash(verify_, CALG_GR3411, data) != expected) ++failures;
        HCRYPTHASH h = 0;
        if (!CryptCreateHash(prov_, CALG_GR3411, 0, 0, &h)) {
          ++failures;
          continue;
        }
        Bytes sig(64);
        DWORD len = 64;
        if (!CryptHashData(h, data.data(), 100, 0) ||
            !CryptSignHashW(h, AT_SIGNATURE, nullptr, 0, sig.data(), &len) ||
            !CryptVerifySignatureW(h, sig.data(), len, key.get(), nullptr, 0))
          ++failures;
        CryptDestroyHash(h);
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 200; ++i) {
      HCRYPTHASH h = 0;
      if (CryptCreateHash(verify_, CALG_GR3411_2012_512, 0, 0, &h)) {
        CryptDestroyHash(h);
        CryptDestroyHash(h);  // the second one must fail cleanly
      }
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(CryptDestroyKey(key.release()));
}

}  // namespace
}  // namespace crypto_test
