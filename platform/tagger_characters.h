// platform/tagger_characters.h: the character classes by which the tagger reads words and
// punctuation, with a table for ASCII. Inline, as its inner loops ask them of every character.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include <unicode/uchar.h>

#include "platform/tagger.h"

namespace nodrel::platform::tagging {

enum CharClass : std::uint8_t {
  kAlpha = 1,
  kDigit = 2,
  kUpper = 4,
  kLower = 8,
  kPunct = 16,
  kSpace = 32,
};

inline constexpr std::array<std::uint8_t, 128> kAsciiClasses = [] {
  std::array<std::uint8_t, 128> t{};
  for (int c = 0; c < 128; ++c) {
    std::uint8_t k = 0;
    if (c >= 'a' && c <= 'z') k |= kAlpha | kLower;
    if (c >= 'A' && c <= 'Z') k |= kAlpha | kUpper;
    if (c >= '0' && c <= '9') k |= kDigit;
    if ((c >= 0x09 && c <= 0x0D) || c == ' ') k |= kSpace;
    // General category P: the ASCII symbols $ + < = > ^ ` | ~ are S, not P.
    if (std::string_view("!\"#%&'()*,-./:;?@[\\]_{}").find(static_cast<char>(c)) !=
        std::string_view::npos) {
      k |= kPunct;
    }
    t[static_cast<std::size_t>(c)] = k;
  }
  return t;
}();

inline std::uint8_t charClass(UChar32 c) {
  if (c >= 0 && c < 0x80) return kAsciiClasses[static_cast<std::size_t>(c)];
  std::uint8_t k = 0;
  if (u_isalpha(c)) k |= kAlpha;
  if (u_isdigit(c)) k |= kDigit;
  if (u_isupper(c) || u_istitle(c)) k |= kUpper;
  if (u_islower(c)) k |= kLower;
  if (u_ispunct(c)) k |= kPunct;
  if (u_isUWhiteSpace(c)) k |= kSpace;
  return k;
}

inline UChar32 lowerOf(UChar32 c) {
  if (c >= 'A' && c <= 'Z') return c + ('a' - 'A');
  if (c < 0x80) return c;
  return c == 0x2019 ? '\'' : u_tolower(c);
}

inline bool isLineSeparator(UChar32 c) {
  return c == '\n' || c == '\r' || c == 0x0B || c == 0x0C || c == 0x85 || c == 0x2028 ||
         c == 0x2029;
}

inline Tag punctuationTag(UChar32 c, bool afterSpace) {
  switch (c) {
    case '.':
    case '!':
    case '?':
    case 0x2026:
    case 0x3002:
      return Tag::SentenceTerminator;
    case '(':
    case '[':
    case '{':
      return Tag::OpenParenthesis;
    case ')':
    case ']':
    case '}':
      return Tag::CloseParenthesis;
    case '-':
    case 0x2010:
    case 0x2012:
    case 0x2013:
    case 0x2014:
    case 0x2015:
      return Tag::Dash;
    case 0x201C:
    case 0x2018:
    case 0x00AB:
      return Tag::OpenQuote;
    case 0x201D:
    case 0x2019:
    case 0x00BB:
      return Tag::CloseQuote;
    case '"':
    case '\'':
      return afterSpace ? Tag::OpenQuote : Tag::CloseQuote;
    default:
      return Tag::OtherPunctuation;
  }
}

// Punctuation after which the next word starts a sentence (or a list item, or a label's text).
inline bool endsSentence(UChar32 c) {
  return c == '.' || c == '!' || c == '?' || c == ':' || c == ';' || c == ']' || c == 0x2026 ||
         c == 0x3002;
}

}  // namespace nodrel::platform::tagging
