// Text conversions, CryptoAPI time conversion, library loading and the debug
// log shared by the controller and the bindings.
#pragma once

#include <capi/wintypes.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>

namespace TavrixUtils {

// One record of priority LOG_DEBUG (facility user) in the system log,
// identity "npTavrix.so" with the pid, written to the logger's socket
// directly so that the host's openlog settings stay as they are. Texts
// beyond 2048 bytes are cut.
void ODebug(std::string text);
// Where ODebug writes: the logger's socket, "/dev/log" unless a test points
// it elsewhere (null restores it).
void SetLogSocket(const char* path);

// The URL with its user-info part (user name and password) replaced by
// "***", for log lines.
std::string MaskUrl(const std::string& url);

// Multibyte text in the locale "ru_RU.UTF-8" (for this thread and this call
// only; "C.UTF-8" where the Russian locale is missing).
// A character the locale cannot represent becomes "?"; a byte sequence that
// is not valid in it becomes U+FFFD, one per offending byte. The rest of the
// text, embedded zero characters included, is always converted.
std::string wstring_to_string(const std::wstring& text);
std::wstring string_to_wstring(const std::string& text);

// UTF-8 through one process-wide converter; std::range_error on bad input.
std::string wstring_to_utf8(const std::wstring& text);
std::wstring utf8_to_wstring(std::string text);

// Seconds since 1970-01-01 00:00 UTC, truncated toward zero.
int64_t FILETIME2UNIXTIME(FILETIME ft);

// dlopen with lazy binding; null when the library cannot be loaded.
void* LoadLib(std::wstring name);

}  // namespace TavrixUtils

// Renders a value for a log line: numbers in decimal, character pointers as
// their text, every other pointer in the stream's hexadecimal form.
template <typename T>
std::string toString(const T& value) {
  std::ostringstream out;
  using D = std::decay_t<T>;
  if constexpr (std::is_same_v<D, char*> || std::is_same_v<D, const char*>) {
    out << (value != nullptr ? value : "(null)");
  } else if constexpr (std::is_pointer_v<D>) {
    // Byte pointers would otherwise be printed as text.
    if constexpr (std::is_function_v<std::remove_pointer_t<D>>)
      out << reinterpret_cast<const void*>(value);
    else
      out << static_cast<const void*>(value);
  } else if constexpr (std::is_same_v<D, char> ||
                       std::is_same_v<D, signed char> ||
                       std::is_same_v<D, unsigned char>) {
    out << static_cast<int>(value);
  } else {
    out << value;
  }
  return out.str();
}

// Reads a value from the start of the text; 0 (or the type's default) when
// nothing can be read.
template <typename T>
T fromString(const std::string& text) {
  std::istringstream in(text);
  T value{};
  in >> value;
  return value;
}
