// Keys from the GOST engine, imported into containers, signing and
// verifying both ways against `openssl pkeyutl -engine gost` for every
// parameter set the engine offers.
#include <sys/stat.h>

#include <string>
#include <tuple>

#include "crypto/key_store.h"
#include "provider_test.h"

namespace crypto_test {

using tavrix_test::Bytes;
using tavrix_test::HashHandle;
using tavrix_test::HaveGostEngine;
using tavrix_test::Hex;
using tavrix_test::KeyHandle;
using tavrix_test::ProvHandle;
using tavrix_test::ProviderHomeTest;
using tavrix_test::ReadFileBytes;
using tavrix_test::Reverse;
using tavrix_test::ShellStatus;
using tavrix_test::WriteFileBytes;

namespace {

struct ParamSet {
  std::string algorithm;  // genpkey -algorithm
  std::string paramset;   // genpkey -pkeyopt paramset:
  DWORD prov_type;
  ALG_ID hash;
  std::string md;
  size_t size;  // octets of the hash and of r and s each
};

std::ostream& operator<<(std::ostream& os, const ParamSet& p) {
  return os << p.algorithm << "/" << p.paramset;
}

ALG_ID HashAlg(const std::string& name) {
  if (name == "CALG_GR3411") return CALG_GR3411;
  if (name == "CALG_GR3411_2012_256") return CALG_GR3411_2012_256;
  if (name == "CALG_GR3411_2012_512") return CALG_GR3411_2012_512;
  return 0;
}

// The sets of data/gost_sign.vec.
std::vector<ParamSet> Sets() {
  const std::string here = __FILE__;
  std::vector<ParamSet> sets;
  for (const auto& v : tavrix_test::ReadVecFile(
           here.substr(0, here.rfind('/')) + "/data/gost_sign.vec"))
    sets.push_back({v.At("algorithm"), v.At("paramset"),
                    static_cast<DWORD>(std::stoul(v.At("prov_type"))),
                    HashAlg(v.At("hash")), v.At("md"),
                    std::stoul(v.At("size"))});
  return sets;
}

// SubjectPublicKeyInfo ::= SEQUENCE { SEQUENCE { OID, params }, BIT STRING }
// split into its DER pieces (short test-side reader, independent of ours).
struct Spki {
  Bytes alg_oid_body, params, key_bits;
};

bool ReadTlv(const Bytes& b, size_t* pos, uint8_t* tag, size_t* start,
             size_t* len) {
  if (*pos + 2 > b.size()) return false;
  *tag = b[*pos];
  size_t p = *pos + 1, l = b[p++];
  if (l & 0x80) {
    size_t n = l & 0x7F;
    l = 0;
    while (n--) l = (l << 8) | b[p++];
  }
  *start = p;
  *len = l;
  *pos = p + l;
  return *pos <= b.size();
}

bool ParseSpki(const Bytes& der, Spki* out) {
  size_t pos = 0, s, l, seq_end;
  uint8_t tag;
  if (!ReadTlv(der, &pos, &tag, &s, &l) || tag != 0x30) return false;
  pos = s;
  if (!ReadTlv(der, &pos, &tag, &s, &l) || tag != 0x30) return false;
  seq_end = pos;
  size_t inner = s;
  if (!ReadTlv(der, &inner, &tag, &s, &l) || tag != 0x06) return false;
  out->alg_oid_body.assign(der.begin() + s, der.begin() + s + l);
  out->params.assign(der.begin() + inner, der.begin() + seq_end);
  pos = seq_end;
  if (!ReadTlv(der, &pos, &tag, &s, &l) || tag != 0x03 || der[s] != 0)
    return false;
  out->key_bits.assign(der.begin() + s + 1, der.begin() + s + l);
  return true;
}

std::string OidText(const Bytes& body) {
  std::string s =
      std::to_string(body[0] / 40) + "." + std::to_string(body[0] % 40);
  unsigned long v = 0;
  for (size_t i = 1; i < body.size(); ++i) {
    v = (v << 7) | (body[i] & 0x7F);
    if (!(body[i] & 0x80)) {
      s += "." + std::to_string(v);
      v = 0;
    }
  }
  return s;
}

class SignInterop : public ProviderHomeTest,
                    public ::testing::WithParamInterface<ParamSet> {
 protected:
  void SetUp() override {
    ProviderHomeTest::SetUp();
    if (!HaveGostEngine()) GTEST_SKIP() << "openssl gost engine not available";
    const ParamSet& p = GetParam();
    pem_ = Path("key.pem");
    ASSERT_EQ(
        ShellStatus(std::string("openssl genpkey -engine gost -algorithm ") +
                    p.algorithm + " -pkeyopt paramset:" + p.paramset +
                    " -out " + pem_),
        0);
    ASSERT_EQ(ShellStatus("openssl pkey -engine gost -in " + pem_ +
                          " -outform DER -out " + Path("key.der")),
              0);
    ASSERT_EQ(ShellStatus("openssl pkey -engine gost -in " + pem_ +
                          " -pubout -outform DER -out " + Path("pub.der")),
              0);
    key_der_ = ReadFileBytes(Path("key.der"));
    ASSERT_TRUE(ParseSpki(ReadFileBytes(Path("pub.der")), &spki_));
    ASSERT_TRUE(tavrix::provider::ImportPrivateKey(key_der_.data(),
                                                   key_der_.size(), "signer"));
  }

  bool OpensslVerify(const Bytes& hash, const Bytes& s_r) {
    WriteFileBytes(Path("h.bin"), hash);
    WriteFileBytes(Path("sig.bin"), s_r);
    return ShellStatus("openssl pkeyutl -engine gost -verify -inkey " + pem_ +
                       " -in " + Path("h.bin") + " -sigfile " +
                       Path("sig.bin")) == 0;
  }

  std::string pem_;
  Bytes key_der_;
  Spki spki_;
};

TEST_P(SignInterop, ContainerFileIsPrivate) {
  struct stat st;
  ASSERT_EQ(stat((home_ + "/home/keys").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((home_ + "/home/keys/signer.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadFileBytes(home_ + "/home/keys/signer.key"), key_der_);
  EXPECT_TRUE(tavrix::provider::ContainerExists("signer"));
}

TEST_P(SignInterop, BothWaysWithGostEngine) {
  const ParamSet& p = GetParam();
  ProvHandle prov;
  ASSERT_TRUE(
      CryptAcquireContextA(prov.out(), "signer", nullptr, p.prov_type, 0));

  Bytes message(1234);
  for (size_t i = 0; i < message.size(); ++i)
    message[i] = static_cast<uint8_t>(i * 31 + 1);
  HashHandle h;
  ASSERT_TRUE(CryptCreateHash(prov.get(), p.hash, 0, 0, h.out()));
  ASSERT_TRUE(CryptHashData(h.get(), message.data(),
                            static_cast<DWORD>(message.size()), 0));
  DWORD len = 0;
  ASSERT_TRUE(CryptSignHashW(h.get(), AT_SIGNATURE, nullptr, 0, nullptr, &len));
  ASSERT_EQ(len, 2 * p.size);
  Bytes sig(len);
  ASSERT_TRUE(
      CryptSignHashW(h.get(), AT_SIGNATURE, nullptr, 0, sig.data(), &len));
  Bytes hash(p.size);
  len = static_cast<DWORD>(hash.size());
  ASSERT_TRUE(CryptGetHashParam(h.get(), HP_HASHVAL, hash.data(), &len, 0));

  // HP_HASHVAL is what `openssl dgst` prints, and pkeyutl takes that same
  // byte string as the digest; its signature file is s || r, big-endian,
  // i.e. what CryptSignHash returns read backwards.
  WriteFileBytes(Path("msg.bin"), message);
  std::string dgst;
  ASSERT_EQ(ShellStatus(std::string("openssl dgst -engine gost -") + p.md +
                            " -r " + Path("msg.bin"),
                        &dgst),
            0);
  EXPECT_EQ(Hex(hash), dgst.substr(0, dgst.find(' ')));
  EXPECT_TRUE(OpensslVerify(hash, Reverse(sig)));
  Bytes broken = Reverse(sig);
  broken[5] ^= 0x01;
  EXPECT_FALSE(OpensslVerify(hash, broken));

  // The other way: the engine signs, we verify with the key from its
  // public key info.
  ASSERT_EQ(ShellStatus("openssl pkeyutl -engine gost -sign -inkey " + pem_ +
                        " -in " + Path("h.bin") + " -out " + Path("peer.sig")),
            0);
  const Bytes peer_sig = ReadFileBytes(Path("peer.sig"));
  ASSERT_EQ(peer_sig.size(), 2 * p.size);
  const std::string oid = OidText(spki_.alg_oid_body);
  CERT_PUBLIC_KEY_INFO info = {};
  info.Algorithm.pszObjId = const_cast<char*>(oid.c_str());
  info.Algorithm.Parameters.cbData = static_cast<DWORD>(spki_.params.size());
  info.Algorithm.Parameters.pbData = spki_.params.data();
  info.PublicKey.cbData = static_cast<DWORD>(spki_.key_bits.size());
  info.PublicKey.pbData = spki_.key_bits.data();
  KeyHandle pub;
  ASSERT_TRUE(CryptImportPublicKeyInfo(prov.get(), X509_ASN_ENCODING, &info,
                                       pub.out()));
  const Bytes peer_capi = Reverse(peer_sig);
  EXPECT_TRUE(CryptVerifySignatureW(h.get(), peer_capi.data(),
                                    static_cast<DWORD>(peer_capi.size()),
                                    pub.get(), nullptr, 0));
  EXPECT_TRUE(CryptVerifySignatureW(h.get(), sig.data(),
                                    static_cast<DWORD>(sig.size()), pub.get(),
                                    nullptr, 0));
  // Same signature over a different hash, and a flipped bit: refused.
  HashHandle other;
  ASSERT_TRUE(CryptCreateHash(prov.get(), p.hash, 0, 0, other.out()));
  ASSERT_TRUE(CryptHashData(other.get(), message.data(), 10, 0));
  EXPECT_FALSE(CryptVerifySignatureW(other.get(), sig.data(),
                                     static_cast<DWORD>(sig.size()), pub.get(),
                                     nullptr, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
  Bytes flipped = sig;
  flipped[len - 1] ^= 0x80;
  EXPECT_FALSE(CryptVerifySignatureW(h.get(), flipped.data(),
                                     static_cast<DWORD>(flipped.size()),
                                     pub.get(), nullptr, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);

  // A hash value given from outside (how a hash made elsewhere is signed).
  HashHandle given;
  ASSERT_TRUE(CryptCreateHash(prov.get(), p.hash, 0, 0, given.out()));
  ASSERT_TRUE(CryptSetHashParam(given.get(), HP_HASHVAL, hash.data(), 0));
  len = static_cast<DWORD>(sig.size());
  Bytes sig2(len);
  ASSERT_TRUE(CryptSignHashA(given.get(), AT_KEYEXCHANGE, nullptr, 0,
                             sig2.data(), &len));
  EXPECT_NE(sig2, sig);  // k is random
  EXPECT_TRUE(OpensslVerify(hash, Reverse(sig2)));

  EXPECT_TRUE(CryptDestroyHash(given.release()));
  EXPECT_TRUE(CryptDestroyHash(other.release()));
  EXPECT_TRUE(CryptDestroyHash(h.release()));
  EXPECT_TRUE(CryptDestroyKey(pub.release()));
  EXPECT_TRUE(CryptReleaseContext(prov.release(), 0));
}

TEST_P(SignInterop, PublicKeyAndProviderFacts) {
  const ParamSet& p = GetParam();
  ProvHandle prov;
  ASSERT_TRUE(CryptAcquireContextW(prov.out(), L"signer", nullptr, 0, 0));

  // The derived public key is the engine's, parameters included.
  DWORD size = 0;
  ASSERT_TRUE(CryptExportPublicKeyInfo(prov.get(), AT_SIGNATURE,
                                       X509_ASN_ENCODING, nullptr, &size));
  std::vector<uint64_t> buf((size + 7) / 8);
  auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buf.data());
  DWORD small = size - 1;
  EXPECT_FALSE(CryptExportPublicKeyInfo(prov.get(), AT_SIGNATURE,
                                        X509_ASN_ENCODING, info, &small));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
  EXPECT_EQ(small, size);
  ASSERT_TRUE(CryptExportPublicKeyInfo(prov.get(), AT_SIGNATURE,
                                       X509_ASN_ENCODING, info, &size));
  EXPECT_EQ(std::string(info->Algorithm.pszObjId), OidText(spki_.alg_oid_body));
  EXPECT_EQ(Bytes(info->Algorithm.Parameters.pbData,
                  info->Algorithm.Parameters.pbData +
                      info->Algorithm.Parameters.cbData),
            spki_.params);
  EXPECT_EQ(Bytes(info->PublicKey.pbData,
                  info->PublicKey.pbData + info->PublicKey.cbData),
            spki_.key_bits);

  DWORD type = 0, len = sizeof type;
  ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_PROVTYPE,
                                reinterpret_cast<BYTE*>(&type), &len, 0));
  EXPECT_EQ(type, p.prov_type);
  // The first hash listed is the one this key signs with.
  PROV_ENUMALGS alg;
  len = sizeof alg;
  ASSERT_TRUE(CryptGetProvParam(prov.get(), PP_ENUMALGS,
                                reinterpret_cast<BYTE*>(&alg), &len,
                                CRYPT_FIRST));
  EXPECT_EQ(alg.aiAlgid, p.hash);

  KeyHandle key;
  ASSERT_TRUE(CryptGetUserKey(prov.get(), AT_SIGNATURE, key.out()));
  ALG_ID key_alg = 0;
  len = sizeof key_alg;
  ASSERT_TRUE(CryptGetKeyParam(key.get(), KP_ALGID,
                               reinterpret_cast<BYTE*>(&key_alg), &len, 0));
  EXPECT_EQ(key_alg, p.prov_type == 75   ? CALG_GR3410EL
                     : p.prov_type == 80 ? CALG_GR3410_12_256
                                         : CALG_GR3410_12_512);
  EXPECT_TRUE(CryptDestroyKey(key.release()));

  // A hash of another family is refused, not signed.
  const ALG_ID wrong =
      p.hash == CALG_GR3411 ? CALG_GR3411_2012_256 : CALG_GR3411;
  HashHandle h;
  ASSERT_TRUE(CryptCreateHash(prov.get(), wrong, 0, 0, h.out()));
  Bytes sig(128);
  len = static_cast<DWORD>(sig.size());
  EXPECT_FALSE(
      CryptSignHashW(h.get(), AT_SIGNATURE, nullptr, 0, sig.data(), &len));
  EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
  EXPECT_TRUE(CryptDestroyHash(h.release()));
  EXPECT_TRUE(CryptReleaseContext(prov.release(), 0));

  // A provider type that does not fit the key.
  const DWORD other_type = p.prov_type == 75 ? 80 : 75;
  EXPECT_FALSE(
      CryptAcquireContextA(prov.out(), "signer", nullptr, other_type, 0));
  EXPECT_EQ(GetLastError(), NTE_BAD_PROV_TYPE);
}

INSTANTIATE_TEST_SUITE_P(AllParamSets, SignInterop, ::testing::ValuesIn(Sets()),
                         [](const ::testing::TestParamInfo<ParamSet>& i) {
                           std::string n = std::string(i.param.algorithm) +
                                           "_" + i.param.paramset;
                           return n;
                         });

}  // namespace
}  // namespace crypto_test
