// X Long Type 1 messages made by the runtime against the loopback peers,
// verified from what they carry: every key, each part changed in turn (the
// status the table names for it), and a signature whose certificate has
// expired, verified with every peer silent.
#include <capi/cades.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "cades_peers.h"
#include "cades_steps.h"
#include "der/der.h"
#include "verify_test_util.h"

namespace {

using namespace cades_test;
using tavrix_test::CadesPeers;
using tavrix_test::TestPki;
namespace der = ::tavrix::provider::der;

const char kTextChars[] = "Акт сверки за ноябрь";
const Bytes kText(kTextChars, kTextChars + sizeof kTextChars - 1);

Bytes MakeXLong(const std::string& kt, bool detached = false) {
  CadesPeers& env = CadesPeers::Get();
  Enhanced xl = Enhance(SignBes(env.Signer(kt), kt, kText, detached, false), 0,
                        Wide(env.Tsa()));
  EXPECT_TRUE(xl.ok) << std::hex << xl.error;
  return xl.ok ? xl.der : Bytes{};
}

// The message with one unsigned attribute's first value changed by `edit`
// (or the attribute dropped when `edit` is empty).
Bytes EditAttribute(const Bytes& msg, const char* oid,
                    const std::function<void(Bytes*)>& edit) {
  HCRYPTMSG m = Decode(msg);
  DWORD n = 0;
  EXPECT_TRUE(
      CryptMsgGetParam(m, CMSG_SIGNER_UNAUTH_ATTR_PARAM, 0, nullptr, &n));
  std::vector<uint64_t> buf(n / 8 + 1);
  EXPECT_TRUE(
      CryptMsgGetParam(m, CMSG_SIGNER_UNAUTH_ATTR_PARAM, 0, buf.data(), &n));
  const auto* attrs = reinterpret_cast<const CRYPT_ATTRIBUTES*>(buf.data());
  DWORD at = attrs->cAttr;
  for (DWORD i = 0; i < attrs->cAttr; ++i)
    if (std::string(attrs->rgAttr[i].pszObjId) == oid) at = i;
  EXPECT_LT(at, attrs->cAttr) << oid;
  if (at == attrs->cAttr) {
    CryptMsgClose(m);
    return {};
  }
  const CRYPT_ATTR_BLOB& v = attrs->rgAttr[at].rgValue[0];
  Bytes value(v.pbData, v.pbData + v.cbData);
  CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR_PARA del{sizeof del, 0, at};
  EXPECT_TRUE(CryptMsgControl(m, 0, CMSG_CTRL_DEL_SIGNER_UNAUTH_ATTR, &del));
  if (edit) {
    edit(&value);
    Bytes attr;
    der::AppendOid(&attr, oid);
    der::AppendTlv(&attr, der::kTagSet, value);
    attr = der::Wrap(der::kTagSequence, attr);
    CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA add{
        sizeof add, 0, {static_cast<DWORD>(attr.size()), attr.data()}};
    EXPECT_TRUE(CryptMsgControl(m, 0, CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR, &add));
  }
  Bytes out = Encoded(m);
  CryptMsgClose(m);
  return out;
}

// Flips one bit near the end of a value: inside the last hash, signature
// or digit there, so the value still parses but no longer matches.
void FlipNearEnd(Bytes* v) { (*v)[v->size() - 3] ^= 0x01; }

Bytes FlipSignature(const Bytes& msg) {
  HCRYPTMSG m = Decode(msg);
  DWORD n = 0;
  CryptMsgGetParam(m, CMSG_ENCRYPTED_DIGEST, 0, nullptr, &n);
  Bytes sig(n);
  CryptMsgGetParam(m, CMSG_ENCRYPTED_DIGEST, 0, sig.data(), &n);
  CryptMsgClose(m);
  Bytes out = msg;
  auto at = std::search(out.begin(), out.end(), sig.begin(), sig.end());
  EXPECT_NE(at, out.end());
  if (at != out.end()) at[5] ^= 0x01;
  return out;
}

Bytes FlipContentType(const Bytes& msg) {
  // The first id-data stands in encapContentInfo (the outer type is
  // signedData); the signed content-type attribute keeps saying id-data.
  const Bytes data_oid{0x06, 0x09, 0x2A, 0x86, 0x48, 0x86,
                       0xF7, 0x0D, 0x01, 0x07, 0x01};
  Bytes out = msg;
  auto at =
      std::search(out.begin(), out.end(), data_oid.begin(), data_oid.end());
  EXPECT_NE(at, out.end());
  if (at != out.end()) at[10] = 0x05;
  return out;
}

Bytes FlipCertificateValue(const Bytes& msg) {
  // The intermediate is carried only among the certificate values.
  const Bytes& inter = TestPki::Get().Cert("xl-inter").der;
  Bytes out = msg;
  auto at = std::search(out.begin(), out.end(), inter.begin(), inter.end());
  EXPECT_NE(at, out.end());
  if (at != out.end()) at[static_cast<long>(inter.size()) - 3] ^= 0x01;
  return out;
}

TEST(VerifyXLong, EveryKeyVerifiesAtEachLevel) {
  CadesPeers& env = CadesPeers::Get();
  for (const char* kt : kKeyTypes) {
    SCOPED_TRACE(kt);
    Bytes xl = MakeXLong(kt);
    ASSERT_FALSE(xl.empty());
    for (DWORD type :
         {0u, static_cast<DWORD>(CADES_X_LONG_TYPE_1),
          static_cast<DWORD>(CADES_T), static_cast<DWORD>(CADES_BES)})
      EXPECT_EQ(verify_test::Verify(xl, "", type).status, 0u) << type;
  }
  // Detached: the content is fed after the message, as a verifier does.
  Bytes detached = MakeXLong("gost2012_256", true);
  ASSERT_FALSE(detached.empty());
  std::string content(kText.begin(), kText.end());
  EXPECT_EQ(verify_test::Verify(detached, content, 0).status, 0u);
  content[0] ^= 1;
  EXPECT_EQ(verify_test::Verify(detached, content, 0).status,
            static_cast<DWORD>(CADES_VERIFY_BAD_SIGNATURE));
  // A T form is complete as T and lacks the evidence of X Long Type 1.
  Bytes t =
      Enhance(SignBes(env.Signer("gost2001"), "gost2001", kText, false, false),
              CADES_T, Wide(env.Tsa()))
          .der;
  EXPECT_EQ(verify_test::Verify(t, "", 0).status, 0u);
  EXPECT_EQ(verify_test::Verify(t, "", CADES_X_LONG_TYPE_1).status,
            static_cast<DWORD>(CADES_VERIFY_INVALID_REFS_AND_VALUES));
}

TEST(VerifyXLong, EachChangedPartGivesItsStatus) {
  Bytes xl = MakeXLong("gost2012_256");
  ASSERT_FALSE(xl.empty());
  const struct {
    const char* what;
    Bytes msg;
    DWORD status;
  } rows[] = {
      {"certificate value", FlipCertificateValue(xl),
       CADES_VERIFY_REFS_AND_VALUES_NO_MATCH},
      {"certificate reference",
       EditAttribute(xl, "1.2.840.113549.1.9.16.2.21", FlipNearEnd),
       CADES_VERIFY_REFS_AND_VALUES_NO_MATCH},
      {"revocation reference",
       EditAttribute(xl, "1.2.840.113549.1.9.16.2.22", FlipNearEnd),
       CADES_VERIFY_REFS_AND_VALUES_NO_MATCH},
      {"revocation value",
       EditAttribute(xl, "1.2.840.113549.1.9.16.2.24", FlipNearEnd),
       CADES_VERIFY_REFS_AND_VALUES_NO_MATCH},
      {"signature time stamp",
       EditAttribute(xl, "1.2.840.113549.1.9.16.2.14", FlipNearEnd),
       CADES_VERIFY_NO_VALID_SIGNATURE_TIMESTAMP},
      {"CAdES-C time stamp",
       EditAttribute(xl, "1.2.840.113549.1.9.16.2.25", FlipNearEnd),
       CADES_VERIFY_NO_VALID_CADES_C_TIMESTAMP},
      {"certificate values dropped",
       EditAttribute(xl, "1.2.840.113549.1.9.16.2.23", nullptr),
       CADES_VERIFY_INVALID_REFS_AND_VALUES},
      {"CAdES-C time stamp dropped",
       EditAttribute(xl, "1.2.840.113549.1.9.16.2.25", nullptr),
       CADES_VERIFY_NO_VALID_CADES_C_TIMESTAMP},
      {"signature", FlipSignature(xl), CADES_VERIFY_BAD_SIGNATURE},
      {"eContentType", FlipContentType(xl), CADES_VERIFY_ECONTENTTYPE_NO_MATCH},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_FALSE(row.msg.empty());
    verify_test::Result r = verify_test::Verify(row.msg, "", 0);
    ASSERT_TRUE(r.called) << std::hex << r.error;
    EXPECT_EQ(r.status, row.status);
  }
  // Unchanged, the message still verifies: the edits above made the faults.
  EXPECT_EQ(verify_test::Verify(xl, "", 0).status, 0u);
  // Refreshes the fuzzing seeds (scripts/fuzz.sh) when asked to.
  if (const char* dir = std::getenv("CADES_FUZZ_SEEDS")) {
    tavrix_test::WriteFileBytes(std::string(dir) + "/xlong.der", xl);
    tavrix_test::WriteFileBytes(std::string(dir) + "/root.der",
                                TestPki::Get().Cert("root-gost2012_256").der);
    tavrix_test::WriteFileBytes(std::string(dir) + "/ca.der",
                                TestPki::Get().Cert("inter-gost2012_256").der);
  }
}

// The point of the long-term form: after the signer's certificate expired,
// with every service silent, the carried evidence still decides.
TEST(VerifyXLong, ExpiredSignerWithEveryPeerSilent) {
  CadesPeers& env = CadesPeers::Get();
  const long kLife = 12;
  const PkiCert& c = TestPki::Get().MakeCert(
      "xl-short", "gost2012_256", "/CN=Подписант на минуту", -60, kLife,
      "xl-inter",
      "basicConstraints = CA:FALSE\n"
      "keyUsage = critical,digitalSignature,nonRepudiation\n"
      "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n"
      "authorityInfoAccess = OCSP;URI:" +
          env.OcspUrl());
  const time_t expires = time(nullptr) + kLife;
  std::ofstream(TestPki::Get().dir() + "/ocsp-index.txt", std::ios::app)
      << "V\t351231000000Z\t\t" << c.serialHex << "\tunknown\t" << c.subject
      << "\n";
  ASSERT_TRUE(TestPki::Get().Install(c, "MY", true));
  Enhanced xl = Enhance(SignBes(c, "gost2012_256", kText, false, false), 0,
                        Wide(env.Tsa()));
  ASSERT_TRUE(xl.ok) << std::hex << xl.error;
  ASSERT_LT(time(nullptr), expires) << "enhancement outlived the certificate";
  while (time(nullptr) <= expires + 1) sleep(1);
  env.Pause(true);
  auto t0 = std::chrono::steady_clock::now();
  verify_test::Result r = verify_test::Verify(xl.der, "", 0);
  double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0)
          .count();
  env.Pause(false);
  EXPECT_EQ(r.status, 0u);
  // Judged now, without the time stamp, the same signer has no valid chain.
  EXPECT_EQ(verify_test::Verify(xl.der, "", CADES_BES).status,
            static_cast<DWORD>(CADES_VERIFY_NO_CHAIN));
  EXPECT_LT(took, 5.0) << "the verifier waited for a silent peer";
  std::printf("[ verify ] X Long Type 1 with expired signer in %.3f s\n", took);
}

}  // namespace
