#include "capture/transcript.h"

#include <system_error>

#include "capture/host_text.h"
#include "platform/files.h"
#include "platform/text.h"

namespace nodrel::capture {
namespace {

using nlohmann::json;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "+HHMM" or "-HHMM" as signed minutes east of GMT.
std::optional<int> zoneOffsetMinutes(std::string_view zone) {
  if (zone.size() != 5 || (zone[0] != '+' && zone[0] != '-')) return std::nullopt;
  for (std::size_t i = 1; i < 5; ++i) {
    if (!isDigit(zone[i])) return std::nullopt;
  }
  const int hours = (zone[1] - '0') * 10 + (zone[2] - '0');
  const int minutes = (zone[3] - '0') * 10 + (zone[4] - '0');
  if (hours > 23 || minutes > 59) return std::nullopt;
  const int total = hours * 60 + minutes;
  return zone[0] == '-' ? -total : total;
}

bool isLineBreak(char c) { return c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

bool isTrue(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace

std::string_view roleRawValue(TranscriptMessage::Role role) {
  return role == TranscriptMessage::Role::User ? "user" : "assistant";
}

std::optional<TranscriptMessage::Role> roleFromRawValue(std::string_view raw) {
  if (raw == "user") return TranscriptMessage::Role::User;
  if (raw == "assistant") return TranscriptMessage::Role::Assistant;
  return std::nullopt;
}

std::vector<std::string_view> splitLines(std::string_view text, bool unicodeBreaks) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  auto cut = [&](std::size_t end, std::size_t breakLength) {
    if (end > start) lines.push_back(text.substr(start, end - start));
    i = end + breakLength;
    start = i;
  };
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || c == '\r' || c == '\v' || c == '\f') {
      cut(i, 1);
    } else if (unicodeBreaks && c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) == 0x85) {
      cut(i, 2);
    } else if (unicodeBreaks && c == 0xE2 && i + 2 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      cut(i, 3);
    } else {
      ++i;
    }
  }
  if (text.size() > start) lines.push_back(text.substr(start));
  return lines;
}

std::optional<platform::Instant> parseTranscriptDate(std::string_view text) {
  const auto& formatter = platform::sharedTimestampFormatter();
  constexpr std::size_t kMillisBody = 23;   // yyyy-MM-ddTHH:mm:ss.SSS
  constexpr std::size_t kSecondsBody = 19;  // yyyy-MM-ddTHH:mm:ss
  if (text.size() == kMillisBody + 1 && text.back() == 'Z') return formatter.parse(text);
  if (text.size() == kMillisBody + 5) {
    const auto offset = zoneOffsetMinutes(text.substr(kMillisBody));
    if (!offset) return std::nullopt;
    auto local = formatter.parse(std::string(text.substr(0, kMillisBody)) + "+0000");
    if (!local) return std::nullopt;
    return *local - std::chrono::minutes(*offset);
  }
  if (text.size() == kSecondsBody + 1 && text.back() == 'Z') {
    return formatter.parse(std::string(text.substr(0, kSecondsBody)) + ".000+0000");
  }
  return std::nullopt;
}

std::optional<std::string> transcriptPartText(const json& part) {
  if (!part.is_object()) return std::nullopt;
  auto type = part.find("type");
  auto text = part.find("text");
  if (type == part.end() || text == part.end()) return std::nullopt;
  if (!type->is_string() || type->get_ref<const std::string&>() != "text") return std::nullopt;
  if (!text->is_string()) return std::nullopt;
  std::string trimmed = platform::trimWhitespace(text->get_ref<const std::string&>());
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

std::optional<std::string> transcriptMessageText(const json& message) {
  if (!message.is_object()) return std::nullopt;
  auto content = message.find("content");
  if (content == message.end()) return std::nullopt;
  if (content->is_string()) {
    std::string trimmed = platform::trimWhitespace(content->get_ref<const std::string&>());
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
  }
  if (!content->is_array()) return std::nullopt;
  std::string joined;
  for (const json& part : *content) {
    if (!part.is_object()) return std::nullopt;
  }
  for (const json& part : *content) {
    auto text = transcriptPartText(part);
    if (!text) continue;
    if (!joined.empty()) joined += "\n\n";
    joined += *text;
  }
  if (joined.empty()) return std::nullopt;
  return joined;
}

std::optional<platform::Instant> parseTranscriptTimestamp(const json& line) {
  if (!line.is_object()) return std::nullopt;
  auto timestamp = line.find("timestamp");
  if (timestamp == line.end() || !timestamp->is_string()) return std::nullopt;
  return parseTranscriptDate(timestamp->get_ref<const std::string&>());
}

namespace {

// The line as a JSON object; nothing when it is anything else, or too long to be taken.
std::optional<json> parseObjectLine(std::string_view line) {
  if (line.size() > kMaxTranscriptLineBytes) return std::nullopt;
  // Cheap pre-test: a line that cannot be an object is not worth a parse.
  const auto first = line.find_first_not_of(" \t");
  if (first == std::string_view::npos || line[first] != '{') return std::nullopt;
  // The parser rejects invalid UTF-8, so such a line is skipped by itself.
  json object = json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
  if (object.is_discarded() || !object.is_object()) return std::nullopt;
  return object;
}

std::optional<TranscriptMessage> messageOfLine(const json& object) {
  if (object.empty()) return std::nullopt;
  // Older hosts write a sub-agent's turns inline: its prompt is not the user's and its answers
  // are not the main thread's.
  if (isTrue(object, "isSidechain")) return std::nullopt;
  auto type = object.find("type");
  if (type == object.end() || !type->is_string()) return std::nullopt;
  auto role = roleFromRawValue(type->get_ref<const std::string&>());
  if (!role) return std::nullopt;
  auto message = object.find("message");
  if (message == object.end() || !message->is_object()) return std::nullopt;
  auto body = transcriptMessageText(*message);
  if (!body) return std::nullopt;
  bool hostWritten = false;
  bool opensTurn = false;
  if (*role == TranscriptMessage::Role::User) {
    // A compaction summary, like a command's expansion, comes inside the turn it continues.
    if (isTrue(object, "isMeta") || isTrue(object, "isCompactSummary")) {
      hostWritten = true;
    } else if (auto command = slashCommandQuestion(*body)) {
      // What the user typed after the command's name is the question; the wrapper is not.
      body = std::move(command);
    } else {
      const HostText kind = classifyHostText(*body);
      hostWritten = kind != HostText::None;
      opensTurn = kind == HostText::NewTurn;
    }
  }
  return TranscriptMessage{*role, std::move(*body), parseTranscriptTimestamp(object), hostWritten,
                           opensTurn};
}

// A main-thread line holding a tool call or a tool's result.
bool isToolLine(const json& object) {
  if (isTrue(object, "isSidechain")) return false;
  auto message = object.find("message");
  if (message == object.end() || !message->is_object()) return false;
  auto content = message->find("content");
  if (content == message->end() || !content->is_array()) return false;
  for (const json& part : *content) {
    if (!part.is_object()) continue;
    auto type = part.find("type");
    if (type == part.end() || !type->is_string()) continue;
    const std::string& name = type->get_ref<const std::string&>();
    if (name == "tool_use" || name == "tool_result") return true;
  }
  return false;
}

}  // namespace

TranscriptPiece parseTranscriptPiece(std::string_view text) {
  TranscriptPiece piece;
  std::size_t start = 0;
  while (start < text.size()) {
    // Only ASCII breaks end a line: U+2028 and its kin are legal raw inside JSON strings, and
    // splitting there would drop any message that contains one.
    std::size_t lineBreak = start;
    while (lineBreak < text.size() && !isLineBreak(text[lineBreak])) ++lineBreak;
    const bool terminated = lineBreak < text.size();
    const std::string_view line =
        text.substr(start, (terminated ? lineBreak : text.size()) - start);
    const std::size_t next = terminated ? lineBreak + 1 : text.size();
    start = next;
    if (line.empty()) {
      piece.end = next;
      continue;
    }
    const std::optional<json> object = parseObjectLine(line);
    // A last line without its break that is not yet an object may still be being written: the
    // next read starts there.
    if (!terminated && !object) break;
    piece.end = next;
    if (!object) continue;
    // Tool calls and their results count for the time span too: a marker set by a tool call
    // falls inside the turn even before the turn's answer is written.
    if (!isTrue(*object, "isSidechain")) {
      if (auto timestamp = parseTranscriptTimestamp(*object)) {
        if (!piece.earliest || *timestamp < *piece.earliest) piece.earliest = timestamp;
        if (!piece.latest || *timestamp > *piece.latest) piece.latest = timestamp;
      }
    }
    if (auto message = messageOfLine(*object)) {
      piece.messages.push_back(std::move(*message));
      piece.lineEnds.push_back(next);
      piece.endsInToolWork = false;
    } else if (isToolLine(*object)) {
      piece.endsInToolWork = true;
    }
  }
  return piece;
}

std::vector<TranscriptMessage> parseTranscript(std::string_view text) {
  return parseTranscriptPiece(text).messages;
}

std::optional<std::string> readRegularFile(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec) || ec) return std::nullopt;
  return platform::readFile(path);
}

std::vector<TranscriptMessage> readTranscriptFile(const std::filesystem::path& path) {
  auto text = readRegularFile(path);
  if (!text) return {};
  return parseTranscript(*text);
}

}  // namespace nodrel::capture
