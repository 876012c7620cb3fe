#include "platform/regex.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace nodrel::platform {
namespace {

TEST(MakeRegex, PatternThatDoesNotCompileGivesNothing) {
  for (const char* pattern : {"(", "[a-", "a{2,1}", "(?<name", "\\"}) {
    SCOPED_TRACE(pattern);
    EXPECT_FALSE(makeRegex(pattern).has_value());
  }
  EXPECT_TRUE(makeRegex("").has_value());
}

// The answers that ICU gives and std::regex does not.
TEST(Regex, FollowsIcuSyntax) {
  struct Case {
    std::string pattern;
    std::string text;
    bool matches;
  };
  const Case cases[] = {
      {"^\\w+$", "café", true},        // \w is Unicode-aware
      {"^\\d+$", "١٢٣", true},         // so is \d (Arabic-Indic digits)
      {"^a\\sb$", "a\u00A0b", true},   // and \s (no-break space)
      {"abc$", "abc\r", true},         // $ matches before a final line end: CR...
      {"abc$", "abc\n", true},         // ... LF ...
      {"abc$", "abc\r\n", true},       // ... or a final CR LF
      {"(?i)HELLO", "hello", true},    // inline flags
      {"\\p{Lu}\\p{Ll}", "Ab", true},  // property classes
      {"x(?=y)", "xy", true},          // look-ahead
      {"(?<=a)b", "ab", true},         // look-behind
      {"\\bword\\b", "a word here", true},
      {"HELLO", "hello", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern + " on " + c.text);
    auto re = makeRegex(c.pattern);
    ASSERT_TRUE(re.has_value());
    EXPECT_EQ(re->search(c.text), c.matches);
  }
}

TEST(Regex, OptionOneIsCaseInsensitive) {
  auto re = makeRegex("straße", kRegexCaseInsensitive);
  ASSERT_TRUE(re);
  EXPECT_TRUE(re->search("STRASSE") || re->search("Straße"));
  EXPECT_TRUE(re->search("STRAßE"));
  auto plain = makeRegex("error", 2);  // other bits are ignored
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->search("ERROR"));
}

TEST(Regex, RangesAreByteOffsetsIntoUtf8) {
  const std::string text = "héllo wörld 👩‍👩‍👧 end";
  auto re = makeRegex("(w\\S+) (\\S+)");
  ASSERT_TRUE(re);
  auto m = re->firstMatch(text);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->str(text, 1), "wörld");
  EXPECT_EQ(m->str(text, 2), "👩‍👩‍👧");
  EXPECT_EQ(m->groups[1].begin, text.find("wörld"));
  EXPECT_EQ(m->groups[0].end, text.find(" end"));
}

TEST(Regex, UnmatchedGroupIsAbsent) {
  auto re = makeRegex("a(b)?(c)");
  ASSERT_TRUE(re);
  const std::string text = "xac";
  auto m = re->firstMatch(text);
  ASSERT_TRUE(m);
  ASSERT_EQ(m->groups.size(), 3u);
  EXPECT_FALSE(m->has(1));
  EXPECT_EQ(m->view(text, 1), "");
  EXPECT_TRUE(m->has(2));
  EXPECT_EQ(m->str(text, 2), "c");
  EXPECT_FALSE(m->has(7));
}

TEST(Regex, FirstMatchStartsAtOffset) {
  auto re = makeRegex("\\d+");
  ASSERT_TRUE(re);
  const std::string text = "a1 b22 c333";
  auto m = re->firstMatch(text, 3);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->str(text, 0), "22");
  EXPECT_FALSE(re->firstMatch(text, text.size()));

  // An offset inside a character never yields a match that begins before it.
  auto any = makeRegex(".");
  ASSERT_TRUE(any);
  const std::string accented = "éa";
  auto inside = any->firstMatch(accented, 1);
  ASSERT_TRUE(inside);
  EXPECT_EQ(inside->groups[0].begin, 2u);
  EXPECT_FALSE(re->firstMatch(text, text.size() + 5));
}

TEST(Regex, AllMatchesAndEarlyStop) {
  auto re = makeRegex("[a-z]+");
  ASSERT_TRUE(re);
  const std::string text = "one, two; three";
  auto all = re->allMatches(text);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].str(text, 0), "one");
  EXPECT_EQ(all[2].str(text, 0), "three");

  int seen = 0;
  re->forEachMatch(text, [&](const RegexMatch&) { return ++seen < 2; });
  EXPECT_EQ(seen, 2);

  auto empty = makeRegex("x*");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->allMatches("ab").size(), 3u);  // empty matches advance
}

TEST(Regex, ReplaceAllIsLiteral) {
  auto re = makeRegex("(\\d+)");
  ASSERT_TRUE(re);
  EXPECT_EQ(re->replaceAll("a1b22c", "$1\\"), "a$1\\b$1\\c");
  EXPECT_EQ(re->replaceAll("none", "#"), "none");
  EXPECT_EQ(re->replaceAll("", "#"), "");
  auto empty = makeRegex("x*");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->replaceAll("ab", "-"), "-a-b-");
}

TEST(Regex, ReusedAcrossCallsAndTexts) {
  auto re = makeRegex("(\\w+)=(\\w+)");
  ASSERT_TRUE(re);
  for (int i = 0; i < 2000; ++i) {
    const std::string value = std::to_string(i * 7);
    std::string text = "key";
    text += std::to_string(i);
    text += "=v";
    text += value;
    auto m = re->firstMatch(text);
    ASSERT_TRUE(m);
    ASSERT_EQ(m->str(text, 2).substr(1), value);
  }
  // A moved Regex keeps working.
  Regex moved = std::move(*re);
  EXPECT_TRUE(moved.search("a=b"));
  EXPECT_EQ(moved.pattern(), "(\\w+)=(\\w+)");
}

TEST(Regex, InvalidUtf8DoesNotCrash) {
  auto re = makeRegex("b(.)c");
  ASSERT_TRUE(re);
  const std::string cases[] = {
      std::string("a\xff") + "b\xc3" + "c",  // a lone lead byte inside the match
      std::string("\xe2\x82") + "bxc",       // truncated sequence before it
      std::string("abxc\xf0\x9f"),           // truncated at the end
      std::string("\xed\xa0\x80") + "bxc",   // an encoded surrogate
      std::string("a\0bxc", 5),              // NUL is an ordinary character
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(::testing::PrintToString(text));
    auto m = re->firstMatch(text);
    ASSERT_TRUE(m);
    EXPECT_LE(m->groups[0].end, text.size());
    EXPECT_EQ(m->view(text, 0).front(), 'b');
    EXPECT_EQ(m->view(text, 0).back(), 'c');
    EXPECT_EQ(re->replaceAll(text, "").find('b'), std::string::npos);
  }
}

TEST(Regex, RunawayMatchIsNoMatchAndRegexStaysUsable) {
  auto re = makeRegex("^(a+)+$");
  ASSERT_TRUE(re);
  const std::string evil = std::string(40, 'a') + "!";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(re->search(evil));
  EXPECT_TRUE(re->allMatches(evil).empty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_TRUE(re->search("aaaa"));
}

TEST(Regex, LongLineDoesNotCrash) {
  const std::string line(1'000'000, 'x');
  auto re = makeRegex("(x|y)*z");
  ASSERT_TRUE(re);
  EXPECT_FALSE(re->search(line));
  auto simple = makeRegex("x+$");
  ASSERT_TRUE(simple);
  auto m = simple->firstMatch(line);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->groups[0].end, line.size());
}

}  // namespace
}  // namespace nodrel::platform
