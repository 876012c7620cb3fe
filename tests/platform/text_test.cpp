#include "platform/text.h"

#include <random>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace nodrel::platform {
namespace {

const std::string kFamily = "👩‍👩‍👧‍👦";  // one cluster of seven code points
const std::string kFlag = "🇫🇷";                           // regional indicator pair
const std::string kCombining = "e\u0301";                 // e + combining acute

TEST(Text, GraphemeCount) {
  struct Case {
    std::string text;
    std::size_t want;
  };
  const Case cases[] = {
      {"", 0},
      {"abc", 3},
      {"a\r\nb", 3},  // CR LF is one cluster
      {"\n\r", 2},
      {kFamily, 1},
      {kFamily + "abc", 4},
      {kFlag + kFlag, 2},
      {kCombining + "x", 2},
      {"한국어", 3},
      {"\xff\xfe", 2},  // each invalid byte is one replacement character
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(graphemeCount(c.text), c.want);
  }
}

TEST(Text, GraphemePrefixNeverSplitsACluster) {
  struct Case {
    std::string text;
    std::size_t count;
    std::string want;
  };
  const Case cases[] = {
      {"hello", 0, ""},
      {"hello", 3, "hel"},
      {"hello", 99, "hello"},
      {"a\r\nb", 2, "a\r\n"},
      {kFamily + "xyz", 1, kFamily},
      {kFamily + "xyz", 2, kFamily + "x"},
      {kCombining + kCombining, 1, kCombining},
      {kFlag + kFlag + kFlag, 2, kFlag + kFlag},
      {std::string("ab\xff") + "cd", 3, "ab\xEF\xBF\xBD"},  // repaired
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(graphemePrefix(c.text, c.count), c.want);
  }
}

TEST(Text, LowercaseUsesNoLocale) {
  struct Case {
    std::string text;
    std::string want;
  };
  const Case cases[] = {
      {"Hello World", "hello world"},
      {"ÀÉÎ", "àéî"},
      {"İ", "i\u0307"},  // root locale, not Turkish: dotted capital keeps its dot
      {"I", "i"},        // and plain I lowers to i, not dotless ı
      {"ΣΑΣ", "σας"},    // final sigma
      {"ẞ", "ß"},
      {"\xff"
       "A",
       "\xEF\xBF\xBD"
       "a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(lowercase(c.text), c.want);
  }
  EXPECT_EQ(asciiLowercase("MiXeD Ä"), "mixed Ä");
}

TEST(Text, TrimsUnicodeWhitespaceAndNewlines) {
  struct Case {
    std::string text;
    std::string want;
  };
  const Case cases[] = {
      {"  hi  ", "hi"},
      {"\t\n\v\f\r hi \r\n", "hi"},
      {"\u0085\u00A0\u2003hi\u2028\u2029\u3000", "hi"},
      {"\u1680a b\u202F", "a b"},
      {"   ", ""},
      {"", ""},
      {"\u200Bhi", "\u200Bhi"},  // zero-width space is a format character, not a space
      {"x\u00A0", "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(trimWhitespace(c.text), c.want);
  }
  EXPECT_TRUE(isUnicodeWhitespace(U'\u0085'));
  EXPECT_TRUE(isUnicodeWhitespace(U'\u2029'));
  EXPECT_FALSE(isUnicodeWhitespace(U'\u200B'));
  EXPECT_FALSE(isUnicodeWhitespace(U'a'));
}

TEST(Text, Nfc) {
  EXPECT_EQ(nfc("e\u0301"), "\u00E9");
  EXPECT_EQ(nfc("\u00E9"), "\u00E9");
  EXPECT_EQ(nfc("plain"), "plain");
  EXPECT_EQ(nfc("\u1100\u1161"), "\uAC00");  // Hangul jamo compose
  EXPECT_EQ(nfc("\xC3"), "\xEF\xBF\xBD");
}

TEST(Text, RepairsInvalidUtf8) {
  struct Case {
    std::string text;
    bool valid;
    std::string repaired;
  };
  const std::string r = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"", true, ""},
      {"héllo 👋", true, "héllo 👋"},
      {std::string("a\0b", 3), true, std::string("a\0b", 3)},
      {"\xff", false, r},
      {"a\xc3", false, "a" + r},                   // truncated two-byte sequence
      {"\xe2\x82", false, r},                      // truncated three-byte: one replacement
      {"\xc0\xaf", false, r + r},                  // overlong
      {"\xed\xa0\x80", false, r + r + r},          // encoded surrogate
      {"\xf4\x90\x80\x80", false, r + r + r + r},  // above U+10FFFF
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    EXPECT_EQ(isValidUtf8(c.text), c.valid);
    EXPECT_EQ(repairUtf8(c.text), c.repaired);
    EXPECT_TRUE(isValidUtf8(repairUtf8(c.text)));
  }
}

// Unicode's table of well-formed byte sequences read one byte at a time: the loop that the
// word-at-a-time ASCII test stands in front of.
bool plainIsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t tail = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      tail = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      tail = 2;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      tail = 3;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i - 1 < tail) return false;
    for (std::size_t k = 1; k <= tail; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return false;
    }
    i += tail + 1;
  }
  return true;
}

TEST(Text, Utf8ValidationAgreesWithTheByteWiseReading) {
  // Every piece at every offset from a word boundary, and at the very end, among ASCII runs
  // shorter and longer than a word.
  const std::string pieces[] = {"é",
                                "€",
                                "👋",
                                "\xC2\xA0",
                                "\xff",
                                "\x80",
                                "\xc3",
                                "\xe2\x82",
                                "\xc0\xaf",
                                "\xed\xa0\x80",
                                "\xf4\x90\x80\x80",
                                "\xf0\x9f",
                                std::string(1, '\0')};
  for (const auto& piece : pieces) {
    for (std::size_t before = 0; before < 18; ++before) {
      for (std::size_t after : {0, 1, 7, 8, 9, 20}) {
        const std::string text = std::string(before, 'a') + piece + std::string(after, 'z');
        SCOPED_TRACE(::testing::PrintToString(text));
        EXPECT_EQ(isValidUtf8(text), plainIsValidUtf8(text));
      }
    }
  }
  std::mt19937 rng(15);
  for (int n = 0; n < 3000; ++n) {
    std::string text;
    for (int k = static_cast<int>(rng() % 6); k >= 0; --k) {
      text += std::string(rng() % 24, static_cast<char>('A' + rng() % 26));
      if (rng() % 3 != 0) text += pieces[rng() % std::size(pieces)];
    }
    SCOPED_TRACE(::testing::PrintToString(text));
    ASSERT_EQ(isValidUtf8(text), plainIsValidUtf8(text));
  }
}

TEST(Text, CodePointsRoundTrip) {
  const std::string text = "aé€😀";
  const std::u32string points = toCodePoints(text);
  EXPECT_EQ(points, (std::u32string{U'a', U'é', U'€', U'😀'}));
  EXPECT_EQ(fromCodePoints(points), text);
  EXPECT_EQ(toCodePoints("\xff"
                         "a"),
            (std::u32string{U'\uFFFD', U'a'}));
  EXPECT_EQ(fromCodePoints(std::u32string{char32_t{0xD800}, char32_t{0x110000}}),
            "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace nodrel::platform
