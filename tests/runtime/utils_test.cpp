#include <TavrixUtils.h>
#include <gtest/gtest.h>

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

FILETIME Ft(uint64_t ticks) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

const uint64_t kEpoch = 116444736000000000ULL;

TEST(FileTime, ConvertsToUnixSeconds) {
  EXPECT_EQ(TavrixUtils::FILETIME2UNIXTIME(Ft(kEpoch)), 0);
  EXPECT_EQ(TavrixUtils::FILETIME2UNIXTIME(Ft(kEpoch + 10000000)), 1);
  EXPECT_EQ(TavrixUtils::FILETIME2UNIXTIME(Ft(kEpoch - 5000000)), 0);
  EXPECT_EQ(TavrixUtils::FILETIME2UNIXTIME(Ft(kEpoch - 10000000)), -1);
  // 2026-01-01 00:00:00 UTC needs the high half.
  EXPECT_EQ(
      TavrixUtils::FILETIME2UNIXTIME(Ft(kEpoch + 1767225600ULL * 10000000ULL)),
      1767225600);
  EXPECT_EQ(TavrixUtils::FILETIME2UNIXTIME(Ft(0)), -11644473600LL);
}

bool HaveRussianLocale() {
  const char* old = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = old ? old : "C";
  const bool ok = std::setlocale(LC_CTYPE, "ru_RU.UTF-8") != nullptr;
  std::setlocale(LC_CTYPE, saved.c_str());
  return ok;
}

TEST(NarrowWide, RussianTextRoundTripsAndLeavesTheProcessLocale) {
  if (!HaveRussianLocale()) GTEST_SKIP() << "ru_RU.UTF-8 is not installed";
  std::setlocale(LC_CTYPE, "C");
  const std::wstring wide = L"Сертификат №1: Иванов";
  const std::string narrow = TavrixUtils::wstring_to_string(wide);
  EXPECT_EQ(narrow, "Сертификат №1: Иванов");
  EXPECT_EQ(TavrixUtils::string_to_wstring(narrow), wide);
  // The host's locale stays: numbers print and read as before.
  EXPECT_EQ(std::string(std::setlocale(LC_CTYPE, nullptr)), "C");
  EXPECT_EQ(std::string(std::setlocale(LC_NUMERIC, nullptr)), "C");
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.2f", 1.5);
  EXPECT_STREQ(printed, "1.50");
  EXPECT_EQ(TavrixUtils::wstring_to_string(L""), "");
  EXPECT_EQ(TavrixUtils::string_to_wstring(""), L"");
}

TEST(NarrowWide, BadCharactersAreMarkedAndNothingElseIsLost) {
  if (!HaveRussianLocale()) GTEST_SKIP() << "ru_RU.UTF-8 is not installed";
  // A lone surrogate has no UTF-8 form.
  std::wstring wide = L"аб";
  wide += static_cast<wchar_t>(0xD800);
  wide += L"вг";
  EXPECT_EQ(TavrixUtils::wstring_to_string(wide), "аб?вг");
  // A truncated sequence and a stray byte in the middle of the text.
  const std::string narrow =
      "да\xD0"
      "x\xFFнет";
  EXPECT_EQ(TavrixUtils::string_to_wstring(narrow), L"да\xFFFDx\xFFFDнет");
  // A truncated sequence at the very end.
  EXPECT_EQ(TavrixUtils::string_to_wstring("я\xD1"), L"я\xFFFD");
}

TEST(NarrowWide, EmbeddedZerosDoNotCutTheText) {
  if (!HaveRussianLocale()) GTEST_SKIP() << "ru_RU.UTF-8 is not installed";
  const std::wstring wide(L"а\0б", 3);
  const std::string narrow("а\0б", 5);
  EXPECT_EQ(TavrixUtils::wstring_to_string(wide), narrow);
  EXPECT_EQ(TavrixUtils::string_to_wstring(narrow), wide);
}

TEST(Utf8, RoundTripAndStrictErrors) {
  const std::wstring wide = L"ГОСТ Р 34.11-94 \U0001F600";
  const std::string utf8 = TavrixUtils::wstring_to_utf8(wide);
  EXPECT_EQ(utf8, "ГОСТ Р 34.11-94 \xF0\x9F\x98\x80");
  EXPECT_EQ(TavrixUtils::utf8_to_wstring(utf8), wide);
  EXPECT_THROW(TavrixUtils::utf8_to_wstring("ab\xFF"), std::range_error);
  EXPECT_THROW(TavrixUtils::utf8_to_wstring("\xD0"), std::range_error);
}

TEST(LoadLib, FindsByNameOnTheSearchPathOrGivesNull) {
  void* libc = TavrixUtils::LoadLib(L"libc.so.6");
  EXPECT_NE(libc, nullptr);
  EXPECT_EQ(TavrixUtils::LoadLib(L"libtavrix-no-such-library.so"), nullptr);
}

TEST(Templates, ToStringAndFromString) {
  EXPECT_EQ(toString(42), "42");
  EXPECT_EQ(toString(static_cast<DWORD>(4294967295u)), "4294967295");
  EXPECT_EQ(toString(-7L), "-7");
  const char* text = "Sign";
  EXPECT_EQ(toString(text), "Sign");
  const char* none = nullptr;
  EXPECT_EQ(toString(none), "(null)");
  BYTE bytes[2] = {'A', 0};
  const std::string ptr = toString(&bytes[0]);
  EXPECT_EQ(ptr.substr(0, 2), "0x") << "byte pointers are addresses, not text";
  void* nothing = nullptr;
  EXPECT_FALSE(toString(nothing).empty());

  EXPECT_EQ(fromString<int>("30"), 30);
  EXPECT_EQ(fromString<int>("-5 days"), -5);
  EXPECT_EQ(fromString<int>(""), 0);
  EXPECT_EQ(fromString<int>("abc"), 0);
}

}  // namespace
