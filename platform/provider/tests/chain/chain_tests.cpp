// Chain building and its trust bits, against an OpenSSL-made GOST PKI whose
// root sits in the user's ROOT store and intermediate in the CA store.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "chain_fixture.h"
#include "provider_test.h"

using namespace chain_test;

namespace {

using tavrix_test::CertHandle;
using tavrix_test::ChainHandle;

struct Built {
  ChainHandle owner;
  PCCERT_CHAIN_CONTEXT chain() const { return owner.get(); }
  DWORD Error() const { return chain()->TrustStatus.dwErrorStatus; }
  DWORD Count() const { return chain()->rgpChain[0]->cElement; }
  const CERT_CHAIN_ELEMENT& At(DWORD i) const {
    return *chain()->rgpChain[0]->rgpElement[i];
  }
};

// Builds the chain of the named certificate; fails the test when the call
// itself fails.
void Build(const std::string& name, Built* out,
           HCERTCHAINENGINE engine = nullptr, const char* usage = nullptr,
           DWORD usage_type = USAGE_MATCH_TYPE_AND, HCERTSTORE extra = nullptr,
           LPFILETIME when = nullptr) {
  CertHandle cert(Cert(name));
  ASSERT_NE(cert.get(), nullptr);
  CERT_CHAIN_PARA para{};
  para.cbSize = 32;
  LPSTR ids[1] = {const_cast<LPSTR>(usage)};
  para.RequestedUsage.dwType = usage_type;
  if (usage) {
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = ids;
  }
  ASSERT_TRUE(CertGetCertificateChain(engine, cert.get(), when, extra, &para,
                                      0x201, nullptr, out->owner.out()))
      << std::hex << GetLastError();
}

TEST(Chain, TrustedPathEndsInTheRoot) {
  Built b;
  Build("good", &b);
  EXPECT_EQ(b.Error(), 0u);
  ASSERT_EQ(b.Count(), 3u);
  EXPECT_EQ(b.chain()->cChain, 1u);
  // End first, root last, each element carrying its own certificate.
  const char* subjects[] = {"Chain Good", "Chain Test Intermediate",
                            "Chain Test Root"};
  for (DWORD i = 0; i < 3; ++i) {
    char name[128] = {0};
    CertGetNameStringA(b.At(i).pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                       nullptr, name, sizeof name);
    EXPECT_STREQ(name, subjects[i]);
    EXPECT_EQ(b.At(i).TrustStatus.dwErrorStatus, 0u);
    EXPECT_EQ(b.At(i).pRevocationInfo, nullptr);  // not asked for
  }
  // The end and the intermediate name their issuers by key identifier.
  EXPECT_TRUE(b.At(0).TrustStatus.dwInfoStatus &
              CERT_TRUST_HAS_KEY_MATCH_ISSUER);
  EXPECT_TRUE(b.At(0).TrustStatus.dwInfoStatus &
              CERT_TRUST_HAS_PREFERRED_ISSUER);
  EXPECT_TRUE(b.At(2).TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED);
  EXPECT_FALSE(b.At(0).TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED);
}

TEST(Chain, UntrustedPartialAndCyclicEnds) {
  {
    Built b;
    Build("lonely", &b);
    EXPECT_EQ(b.Error(), static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT));
    EXPECT_EQ(b.Count(), 1u);
    EXPECT_TRUE(b.At(0).TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED);
  }
  {
    // Without the intermediate nothing leads to the root.
    Pki::Get().RemoveFromStore("CA", "inter");
    Built b;
    Build("good", &b);
    Pki::Get().AddToStore("CA", "inter");
    EXPECT_EQ(b.Error(), static_cast<DWORD>(CERT_TRUST_IS_PARTIAL_CHAIN));
    EXPECT_EQ(b.Count(), 1u);
  }
  {
    // The message's own certificates complete the path.
    Pki::Get().RemoveFromStore("CA", "inter");
    HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    ASSERT_NE(extra, nullptr);
    Bytes inter = Pki::Get().Der("inter");
    ASSERT_TRUE(CertAddEncodedCertificateToStore(
        extra, X509_ASN_ENCODING, inter.data(),
        static_cast<DWORD>(inter.size()), CERT_STORE_ADD_ALWAYS, nullptr));
    Built b;
    Build("good", &b, nullptr, nullptr, USAGE_MATCH_TYPE_AND, extra);
    CertCloseStore(extra, 0);
    Pki::Get().AddToStore("CA", "inter");
    EXPECT_EQ(b.Error(), 0u);
    EXPECT_EQ(b.Count(), 3u);
  }
  {
    // The root taken out of ROOT but still found as a CA: untrusted, and the
    // error reaches the chain from the root element.
    Pki::Get().RemoveFromStore("ROOT", "root");
    Pki::Get().AddToStore("CA", "root");
    Built b;
    Build("good", &b);
    Pki::Get().RemoveFromStore("CA", "root");
    Pki::Get().AddToStore("ROOT", "root");
    EXPECT_EQ(b.Error(), static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT));
    ASSERT_EQ(b.Count(), 3u);
    EXPECT_EQ(b.At(2).TrustStatus.dwErrorStatus,
              static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT));
    EXPECT_EQ(b.At(0).TrustStatus.dwErrorStatus, 0u);
  }
}

TEST(Chain, TimeSignatureUsageAndConstraintFaults) {
  {
    Built b;
    Build("expired", &b);
    EXPECT_TRUE(b.Error() & CERT_TRUST_IS_NOT_TIME_VALID);
    EXPECT_TRUE(b.At(0).TrustStatus.dwErrorStatus &
                CERT_TRUST_IS_NOT_TIME_VALID);
    // Issued for 2020: not inside the intermediate's period either.
    EXPECT_TRUE(b.At(0).TrustStatus.dwErrorStatus &
                CERT_TRUST_IS_NOT_TIME_NESTED);
    EXPECT_EQ(b.At(1).TrustStatus.dwErrorStatus, 0u);
  }
  {
    // A time given by the caller: the good certificate long after expiry.
    FILETIME later;
    uint64_t ticks = (11644473600ULL + 4102444800ULL) * 10000000ULL;  // 2100
    later.dwLowDateTime = static_cast<DWORD>(ticks);
    later.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    Built b;
    Build("good", &b, nullptr, nullptr, USAGE_MATCH_TYPE_AND, nullptr, &later);
    EXPECT_TRUE(b.At(0).TrustStatus.dwErrorStatus &
                CERT_TRUST_IS_NOT_TIME_VALID);
    EXPECT_TRUE(b.At(2).TrustStatus.dwErrorStatus &
                CERT_TRUST_IS_NOT_TIME_VALID);
  }
  {
    // A changed signature value: the certificate no longer verifies.
    Bytes der = Pki::Get().Der("good");
    der[der.size() - 5] ^= 0x40;
    CertHandle cert(CertCreateCertificateContext(
        X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    ASSERT_NE(cert.get(), nullptr);
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    ChainHandle chain;
    ASSERT_TRUE(CertGetCertificateChain(nullptr, cert.get(), nullptr, nullptr,
                                        &para, 0, nullptr, chain.out()));
    EXPECT_TRUE(chain.get()->TrustStatus.dwErrorStatus &
                CERT_TRUST_IS_NOT_SIGNATURE_VALID);
    EXPECT_TRUE(
        chain.get()->rgpChain[0]->rgpElement[0]->TrustStatus.dwErrorStatus &
        CERT_TRUST_IS_NOT_SIGNATURE_VALID);
  }
  {
    Built any, ok, wrong, either;
    Build("codesign", &any);
    EXPECT_EQ(any.Error(), 0u);
    Build("codesign", &ok, nullptr, szOID_PKIX_KP_CODE_SIGNING);
    EXPECT_EQ(ok.Error(), 0u);
    Build("codesign", &wrong, nullptr, szOID_PKIX_KP_EMAIL_PROTECTION);
    EXPECT_EQ(wrong.Error(),
              static_cast<DWORD>(CERT_TRUST_IS_NOT_VALID_FOR_USAGE));
    EXPECT_TRUE(wrong.At(0).TrustStatus.dwErrorStatus &
                CERT_TRUST_IS_NOT_VALID_FOR_USAGE);
    Build("good", &either, nullptr, szOID_PKIX_KP_CLIENT_AUTH,
          USAGE_MATCH_TYPE_OR);
    EXPECT_EQ(either.Error(), 0u);
  }
  {
    Pki::Get().AddToStore("CA", "notca");
    Built b;
    Build("undernotca", &b);
    Pki::Get().RemoveFromStore("CA", "notca");
    ASSERT_EQ(b.Count(), 3u);
    EXPECT_EQ(b.At(1).TrustStatus.dwErrorStatus,
              static_cast<DWORD>(CERT_TRUST_INVALID_BASIC_CONSTRAINTS));
    EXPECT_EQ(b.Error(),
              static_cast<DWORD>(CERT_TRUST_INVALID_BASIC_CONSTRAINTS));
  }
}

TEST(ChainEngine, ConfigSizesLifetimeAndBadArguments) {
  // An old, short configuration: only cbSize and the restricted root slot
  // exist. It sits at the very end of an allocation so that reading beyond
  // cbSize would be caught by the sanitizers.
  const size_t short_size =
      offsetof(CERT_CHAIN_ENGINE_CONFIG, hRestrictedTrust);
  auto* raw = static_cast<unsigned char*>(std::malloc(short_size));
  std::memset(raw, 0, short_size);
  DWORD cb = static_cast<DWORD>(short_size);
  std::memcpy(raw, &cb, sizeof cb);
  HCERTCHAINENGINE engine = nullptr;
  ASSERT_TRUE(CertCreateCertificateChainEngine(
      reinterpret_cast<PCERT_CHAIN_ENGINE_CONFIG>(raw), &engine));
  std::free(raw);

  Built b;
  Build("good", &b, engine);
  EXPECT_EQ(b.Error(), 0u);
  // The chain outlives its engine and can be shared.
  CertFreeCertificateChainEngine(engine);
  PCCERT_CHAIN_CONTEXT dup = CertDuplicateCertificateChain(b.chain());
  EXPECT_EQ(dup, b.chain());
  CertFreeCertificateChain(dup);
  char name[64] = {0};
  CertGetNameStringA(b.At(2).pCertContext, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                     nullptr, name, sizeof name);
  EXPECT_STREQ(name, "Chain Test Root");

  // The configuration the plug-in uses.
  CERT_CHAIN_ENGINE_CONFIG cfg{};
  cfg.cbSize = 64;
  cfg.dwFlags = 0x11;
  cfg.dwUrlRetrievalTimeout = 5000;
  ASSERT_TRUE(CertCreateCertificateChainEngine(&cfg, &engine));
  CertFreeCertificateChainEngine(engine);

  cfg.cbSize = 2;
  EXPECT_FALSE(CertCreateCertificateChainEngine(&cfg, &engine));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_INVALIDARG));
  EXPECT_FALSE(CertCreateCertificateChainEngine(nullptr, &engine));

  PCCERT_CONTEXT cert = Cert("good");
  CERT_CHAIN_PARA para{};
  para.cbSize = 32;
  PCCERT_CHAIN_CONTEXT chain = reinterpret_cast<PCCERT_CHAIN_CONTEXT>(1);
  EXPECT_FALSE(CertGetCertificateChain(nullptr, cert, nullptr, nullptr, nullptr,
                                       0, nullptr, &chain));
  EXPECT_EQ(chain, nullptr);
  EXPECT_FALSE(CertGetCertificateChain(nullptr, nullptr, nullptr, nullptr,
                                       &para, 0, nullptr, &chain));
  int not_an_engine = 0;
  EXPECT_FALSE(CertGetCertificateChain(&not_an_engine, cert, nullptr, nullptr,
                                       &para, 0, nullptr, &chain));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // A context whose encoding is garbage.
  CERT_CONTEXT fake = *cert;
  Bytes junk(64, 0x30);
  fake.pbCertEncoded = junk.data();
  fake.cbCertEncoded = static_cast<DWORD>(junk.size());
  EXPECT_FALSE(CertGetCertificateChain(nullptr, &fake, nullptr, nullptr, &para,
                                       0, nullptr, &chain));
  EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
  CertFreeCertificateContext(cert);
  // Foreign pointers are ignored rather than freed.
  CertFreeCertificateChain(reinterpret_cast<PCCERT_CHAIN_CONTEXT>(&fake));
  CertFreeCertificateChainEngine(&not_an_engine);
}

}  // namespace
