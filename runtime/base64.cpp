#include "base64.h"

#include <algorithm>
#include <climits>

namespace base64 {

int32_t nChar = 0;

namespace {
const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kBase64Set[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\r\n";
}  // namespace

char encodeChar(char v) {
  const int value = static_cast<signed char>(v);
  if (value < 0 || value > 63) return '=';
  return kAlphabet[value];
}

char decodeChar(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<char>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 64;
}

void For76InLine(std::string& out, char c, bool split) {
  if (split && nChar > 75) {
    out += "\r\n";
    nChar = 0;
  }
  out += c;
  ++nChar;
}

std::string encoding(const char* data, size_t len) {
  return encoding(data, len, true);
}

std::string encoding(const char* data, size_t len, bool split) {
  std::string result;
  if (data == nullptr) return result;
  // Written in place into a text of its final size: an attached file
  // signature is hundreds of megabytes, and a page's signature is encoded on
  // every call.
  const size_t chars = (len + 2) / 3 * 4;
  const size_t breaks = split && chars > 0 ? (chars - 1) / 76 : 0;
  result.resize(chars + 2 * breaks);
  char* out = &result[0];
  size_t inLine = 0;
  auto put = [&](char c) {
    if (split && inLine == 76) {
      *out++ = '\r';
      *out++ = '\n';
      inLine = 0;
    }
    *out++ = c;
    ++inLine;
  };
  auto six = [](unsigned int v) { return kAlphabet[v & 0x3F]; };
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  size_t i = 0;
  for (; i + 3 <= len; i += 3) {
    const unsigned int group = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
    put(six(group >> 18));
    put(six(group >> 12));
    put(six(group >> 6));
    put(six(group));
  }
  const size_t rest = len - i;
  if (rest != 0) {
    const unsigned int group =
        (p[i] << 16) |
        (rest == 2 ? static_cast<unsigned int>(p[i + 1]) << 8 : 0);
    put(six(group >> 18));
    put(six(group >> 12));
    put(rest == 2 ? six(group >> 6) : '=');
    put('=');
  }
  nChar =
      static_cast<int32_t>(split ? inLine : std::min<size_t>(chars, INT32_MAX));
  return result;
}

namespace {
// decodeChar for every byte, looked up once: decoding a message of a
// hundred megabytes calls it for each of its characters.
struct DecodeTable {
  char value[256];
  DecodeTable() {
    for (int c = 0; c < 256; ++c) value[c] = decodeChar(static_cast<char>(c));
  }
};
}  // namespace

bool decoding(const char* text, size_t len, char* out, size_t* outLen) {
  // Without a buffer only the count is reported.
  size_t written = 0;
  auto put = [&](unsigned int byte) {
    if (out != nullptr) out[written] = static_cast<char>(byte & 0xFF);
    ++written;
  };
  static const DecodeTable kDecode;
  unsigned int group = 0;
  int count = 0;
  for (size_t i = 0; text != nullptr && i < len; ++i) {
    const char v = kDecode.value[static_cast<unsigned char>(text[i])];
    if (v == 64) continue;
    group = (group << 6) | static_cast<unsigned char>(v);
    if (++count == 4) {
      put(group >> 16);
      put(group >> 8);
      put(group);
      group = 0;
      count = 0;
    }
  }
  if (count == 1) {
    put(group << 2);
  } else if (count == 2) {
    put(group >> 4);
  } else if (count == 3) {
    put(group >> 10);
    put(group >> 2);
  }
  if (out != nullptr) out[written] = '\0';
  if (outLen != nullptr) *outLen = written;
  return true;
}

size_t GetLengthToDecode(size_t textLen) { return ((textLen + 1) * 3) / 4 + 1; }

bool IsBase64(std::string& text) {
  return text.find_first_not_of(kBase64Set) == std::string::npos;
}

bool IsBase64(char* data, size_t len) {
  if (data == nullptr) return len == 0;
  // Taken as text: a zero byte ends the span and so fails the test.
  std::string text(data, len);
  return IsBase64(text);
}

}  // namespace base64
