#include "capture/marker_placement.h"

#include <system_error>

#include <nlohmann/json.hpp>

#include "capture/captured_body.h"
#include "capture/captured_write.h"
#include "capture/exchange_assembly.h"
#include "capture/secret_mask.h"
#include "platform/paths.h"
#include "platform/uuid.h"

namespace nodrel::capture {
namespace {

using Role = TranscriptMessage::Role;

constexpr std::string_view kInsertCheckpoint = R"sql(INSERT OR IGNORE INTO checkpoints
    (id, session_id, project_path, marker_created_at, consumed_at, note)
VALUES (?, ?, ?, ?, ?, ?))sql";

// The user turn that ran the remember command is not the exchange being remembered: the
// command as typed, or an older host's plain prompt that ran the marker command.
constexpr std::string_view kRememberCommand = "/remember";
constexpr std::string_view kRememberCommandMention = "remember-mark";

bool isAnchorCandidate(const TranscriptMessage& message) {
  return isTypedMessage(message) && !isRememberCommand(message);
}

// The typed message at `index` followed by the assistant messages of its turn.
std::vector<TranscriptMessage> windowFrom(std::size_t index,
                                          std::span<const TranscriptMessage> messages) {
  std::vector<TranscriptMessage> window{messages[index]};
  for (std::size_t i = index + 1; i < messages.size() && !opensTurn(messages[i]); ++i) {
    if (messages[i].role == Role::Assistant) window.push_back(messages[i]);
  }
  return window;
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

void widenSpan(std::optional<platform::Instant>& earliest, std::optional<platform::Instant>& latest,
               const std::optional<platform::Instant>& timestamp) {
  if (!timestamp) return;
  if (!earliest || *timestamp < *earliest) earliest = timestamp;
  if (!latest || *timestamp > *latest) latest = timestamp;
}

}  // namespace

bool isRememberCommand(const TranscriptMessage& message) {
  if (message.role != Role::User) return false;
  if (message.text == kRememberCommand) return true;
  if (message.text.starts_with(std::string(kRememberCommand) + " ")) return true;
  return message.text.find(kRememberCommandMention) != std::string::npos;
}

std::optional<platform::Instant> parseMarkerDate(std::string_view text) {
  return parseTranscriptDate(text);
}

std::vector<Marker> loadMarkers(const std::string& cwd) {
  const std::filesystem::path directory = platform::NodrelPaths::checkpointsDirectory();
  std::vector<Marker> markers;
  std::error_code ec;
  std::filesystem::directory_iterator entries(directory, ec);
  if (ec) return markers;
  for (auto it = entries; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::filesystem::path path = it->path();
    if (path.extension() != ".json") continue;
    auto text = readRegularFile(path);
    if (!text) continue;
    const auto object = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (object.is_discarded() || !object.is_object()) continue;
    auto markerCwd = optionalString(object, "cwd");
    if (!markerCwd || platform::normaliseProjectPath(*markerCwd) != cwd) continue;
    Marker marker;
    marker.url = path;
    marker.cwd = std::move(*markerCwd);
    marker.rawCreatedAt = optionalString(object, "created_at");
    if (marker.rawCreatedAt) marker.createdAt = parseMarkerDate(*marker.rawCreatedAt);
    marker.note = optionalString(object, "note");
    markers.push_back(std::move(marker));
  }
  return markers;
}

bool mayBePlaced(const Marker& marker, const std::optional<platform::Instant>& earliest,
                 const std::optional<platform::Instant>& latest) {
  return !(marker.createdAt && earliest && latest &&
           (*marker.createdAt < *earliest || *marker.createdAt > *latest));
}

std::vector<TranscriptMessage> lastExchange(std::span<const TranscriptMessage> messages) {
  for (std::size_t i = messages.size(); i-- > 0;) {
    if (isAnchorCandidate(messages[i])) return windowFrom(i, messages);
  }
  return {};
}

std::vector<TranscriptMessage> markerExchange(std::optional<platform::Instant> createdAt,
                                              std::span<const TranscriptMessage> messages) {
  if (messages.empty()) return {};
  if (!createdAt) return lastExchange(messages);
  std::optional<std::size_t> winner;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const TranscriptMessage& message = messages[i];
    if (isAnchorCandidate(message) && message.timestamp && *message.timestamp <= *createdAt) {
      winner = i;
    }
  }
  if (!winner) return lastExchange(messages);
  return windowFrom(*winner, messages);
}

std::string markerMemoryBody(std::span<const TranscriptMessage> window,
                             const std::optional<std::string>& note) {
  std::string user;
  std::vector<std::string_view> texts;
  for (const TranscriptMessage& message : window) {
    if (message.role == Role::Assistant) {
      texts.push_back(message.text);
    } else {
      if (!user.empty()) user += "\n\n";
      user += message.text;
    }
  }
  if (note && !note->empty()) {
    user = "[" + cutText(*note, kMaxCapturedBodyCharacters) + "] " + user;
  }
  if (!user.empty() && !texts.empty()) return exchangeBody(user, texts);
  if (!user.empty()) return labelledBody("Q: ", user);
  if (!texts.empty()) {
    return "A: " +
           assembleReply(texts, kMaxCapturedBodyCharacters - std::string_view("A: ").size());
  }
  return "";
}

std::int64_t consumeMarkers(std::span<const Marker> markers, const HookPayload& payload,
                            bool sessionEnded, db::Connection& connection, store::WriteState& state,
                            std::string_view prefix, const Diagnostics& diagnostics,
                            const std::function<bool()>& stopRequested) {
  if (markers.empty()) return 0;
  TranscriptPiece transcript;
  if (auto text = readRegularFile(payload.transcriptPath)) transcript = parseTranscriptPiece(*text);
  const std::vector<TranscriptMessage>& messages = transcript.messages;
  std::optional<platform::Instant> earliest = transcript.earliest;
  std::optional<platform::Instant> latest = transcript.latest;
  for (const TranscriptMessage& message : messages) widenSpan(earliest, latest, message.timestamp);
  // The session is over: a marker set in its last turn may be newer than every line of it.
  if (sessionEnded && earliest) latest = platform::now();

  std::int64_t consumed = 0;
  for (const Marker& marker : markers) {
    if (stopRequested && stopRequested()) break;
    // Nothing read, or outside the span: left for a later run.
    if (messages.empty() || !mayBePlaced(marker, earliest, latest)) continue;
    // A transcript with nothing the user typed leaves the note alone.
    const std::vector<TranscriptMessage> window = markerExchange(marker.createdAt, messages);
    std::string body = markerMemoryBody(window, marker.note);
    if (body.empty()) continue;
    // A forgotten exchange stays forgotten; the marker is still used up.
    storeCaptured(connection, state,
                  capturedWrite(std::move(body), "checkpoint,remember", 9, payload));
    connection.run(
        kInsertCheckpoint,
        {db::text(platform::makeUUID()), db::text(payload.sessionId), db::text(payload.cwd),
         db::text(marker.rawCreatedAt.value_or("")), db::text(platform::currentTimestampText()),
         db::text(maskSecrets(cutText(marker.note.value_or(""), kMaxCapturedBodyCharacters)))});
    std::error_code removeError;
    std::filesystem::remove(marker.url, removeError);
    ++consumed;
  }
  if (consumed >= 1) {
    diagnostics(std::string(prefix) + std::to_string(consumed) +
                " checkpoint(s) captured from session " + payload.sessionId + "\n");
  }
  return consumed;
}

}  // namespace nodrel::capture
