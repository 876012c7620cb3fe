// Transcript reading: which lines become messages, with what text and time.
#include "capture/transcript.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/capture/transcript_line.h"
#include "tests/support/temp_home.h"

namespace nodrel::capture {
namespace {

using nlohmann::json;
using Role = TranscriptMessage::Role;
using testing::transcriptLine;

std::string textOf(const std::vector<TranscriptMessage>& messages) {
  std::string joined;
  for (const auto& m : messages) joined += std::string(roleRawValue(m.role)) + ":" + m.text + "|";
  return joined;
}

std::string crlf(std::string line) {
  line.back() = '\r';
  return line + "\n";
}

TEST(ParseTranscript, KeepsOnlyUserAndAssistantText) {
  const json toolUse = {{"type", "tool_use"}, {"id", "t1"}, {"name", "Bash"}};
  const json toolResult = {{"type", "tool_result"}, {"content", "exit 0"}};
  struct Case {
    std::string name;
    std::string text;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"empty", "", ""},
      {"blank lines", "\n\n\r\n\n", ""},
      {"content text is trimmed", transcriptLine("user", "  hello  "), "user:hello|"},
      {"other line types", transcriptLine("system", "s") + transcriptLine("summary", "s") +
                               transcriptLine("User", "s"),
       ""},
      {"text parts only", transcriptLine("assistant", json::array({{{"type", "text"}, {"text", "a"}},
                                                                   toolUse,
                                                                   {{"type", "text"}, {"text", "  "}}})),
       "assistant:a|"},
      {"parts joined by a blank line",
       transcriptLine("assistant", json::array({{{"type", "text"}, {"text", "a"}},
                                                {{"type", "text"}, {"text", "b"}}})),
       "assistant:a\n\nb|"},
      {"a bare string among parts skips the line",
       transcriptLine("user", json::array({"x", {{"type", "text"}, {"text", "a"}}})), ""},
      {"tool results only", transcriptLine("user", json::array({toolResult})), ""},
      {"message is a text", R"({"type":"user","message":"hello"})" "\n", ""},
      {"part type is case-sensitive",
       transcriptLine("user", json::array({{{"type", "Text"}, {"text", "a"}}})), ""},
      {"not an object, empty object, broken JSON", "[1]\n{}\n{\"type\":\"user\"\nnull\n", ""},
      {"CRLF line ends", crlf(transcriptLine("user", "q")) + crlf(transcriptLine("assistant", "a")),
       "user:q|assistant:a|"},
      {"order kept, nothing merged",
       transcriptLine("user", "q") + transcriptLine("user", "q") + transcriptLine("assistant", "a"),
       "user:q|user:q|assistant:a|"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(textOf(parseTranscript(c.text)), c.want);
  }
}

TEST(ParseTranscript, ReadsTheLineTimestampInEitherForm) {
  using namespace std::chrono;
  const auto at = [](int h, int m, int s, int ms) {
    return platform::Instant(sys_days(year(2025) / March / 1).time_since_epoch()) + hours(h) +
           minutes(m) + seconds(s) + milliseconds(ms);
  };
  struct Case {
    std::string timestamp;
    std::optional<platform::Instant> want;
  };
  const Case cases[] = {
      {"2025-03-01T10:20:30Z", at(10, 20, 30, 0)},
      {"2025-03-01T10:20:30.123Z", at(10, 20, 30, 123)},
      {"2025-03-01T10:20:30.123+0000", at(10, 20, 30, 123)},
      {"2025-03-01T12:20:30.123+0200", at(10, 20, 30, 123)},
      {"2025-03-01 10:20:30", std::nullopt},
      {"2025-03-01T10:20:30", std::nullopt},
      {"yesterday", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timestamp);
    auto messages = parseTranscript(transcriptLine("user", "q", c.timestamp));
    ASSERT_EQ(messages.size(), 1u);  // a bad time never costs the message
    EXPECT_EQ(messages[0].timestamp, c.want);
  }
  // Only the line's own key counts, not one inside the message.
  auto inner = parseTranscript(
      R"({"type":"user","message":{"content":"q","timestamp":"2025-03-01T10:20:30Z"}})");
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(inner[0].timestamp, std::nullopt);
}

// One bad line must cost only itself: the host's transcripts can hold invalid UTF-8, raw line
// separators inside strings, and very large or deeply nested lines.
TEST(ParseTranscript, ABadLineCostsOnlyItself) {
  const std::string separatorText = "first\u2028second\u2029third\u0085end";
  std::string text = transcriptLine("user", "before");
  text += "{\"type\":\"user\",\"message\":{\"content\":\"bad \xff\xfe bytes\"}}\n";
  text += transcriptLine("assistant", separatorText);
  text += std::string(200000, '[') + "\n";
  text += transcriptLine("assistant", std::string(3'000'000, 'x'));
  text += transcriptLine("user", "after");
  const auto messages = parseTranscript(text);
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0].text, "before");
  EXPECT_EQ(messages[1].text, separatorText);
  EXPECT_EQ(messages[2].text.size(), 3'000'000u);
  EXPECT_EQ(messages[3].text, "after");
}

TEST(ReadTranscriptFile, ReadsTheFixtureAndRefusesWhatIsNotAFile) {
  const auto messages = readTranscriptFile(testing::fixturePath("capture/session.jsonl"));
  ASSERT_EQ(messages.size(), 4u);
  EXPECT_EQ(messages[0].role, Role::User);
  EXPECT_EQ(messages[0].text, "Why does the build fail on CI?");
  EXPECT_TRUE(messages[0].timestamp.has_value());
  EXPECT_EQ(messages[1].role, Role::Assistant);
  EXPECT_EQ(messages[3].text, "Thanks, that fixed it.");

  EXPECT_TRUE(readTranscriptFile("/nonexistent/transcript.jsonl").empty());
  EXPECT_TRUE(readTranscriptFile("/dev/zero").empty());  // would never end
  EXPECT_TRUE(readTranscriptFile(testing::fixturePath("capture")).empty());
}

TEST(SplitLines, BreaksAtEveryNewlineCharacterAndDropsEmptyPieces) {
  const std::string text = "a\nb\r\nc\vd\fe\u0085f\u2028g\u2029h";
  std::vector<std::string_view> want = {"a", "b", "c", "d", "e", "f", "g", "h"};
  EXPECT_EQ(splitLines(text), want);
  std::vector<std::string_view> ascii = {"a", "b", "c", "d", "e\u0085f\u2028g\u2029h"};
  EXPECT_EQ(splitLines(text, /*unicodeBreaks=*/false), ascii);
}

TEST(TranscriptRole, RawValuesAreExact) {
  EXPECT_EQ(roleFromRawValue("user"), Role::User);
  EXPECT_EQ(roleFromRawValue("assistant"), Role::Assistant);
  EXPECT_EQ(roleFromRawValue("Assistant"), std::nullopt);
  EXPECT_EQ(roleRawValue(Role::Assistant), "assistant");
}

}  // namespace
}  // namespace nodrel::capture
