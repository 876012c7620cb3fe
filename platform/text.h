// platform/text.h: Unicode text operations on UTF-8 strings, on ICU. Lengths and cuts count
// user-perceived characters (extended grapheme clusters); lower-casing uses no locale.
// Every function accepts invalid UTF-8 (treated as U+FFFD) and never throws.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nodrel::platform {

bool isValidUtf8(std::string_view text);
// Invalid sequences replaced by U+FFFD; valid text comes back unchanged.
std::string repairUtf8(std::string_view text);

std::size_t graphemeCount(std::string_view text);
// The first `count` grapheme clusters (the whole text when it has no more).
std::string graphemePrefix(std::string_view text, std::size_t count);

// Full Unicode lower-casing with the root locale.
std::string lowercase(std::string_view text);
// ASCII-only lower-casing, for code-like tokens on hot paths.
std::string asciiLowercase(std::string_view text);

// Trims Unicode whitespace and newlines (Zs, Zl, Zp, U+0009-U+000D, U+0085) at both ends.
std::string trimWhitespace(std::string_view text);
// True when the code point is one that trimWhitespace removes.
bool isUnicodeWhitespace(char32_t c);

std::string nfc(std::string_view text);

// Decodes UTF-8 into code points (invalid bytes become U+FFFD) and back.
std::u32string toCodePoints(std::string_view text);
std::string fromCodePoints(std::u32string_view codePoints);
void appendUtf8(std::string& out, char32_t c);

}  // namespace nodrel::platform
