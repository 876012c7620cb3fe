#include "capture/checkpoint.h"

#include <algorithm>
#include <exception>
#include <system_error>

#include <nlohmann/json.hpp>

#include "capture/salience.h"
#include "db/connection.h"
#include "platform/paths.h"
#include "platform/uuid.h"
#include "store/capacity.h"
#include "store/write_path.h"

namespace nodrel::capture {
namespace {

using CheckpointCommand::Marker;
using Role = TranscriptMessage::Role;

constexpr std::string_view kInsertCheckpoint = R"sql(INSERT OR IGNORE INTO checkpoints
    (id, session_id, project_path, marker_created_at, consumed_at, note)
VALUES (?, ?, ?, ?, ?, ?))sql";

// The user turn that ran the remember command is not the exchange being remembered.
constexpr std::string_view kRememberCommandMention = "remember-mark";

bool isAnchorCandidate(const TranscriptMessage& message) {
  return message.role == Role::User &&
         message.text.find(kRememberCommandMention) == std::string::npos;
}

// The user message at `index` followed by the assistant messages right after it.
std::vector<TranscriptMessage> windowFrom(std::size_t index,
                                          std::span<const TranscriptMessage> messages) {
  std::vector<TranscriptMessage> window{messages[index]};
  for (std::size_t i = index + 1; i < messages.size() && messages[i].role == Role::Assistant;
       ++i) {
    window.push_back(messages[i]);
  }
  return window;
}

std::string joinTexts(std::span<const TranscriptMessage> window, Role role) {
  std::string joined;
  bool first = true;
  for (const TranscriptMessage& message : window) {
    if (message.role != role) continue;
    if (!first) joined += "\n\n";
    joined += message.text;
    first = false;
  }
  return joined;
}

std::optional<std::string> optionalString(const nlohmann::json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

store::MemoryWrite checkpointMemory(std::string body, const HookPayload& payload,
                                    const char* tags, std::int64_t importance) {
  store::MemoryWrite write;
  write.body = std::move(body);
  write.tier = store::MemoryTier::Episodic;
  write.type = store::MemoryType::Observation;
  write.tags = tags;
  write.importance = importance;
  if (!payload.cwd.empty()) write.project = payload.cwd;
  write.sourceSession = payload.sessionId;
  return write;
}

// Stores the exchange around each salient message; returns how many were stored or reinforced.
// A failed write costs only its signal: the next turn's run sees the same transcript again.
std::int64_t salienceCapture(std::span<const TranscriptMessage> messages,
                             const HookPayload& payload, db::Connection& connection) {
  std::int64_t count = 0;
  for (const SalienceSignal& signal : detectSalienceSignals(messages)) {
    std::string text = exchangeText(signal.messageIndex, messages);
    if (text.empty() || text == "(empty)") continue;
    try {
      store::writeMemory(connection,
                         checkpointMemory(std::move(text), payload, "salience,auto_capture", 5));
      ++count;
    } catch (const std::exception&) {
    }
  }
  return count;
}

}  // namespace

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
    if (!markerCwd || *markerCwd != cwd) continue;
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
  std::string user = joinTexts(window, Role::User);
  const std::string assistant = joinTexts(window, Role::Assistant);
  if (note && !note->empty()) user = "[" + *note + "] " + user;
  if (!user.empty() && !assistant.empty()) return "Q: " + user + "\n\nA: " + assistant;
  if (!user.empty()) return "Q: " + user;
  if (!assistant.empty()) return "A: " + assistant;
  return "";
}

int runCheckpointCommand(std::string_view input, const Diagnostics& diagnostics) {
  const PayloadReading reading = readHookPayload(input);
  if (reading.status == PayloadStatus::Ignored) return 0;
  if (reading.status == PayloadStatus::Missing) {
    diagnostics("nodrel checkpoint: missing session_id or transcript_path in stdin payload\n");
    return 1;
  }
  const HookPayload& payload = reading.payload;
  const std::filesystem::path databasePath = platform::NodrelPaths::databaseURL();
  std::error_code ec;
  if (!std::filesystem::exists(databasePath, ec)) return 0;

  const bool captureOff = captureLevelIsOff();
  const std::vector<Marker> markers = loadMarkers(payload.cwd);
  // Runs after every turn: with nothing to do, leave before the database or the transcript.
  if (captureOff && markers.empty()) return 0;

  try {
    db::Connection connection = db::Connection::open(databasePath);
    const std::vector<TranscriptMessage> messages = readTranscriptFile(payload.transcriptPath);

    std::optional<platform::Instant> earliest;
    std::optional<platform::Instant> latest;
    for (const TranscriptMessage& message : messages) {
      if (!message.timestamp) continue;
      if (!earliest || *message.timestamp < *earliest) earliest = message.timestamp;
      if (!latest || *message.timestamp > *latest) latest = message.timestamp;
    }

    if (!captureOff) {
      const std::int64_t count = salienceCapture(messages, payload, connection);
      if (count >= 1) {
        diagnostics("nodrel checkpoint: " + std::to_string(count) +
                    " salience capture(s) from session " + payload.sessionId + "\n");
      }
    }

    std::int64_t consumed = 0;
    for (const Marker& marker : markers) {
      if (marker.createdAt && earliest && latest &&
          (*marker.createdAt < *earliest || *marker.createdAt > *latest)) {
        continue;  // outside this transcript's span: left for a later run
      }
      const std::vector<TranscriptMessage> window = markerExchange(marker.createdAt, messages);
      if (window.empty()) continue;
      std::string body = markerMemoryBody(window, marker.note);
      if (body.empty()) continue;
      // A failure here ends the pass: this marker and the later ones stay for a later run.
      store::writeMemory(connection,
                         checkpointMemory(std::move(body), payload, "checkpoint,remember", 9));
      connection.run(kInsertCheckpoint,
                     {db::text(platform::makeUUID()), db::text(payload.sessionId),
                      db::text(payload.cwd), db::text(marker.rawCreatedAt.value_or("")),
                      db::text(platform::currentTimestampText()),
                      db::text(marker.note.value_or(""))});
      std::error_code removeError;
      std::filesystem::remove(marker.url, removeError);
      ++consumed;
    }
    if (consumed >= 1) {
      diagnostics("nodrel checkpoint: " + std::to_string(consumed) +
                  " checkpoint(s) captured from session " + payload.sessionId + "\n");
    }
  } catch (const std::exception& e) {
    diagnostics("nodrel checkpoint: " + std::string(e.what()) + "\n");
  }
  preserveQueuedWrites();
  return 0;
}

}  // namespace nodrel::capture
