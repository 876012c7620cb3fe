// The heuristics that pick a finished session's notable exchanges.
#include "capture/exchanges.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nodrel::capture {
namespace {

using Role = TranscriptMessage::Role;

// Plain prose without any scoring feature, `n` characters long.
std::string prose(std::size_t n) {
  std::string text;
  while (text.size() < n) text += "plain words here ";
  return text.substr(0, n);
}

TEST(StructuralScore, AddsEachBonusOnce) {
  struct Case {
    std::string name;
    std::string text;
    std::int64_t want;
  };
  const std::vector<Case> cases = {
      {"plain prose", prose(500), 0},
      {"two table lines", "| a | b |\n  |---|---|\n", 3},
      {"one table line", "| a | b |\n", 0},
      {"three list lines", "- one\n* two\n1) three\n", 2},
      {"two list lines", "- one\n* two\n", 0},
      {"bullet and numbers", "\u2022 one\n3. two\n\u0663. three\n", 2},
      {"two-digit numbers are not list lines", "- one\n* two\n10. three\n", 0},
      {"two distinct paths", "see docs/guide.md and docs/guide.md, too", 2},
      {"one path twice", "see docs/guide.md and docs/guide.md", 0},
      {"urls and slashes without dots", "https://a.b/c http://x.y/z a/b c/d", 0},
      {"a path across a line break stays one piece", "src/a.cpp\nsrc/b.cpp", 0},
      {"fence", "text\n```\ncode\n```\n" + prose(100), 1},
      {"unclosed fence still earns the fence bonus", "```\n" + prose(300), 1},
      {"decision wording counts once", "The ROOT CAUSE is X; we decided to recommend Y", 2},
      {"all bonuses",
       "| a |\n| b |\n- x\n- y\n- z\nsrc/a.cpp src/b.cpp\n```\nc\n```\nThe fix is " + prose(200),
       10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(structuralScore(c.text), c.want);
  }
}

TEST(IsMostlyCode, CountsOnlyClosedFences) {
  const std::string code(90, 'x');
  EXPECT_TRUE(isMostlyCode("intro\n```\n" + code + "\n" + code + "\n```\n"));
  EXPECT_FALSE(isMostlyCode("```\n" + code + "\n" + code + "\n"));  // never closed
  EXPECT_FALSE(isMostlyCode(prose(100) + "\n```\nshort\n```\n"));
  EXPECT_FALSE(isMostlyCode(""));
}

TEST(ExtractNotableExchanges, PicksTurnsWithAScoredLongAnswer) {
  const std::string decision = " The fix is to pin the version.";
  const std::string answer400 = prose(400 - decision.size()) + decision;
  const std::vector<TranscriptMessage> messages = {
      {Role::Assistant, answer400},         // no question before it
      {Role::User, std::string(400, 'q')},  // kept whole
      {Role::Assistant, "Let me look."},
      {Role::Assistant, prose(399 - decision.size()) + decision},  // too short by one
      {Role::Assistant, "| a |\n| b |\n" + answer400},             // score 5
      {Role::Assistant, "Done."},
      {Role::User, "and this?"},
      {Role::Assistant, prose(800)},                                              // no score
      {Role::Assistant, "```\n" + std::string(900, 'c') + "\n```\n" + decision},  // mostly code
      {Role::User, "r"},
      {Role::Assistant, answer400 + "!"},  // score 2, longer
      {Role::Assistant, answer400},        // the same turn again
  };
  const auto exchanges = extractNotableExchanges(messages);
  ASSERT_EQ(exchanges.size(), 3u);
  EXPECT_EQ(exchanges[0].structuralScore, 5);
  // The turn's whole reply, preamble and closing line included.
  EXPECT_EQ(exchanges[0].body, "Q: " + std::string(400, 'q') + "\n\nA: Let me look.\n\n" +
                                   prose(399 - decision.size()) + decision + "\n\n| a |\n| b |\n" +
                                   answer400 + "\n\nDone.");
  EXPECT_EQ(exchanges[1].body, "Q: r\n\nA: " + answer400 + "!\n\n" + answer400);
  EXPECT_EQ(exchanges[2].body, "Q: (session start)\n\nA: " + answer400);
}

TEST(ExtractNotableExchanges, KeepsTheEightBestInAStableOrder) {
  std::vector<TranscriptMessage> messages;
  // Ten turns: scores 2 or 4, lengths vary; equal keys keep transcript order.
  for (int i = 0; i < 10; ++i) {
    std::string text = prose(400 + (i % 3) * 10) + " The fix is " + std::to_string(i);
    if (i % 2 == 0) text += "\n- a\n- b\n- c";
    messages.push_back({Role::User, "q" + std::to_string(i)});
    messages.push_back({Role::Assistant, text});
  }
  const auto exchanges = extractNotableExchanges(messages);
  ASSERT_EQ(exchanges.size(), 8u);
  std::vector<std::string> order;
  for (const auto& e : exchanges) order.push_back(e.body.substr(e.body.find("fix is ") + 7, 1));
  // Score 4: 2 and 8 (longest, in order), 4, then 0 and 6; score 2: 5, then 1 and 7 (3 and 9
  // are left out).
  EXPECT_EQ(order, (std::vector<std::string>{"2", "8", "4", "0", "6", "5", "1", "7"}));
}

}  // namespace
}  // namespace nodrel::capture
