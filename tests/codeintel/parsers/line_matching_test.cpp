#include "codeintel/parsers/line_matching.h"

#include <random>

#include <gtest/gtest.h>

#include "codeintel/line_text.h"

namespace nodrel::codeintel::parsers {
namespace {

std::vector<std::string_view> linesOf(const std::string& text) { return splitLines(text); }

TEST(LineMatching, MatchesEachLineAloneWithAbsentGroups) {
  const auto matches = regexLineMatches(R"(^(a)?(b+)|c)", "bb\nab c\n\nc c", false);
  ASSERT_EQ(matches.size(), 5u);
  EXPECT_EQ(matches[0].line, 1);
  EXPECT_EQ(matches[0].text, "bb");
  EXPECT_FALSE(matches[0].group(1).has_value());
  EXPECT_EQ(matches[0].group(2), "bb");
  EXPECT_EQ(matches[1].text, "ab");
  EXPECT_EQ(matches[1].group(1), "a");
  EXPECT_EQ(matches[2].line, 2);
  EXPECT_EQ(matches[2].text, "c");
  EXPECT_EQ(matches[3].line, 4);
  EXPECT_EQ(matches[4].line, 4);
  // "^" is the start of each line, never the point where the previous match ended.
  EXPECT_EQ(regexLineMatches("^x", "xx", false).size(), 1u);
  EXPECT_EQ(regexFirstGroups(R"(k(\d)?)", "k1 k k2", false), (std::vector<std::string>{"1", "2"}));
  EXPECT_TRUE(regexLineMatches("(unclosed", "(unclosed", false).empty());
  EXPECT_EQ(regexLineMatches("ABC", "abc", true).size(), 1u);
  EXPECT_TRUE(regexLineMatches("ABC", "abc", false).empty());
}

TEST(LineMatching, IndentationWidth) {
  struct Case {
    std::string line;
    std::int64_t width;
  };
  const Case cases[] = {{"", 0}, {"x", 0}, {"  x", 2}, {"\tx", 4}, {" \t x", 6}, {"    ", 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(indentationWidth(c.line), c.width);
  }
}

TEST(LineMatching, BraceBlockEnds) {
  struct Case {
    std::string text;
    std::int64_t start;
    std::int64_t end;
  };
  const Case cases[] = {
      {"f() {\n  x\n}\n", 1, 3},
      {"f()\n{\n  x\n}", 1, 4},     // opened on the next line
      {"f()\nx\ny", 1, 1},          // no brace in the rest of the file
      {"f() }\n{\n}\n{\n}", 1, 2},  // "}" first lowers the depth; balance after line 2
      {"a {\nb {\n}\n}\n", 2, 3},
      {"{ {\n}", 1, 1},  // never balances: its own line
      {"x", 2, 2},       // one past the last line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto lines = linesOf(c.text);
    EXPECT_EQ(braceBlockEndLine(lines, c.start), c.end);
    SourceText text(c.text);
    EXPECT_EQ(text.braceBlockEnd(c.start), c.end);
  }
}

TEST(LineMatching, PythonBlockEnds) {
  struct Case {
    std::string text;
    std::int64_t start;
    std::int64_t end;
  };
  const Case cases[] = {
      {"def f():\n  a\n  b\n\nc", 1, 4},  // ends on the blank line before the next code
      {"x\ndef f():", 2, 2},              // last line
      {"def f():\n  a\n", 1, 3},          // to the final empty line
      {"def f():\n  # c\n  a\n# top\nb", 1, 4},
      {"  def f():\n\tx\n  y", 1, 2},  // a tab is 4 wide
      {"def f():", 5, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto lines = linesOf(c.text);
    EXPECT_EQ(pythonBlockEndLine(lines, c.start), c.end);
    SourceText text(c.text);
    EXPECT_EQ(text.pythonBlockEnd(c.start), c.end);
  }
}

// The tables behind SourceText must answer exactly what the line-by-line rules answer.
TEST(LineMatching, TableBlockEndsAgreeWithTheRulesOnRandomText) {
  std::mt19937 random(7);
  const char alphabet[] = {'{', '}', ' ', '\t', 'x', '#', '\n', '\n'};
  for (int round = 0; round < 40; ++round) {
    std::string content;
    const int size = 50 + round * 40;
    for (int i = 0; i < size; ++i) content += alphabet[random() % sizeof alphabet];
    SourceText text(content);
    const auto& lines = text.lines();
    for (std::int64_t s = 1; s <= static_cast<std::int64_t>(lines.size()); ++s) {
      ASSERT_EQ(text.braceBlockEnd(s), braceBlockEndLine(lines, s)) << "line " << s;
      ASSERT_EQ(text.pythonBlockEnd(s), pythonBlockEndLine(lines, s)) << "line " << s;
    }
  }
}

TEST(LineMatching, SupertypeListsAndRepeats) {
  EXPECT_EQ(splitSupertypes(" A, B<T> ,\n C ,, "), (std::vector<std::string>{"A", "B<T>", "C"}));
  EXPECT_TRUE(splitSupertypes(" , ").empty());
  EXPECT_EQ(withoutRepeats({"a", "b", "a", "c", "b"}), (std::vector<std::string>{"a", "b", "c"}));
}

}  // namespace
}  // namespace nodrel::codeintel::parsers
