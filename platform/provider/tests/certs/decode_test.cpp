// CryptDecodeObject(Ex) and certificate parsing on real and damaged input.
#include <capi/capi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "provider_test.h"

using tavrix_test::CertHandle;
using tavrix_test::PkiCert;
using tavrix_test::TestPki;

namespace {

const DWORD kEnc = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

PCERT_EXTENSION Ext(PCCERT_CONTEXT c, const char* oid) {
  return CertFindExtension(oid, c->pCertInfo->cExtension,
                           c->pCertInfo->rgExtension);
}

TEST(Decode, EnhancedKeyUsageSizeThenFillAllocAndShortBuffer) {
  const PkiCert& u = TestPki::Get().Cert("user-gost2012_256");
  const CertHandle cert(
      CertCreateCertificateContext(kEnc, u.der.data(), u.der.size()));
  PCCERT_CONTEXT c = cert.get();
  ASSERT_NE(nullptr, c);
  PCERT_EXTENSION e = Ext(c, szOID_ENHANCED_KEY_USAGE);
  ASSERT_NE(nullptr, e);
  DWORD need = 0;
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_ENHANCED_KEY_USAGE, e->Value.pbData,
                                e->Value.cbData, 0, nullptr, &need));
  ASSERT_GT(need, sizeof(CERT_ENHKEY_USAGE));
  std::vector<BYTE> small(need - 1);
  DWORD got = need - 1;
  EXPECT_FALSE(CryptDecodeObject(kEnc, X509_ENHANCED_KEY_USAGE, e->Value.pbData,
                                 e->Value.cbData, 0, small.data(), &got));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
  EXPECT_EQ(need, got);
  // Fill, then move the block: every pointer must lie inside it.
  std::vector<BYTE> buf(need + 16, 0xCC);
  got = need + 16;
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_ENHANCED_KEY_USAGE, e->Value.pbData,
                                e->Value.cbData, 0, buf.data(), &got));
  EXPECT_EQ(need, got);
  auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buf.data());
  ASSERT_EQ(3u, usage->cUsageIdentifier);
  EXPECT_STREQ(szOID_PKIX_KP_CLIENT_AUTH, usage->rgpszUsageIdentifier[0]);
  EXPECT_STREQ(szOID_PKIX_KP_EMAIL_PROTECTION, usage->rgpszUsageIdentifier[1]);
  EXPECT_STREQ("1.2.643.2.2.34.6", usage->rgpszUsageIdentifier[2]);
  for (DWORD i = 0; i < 3; ++i) {
    BYTE* p = reinterpret_cast<BYTE*>(usage->rgpszUsageIdentifier[i]);
    EXPECT_TRUE(p >= buf.data() && p < buf.data() + need);
  }
  // Allocated by the provider, freed with LocalFree.
  PCERT_ENHKEY_USAGE alloc = nullptr;
  DWORD size = 0;
  ASSERT_TRUE(CryptDecodeObjectEx(
      X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, e->Value.pbData,
      e->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &alloc, &size));
  ASSERT_NE(nullptr, alloc);
  EXPECT_EQ(need, size);
  EXPECT_STREQ("1.2.643.2.2.34.6", alloc->rgpszUsageIdentifier[2]);
  EXPECT_EQ(nullptr, LocalFree(alloc));
  // Also by the OID name of the structure.
  ASSERT_TRUE(CryptDecodeObject(kEnc, szOID_ENHANCED_KEY_USAGE, e->Value.pbData,
                                e->Value.cbData, 0, nullptr, &size));
  EXPECT_EQ(need, size);
  // No EKU in the "noeku" certificates.
  const CertHandle n(CertCreateCertificateContext(
      kEnc, TestPki::Get().Cert("noeku-gost2001").der.data(),
      TestPki::Get().Cert("noeku-gost2001").der.size()));
  EXPECT_EQ(nullptr, Ext(n.get(), szOID_ENHANCED_KEY_USAGE));
  EXPECT_EQ(CRYPT_E_NOT_FOUND, GetLastError());
}

TEST(Decode, NamesCertificatesAndCertInfo) {
  const PkiCert& u = TestPki::Get().Cert("user-gost2012_512");
  const CertHandle cert(
      CertCreateCertificateContext(kEnc, u.der.data(), u.der.size()));
  PCCERT_CONTEXT c = cert.get();
  ASSERT_NE(nullptr, c);
  // X509_NAME: values stay as encoded (UTF-8 and NumericString here).
  PCERT_NAME_INFO name = nullptr;
  DWORD size = 0;
  ASSERT_TRUE(CryptDecodeObjectEx(kEnc, X509_NAME, c->pCertInfo->Subject.pbData,
                                  c->pCertInfo->Subject.cbData,
                                  CRYPT_DECODE_ALLOC_FLAG, nullptr, &name,
                                  &size));
  ASSERT_EQ(10u, name->cRDN);
  PCERT_RDN_ATTR inn = CertFindRDNAttr(szOID_INN, name);
  ASSERT_NE(nullptr, inn);
  EXPECT_EQ(static_cast<DWORD>(CERT_RDN_NUMERIC_STRING), inn->dwValueType);
  EXPECT_EQ("007712345678",
            std::string(reinterpret_cast<char*>(inn->Value.pbData),
                        inn->Value.cbData));
  PCERT_RDN_ATTR sn = CertFindRDNAttr(szOID_SUR_NAME, name);
  ASSERT_NE(nullptr, sn);
  EXPECT_EQ(static_cast<DWORD>(CERT_RDN_UTF8_STRING), sn->dwValueType);
  EXPECT_EQ("Иванов", std::string(reinterpret_cast<char*>(sn->Value.pbData),
                                  sn->Value.cbData));
  EXPECT_EQ(nullptr, CertFindRDNAttr(szOID_TITLE, name));
  LocalFree(name);
  // X509_UNICODE_NAME gives wide text.
  ASSERT_TRUE(
      CryptDecodeObjectEx(kEnc, X509_UNICODE_NAME, c->pCertInfo->Subject.pbData,
                          c->pCertInfo->Subject.cbData, CRYPT_DECODE_ALLOC_FLAG,
                          nullptr, &name, &size));
  sn = CertFindRDNAttr(szOID_SUR_NAME, name);
  ASSERT_NE(nullptr, sn);
  EXPECT_EQ(std::wstring(L"Иванов"),
            reinterpret_cast<wchar_t*>(sn->Value.pbData));
  LocalFree(name);

  // X509_CERT: signature handed out reversed unless asked otherwise.
  PCERT_SIGNED_CONTENT_INFO sci = nullptr;
  ASSERT_TRUE(CryptDecodeObjectEx(kEnc, X509_CERT, u.der.data(), u.der.size(),
                                  CRYPT_DECODE_ALLOC_FLAG, nullptr, &sci,
                                  &size));
  EXPECT_STREQ(szOID_CP_GOST_R3411_12_512_R3410,
               sci->SignatureAlgorithm.pszObjId);
  ASSERT_EQ(128u, sci->Signature.cbData);
  const BYTE* last = u.der.data() + u.der.size() - 1;
  EXPECT_EQ(*last, sci->Signature.pbData[0]);
  size_t hdr = 2 + ((u.der[1] & 0x80) ? (u.der[1] & 0x7F) : 0);
  ASSERT_LT(hdr + sci->ToBeSigned.cbData, u.der.size());
  EXPECT_EQ(0, memcmp(sci->ToBeSigned.pbData, u.der.data() + hdr,
                      sci->ToBeSigned.cbData));
  PCERT_SIGNED_CONTENT_INFO raw = nullptr;
  ASSERT_TRUE(CryptDecodeObjectEx(
      kEnc, X509_CERT, u.der.data(), u.der.size(),
      CRYPT_DECODE_ALLOC_FLAG | CRYPT_DECODE_NO_SIGNATURE_BYTE_REVERSAL_FLAG,
      nullptr, &raw, &size));
  EXPECT_EQ(*last, raw->Signature.pbData[127]);
  LocalFree(raw);

  // X509_CERT_TO_BE_SIGNED, of the whole certificate and of the bare part.
  for (DWORD flags : {0u, static_cast<DWORD>(CRYPT_DECODE_TO_BE_SIGNED_FLAG),
                      static_cast<DWORD>(CRYPT_DECODE_NOCOPY_FLAG),
                      static_cast<DWORD>(CRYPT_DECODE_NOCOPY_FLAG |
                                         CRYPT_DECODE_TO_BE_SIGNED_FLAG)}) {
    bool bare = (flags & CRYPT_DECODE_TO_BE_SIGNED_FLAG) != 0;
    const BYTE* p = bare ? sci->ToBeSigned.pbData : u.der.data();
    DWORD n = bare ? sci->ToBeSigned.cbData : u.der.size();
    DWORD need = 0;
    ASSERT_TRUE(CryptDecodeObject(kEnc, X509_CERT_TO_BE_SIGNED, p, n, flags,
                                  nullptr, &need));
    std::vector<BYTE> buf(need);
    ASSERT_TRUE(CryptDecodeObject(kEnc, X509_CERT_TO_BE_SIGNED, p, n, flags,
                                  buf.data(), &need));
    PCERT_INFO info = reinterpret_cast<PCERT_INFO>(buf.data());
    EXPECT_TRUE(CertCompareCertificate(kEnc, info, c->pCertInfo));
    EXPECT_TRUE(CertCompareCertificateName(kEnc, &info->Subject,
                                           &c->pCertInfo->Subject));
    EXPECT_TRUE(CertComparePublicKeyInfo(kEnc, &info->SubjectPublicKeyInfo,
                                         &c->pCertInfo->SubjectPublicKeyInfo));
    EXPECT_EQ(c->pCertInfo->cExtension, info->cExtension);
    EXPECT_EQ(
        0, memcmp(&c->pCertInfo->NotAfter, &info->NotAfter, sizeof(FILETIME)));
    // Without a copy the blobs point into the caller's bytes.
    bool inside = info->Subject.pbData >= p && info->Subject.pbData < p + n;
    EXPECT_EQ((flags & CRYPT_DECODE_NOCOPY_FLAG) != 0, inside) << flags;
    EXPECT_EQ(0, memcmp(info->SubjectPublicKeyInfo.PublicKey.pbData,
                        c->pCertInfo->SubjectPublicKeyInfo.PublicKey.pbData,
                        info->SubjectPublicKeyInfo.PublicKey.cbData));
  }
  LocalFree(sci);
}

TEST(Decode, SmallTypesAndNoCopy) {
  // SEQUENCE OF ANY with NOCOPY points into the input.
  const BYTE seq[] = {0x30, 0x08, 0x02, 0x01, 0x05, 0x04, 0x03, 'a', 'b', 'c'};
  DWORD size = 0;
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_SEQUENCE_OF_ANY, seq, sizeof seq,
                                CRYPT_DECODE_NOCOPY_FLAG, nullptr, &size));
  std::vector<BYTE> buf(size);
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_SEQUENCE_OF_ANY, seq, sizeof seq,
                                CRYPT_DECODE_NOCOPY_FLAG, buf.data(), &size));
  auto* any = reinterpret_cast<PCRYPT_SEQUENCE_OF_ANY>(buf.data());
  ASSERT_EQ(2u, any->cValue);
  EXPECT_EQ(seq + 2, any->rgValue[0].pbData);
  EXPECT_EQ(3u, any->rgValue[0].cbData);
  EXPECT_EQ(seq + 5, any->rgValue[1].pbData);
  DWORD copied = 0;
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_SEQUENCE_OF_ANY, seq, sizeof seq, 0,
                                nullptr, &copied));
  EXPECT_GT(copied, size);

  const BYTE bc[] = {0x30, 0x06, 0x01, 0x01, 0xFF, 0x02, 0x01, 0x03};
  CERT_BASIC_CONSTRAINTS2_INFO b;
  size = sizeof b;
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_BASIC_CONSTRAINTS2, bc, sizeof bc, 0,
                                &b, &size));
  EXPECT_TRUE(b.fCA);
  EXPECT_TRUE(b.fPathLenConstraint);
  EXPECT_EQ(3u, b.dwPathLenConstraint);

  const BYTE ku[] = {0x03, 0x02, 0x05, 0xA0};
  BYTE kb[64];
  size = sizeof kb;
  ASSERT_TRUE(
      CryptDecodeObject(kEnc, X509_KEY_USAGE, ku, sizeof ku, 0, kb, &size));
  auto* bits = reinterpret_cast<PCRYPT_BIT_BLOB>(kb);
  ASSERT_EQ(1u, bits->cbData);
  EXPECT_EQ(0xA0, bits->pbData[0]);
  EXPECT_EQ(5u, bits->cUnusedBits);

  const BYTE neg[] = {0x02, 0x02, 0xFF, 0x7F};
  int32_t v = 0;
  size = sizeof v;
  ASSERT_TRUE(
      CryptDecodeObject(kEnc, X509_INTEGER, neg, sizeof neg, 0, &v, &size));
  EXPECT_EQ(-129, v);
  const BYTE big[] = {0x02, 0x06, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  EXPECT_FALSE(
      CryptDecodeObject(kEnc, X509_INTEGER, big, sizeof big, 0, &v, &size));
  BYTE mb[64];
  size = sizeof mb;
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_MULTI_BYTE_INTEGER, big, sizeof big,
                                0, mb, &size));
  auto* mi = reinterpret_cast<PCRYPT_INTEGER_BLOB>(mb);
  ASSERT_EQ(6u, mi->cbData);
  EXPECT_EQ(0x06, mi->pbData[0]);

  const BYTE utc[] = {0x17, 0x0D, '2', '0', '0', '1', '0', '1',
                      '0',  '0',  '0', '0', '0', '0', 'Z'};
  FILETIME ft;
  size = sizeof ft;
  ASSERT_TRUE(
      CryptDecodeObject(kEnc, PKCS_UTC_TIME, utc, sizeof utc, 0, &ft, &size));
  // 2020-01-01 00:00:00 UTC
  unsigned long long t =
      (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) |
      ft.dwLowDateTime;
  EXPECT_EQ(1577836800ULL, t / 10000000ULL - 11644473600ULL);
  const BYTE gen[] = {0x18, 0x0F, '2', '0', '5', '1', '0', '6', '3',
                      '0',  '2',  '3', '5', '9', '5', '9', 'Z'};
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_CHOICE_OF_TIME, gen, sizeof gen, 0,
                                &ft, &size));
  EXPECT_FALSE(
      CryptDecodeObject(kEnc, PKCS_UTC_TIME, gen, sizeof gen, 0, &ft, &size));
  const BYTE badTime[] = {0x17, 0x0D, '2', '0', '1', '3', '0', '1',
                          '0',  '0',  '0', '0', '0', '0', 'Z'};
  EXPECT_FALSE(CryptDecodeObject(kEnc, PKCS_UTC_TIME, badTime, sizeof badTime,
                                 0, &ft, &size));

  const BYTE oct[] = {0x04, 0x02, 0xAB, 0xCD};
  BYTE ob[32];
  size = sizeof ob;
  ASSERT_TRUE(CryptDecodeObject(kEnc, X509_OCTET_STRING, oct, sizeof oct, 0, ob,
                                &size));
  EXPECT_EQ(2u, reinterpret_cast<PCRYPT_DATA_BLOB>(ob)->cbData);
}

TEST(Decode, BadArgumentsAndUnknownTypes) {
  const BYTE oct[] = {0x04, 0x01, 0x00};
  DWORD size = 0;
  EXPECT_FALSE(CryptDecodeObject(kEnc, X509_OCTET_STRING, oct, sizeof oct, 0,
                                 nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(E_INVALIDARG), GetLastError());
  EXPECT_FALSE(CryptDecodeObject(kEnc, reinterpret_cast<LPCSTR>(9999), oct,
                                 sizeof oct, 0, nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_FALSE(
      CryptDecodeObject(kEnc, "1.2.3.4", oct, sizeof oct, 0, nullptr, &size));
  EXPECT_FALSE(
      CryptDecodeObject(kEnc, nullptr, oct, sizeof oct, 0, nullptr, &size));
  EXPECT_FALSE(CryptDecodeObject(kEnc, X509_OCTET_STRING, nullptr, 5, 0,
                                 nullptr, &size));
  EXPECT_FALSE(CryptDecodeObject(kEnc, X509_ENHANCED_KEY_USAGE, oct, sizeof oct,
                                 0, nullptr, &size));
  EXPECT_EQ(CRYPT_E_ASN1_BADTAG, GetLastError());
  void* out = reinterpret_cast<void*>(1);
  EXPECT_FALSE(CryptDecodeObjectEx(kEnc, X509_ENHANCED_KEY_USAGE, oct,
                                   sizeof oct, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                                   &out, &size));
  EXPECT_EQ(nullptr, out);
}

// Every prefix of a real certificate, and every single-byte corruption of
// its header area, must fail cleanly (ASan watches for over-reads).
TEST(Decode, TruncatedAndDamagedCertificatesFailCleanly) {
  const PkiCert& u = TestPki::Get().Cert("user-gost2001");
  const std::vector<BYTE>& der = u.der;
  for (size_t cut = 0; cut < der.size(); ++cut) {
    std::vector<BYTE> part(der.begin(), der.begin() + cut);
    const BYTE* p = part.empty() ? nullptr : part.data();
    SetLastError(0);
    EXPECT_EQ(nullptr, CertCreateCertificateContext(kEnc, p, cut)) << cut;
    EXPECT_NE(0u, GetLastError()) << cut;
    DWORD size = 0;
    EXPECT_FALSE(CryptDecodeObject(kEnc, X509_CERT, p, cut, 0, nullptr, &size))
        << cut;
    EXPECT_FALSE(CryptDecodeObject(kEnc, X509_CERT_TO_BE_SIGNED, p, cut, 0,
                                   nullptr, &size))
        << cut;
    DWORD e = GetLastError();
    EXPECT_TRUE(e == CRYPT_E_ASN1_EOD || e == CRYPT_E_ASN1_BADTAG ||
                e == CRYPT_E_ASN1_CORRUPT ||
                e == static_cast<DWORD>(E_INVALIDARG))
        << std::hex << e;
  }
  int parsed = 0;
  for (size_t i = 0; i < der.size(); ++i) {
    for (BYTE x : {0x00, 0xFF, 0x80}) {
      std::vector<BYTE> bad = der;
      bad[i] = x;
      PCCERT_CONTEXT c =
          CertCreateCertificateContext(kEnc, bad.data(), bad.size());
      if (c) {
        ++parsed;  // a value byte changed; the structure still holds
        WCHAR buf[512];
        CertNameToStrW(kEnc, &c->pCertInfo->Subject, CERT_X500_NAME_STR, buf,
                       512);
        CertFreeCertificateContext(c);
      }
    }
  }
  EXPECT_GT(parsed, 0);
  EXPECT_EQ(nullptr, CertCreateCertificateContext(kEnc, nullptr, 0));
  EXPECT_EQ(nullptr, CertCreateCertificateContext(0x7, der.data(), der.size()));
}

}  // namespace

namespace {

TEST(Encode, RoundTripsThroughTheDecoder) {
  // A name taken apart and put back together gives the same bytes.
  const PkiCert& u = TestPki::Get().Cert("user-gost2012_256");
  const CertHandle cert(
      CertCreateCertificateContext(kEnc, u.der.data(), u.der.size()));
  PCCERT_CONTEXT c = cert.get();
  ASSERT_NE(nullptr, c);
  PCERT_NAME_INFO name = nullptr;
  DWORD size = 0;
  ASSERT_TRUE(CryptDecodeObjectEx(kEnc, X509_NAME, c->pCertInfo->Subject.pbData,
                                  c->pCertInfo->Subject.cbData,
                                  CRYPT_DECODE_ALLOC_FLAG, nullptr, &name,
                                  &size));
  DWORD n = 0;
  ASSERT_TRUE(CryptEncodeObject(kEnc, X509_NAME, name, nullptr, &n));
  EXPECT_EQ(c->pCertInfo->Subject.cbData, n);
  std::vector<BYTE> enc(n);
  DWORD shortLen = n - 1;
  EXPECT_FALSE(CryptEncodeObject(kEnc, X509_NAME, name, enc.data(), &shortLen));
  EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), GetLastError());
  EXPECT_EQ(n, shortLen);
  ASSERT_TRUE(CryptEncodeObject(kEnc, X509_NAME, name, enc.data(), &n));
  EXPECT_EQ(0, memcmp(enc.data(), c->pCertInfo->Subject.pbData, n));
  name->rgRDN[0].rgRDNAttr[0].pszObjId = const_cast<char*>("not.an.oid");
  EXPECT_FALSE(CryptEncodeObject(kEnc, X509_NAME, name, nullptr, &n));
  EXPECT_EQ(CRYPT_E_OID_FORMAT, GetLastError());
  LocalFree(name);

  // The same for the key usage extension.
  PCERT_EXTENSION e =
      CertFindExtension(szOID_ENHANCED_KEY_USAGE, c->pCertInfo->cExtension,
                        c->pCertInfo->rgExtension);
  ASSERT_NE(nullptr, e);
  PCERT_ENHKEY_USAGE eku = nullptr;
  ASSERT_TRUE(CryptDecodeObjectEx(
      kEnc, X509_ENHANCED_KEY_USAGE, e->Value.pbData, e->Value.cbData,
      CRYPT_DECODE_ALLOC_FLAG, nullptr, &eku, &size));
  BYTE* out = nullptr;
  ASSERT_TRUE(CryptEncodeObjectEx(kEnc, X509_ENHANCED_KEY_USAGE, eku,
                                  CRYPT_ENCODE_ALLOC_FLAG, nullptr, &out, &n));
  ASSERT_EQ(e->Value.cbData, n);
  EXPECT_EQ(0, memcmp(out, e->Value.pbData, n));
  LocalFree(out);
  LocalFree(eku);

  // A signing time: UTCTime up to 2049, GeneralizedTime after.
  FILETIME ft;
  size = sizeof ft;
  const BYTE utc[] = {0x17, 0x0D, '4', '9', '1', '2', '3', '1',
                      '2',  '3',  '5', '9', '5', '9', 'Z'};
  ASSERT_TRUE(
      CryptDecodeObject(kEnc, PKCS_UTC_TIME, utc, sizeof utc, 0, &ft, &size));
  BYTE buf[32];
  n = sizeof buf;
  ASSERT_TRUE(CryptEncodeObject(kEnc, szOID_RSA_signingTime, &ft, buf, &n));
  ASSERT_EQ(sizeof utc, n);
  EXPECT_EQ(0, memcmp(buf, utc, n));
  ft.dwHighDateTime += 0x100000;  // far beyond 2049
  n = sizeof buf;
  EXPECT_FALSE(CryptEncodeObject(kEnc, PKCS_UTC_TIME, &ft, buf, &n));
  n = sizeof buf;
  ASSERT_TRUE(CryptEncodeObject(kEnc, X509_CHOICE_OF_TIME, &ft, buf, &n));
  EXPECT_EQ(0x18, buf[0]);

  int32_t v = -129;
  n = sizeof buf;
  ASSERT_TRUE(CryptEncodeObject(kEnc, X509_INTEGER, &v, buf, &n));
  ASSERT_EQ(4u, n);
  EXPECT_EQ(0xFF, buf[2]);
  EXPECT_EQ(0x7F, buf[3]);
  CRYPT_DATA_BLOB oct = {
      3, const_cast<BYTE*>(reinterpret_cast<const BYTE*>("abc"))};
  n = sizeof buf;
  ASSERT_TRUE(CryptEncodeObject(kEnc, X509_OCTET_STRING, &oct, buf, &n));
  EXPECT_EQ(5u, n);
  EXPECT_FALSE(
      CryptEncodeObject(kEnc, reinterpret_cast<LPCSTR>(9999), &oct, buf, &n));
  EXPECT_FALSE(CryptEncodeObject(kEnc, X509_OCTET_STRING, nullptr, buf, &n));
}

}  // namespace

namespace {

// Random mutations of real encodings through every decoder and the name
// formatter: results may fail, but never crash or read past the input.
TEST(Decode, RandomMutationsNeverCrash) {
  const PkiCert& u = TestPki::Get().Cert("angle");
  const CertHandle cert(
      CertCreateCertificateContext(kEnc, u.der.data(), u.der.size()));
  PCCERT_CONTEXT c = cert.get();
  ASSERT_NE(nullptr, c);
  std::vector<std::vector<BYTE>> seeds = {
      u.der, std::vector<BYTE>(
                 c->pCertInfo->Subject.pbData,
                 c->pCertInfo->Subject.pbData + c->pCertInfo->Subject.cbData)};
  for (DWORD i = 0; i < c->pCertInfo->cExtension; ++i) {
    const CRYPT_OBJID_BLOB& v = c->pCertInfo->rgExtension[i].Value;
    seeds.emplace_back(v.pbData, v.pbData + v.cbData);
  }
  LPCSTR types[] = {X509_CERT,
                    X509_CERT_TO_BE_SIGNED,
                    X509_NAME,
                    X509_UNICODE_NAME,
                    X509_SEQUENCE_OF_ANY,
                    X509_ENHANCED_KEY_USAGE,
                    X509_BASIC_CONSTRAINTS2,
                    X509_KEY_USAGE,
                    X509_OCTET_STRING,
                    X509_INTEGER,
                    X509_MULTI_BYTE_INTEGER,
                    X509_CHOICE_OF_TIME};
  uint32_t rng = 12345;
  auto next = [&rng]() {
    rng = rng * 1103515245u + 12345u;
    return rng >> 8;
  };
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<BYTE> d = seeds[next() % seeds.size()];
    int edits = 1 + next() % 4;
    for (int e = 0; e < edits && !d.empty(); ++e)
      d[next() % d.size()] = static_cast<BYTE>(next());
    if (next() % 3 == 0) d.resize(next() % (d.size() + 1));
    // An exact-size heap copy lets ASan see any over-read.
    std::unique_ptr<BYTE[]> exact(new BYTE[d.size() ? d.size() : 1]);
    if (!d.empty()) memcpy(exact.get(), d.data(), d.size());
    DWORD n = static_cast<DWORD>(d.size());
    for (LPCSTR t : types) {
      void* out = nullptr;
      DWORD size = 0;
      if (CryptDecodeObjectEx(kEnc, t, exact.get(), n, CRYPT_DECODE_ALLOC_FLAG,
                              nullptr, &out, &size)) {
        ++accepted;
        LocalFree(out);
      }
    }
    CERT_NAME_BLOB b = {n, exact.get()};
    wchar_t text[256];
    CertNameToStrW(kEnc, &b, CERT_X500_NAME_STR, text, 256);
    PCCERT_CONTEXT p = CertCreateCertificateContext(kEnc, exact.get(), n);
    if (p) {
      char a[128];
      CertGetNameStringA(p, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, a,
                         sizeof a);
      CertFreeCertificateContext(p);
    }
  }
  EXPECT_GT(accepted, 0);
}

}  // namespace
