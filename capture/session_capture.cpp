#include "capture/session_capture.h"

#include <exception>
#include <optional>
#include <system_error>

#include "capture/exchanges.h"
#include "capture/pending_captures.h"
#include "capture/transcript.h"
#include "db/error.h"
#include "db/schema.h"
#include "platform/paths.h"
#include "platform/time.h"
#include "store/capacity.h"
#include "store/write_path.h"

namespace nodrel::capture {
namespace {

constexpr std::string_view kSelectCapturedSession =
    R"sql(SELECT 1 FROM captured_sessions WHERE session_id = ? LIMIT 1)sql";

constexpr std::string_view kRecordCapturedSession =
    R"sql(    INSERT OR REPLACE INTO captured_sessions (session_id, captured_at, memory_count, extractor)
    VALUES (?, ?, ?, ?))sql";

constexpr std::string_view kHeuristicExtractor = "heuristic";

void recordCapturedSessionOrThrow(const std::string& sessionId, std::int64_t count,
                                  const std::string& extractor, db::Connection& connection) {
  connection.run(kRecordCapturedSession,
                 {db::text(sessionId), db::text(platform::currentTimestampText()),
                  db::Value(count), db::text(extractor)});
}

}  // namespace

bool isSessionCaptured(const std::string& sessionId, db::Connection& connection) {
  try {
    return connection.scalar(kSelectCapturedSession, {db::text(sessionId)}).has_value();
  } catch (const db::Error&) {
    // Capturing again only reinforces what was stored; skipping could lose the session.
    return false;
  }
}

void recordCapturedSession(const std::string& sessionId, std::int64_t count,
                           const std::string& extractor, db::Connection& connection) {
  try {
    recordCapturedSessionOrThrow(sessionId, count, extractor, connection);
  } catch (const db::Error&) {
  }
}

std::int64_t autoCaptureSession(const std::string& sessionId,
                                const std::filesystem::path& transcriptPath,
                                const std::string& cwd, db::Connection& connection,
                                const ClaudeCLIService& /*cliService*/) {
  if (captureLevelIsOff()) return 0;
  if (isSessionCaptured(sessionId, connection)) return 0;
  const std::vector<TranscriptMessage> messages = readTranscriptFile(transcriptPath);
  if (messages.empty()) return 0;

  std::int64_t count = 0;
  std::exception_ptr failure;
  for (const CapturedExchange& exchange : extractNotableExchanges(messages)) {
    store::MemoryWrite write;
    write.body = exchange.body;
    write.tier = store::MemoryTier::Episodic;
    write.type = store::MemoryType::Observation;
    write.tags = "auto_capture";
    write.importance = 3;
    write.project = cwd;
    write.sourceSession = sessionId;
    try {
      store::writeMemory(connection, write);
      ++count;
    } catch (const store::WriteBlockedError&) {
      // Queued by the write path; it is kept on disk when the command ends.
    } catch (const db::Error& error) {
      if (!failure) failure = std::current_exception();
      // Past the busy timeout the next write would only wait as long again.
      if (error.isBusyOrLocked()) break;
    } catch (const std::exception&) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  recordCapturedSessionOrThrow(sessionId, count, std::string(kHeuristicExtractor), connection);
  return count;
}

void completePendingCaptures(db::Connection& connection,
                             const std::optional<std::string>& justCaptured,
                             std::string_view prefix, const Diagnostics& diagnostics) {
  const std::vector<PendingCapture> pendingList = loadPendingCaptures();
  if (pendingList.empty()) return;
  std::vector<std::string> done;
  for (const PendingCapture& pending : pendingList) {
    if (pending.sessionId == justCaptured) {
      done.push_back(pending.sessionId);
      continue;
    }
    try {
      const std::int64_t count =
          autoCaptureSession(pending.sessionId, pending.transcriptPath, pending.cwd, connection,
                             ClaudeCLIService::shared());
      done.push_back(pending.sessionId);
      if (count >= 1) {
        diagnostics(std::string(prefix) + std::to_string(count) +
                    " memories captured from session " + pending.sessionId + "\n");
      }
    } catch (const db::Error& error) {
      if (error.isBusyOrLocked()) break;  // still locked: the others would wait in vain
    } catch (const std::exception&) {
    }
  }
  if (done.empty()) return;
  try {
    updatePendingCaptures({}, done);
  } catch (const std::exception&) {
    // Left listed: a later run finds them captured and drops them then.
  }
}

int runCaptureCommand(std::string_view input, const Diagnostics& diagnostics) {
  const PayloadReading reading = readHookPayload(input);
  if (reading.status == PayloadStatus::Ignored) return 0;
  if (reading.status == PayloadStatus::Missing) {
    diagnostics("nodrel capture: missing session_id or transcript_path in stdin payload\n");
    return 1;
  }
  const HookPayload& payload = reading.payload;
  const std::filesystem::path databasePath = platform::NodrelPaths::databaseURL();

  std::optional<db::Connection> connection;
  try {
    // A hooks-only user may have neither started the server nor run `nodrel-app init`: the
    // file and its tables are made here, as the server makes them, rather than lose the session.
    platform::NodrelPaths::ensureDirectory(databasePath.parent_path());
    connection =
        db::Connection::open(databasePath, {.create = true, .checkpointOnClose = false});
    db::ensureSchema(*connection);
    const ClaudeCLIService& cliService = ClaudeCLIService::shared();
    const std::int64_t count = autoCaptureSession(payload.sessionId, payload.transcriptPath,
                                                  payload.cwd, *connection, cliService);
    if (count >= 1) {
      diagnostics("nodrel capture: " + std::to_string(count) +
                  " memories captured from session " + payload.sessionId + "\n");
    }
  } catch (const std::exception& e) {
    // The host runs SessionEnd once: without the pending list the session would be lost.
    std::string line = "nodrel capture: session " + payload.sessionId + " not captured (" +
                       e.what() + ")";
    try {
      updatePendingCaptures({{payload.sessionId, payload.transcriptPath, payload.cwd}}, {});
      line += "; the next hook run will capture it";
    } catch (const std::exception& listError) {
      line += std::string("; it could not be kept for a later run: ") + listError.what();
    }
    diagnostics(line + "\n");
    preserveQueuedWrites();
    return 0;
  }
  completePendingCaptures(*connection, payload.sessionId, "nodrel capture: ", diagnostics);
  preserveQueuedWrites();
  return 0;
}

}  // namespace nodrel::capture
