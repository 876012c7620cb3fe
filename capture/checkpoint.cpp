#include "capture/checkpoint.h"

#include <algorithm>
#include <exception>
#include <system_error>

#include <nlohmann/json.hpp>

#include "capture/captured_body.h"
#include "capture/pending_captures.h"
#include "capture/salience.h"
#include "capture/session_capture.h"
#include "capture/session_watermark.h"
#include "db/connection.h"
#include "db/schema.h"
#include "platform/files.h"
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
  return message.role == Role::User && !message.hostWritten &&
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

// What the salience pass reads: the messages appended since the session's watermark, after the
// question that was open there.
struct TranscriptTail {
  SessionWatermark base;                    // where this read started
  std::vector<TranscriptMessage> messages;  // [the carried question] + the new messages
  std::vector<std::uint64_t> lineEnds;      // file offset past each message's line
  std::size_t firstNew = 0;
  std::uint64_t end = 0;  // file offset the read was taken to
};

TranscriptTail readTranscriptTail(const HookPayload& payload) {
  TranscriptTail tail;
  if (auto stored = loadWatermark(payload.sessionId);
      stored && stored->transcriptPath == payload.transcriptPath) {
    tail.base = std::move(*stored);
  }
  tail.base.transcriptPath = payload.transcriptPath;
  auto file = platform::readFileFrom(payload.transcriptPath, tail.base.offset);
  if (file && file->size < tail.base.offset) {
    // Shorter than what was read: another file now, read from its start.
    tail.base = SessionWatermark{};
    tail.base.transcriptPath = payload.transcriptPath;
    file = platform::readFileFrom(payload.transcriptPath, 0);
  }
  tail.end = tail.base.offset;
  if (!file) return tail;  // unreadable: nothing new, and the watermark stays
  TranscriptPiece piece = parseTranscriptPiece(file->bytes);
  if (tail.base.lastQuestion) {
    tail.messages.push_back({Role::User, *tail.base.lastQuestion});
    tail.lineEnds.push_back(tail.base.offset);
  }
  tail.firstNew = tail.messages.size();
  for (std::size_t i = 0; i < piece.messages.size(); ++i) {
    tail.messages.push_back(std::move(piece.messages[i]));
    tail.lineEnds.push_back(tail.base.offset + piece.lineEnds[i]);
  }
  tail.end = tail.base.offset + piece.end;
  return tail;
}

void widenSpan(std::optional<platform::Instant>& earliest, std::optional<platform::Instant>& latest,
               const std::optional<platform::Instant>& timestamp) {
  if (!timestamp) return;
  if (!earliest || *timestamp < *earliest) earliest = timestamp;
  if (!latest || *timestamp > *latest) latest = timestamp;
}

// The watermark once the messages before index `stop` of the tail have been handled.
SessionWatermark watermarkBefore(const TranscriptTail& tail, std::size_t stop) {
  SessionWatermark next = tail.base;
  next.offset = stop >= tail.messages.size() ? tail.end
                : stop == 0                  ? tail.base.offset
                                             : tail.lineEnds[stop - 1];
  // Cut no shorter than a body could hold it, so the answer's body comes out as it would have.
  if (auto question = precedingUserMessage(static_cast<std::ptrdiff_t>(stop), tail.messages)) {
    next.lastQuestion = cutText(*question, kMaxCapturedBodyCharacters);
  }
  for (std::size_t i = tail.firstNew; i < stop && i < tail.messages.size(); ++i) {
    widenSpan(next.earliest, next.latest, tail.messages[i].timestamp);
  }
  return next;
}

// A marker that the transcript's time span, as far as it is known, could hold.
bool mayBePlaced(const Marker& marker, const std::optional<platform::Instant>& earliest,
                 const std::optional<platform::Instant>& latest) {
  return !(marker.createdAt && earliest && latest &&
           (*marker.createdAt < *earliest || *marker.createdAt > *latest));
}

struct SaliencePass {
  std::int64_t count = 0;
  std::size_t stop = 0;  // the tail's messages before this index are done
};

// Stores the exchange around each new salient message. A failed write ends the pass there, so
// the next run starts again at that message and loses nothing; a write refused for capacity
// has been queued by the write path and is not retried here.
SaliencePass salienceCapture(const TranscriptTail& tail, std::span<const SalienceSignal> signals,
                             const HookPayload& payload, db::Connection& connection) {
  SaliencePass pass{0, tail.messages.size()};
  for (const SalienceSignal& signal : signals) {
    std::string text = exchangeText(signal.messageIndex, tail.messages);
    if (text.empty() || text == "(empty)") continue;
    try {
      store::writeMemory(connection,
                         checkpointMemory(std::move(text), payload, "salience,auto_capture", 5));
      ++pass.count;
    } catch (const store::WriteBlockedError&) {
    } catch (const std::exception&) {
      pass.stop = static_cast<std::size_t>(signal.messageIndex);
      break;
    }
  }
  return pass;
}

// Turns each marker that the transcript can place into a memory and a `checkpoints` row and
// deletes its file. A failed write throws and ends the pass: this marker and the later ones stay
// for a later run, and no summary line is written.
void consumeMarkers(std::span<const Marker> markers, const HookPayload& payload,
                    db::Connection& connection, const Diagnostics& diagnostics) {
  const std::vector<TranscriptMessage> messages = readTranscriptFile(payload.transcriptPath);
  std::optional<platform::Instant> earliest;
  std::optional<platform::Instant> latest;
  for (const TranscriptMessage& message : messages) widenSpan(earliest, latest, message.timestamp);

  std::int64_t consumed = 0;
  for (const Marker& marker : markers) {
    // Nothing read, or outside the span: left for a later run.
    if (messages.empty() || !mayBePlaced(marker, earliest, latest)) continue;
    // A transcript with nothing the user typed leaves the note alone.
    const std::vector<TranscriptMessage> window = markerExchange(marker.createdAt, messages);
    std::string body = markerMemoryBody(window, marker.note);
    if (body.empty()) continue;
    store::writeMemory(connection,
                       checkpointMemory(std::move(body), payload, "checkpoint,remember", 9));
    connection.run(kInsertCheckpoint,
                   {db::text(platform::makeUUID()), db::text(payload.sessionId),
                    db::text(payload.cwd), db::text(marker.rawCreatedAt.value_or("")),
                    db::text(platform::currentTimestampText()),
                    db::text(cutText(marker.note.value_or(""), kMaxCapturedBodyCharacters))});
    std::error_code removeError;
    std::filesystem::remove(marker.url, removeError);
    ++consumed;
  }
  if (consumed >= 1) {
    diagnostics("nodrel checkpoint: " + std::to_string(consumed) +
                " checkpoint(s) captured from session " + payload.sessionId + "\n");
  }
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
  if (note && !note->empty()) {
    user = "[" + cutText(*note, kMaxCapturedBodyCharacters) + "] " + user;
  }
  if (!user.empty() && !assistant.empty()) return questionAndAnswerBody(user, assistant);
  if (!user.empty()) return labelledBody("Q: ", user);
  if (!assistant.empty()) return labelledBody("A: ", assistant);
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

  const bool captureOff = captureLevelIsOff();
  const std::vector<Marker> markers = loadMarkers(payload.cwd);
  // Runs after every turn: with nothing to do, leave before the database or the transcript.
  if (captureOff && markers.empty()) return 0;

  // Only what was appended since the last run is scanned: an exchange is stored once however
  // many turns follow, and the cost follows the new messages, not the transcript's length.
  TranscriptTail tail;
  std::vector<SalienceSignal> signals;
  std::optional<platform::Instant> earliest;
  std::optional<platform::Instant> latest;
  if (!captureOff) {
    tail = readTranscriptTail(payload);
    for (const SalienceSignal& signal : detectSalienceSignals(tail.messages)) {
      if (static_cast<std::size_t>(signal.messageIndex) >= tail.firstNew) signals.push_back(signal);
    }
    earliest = tail.base.earliest;
    latest = tail.base.latest;
    for (std::size_t i = tail.firstNew; i < tail.messages.size(); ++i) {
      widenSpan(earliest, latest, tail.messages[i].timestamp);
    }
  }
  // A marker needs the exchange it was set in, which may lie before the watermark: the whole
  // transcript is read, but only when some marker could fall inside it.
  const bool markerWork = std::any_of(markers.begin(), markers.end(), [&](const Marker& marker) {
    return mayBePlaced(marker, earliest, latest);
  });
  const bool pendingWork = !captureOff && !loadPendingCaptures().empty();
  if (signals.empty() && !markerWork && !pendingWork) {
    if (!captureOff && tail.end != tail.base.offset) {
      saveWatermark(payload.sessionId, watermarkBefore(tail, tail.messages.size()));
    }
    return 0;
  }

  try {
    // A hooks-only user may have neither started the server nor run `nodrel-app init`: the
    // file and its tables are made here, as the server makes them, rather than lose the turn.
    platform::NodrelPaths::ensureDirectory(databasePath.parent_path());
    db::Connection connection =
        db::Connection::open(databasePath, {.create = true, .checkpointOnClose = false});
    db::ensureSchema(connection);

    if (!captureOff) {
      const SaliencePass pass = salienceCapture(tail, signals, payload, connection);
      saveWatermark(payload.sessionId, watermarkBefore(tail, pass.stop));
      if (pass.count >= 1) {
        diagnostics("nodrel checkpoint: " + std::to_string(pass.count) +
                    " salience capture(s) from session " + payload.sessionId + "\n");
      }
    }

    if (markerWork) consumeMarkers(markers, payload, connection, diagnostics);
    completePendingCaptures(connection, std::nullopt, "nodrel checkpoint: ", diagnostics);
  } catch (const std::exception& e) {
    diagnostics("nodrel checkpoint: " + std::string(e.what()) + "\n");
  }
  preserveQueuedWrites();
  return 0;
}

}  // namespace nodrel::capture
