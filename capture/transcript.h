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

  friend bool operator==(const TranscriptMessage&, const TranscriptMessage&) = default;
};

std::string_view roleRawValue(TranscriptMessage::Role role);
// Only "user" and "assistant", exactly.
std::optional<TranscriptMessage::Role> roleFromRawValue(std::string_view raw);

// The messages of a transcript, in line order. Never fails: a line that is not a JSON object
// with a user or assistant message carrying text (including a line that is not valid UTF-8) is
// skipped on its own, so one bad line costs nothing beyond itself.
std::vector<TranscriptMessage> parseTranscript(std::string_view text);

// The trimmed text of a `message` object's `content` (a text, or an array of objects whose
// "text" parts are joined by a blank line), or nothing.
std::optional<std::string> transcriptMessageText(const nlohmann::json& message);
std::optional<std::string> transcriptPartText(const nlohmann::json& part);
// The line's own `timestamp`, or nothing.
std::optional<platform::Instant> parseTranscriptTimestamp(const nlohmann::json& line);

// "yyyy-MM-dd'T'HH:mm:ss.SSSZ" (numeric zone, or a literal Z), then "yyyy-MM-dd'T'HH:mm:ss'Z'";
// nothing for any other text. Marker dates are read the same way.
std::optional<platform::Instant> parseTranscriptDate(std::string_view text);

// The transcript file's messages; empty when the path is not a readable regular file (a FIFO or
// device would block or never end).
std::vector<TranscriptMessage> readTranscriptFile(const std::filesystem::path& path);

// Pieces of the text between line breaks (LF, CR, VT, FF, and when `unicodeBreaks` also U+0085,
// U+2028, U+2029); empty pieces are dropped.
std::vector<std::string_view> splitLines(std::string_view text, bool unicodeBreaks = true);

// Reads a regular file whole; nothing when the path is anything else or cannot be read.
std::optional<std::string> readRegularFile(const std::filesystem::path& path);

}  // namespace nodrel::capture
