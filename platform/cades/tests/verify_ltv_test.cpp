// Revocation judged at a past moment from carried values alone: OCSP
// answers and CRLs made by OpenSSL for the test PKI, each signed by the
// issuer, a delegated responder or a stranger, saying good or revoked
// before or after the moment asked about.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "ltv.h"
#include "test_support.h"

namespace {

using tavrix_ltv::Bytes;
using tavrix_ltv::RevValues;
using tavrix_ltv::RevVerdict;
using tavrix_test::PkiCert;
using tavrix_test::RunCommand;
using tavrix_test::ShellQuote;
using tavrix_test::TempDir;
using tavrix_test::TestPki;

enum class Src { kOcsp, kCrl };
enum class Signer { kIssuer, kResponder, kStranger };
enum class State { kGood, kRevokedBefore, kRevokedAfter };

std::string Stamp(time_t t) {
  char buf[32];
  struct tm tm;
  gmtime_r(&t, &tm);
  strftime(buf, sizeof buf, "%y%m%d%H%M%SZ", &tm);
  return buf;
}

// The BasicOCSPResponse inside an OCSPResponse.
Bytes BasicOf(const Bytes& resp) {
  namespace der = ::tavrix::provider::der;
  der::DefiniteReader top(resp.data(), resp.size());
  der::Tlv outer, status, wrap, rb, type, octets;
  if (!top.Expect(der::kTagSequence, &outer)) return {};
  der::DefiniteReader r(outer);
  if (!r.Expect(der::kTagEnumerated, &status) ||
      !r.Expect(der::Context(0, true), &wrap))
    return {};
  der::DefiniteReader w(wrap);
  if (!w.Expect(der::kTagSequence, &rb)) return {};
  der::DefiniteReader b(rb);
  if (!b.Expect(der::kTagOid, &type) ||
      !b.Expect(der::kTagOctetString, &octets))
    return {};
  return octets.ValueBytes();
}

struct Case {
  const char* name;
  Src src;
  Signer signer;
  State state;
  long when_offset;  // the moment asked about, from now, in seconds
  RevVerdict want;
};

class JudgeRevocation : public ::testing::TestWithParam<Case> {
 protected:
  static void SetUpTestSuite() {
    TestPki& pki = TestPki::Get();
    if (!pki.Has("ltv-responder"))
      pki.MakeCert("ltv-responder", "gost2012_256", "/CN=LTV OCSP Responder",
                   -3600, 86400 * 30, "inter-gost2012_256",
                   "extendedKeyUsage = OCSPSigning\n"
                   "authorityKeyIdentifier = keyid");
  }
};

TEST_P(JudgeRevocation, FromCarriedValues) {
  const Case& k = GetParam();
  TestPki& pki = TestPki::Get();
  const PkiCert& issuer = pki.Cert("inter-gost2012_256");
  const PkiCert& user = pki.Cert("user-gost2012_256");
  const PkiCert& signer = k.signer == Signer::kIssuer ? issuer
                          : k.signer == Signer::kResponder
                              ? pki.Cert("ltv-responder")
                              : pki.Cert("selfsigned");
  TempDir d;
  const time_t now = time(nullptr);
  std::string line = "V\t" + Stamp(now + 86400 * 365) + "\t\t";
  if (k.state != State::kGood)
    line = "R\t" + Stamp(now + 86400 * 365) + "\t" +
           Stamp(now + (k.state == State::kRevokedBefore ? -3600 : 3600)) +
           "\t";
  std::ofstream(d.File("index.txt"))
      << line << user.serialHex << "\tunknown\t/CN=x\n";
  std::ofstream(d.File("crlnumber")) << "01\n";
  std::ofstream(d.File("gost.cnf"))
      << "openssl_conf = openssl_init\n[openssl_init]\nengines = e\n"
         "[e]\ngost = g\n[g]\nengine_id = gost\ndefault_algorithms = ALL\n";
  std::ofstream(d.File("ca.cnf"))
      << "[ ca ]\ndefault_ca = d\n[ d ]\ndatabase = " << d.File("index.txt")
      << "\ncrlnumber = " << d.File("crlnumber")
      << "\ndefault_md = md_gost12_256\ndefault_crl_days = 1\n";
  RevValues values;
  const std::string q = " 2>&1";
  if (k.src == Src::kOcsp) {
    std::string env = "OPENSSL_CONF=" + ShellQuote(d.File("gost.cnf")) + " ";
    ASSERT_EQ(RunCommand(env + "openssl ocsp -no_nonce -issuer " +
                         ShellQuote(issuer.certPem) + " -cert " +
                         ShellQuote(user.certPem) + " -reqout " +
                         ShellQuote(d.File("req")) + q)
                  .exitCode,
              0);
    auto r = RunCommand(
        env + "openssl ocsp -index " + ShellQuote(d.File("index.txt")) +
        " -rsigner " + ShellQuote(signer.certPem) + " -rkey " +
        ShellQuote(signer.keyPem) + " -CA " + ShellQuote(issuer.certPem) +
        " -reqin " + ShellQuote(d.File("req")) + " -respout " +
        ShellQuote(d.File("resp")) + " -ndays 1" + q);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    values.ocsps.push_back(BasicOf(tavrix_test::ReadFileBytes(d.File("resp"))));
    ASSERT_FALSE(values.ocsps.back().empty());
  } else {
    auto r = RunCommand("openssl ca -engine gost -gencrl -config " +
                        ShellQuote(d.File("ca.cnf")) + " -cert " +
                        ShellQuote(signer.certPem) + " -keyfile " +
                        ShellQuote(signer.keyPem) + " -out " +
                        ShellQuote(d.File("crl.pem")) + " && openssl crl -in " +
                        ShellQuote(d.File("crl.pem")) + " -outform DER -out " +
                        ShellQuote(d.File("crl.der")) + q);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    values.crls.push_back(tavrix_test::ReadFileBytes(d.File("crl.der")));
  }
  // A responder's certificate found among the message's certificates
  // serves as well as one inside the answer.
  std::vector<Bytes> certs{pki.Cert("ltv-responder").der};
  EXPECT_EQ(tavrix_ltv::JudgeRevocation(user.der, issuer.der,
                                        now + k.when_offset, values, certs),
            k.want);
}

constexpr long kMonth = 86400L * 30;
const Case kCases[] = {
    {"OcspGoodByIssuer", Src::kOcsp, Signer::kIssuer, State::kGood, 0,
     RevVerdict::kGood},
    {"OcspGoodByResponder", Src::kOcsp, Signer::kResponder, State::kGood, 0,
     RevVerdict::kGood},
    {"OcspByStranger", Src::kOcsp, Signer::kStranger, State::kGood, 0,
     RevVerdict::kNoEvidence},
    {"OcspRevokedBefore", Src::kOcsp, Signer::kIssuer, State::kRevokedBefore, 0,
     RevVerdict::kRevoked},
    {"OcspRevokedAfterTheMoment", Src::kOcsp, Signer::kResponder,
     State::kRevokedAfter, 0, RevVerdict::kGood},
    {"OcspTooOldForTheMoment", Src::kOcsp, Signer::kIssuer, State::kGood,
     kMonth, RevVerdict::kNoEvidence},
    {"OcspIssuedAfterAnEarlierMoment", Src::kOcsp, Signer::kIssuer,
     State::kGood, -kMonth, RevVerdict::kGood},
    {"CrlGood", Src::kCrl, Signer::kIssuer, State::kGood, 0, RevVerdict::kGood},
    {"CrlRevokedBefore", Src::kCrl, Signer::kIssuer, State::kRevokedBefore, 0,
     RevVerdict::kRevoked},
    {"CrlRevokedAfterTheMoment", Src::kCrl, Signer::kIssuer,
     State::kRevokedAfter, 0, RevVerdict::kGood},
    {"CrlOfAnotherIssuer", Src::kCrl, Signer::kStranger, State::kGood, 0,
     RevVerdict::kNoEvidence},
    {"CrlStaleAtTheMoment", Src::kCrl, Signer::kIssuer, State::kGood, kMonth,
     RevVerdict::kNoEvidence},
};

INSTANTIATE_TEST_SUITE_P(OpensslMade, JudgeRevocation,
                         ::testing::ValuesIn(kCases),
                         [](const auto& i) { return i.param.name; });

TEST(JudgeRevocationNoValues, NothingCarriedIsNoEvidence) {
  TestPki& pki = TestPki::Get();
  EXPECT_EQ(tavrix_ltv::JudgeRevocation(pki.Cert("user-gost2012_256").der,
                                        pki.Cert("inter-gost2012_256").der,
                                        time(nullptr), RevValues{}, {}),
            RevVerdict::kNoEvidence);
}

}  // namespace
