// Which exchange a remember marker anchors to, and the memory body built from it.
#include "capture/marker_placement.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nodrel::capture {
namespace {

using Role = TranscriptMessage::Role;

platform::Instant at(int minute) { return platform::Instant(std::chrono::minutes(minute)); }

std::string bodyFor(std::optional<platform::Instant> createdAt,
                    const std::vector<TranscriptMessage>& messages,
                    const std::optional<std::string>& note = std::nullopt) {
  return markerMemoryBody(markerExchange(createdAt, messages), note);
}

TEST(MarkerExchange, AnchorsToTheLastUserMessageAtOrBeforeTheMarker) {
  const std::vector<TranscriptMessage> messages = {{Role::User, "q1", at(1)},
                                                   {Role::Assistant, "a1", at(2)},
                                                   {Role::Assistant, "a1b", at(3)},
                                                   {Role::User, "q2 (no time)"},
                                                   {Role::Assistant, "a2"},
                                                   {Role::User, "q3", at(10)},
                                                   {Role::User, "run remember-mark", at(11)}};
  EXPECT_EQ(bodyFor(at(5), messages), "Q: q1\n\nA: a1\n\na1b");
  EXPECT_EQ(bodyFor(at(1), messages), "Q: q1\n\nA: a1\n\na1b");  // inclusive
  EXPECT_EQ(bodyFor(at(20), messages), "Q: q3");                 // remember turn passed over
  // Before every timestamped user message: the last exchange decides.
  EXPECT_EQ(bodyFor(at(0), messages), "Q: q3");
  EXPECT_EQ(bodyFor(std::nullopt, messages), "Q: q3");
  EXPECT_EQ(bodyFor(std::nullopt, {}), "");
  EXPECT_EQ(bodyFor(std::nullopt, {{Role::User, "remember-mark"}}), "");
  // Without any timestamps the untimed user message can still be chosen.
  EXPECT_EQ(bodyFor(at(5), {{Role::User, "q"}, {Role::Assistant, "a"}}, "n"), "Q: [n] q\n\nA: a");
}

// The exchange the user marked: the remember command and its expansion are not it, and the
// command ends the answer; a second Stop hook's feedback belongs to the turn it came in.
TEST(MarkerExchange, AnchorsOnlyToWhatTheUserTyped) {
  const auto host = [](std::string text, int minute) {
    return TranscriptMessage{Role::User, std::move(text), at(minute), true};
  };
  const std::vector<TranscriptMessage> messages = {
      {Role::User, "Use blue-green, not rolling.", at(1)},
      {Role::Assistant, "Understood.", at(2)},
      host("Stop hook feedback:\n[lint]: run the linter", 3),
      {Role::Assistant, "The linter passes.", at(4)},
      {Role::User, "/remember deploys", at(5)},
      host("Run nodrel remember-mark --cwd /p", 5),
      {Role::Assistant, "Saving a marker.", at(6)}};
  const std::string answer = "\n\nA: Understood.\n\nThe linter passes.";
  EXPECT_EQ(bodyFor(at(6), messages, "deploys"),
            "Q: [deploys] Use blue-green, not rolling." + answer);
  EXPECT_EQ(bodyFor(std::nullopt, messages), "Q: Use blue-green, not rolling." + answer);
  // Nothing typed: the note alone, or nothing without one.
  EXPECT_EQ(bodyFor(at(6), {messages[2], messages[3]}, "n"), "Q: [n] ");
  EXPECT_EQ(bodyFor(at(6), {messages[2], messages[3]}), "");
}

TEST(MarkerMemoryBody, JoinsEachSideAndAddsTheNote) {
  using Window = std::vector<TranscriptMessage>;
  struct Case {
    Window window;
    std::optional<std::string> note;
    std::string want;
  };
  const Case cases[] = {
      {{{Role::User, "u"}, {Role::Assistant, "a"}}, "note", "Q: [note] u\n\nA: a"},
      {{{Role::User, "u"}, {Role::Assistant, "a"}}, "", "Q: u\n\nA: a"},
      {{{Role::User, "u"}}, std::nullopt, "Q: u"},
      {{{Role::Assistant, "a"}, {Role::Assistant, "b"}}, std::nullopt, "A: a\n\nb"},
      {{}, std::nullopt, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(markerMemoryBody(c.window, c.note), c.want);
  }
}

TEST(ParseMarkerDate, AcceptsBothForms) {
  EXPECT_EQ(parseMarkerDate("1970-01-01T00:05:00Z"), at(5));
  EXPECT_EQ(parseMarkerDate("1970-01-01T00:05:00.000+0000"), at(5));
  EXPECT_EQ(parseMarkerDate("1970-01-01"), std::nullopt);
}

}  // namespace
}  // namespace nodrel::capture
