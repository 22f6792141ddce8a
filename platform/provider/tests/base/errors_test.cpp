#include <capi/capi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

const DWORD kNoText = 0x00012345;

TEST(LastError, IsKeptPerThread) {
  SetLastError(11);
  DWORD seenInOther = 999, afterOther = 0;
  std::thread other([&] {
    seenInOther = GetLastError();
    SetLastError(22);
    afterOther = GetLastError();
  });
  other.join();
  EXPECT_EQ(seenInOther, 0u) << "a new thread starts with no error";
  EXPECT_EQ(afterOther, 22u);
  EXPECT_EQ(GetLastError(), 11u);
}

TEST(FormatMessage, AllocatedBufferHoldsTheRussianTextAndLineBreak) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
      ERROR_ACCESS_DENIED, LANG_USER_DEFAULT, reinterpret_cast<LPSTR>(&text), 0,
      nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), "Отказано в доступе.\r\n");
  EXPECT_EQ(n, std::string(text).size()) << "bytes, without the zero";
  EXPECT_EQ(LocalFree(text), nullptr);

  wchar_t* wide = nullptr;
  const DWORD w = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, NTE_BAD_KEYSET, 0, reinterpret_cast<LPWSTR>(&wide), 0, nullptr);
  ASSERT_NE(wide, nullptr);
  EXPECT_EQ(std::wstring(wide), L"Набор ключей не существует.\r\n");
  EXPECT_EQ(w, std::wstring(wide).size());
  LocalFree(wide);
}

TEST(FormatMessage, CallerBufferFitsOrFailsWithoutWritingPastIt) {
  const std::string expected = "Параметр задан неверно.\r\n";
  char exact[64];
  std::memset(exact, 'Z', sizeof exact);
  const DWORD size = static_cast<DWORD>(expected.size() + 1);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                           ERROR_INVALID_PARAMETER, 0, exact, size, nullptr),
            expected.size());
  EXPECT_EQ(std::string(exact), expected);
  EXPECT_EQ(exact[size], 'Z');

  char small[8];
  std::memset(small, 'Z', sizeof small);
  SetLastError(0);
  EXPECT_EQ(
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                     ERROR_INVALID_PARAMETER, 0, small, sizeof small, nullptr),
      0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(small, sizeof small), std::string(8, 'Z'));

  wchar_t wsmall[4];
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                           ERROR_INVALID_PARAMETER, 0, wsmall, 4, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

  // The allocated form treats the size as a minimum only.
  char* big = nullptr;
  EXPECT_EQ(FormatMessageA(
                FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                nullptr, ERROR_INVALID_PARAMETER, 0,
                reinterpret_cast<LPSTR>(&big), 4, nullptr),
            expected.size());
  ASSERT_NE(big, nullptr);
  EXPECT_EQ(std::string(big), expected);
  LocalFree(big);
}

TEST(FormatMessage, UnknownCodeFailsAndSaysSo) {
  char* text = reinterpret_cast<char*>(0x1);
  SetLastError(0);
  EXPECT_EQ(FormatMessageA(
                FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                nullptr, kNoText, LANG_USER_DEFAULT,
                reinterpret_cast<LPSTR>(&text), 0, nullptr),
            0u);
  EXPECT_EQ(text, nullptr) << "no stale pointer for the caller to free";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  char buf[32] = "untouched";
  EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, kNoText, 0,
                           reinterpret_cast<LPWSTR>(buf), 8, nullptr),
            0u);
  EXPECT_EQ(std::string(buf), "untouched");
  // Requests this provider does not serve are refused, not half-done.
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "x %1", 0, 0, buf,
                           sizeof buf, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(FormatMessageA(0, nullptr, ERROR_ACCESS_DENIED, 0, buf, sizeof buf,
                           nullptr),
            0u);
  EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                           ERROR_ACCESS_DENIED, 0, nullptr, 100, nullptr),
            0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(FormatMessage, EveryFamilyOfCodesHasAText) {
  const DWORD codes[] = {ERROR_SUCCESS,
                         ERROR_FILE_NOT_FOUND,
                         ERROR_CALL_NOT_IMPLEMENTED,
                         ERROR_MR_MID_NOT_FOUND,
                         ERROR_INVALID_DATATYPE,
                         static_cast<DWORD>(E_FAIL),
                         static_cast<DWORD>(E_INVALIDARG),
                         NTE_BAD_UID,
                         NTE_NO_MORE_ITEMS,
                         CRYPT_E_MSG_ERROR,
                         CRYPT_E_STREAM_INSUFFICIENT_DATA,
                         CRYPT_E_NOT_FOUND,
                         CRYPT_E_MISSING_PUBKEY_PARA,
                         CRYPT_E_ASN1_ERROR,
                         CRYPT_E_ASN1_NOEOD,
                         TRUST_E_NOSIGNATURE,
                         CERT_E_WRONG_USAGE};
  for (DWORD code : codes) {
    char buf[512];
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0,
                                   buf, sizeof buf, nullptr);
    EXPECT_GT(n, 2u) << std::hex << code;
  }
  // The width mask 0xFF asks for no line break at the end.
  char buf[128];
  const DWORD n =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                     nullptr, ERROR_ACCESS_DENIED, 0, buf, sizeof buf, nullptr);
  EXPECT_EQ(std::string(buf, n), "Отказано в доступе.");
}

TEST(LocalHeap, AllocatesZeroesAndFreesNull) {
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  unsigned char* p = static_cast<unsigned char*>(LocalAlloc(LPTR, 64));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0) << i;
  EXPECT_EQ(LocalFree(p), nullptr);
  void* empty = LocalAlloc(LMEM_FIXED, 0);
  EXPECT_NE(empty, nullptr);
  LocalFree(empty);
  SetLastError(0);
  EXPECT_EQ(LocalAlloc(0x0002 /* movable */, 16), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
