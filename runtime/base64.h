// Base64 as the plug-in exchanges it with pages: messages and file contents
// in lines of 76 characters joined by CR LF, hashes on one line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace base64 {

// Characters written to the current output line by the encoder. Process-wide
// and unguarded: encodings run one at a time on the browser's main thread.
extern int32_t nChar;

// A six-bit value to its character; values outside 0..63 give "=".
char encodeChar(char v);
// A character to its six-bit value, or 64 for anything outside the alphabet.
char decodeChar(char c);
// Appends `c`, preceded by CR LF when `split` is on and the line is full.
void For76InLine(std::string& out, char c, bool split);

std::string encoding(const char* data, size_t len);
std::string encoding(const char* data, size_t len, bool split);

// Skips every character outside the alphabet; never fails. `out` must hold
// GetLengthToDecode(len) bytes; a zero byte follows the decoded bytes.
bool decoding(const char* text, size_t len, char* out, size_t* outLen);
size_t GetLengthToDecode(size_t textLen);

// True when every character is in the alphabet, "=", CR or LF.
bool IsBase64(std::string& text);
bool IsBase64(char* data, size_t len);

}  // namespace base64
