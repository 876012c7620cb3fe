// Salience signals: which messages are worth remembering, and the exchange around each.
#include "capture/salience.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nodrel::capture {
namespace {

using Kind = SalienceSignal::Kind;
using Role = TranscriptMessage::Role;

TranscriptMessage user(std::string text) { return {Role::User, std::move(text)}; }
TranscriptMessage assistant(std::string text) { return {Role::Assistant, std::move(text)}; }

TEST(DetectSalienceSignals, OneSignalPerMessageFromTheFirstListThatMatches) {
  struct Case {
    TranscriptMessage message;
    std::optional<Kind> want;
  };
  const std::vector<Case> cases = {
      {user("No, always use tabs"), Kind::CorrectionUser},       // lists 1 and 2: list 1 wins
      {user("I play the piano, mostly"), Kind::CorrectionUser},  // no word boundaries
      {user("YOU'RE WRONG about that"), Kind::CorrectionUser},
      {user("you\u2019re wrong"), std::nullopt},  // typographic apostrophe
      {user("please remember that the API is v2"), Kind::SaveIntentUser},
      {user("we should do this always"), std::nullopt},  // "always " needs its blank
      {user("Incorrect."), Kind::CorrectionUser},
      {assistant("You're right, my mistake. I'll remember that."), Kind::SelfCorrectionAssistant},
      {assistant("Good point; I'll keep that in mind."), Kind::SaveIntentAssistant},
      {assistant("no, that's wrong"), std::nullopt},  // user lists do not apply
      {user("good catch"), std::nullopt},             // nor assistant lists to the user
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message.text);
    const TranscriptMessage messages[] = {c.message};
    auto signals = detectSalienceSignals(messages);
    if (!c.want) {
      EXPECT_TRUE(signals.empty());
      continue;
    }
    ASSERT_EQ(signals.size(), 1u);
    EXPECT_EQ(signals[0].kind, *c.want);
    const int weights[] = {8, 6, 4, 3};
    EXPECT_EQ(signals[0].weight, weights[static_cast<int>(*c.want)]);
  }
}

TEST(DetectSalienceSignals, FollowsMessageOrderNotWeight) {
  const std::vector<TranscriptMessage> messages = {assistant("good catch"), user("hello"),
                                                   user("from now on use pnpm"), user("no, stop")};
  const std::vector<SalienceSignal> want = {{Kind::SelfCorrectionAssistant, 0, 4},
                                            {Kind::SaveIntentUser, 2, 6},
                                            {Kind::CorrectionUser, 3, 8}};
  EXPECT_EQ(detectSalienceSignals(messages), want);
  EXPECT_TRUE(detectSalienceSignals({}).empty());
}

TEST(ExchangeText, BuildsTheQuestionAndAnswerAroundOneMessage) {
  const std::vector<TranscriptMessage> messages = {
      assistant("welcome"), user("q1"), assistant("a1"), assistant("a1b"), user("q2"), user("q3")};
  struct Case {
    std::ptrdiff_t index;
    std::string want;
  };
  const Case cases[] = {
      {0, "Q: (session start)\n\nA: welcome"},
      // The whole turn, whichever of its messages is salient.
      {1, "Q: q1\n\nA: a1\n\na1b"},
      {2, "Q: q1\n\nA: a1\n\na1b"},
      {3, "Q: q1\n\nA: a1\n\na1b"},
      {4, "Q: q2\n\nA: (no assistant response)"},
      {5, "Q: q3\n\nA: (no assistant response)"},
      {6, "(empty)"},
      {-1, "(empty)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    EXPECT_EQ(exchangeText(c.index, messages), c.want);
  }
}

// What the host wrote in the user's place is neither a signal nor a question; hook feedback
// belongs to the turn it came in, a background task's notice begins the host's own turn.
TEST(ExchangeText, PassesOverWhatTheHostWrote) {
  const TranscriptMessage feedback{Role::User, "Stop hook feedback: never stop", std::nullopt,
                                   true};
  const TranscriptMessage summary{
      Role::User, "<task-notification>never mind</task-notification>", {}, true, true};
  const std::vector<TranscriptMessage> messages = {user("No, use pnpm"), feedback,
                                                   assistant("Good catch, switched."), summary,
                                                   assistant("I'll remember that.")};
  const std::vector<SalienceSignal> want = {{Kind::CorrectionUser, 0, 8},
                                            {Kind::SelfCorrectionAssistant, 2, 4},
                                            {Kind::SaveIntentAssistant, 4, 3}};
  EXPECT_EQ(detectSalienceSignals(messages), want);
  EXPECT_EQ(exchangeText(0, messages), "Q: No, use pnpm\n\nA: Good catch, switched.");
  EXPECT_EQ(exchangeText(2, messages), "Q: No, use pnpm\n\nA: Good catch, switched.");
  EXPECT_EQ(exchangeText(4, messages), "Q: (session start)\n\nA: I'll remember that.");
  const std::vector<TranscriptMessage> onlyHost = {summary, assistant("Continuing.")};
  EXPECT_EQ(precedingUserMessage(1, onlyHost), std::nullopt);
}

TEST(ExchangeText, IsHeldToTheBodyLimit) {
  const std::vector<TranscriptMessage> messages = {user(std::string(4000, 'q')),
                                                   assistant(std::string(100000, 'a'))};
  EXPECT_EQ(exchangeText(1, messages),
            "Q: " + std::string(2495, 'q') + "\u2026\n\nA: " + std::string(2495, 'a') + "\u2026");
}

TEST(SalienceKind, RawValuesAreExact) {
  EXPECT_EQ(kindFromRawValue("saveIntentAssistant"), Kind::SaveIntentAssistant);
  EXPECT_EQ(kindFromRawValue("CorrectionUser"), std::nullopt);
  EXPECT_EQ(kindRawValue(Kind::SelfCorrectionAssistant), "selfCorrectionAssistant");
}

}  // namespace
}  // namespace nodrel::capture
