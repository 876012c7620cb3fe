// capture/transcript.h: the conversation inside a session transcript (JSON Lines written by the
// assistant host): the user's and the assistant's text messages in order, each with its time
// when the line gives one. Everything else on the lines is ignored.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/time.h"

namespace nodrel::capture {

struct TranscriptMessage {
  enum class Role { User, Assistant };

  Role role = Role::User;
  std::string text;  // trimmed at both ends, never empty
  std::optional<platform::Instant> timestamp = std::nullopt;
  // A user-role line that the host wrote, not the user: a command's expansion or output, a
  // compaction summary, hook feedback, a background task's notice. It is never a question. A
  // slash command is what the user typed: its text is "/name args" and it is not host-written.
  bool hostWritten = false;
  // A host-written line after which the assistant answers the host, not the question before:
  // a background task's notice, an interruption, a command's or bash mode's output. It ends the
  // turn before it. Lines the host writes inside a turn (hook feedback, reminders, a command's
  // expansion, a compaction summary) do not.
  bool opensTurn = false;

  friend bool operator==(const TranscriptMessage&, const TranscriptMessage&) = default;
};

std::string_view roleRawValue(TranscriptMessage::Role role);
// Only "user" and "assistant", exactly.
std::optional<TranscriptMessage::Role> roleFromRawValue(std::string_view raw);

// The messages of a transcript, in line order. Never fails: a line that is not a JSON object
// with a user or assistant message carrying text (including a line that is not valid UTF-8, and
// a line over kMaxTranscriptLineBytes) is skipped on its own, so one bad line costs nothing
// beyond itself. Sub-agent lines ("isSidechain": true) are not the conversation and are
// dropped; user lines the host wrote are kept marked `hostWritten`.
std::vector<TranscriptMessage> parseTranscript(std::string_view text);

inline constexpr std::size_t kMaxTranscriptLineBytes = std::size_t{64} << 20;

// Part of a transcript read from some offset on: its messages, the byte offset just past the
// line of each (relative to the text given), and how far the text was taken. A last line without
// its line break is taken only when it is already a whole JSON object; otherwise it may still
// be being written, and `end` stops before it so that a later read starts there.
struct TranscriptPiece {
  std::vector<TranscriptMessage> messages;
  std::vector<std::size_t> lineEnds;
  std::size_t end = 0;
  // The time span of the main thread's lines taken, tool calls and results included.
  std::optional<platform::Instant> earliest;
  std::optional<platform::Instant> latest;
  // The main thread's last tool call or result comes after its last message: the turn there is
  // still at work, and its answer is not written yet.
  bool endsInToolWork = false;
};
TranscriptPiece parseTranscriptPiece(std::string_view text);

// The trimmed text of a `message` object's `content` (a text, or an array of objects whose
// "text" parts are joined by a blank line), or nothing.
std::optional<std::string> transcriptMessageText(const nlohmann::json& message);
std::optional<std::string> transcriptPartText(const nlohmann::json& part);
// The line's own `timestamp`, or nothing.
std::optional<platform::Instant> parseTranscriptTimestamp(const nlohmann::json& line);

// "yyyy-MM-dd'T'HH:mm:ss.SSSZ" (numeric zone, or a literal Z), then "yyyy-MM-dd'T'HH:mm:ss'Z'";
// nothing for any other text. Marker dates are read the same way.
std::optional<platform::Instant> parseTranscriptDate(std::string_view text);

// The transcript file's messages (at most its first platform::kReadFileLimit bytes); empty when
// the path is not a readable regular file (a FIFO or device would block or never end).
std::vector<TranscriptMessage> readTranscriptFile(const std::filesystem::path& path);

// Pieces of the text between line breaks (LF, CR, VT, FF, and when `unicodeBreaks` also U+0085,
// U+2028, U+2029); empty pieces are dropped.
std::vector<std::string_view> splitLines(std::string_view text, bool unicodeBreaks = true);

// Reads a regular file whole; nothing when the path is anything else or cannot be read.
std::optional<std::string> readRegularFile(const std::filesystem::path& path);

}  // namespace nodrel::capture
