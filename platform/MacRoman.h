// Text encodings of outside input: Mac OS Roman to UTF-8, and the UTF-8 check.
#pragma once

#include <string>
#include <string_view>

namespace sorv {

// Every byte maps to one character, so decoding never fails.
std::string macRomanToUtf8(std::string_view bytes);

// Replaces %XX escapes, taking each escaped byte as Mac OS Roman. An invalid escape
// (a % not followed by two hex digits) makes the result nullopt-like: returns false.
bool percentUnescapeMacRoman(std::string_view text, std::string* out);

// Whether bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

}  // namespace sorv
