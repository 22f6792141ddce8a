#include "TavrixUtils.h"

#include <dlfcn.h>
#include <syslog.h>

#include <climits>
#include <clocale>
#include <codecvt>
#include <cstdlib>
#include <cwchar>
#include <locale>
#include <stdexcept>

namespace TavrixUtils {

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// One converter for the process, as the UTF-8 helpers have always shared it.
std::wstring_convert<std::codecvt_utf8<wchar_t>> utf8_conv;
#pragma GCC diagnostic pop

void UseRussianLocale() {
  // When the locale is missing, setlocale changes nothing and the current
  // locale serves.
  std::setlocale(LC_CTYPE, "ru_RU.UTF-8");
}

// One run of text without zero characters: the whole-string call first, the
// character-by-character path only when something in it cannot be converted.
void NarrowRun(const wchar_t* run, std::string& out) {
  const size_t need = std::wcstombs(nullptr, run, 0);
  if (need != static_cast<size_t>(-1)) {
    const size_t at = out.size();
    out.resize(at + need + 1);
    std::wcstombs(&out[at], run, need + 1);
    out.resize(at + need);
    return;
  }
  std::mbstate_t state{};
  char buf[MB_LEN_MAX];
  for (const wchar_t* p = run; *p != L'\0'; ++p) {
    const size_t n = std::wcrtomb(buf, *p, &state);
    if (n == static_cast<size_t>(-1)) {
      state = std::mbstate_t{};
      out += '?';
    } else {
      out.append(buf, n);
    }
  }
}

void WidenRun(const char* run, size_t len, std::wstring& out) {
  const size_t need = std::mbstowcs(nullptr, run, 0);
  if (need != static_cast<size_t>(-1)) {
    const size_t at = out.size();
    out.resize(at + need + 1);
    std::mbstowcs(&out[at], run, need + 1);
    out.resize(at + need);
    return;
  }
  std::mbstate_t state{};
  size_t i = 0;
  while (i < len) {
    wchar_t wc = 0;
    const size_t n = std::mbrtowc(&wc, run + i, len - i, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
      // An invalid or truncated sequence: mark one byte and resynchronise.
      state = std::mbstate_t{};
      out += L'\xFFFD';
      ++i;
    } else {
      out += wc;
      i += (n == 0 ? 1 : n);
    }
  }
}

}  // namespace

void ODebug(std::string text) {
  // No facility in openlog's third argument: the process default stays.
  openlog("npTavrix.so", LOG_PID, 0);
  syslog(LOG_DEBUG, "%s", text.c_str());
  closelog();
}

std::string wstring_to_string(const std::wstring& text) {
  UseRussianLocale();
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(L'\0', start);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring run = text.substr(start, end - start);
    NarrowRun(run.c_str(), out);
    if (end == text.size()) break;
    out += '\0';
    start = end + 1;
  }
  return out;
}

std::wstring string_to_wstring(const std::string& text) {
  UseRussianLocale();
  std::wstring out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) end = text.size();
    const std::string run = text.substr(start, end - start);
    WidenRun(run.c_str(), run.size(), out);
    if (end == text.size()) break;
    out += L'\0';
    start = end + 1;
  }
  return out;
}

std::string wstring_to_utf8(const std::wstring& text) {
  return utf8_conv.to_bytes(text);
}

std::wstring utf8_to_wstring(std::string text) {
  std::wstring wide = utf8_conv.from_bytes(text);
  // The converter stops quietly at a sequence cut short by the end of the
  // text; that is malformed input as much as a bad byte is.
  if (utf8_conv.converted() != text.size())
    throw std::range_error("utf8_to_wstring: incomplete UTF-8 sequence");
  return wide;
}

int64_t FILETIME2UNIXTIME(FILETIME ft) {
  const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                         static_cast<uint64_t>(ft.dwLowDateTime);
  const int64_t since1970 = static_cast<int64_t>(ticks - 116444736000000000ULL);
  return since1970 / 10000000;
}

void* LoadLib(std::wstring name) {
  return dlopen(wstring_to_string(name).c_str(), RTLD_LAZY);
}

}  // namespace TavrixUtils
