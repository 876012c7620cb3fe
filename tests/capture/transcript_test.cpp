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
      {"other line types",
       transcriptLine("system", "s") + transcriptLine("summary", "s") + transcriptLine("User", "s"),
       ""},
      {"text parts only",
       transcriptLine("assistant", json::array({{{"type", "text"}, {"text", "a"}},
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
      {"message is a text",
       R"({"type":"user","message":"hello"})"
       "\n",
       ""},
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

// Only what the user typed is a question: the host also writes user lines of its own, and older
// hosts write a sub-agent's turns inline.
TEST(ParseTranscript, MarksWhatTheHostWroteAndDropsSubAgentTurns) {
  auto line = [](const std::string& type, const json& content, const json& flags) {
    json object = {{"type", type}, {"message", {{"role", type}, {"content", content}}}};
    object.update(flags);
    return object.dump() + "\n";
  };
  struct Case {
    std::string name;
    std::string text;
    std::string want;  // role:text|, with host lines as host:text|
  };
  const json none = json::object();
  const std::vector<Case> cases = {
      {"typed text", line("user", "fix it", {{"isSidechain", false}, {"isMeta", false}}),
       "user:fix it|"},
      {"sub-agent prompt and answer",
       line("user", "search logs", {{"isSidechain", true}}) +
           line("assistant", "found", {{"isSidechain", true}}),
       ""},
      {"meta expansion", line("user", "Base directory for this skill: /s", {{"isMeta", true}}),
       "host:Base directory for this skill: /s|"},
      {"compaction summary",
       line("user", "This session is being continued", {{"isCompactSummary", true}}),
       "host:This session is being continued|"},
      {"command wrapper", line("user", "<command-message>x is running…</command-message>", none),
       "host:<command-message>x is running…</command-message>|"},
      {"command name first: the command is what was typed",
       line("user", "<command-name>/cost</command-name>", none), "user:/cost|"},
      {"a command with arguments",
       line("user",
            "<command-message>orchestrator is running…</command-message>\n<command-name>/"
            "orchestrator</command-name>\n<command-args>create TODO app by Next.js</command-args>",
            none),
       "user:/orchestrator create TODO app by Next.js|"},
      {"a finished background task and bash mode's output",
       line("user", "<task-notification>\n<status>completed</status>\n</task-notification>", none) +
           line("user", "<bash-stdout>ok</bash-stdout><bash-stderr></bash-stderr>", none) +
           line("user", "<system-reminder>file opened</system-reminder>", none),
       "host:<task-notification>\n<status>completed</status>\n</task-notification>|host:<bash-"
       "stdout>ok</bash-stdout><bash-stderr></bash-stderr>|host:<system-reminder>file "
       "opened</system-reminder>|"},
      {"command args", line("user", "<command-args>a</command-args>", none),
       "host:<command-args>a</command-args>|"},
      {"local command output",
       line("user", "<local-command-stdout>ok</local-command-stdout>", none) +
           line("user", "<local-command-stderr>no</local-command-stderr>", none) +
           line("user", "<local-command-caveat>Caveat</local-command-caveat>", none),
       "host:<local-command-stdout>ok</local-command-stdout>|host:<local-command-stderr>no</"
       "local-command-stderr>|host:<local-command-caveat>Caveat</local-command-caveat>|"},
      {"hook feedback in a text part",
       line("user", json::array({{{"type", "text"}, {"text", "Stop hook feedback:\n[lint]: run"}}}),
            none),
       "host:Stop hook feedback:\n[lint]: run|"},
      {"a tool hook's feedback and blocking error",
       line("user", "PreToolUse:Bash hook feedback:\nno", none) +
           line("user", "Stop hook blocking error from command: x", none),
       "host:PreToolUse:Bash hook feedback:\nno|host:Stop hook blocking error from command: x|"},
      {"interruption note", line("user", "[Request interrupted by user for tool use]", none),
       "host:[Request interrupted by user for tool use]|"},
      {"markup or hook words inside typed text",
       line("user", "why does <command-name> show up?", none) +
           line("user", "the Stop hook feedback: is noisy", none) +
           line("user", "Pre-commit hook feedback: it fails", none),
       "user:why does <command-name> show up?|user:the Stop hook feedback: is noisy|"
       "user:Pre-commit hook feedback: it fails|"},
      {"assistant text keeps working", line("assistant", "<command-name>x", {{"isMeta", true}}),
       "assistant:<command-name>x|"},
      {"a flag that is not a boolean", line("user", "typed", {{"isMeta", "true"}}), "user:typed|"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string got;
    for (const auto& m : parseTranscript(c.text)) {
      got += (m.hostWritten ? std::string("host") : std::string(roleRawValue(m.role))) + ":" +
             m.text + "|";
    }
    EXPECT_EQ(got, c.want);
  }
}

// The Stop hook reads on from where it stopped: every offset is just past a whole line, and a
// last line the host has not finished yet is left for the next read.
TEST(ParseTranscriptPiece, StopsBeforeAnUnfinishedLastLine) {
  const std::string first = transcriptLine("user", "q");
  const std::string tool = R"({"type":"user","message":{"content":[{"type":"tool_result"}]}})"
                           "\n";
  const std::string second = transcriptLine("assistant", "a");
  const std::string whole = first + tool + second;

  auto piece = parseTranscriptPiece(whole);
  ASSERT_EQ(piece.messages.size(), 2u);
  EXPECT_EQ(piece.lineEnds, (std::vector<std::size_t>{first.size(), whole.size()}));
  EXPECT_EQ(piece.end, whole.size());

  // Half of the last line written: taken up to it, and taken whole once it is finished.
  const std::string half = second.substr(0, second.size() / 2);
  piece = parseTranscriptPiece(first + tool + half);
  EXPECT_EQ(piece.messages.size(), 1u);
  EXPECT_EQ(piece.end, first.size() + tool.size());
  // A whole object without its line break yet counts; so does a CR LF end.
  const std::string unterminated = second.substr(0, second.size() - 1);
  piece = parseTranscriptPiece(first + unterminated);
  EXPECT_EQ(piece.messages.size(), 2u);
  EXPECT_EQ(piece.end, first.size() + unterminated.size());
  piece = parseTranscriptPiece(unterminated + "\r\n");
  EXPECT_EQ(piece.end, unterminated.size() + 2);
}

TEST(ParseTranscript, SkipsALineOverTheLineBound) {
  std::string huge = transcriptLine("user", "x");
  huge.insert(huge.size() - 3, kMaxTranscriptLineBytes, 'x');
  const auto messages = parseTranscript(huge + transcriptLine("user", "after"));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, "after");
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
