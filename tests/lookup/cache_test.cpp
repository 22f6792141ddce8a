// The certificate and key cache with real certificates and keys.
#include <gtest/gtest.h>

#include "TmpCertArhive.h"
#include "capi_spy.h"
#include "world.h"

using lookup_pki::NewContext;
using lookup_pki::TheWorld;

namespace {

HCRYPTPROV AcquireKey(PCCERT_CONTEXT ctx, DWORD* keySpec) {
  HCRYPTPROV_OR_NCRYPT_KEY_HANDLE h = 0;
  BOOL callerFree = FALSE;
  EXPECT_TRUE(CryptAcquireCertificatePrivateKey(
      ctx, CRYPT_ACQUIRE_COMPARE_KEY_FLAG, nullptr, &h, keySpec, &callerFree));
  return h;
}

TEST(CertCache, SecondContextOfCachedCertificateGetsTheCachedOne) {
  auto& w = TheWorld();
  PCCERT_CONTEXT stored = NewContext(w.ivanov);
  ASSERT_NE(stored, nullptr);
  DWORD keySpec = 0;
  HCRYPTPROV hProv = AcquireKey(stored, &keySpec);
  ASSERT_NE(hProv, 0u);
  capi_spy::Reset();
  {
    TmpCertArhive cache;
    EXPECT_FALSE(cache.CheckItem(stored));
    EXPECT_FALSE(cache.StoreItem(stored, hProv, keySpec));

    PCCERT_CONTEXT fresh = NewContext(w.ivanov);
    ASSERT_NE(fresh, stored);
    EXPECT_TRUE(cache.CheckItem(fresh));
    PCCERT_CONTEXT ctx = fresh;
    unsigned long gotProv = 0;
    unsigned int gotSpec = 0;
    EXPECT_TRUE(cache.GetItem(&ctx, &gotProv, &gotSpec));
    EXPECT_EQ(ctx, stored);
    EXPECT_EQ(gotProv, hProv);
    EXPECT_EQ(gotSpec, keySpec);
    EXPECT_EQ(capi_spy::TimesFreed(fresh), 1);

    // Asking with the cached context itself must not free it.
    EXPECT_TRUE(cache.GetItem(&ctx, &gotProv, &gotSpec));
    EXPECT_EQ(capi_spy::TimesFreed(stored), 0);
    EXPECT_EQ(capi_spy::Get().released.size(), 0u);
    EXPECT_EQ(cache.Size(), 1u);
  }
  // The cache owned both and gave them back at its end.
  EXPECT_EQ(capi_spy::TimesFreed(stored), 1);
  EXPECT_EQ(capi_spy::TimesReleased(hProv), 1);
}

TEST(CertCache, IdentityIsSerialAndIssuer) {
  auto& w = TheWorld();
  TmpCertArhive cache;
  PCCERT_CONTEXT ivanov = NewContext(w.ivanov);
  PCCERT_CONTEXT petrov = NewContext(w.petrov);
  ASSERT_TRUE(ivanov && petrov);
  cache.StoreItem(ivanov, 0, AT_SIGNATURE);
  EXPECT_FALSE(cache.CheckItem(petrov));

  // The same serial number under another issuer is another certificate.
  CERT_INFO info = *ivanov->pCertInfo;
  info.Issuer = petrov->pCertInfo->Issuer;
  CERT_CONTEXT other = *ivanov;
  other.pCertInfo = &info;
  EXPECT_FALSE(cache.CheckItem(&other));
  // ...and the same issuer with a serial one byte shorter too.
  info = *ivanov->pCertInfo;
  info.SerialNumber.cbData -= 1;
  EXPECT_FALSE(cache.CheckItem(&other));
  info = *ivanov->pCertInfo;
  EXPECT_TRUE(cache.CheckItem(&other));

  // A context without certificate information never matches.
  other.pCertInfo = nullptr;
  EXPECT_FALSE(cache.CheckItem(&other));
  EXPECT_FALSE(cache.CheckItem(nullptr));
  CertFreeCertificateContext(petrov);
}

TEST(CertCache, GetItemOfUnknownCertificateLeavesOutputsAlone) {
  auto& w = TheWorld();
  TmpCertArhive cache;
  cache.StoreItem(NewContext(w.ivanov), 0, AT_SIGNATURE);
  PCCERT_CONTEXT petrov = NewContext(w.petrov);
  PCCERT_CONTEXT ctx = petrov;
  unsigned long hProv = 1234;
  unsigned int keySpec = 77;
  capi_spy::Reset();
  EXPECT_FALSE(cache.GetItem(&ctx, &hProv, &keySpec));
  EXPECT_EQ(ctx, petrov);
  EXPECT_EQ(hProv, 1234u);
  EXPECT_EQ(keySpec, 77u);
  EXPECT_EQ(capi_spy::TimesFreed(petrov), 0);
  CertFreeCertificateContext(petrov);
}

TEST(CertCache, StoreOfKnownCertificateReplacesAndReleasesOnlyWhatChanged) {
  auto& w = TheWorld();
  PCCERT_CONTEXT first = NewContext(w.ivanov);
  DWORD spec = 0;
  HCRYPTPROV h1 = AcquireKey(first, &spec);
  HCRYPTPROV h2 = AcquireKey(first, &spec);
  ASSERT_NE(h1, h2);
  capi_spy::Reset();
  {
    TmpCertArhive cache;
    EXPECT_FALSE(cache.StoreItem(first, h1, spec));
    // Same context, same handle: nothing to release.
    EXPECT_TRUE(cache.StoreItem(first, h1, spec));
    EXPECT_TRUE(capi_spy::Get().released.empty());
    EXPECT_TRUE(capi_spy::Get().freed.empty());

    // A new handle for the same certificate: the old one goes.
    EXPECT_TRUE(cache.StoreItem(first, h2, spec));
    EXPECT_EQ(capi_spy::TimesReleased(h1), 1);
    EXPECT_EQ(capi_spy::TimesFreed(first), 0);

    // Another context of it, same handle: the old context goes.
    PCCERT_CONTEXT second = NewContext(w.ivanov);
    EXPECT_TRUE(cache.StoreItem(second, h2, spec));
    EXPECT_EQ(capi_spy::TimesFreed(first), 1);
    EXPECT_EQ(capi_spy::TimesReleased(h2), 0);
    EXPECT_EQ(cache.Size(), 1u);

    PCCERT_CONTEXT probe = NewContext(w.ivanov);
    unsigned long got = 0;
    unsigned int gotSpec = 0;
    EXPECT_TRUE(cache.GetItem(&probe, &got, &gotSpec));
    EXPECT_EQ(probe, second);
    EXPECT_EQ(got, h2);
  }
  EXPECT_EQ(capi_spy::TimesReleased(h2), 1);
  EXPECT_EQ(capi_spy::TimesReleased(h1), 1);
}

TEST(CertCache, DestructionReleasesEveryItemInOrderEvenAfterAFailure) {
  auto& w = TheWorld();
  PCCERT_CONTEXT a = NewContext(w.ivanov);
  PCCERT_CONTEXT b = NewContext(w.petrov);
  PCCERT_CONTEXT c = NewContext(w.soon);
  DWORD spec = 0;
  HCRYPTPROV ha = AcquireKey(a, &spec);
  HCRYPTPROV hc = AcquireKey(a, &spec);
  // No provider handle was ever issued with this value: its release fails.
  const HCRYPTPROV bogus = 0x5eed;
  capi_spy::Reset();
  {
    TmpCertArhive cache;
    cache.StoreItem(a, ha, spec);
    cache.StoreItem(b, bogus, spec);
    cache.StoreItem(c, hc, spec);
    EXPECT_EQ(cache.Size(), 3u);
  }
  EXPECT_EQ(capi_spy::Get().released, (std::vector<HCRYPTPROV>{ha, bogus, hc}));
  EXPECT_EQ(capi_spy::Get().freed, (std::vector<PCCERT_CONTEXT>{a, b, c}));
  // The handles really were released: a second release is refused.
  EXPECT_FALSE(CryptReleaseContext(ha, 0));
  EXPECT_FALSE(CryptReleaseContext(hc, 0));
}

}  // namespace
