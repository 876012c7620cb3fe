// One turn as a memory body: the reply spread over many lines, kept whole or by its end.
#include "capture/exchange_assembly.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/captured_body.h"
#include "platform/text.h"

namespace nodrel::capture {
namespace {

using Role = TranscriptMessage::Role;

TranscriptMessage host(std::string text, bool opens) {
  return {Role::User, std::move(text), std::nullopt, true, opens};
}

TEST(TurnExchangeBody, JoinsTheTurnsTextsUpToTheNextTurn) {
  const std::vector<TranscriptMessage> messages = {
      {Role::Assistant, "left over"},
      {Role::User, "No, never use wildcard imports."},
      {Role::Assistant, "Let me check."},
      host("Stop hook feedback: run the linter", false),
      {Role::Assistant, "Replaced the import; the linter passes."},
      host("<task-notification>done</task-notification>", true),
      {Role::Assistant, "The background run passed."},
      {Role::User, "thanks"},
  };
  const std::string correction =
      "Q: No, never use wildcard imports.\n\nA: Let me check.\n\nReplaced the import; the linter "
      "passes.";
  // Every message of the turn gives the same body; the host's own turn is not the user's.
  for (std::size_t i : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(i);
    EXPECT_EQ(turnExchangeBody(i, messages), correction);
  }
  EXPECT_EQ(turnExchangeBody(6, messages), "Q: (session start)\n\nA: The background run passed.");
  EXPECT_EQ(turnExchangeBody(0, messages), "Q: (session start)\n\nA: left over");
  EXPECT_EQ(turnExchangeBody(7, messages), "Q: thanks\n\nA: (no assistant response)");
}

TEST(AssembleReply, KeepsTheLastTextsWhenTheWholeDoesNotFit) {
  const std::string preamble = "Before I reconstruct anything, let me check.";
  const std::string middle(60, 'm');
  const std::string summary = "Done: the fix is in place.";
  const std::vector<std::string_view> texts = {preamble, middle, summary};
  struct Case {
    std::size_t characters;
    std::string want;
  };
  const Case cases[] = {
      {1000, preamble + "\n\n" + middle + "\n\n" + summary},
      {91, "\u2026\n\n" + middle + "\n\n" + summary},
      {40, "\u2026\n\n" + summary},
      // The last text alone is too long: it is cut, never dropped.
      {10, "Done: the\u2026"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.characters);
    const std::string reply = assembleReply(texts, c.characters);
    EXPECT_EQ(reply, c.want);
    EXPECT_LE(platform::graphemeCount(reply), c.characters);
  }
}

TEST(ExchangeBody, AReplyOverTheLimitKeepsItsSummary) {
  const std::string summary = "Summary: renamed the module and updated every import.";
  const std::vector<std::string> texts = {std::string(3000, 'a'), std::string(3000, 'b'), summary};
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  const std::string body = exchangeBody("Rename the module", views);
  EXPECT_EQ(platform::graphemeCount(body) <= kMaxCapturedBodyCharacters, true);
  EXPECT_TRUE(body.starts_with("Q: Rename the module\n\nA: \u2026\n\n")) << body.substr(0, 40);
  EXPECT_TRUE(body.ends_with("\n\n" + summary));
}

}  // namespace
}  // namespace nodrel::capture
