#include "capture/session_capture.h"

#include <chrono>
#include <exception>
#include <optional>
#include <system_error>

#include "capture/captured_write.h"
#include "capture/exchanges.h"
#include "capture/marker_placement.h"
#include "capture/pending_captures.h"
#include "capture/salience_pass.h"
#include "capture/transcript.h"
#include "capture/transcript_tail.h"
#include "db/error.h"
#include "platform/time.h"
#include "store/capacity.h"
#include "store/write_path.h"

namespace nodrel::capture {
namespace {

constexpr std::string_view kSelectCapture =
    R"sql(SELECT captured_at, memory_count FROM captured_sessions WHERE session_id = ? LIMIT 1)sql";

constexpr std::string_view kRecordCapturedSession =
    R"sql(    INSERT OR REPLACE INTO captured_sessions (session_id, captured_at, memory_count, extractor)
    VALUES (?, ?, ?, ?))sql";

constexpr std::string_view kHeuristicExtractor = "heuristic";

void recordCapturedSessionOrThrow(const std::string& sessionId, std::int64_t count,
                                  const std::string& extractor, db::Connection& connection) {
  connection.run(kRecordCapturedSession,
                 {db::text(sessionId), db::text(platform::currentTimestampText()), db::Value(count),
                  db::text(extractor)});
}

bool stopNow(const std::function<bool()>& stopRequested) {
  return stopRequested && stopRequested();
}

// The file clock stamps a write up to a tick late or early; a transcript last written this close
// to its capture is read again rather than risk passing over a resumed session's turns.
constexpr std::chrono::seconds kWrittenAfterCaptureMargin{1};

struct EarlierCapture {
  bool recorded = false;
  bool transcriptWrittenSince = false;
  std::int64_t memoryCount = 0;
};

// A session resumed under its own id (`--resume`) ends again with the same id: what its
// transcript gained since the recorded capture is captured too.
EarlierCapture earlierCapture(const std::string& sessionId,
                              const std::filesystem::path& transcriptPath,
                              db::Connection& connection) {
  EarlierCapture earlier;
  std::optional<std::string> capturedAt;
  try {
    for (const db::Row& row : connection.query(kSelectCapture, {db::text(sessionId)})) {
      earlier.recorded = true;
      if (const std::string* text = db::textOf(row[0])) capturedAt = *text;
      earlier.memoryCount = db::integerOf(row[1]).value_or(0);
    }
  } catch (const db::Error&) {
    // Capturing again only finds what was stored; skipping could lose the session.
    return {};
  }
  if (!earlier.recorded) return earlier;
  std::error_code ec;
  const auto written = std::filesystem::last_write_time(transcriptPath, ec);
  const std::optional<platform::Instant> at =
      capturedAt ? platform::sharedTimestampFormatter().parse(*capturedAt) : std::nullopt;
  earlier.transcriptWrittenSince =
      !ec && (!at || std::chrono::file_clock::to_sys(written) + kWrittenAfterCaptureMargin >= *at);
  return earlier;
}

// `parsed`: the whole transcript already parsed by the caller; read from the file when null.
std::int64_t captureSessionMessages(const std::string& sessionId,
                                    const std::filesystem::path& transcriptPath,
                                    const std::string& cwd, db::Connection& connection,
                                    store::WriteState& state,
                                    const std::vector<TranscriptMessage>* parsed,
                                    const std::function<bool()>& stopRequested) {
  if (captureLevelIsOff()) return 0;
  const EarlierCapture earlier = earlierCapture(sessionId, transcriptPath, connection);
  if (earlier.recorded && !earlier.transcriptWrittenSince) return 0;
  std::vector<TranscriptMessage> read;
  if (!parsed) read = readTranscriptFile(transcriptPath);
  const std::vector<TranscriptMessage>& messages = parsed ? *parsed : read;
  if (messages.empty()) return 0;

  std::int64_t count = 0;
  std::exception_ptr failure;
  for (const CapturedExchange& exchange : extractNotableExchanges(messages)) {
    if (stopNow(stopRequested)) throw CaptureInterrupted();
    store::MemoryWrite write;
    write.body = exchange.body;
    write.tier = store::MemoryTier::Episodic;
    write.type = store::MemoryType::Observation;
    write.tags = "auto_capture";
    write.importance = 3;
    write.project = cwd;
    write.sourceSession = sessionId;
    try {
      // Stored already by the Stop hook (the same turn makes the same body), or by an earlier
      // try of this capture: one memory, left as it is.
      if (storeCaptured(connection, state, std::move(write), /*skipOwnSession=*/true) ==
          CaptureResult::Stored) {
        ++count;
      }
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
  recordCapturedSessionOrThrow(sessionId, earlier.memoryCount + count,
                               std::string(kHeuristicExtractor), connection);
  return count;
}

// The tail holds the whole transcript as the file reads: read from its start with nothing
// carried over or left out, so the capture after the salience pass need not parse it again.
bool tailIsWholeTranscript(const TranscriptTail& tail) {
  return tail.readFrom == 0 && tail.base.offset == 0 && !tail.base.lastQuestion &&
         !tail.base.payloadAnswer && !tail.payloadAnswer && tail.firstNew == 0 &&
         !tail.messages.empty();
}

}  // namespace

std::int64_t autoCaptureSession(const std::string& sessionId,
                                const std::filesystem::path& transcriptPath, const std::string& cwd,
                                db::Connection& connection, store::WriteState& state,
                                const ClaudeCLIService& /*cliService*/,
                                const std::function<bool()>& stopRequested) {
  return captureSessionMessages(sessionId, transcriptPath, cwd, connection, state, nullptr,
                                stopRequested);
}

std::int64_t captureEndedSession(const HookPayload& session, db::Connection& connection,
                                 store::WriteState& state, std::string_view prefix,
                                 const Diagnostics& diagnostics,
                                 const std::function<bool()>& stopRequested) {
  std::optional<TranscriptTail> tail;
  if (!captureLevelIsOff()) {
    // What the last Stop could not see: the turns after its watermark, its open question.
    tail = readTranscriptTail(session.sessionId, session.transcriptPath);
    const SaliencePassResult pass =
        runSaliencePass(*tail, session, /*sessionEnded=*/true, connection, state, stopRequested);
    const SessionWatermark next = watermarkBefore(*tail, pass.stop);
    if (next != tail->base) saveWatermark(session.sessionId, next);
    if (pass.count >= 1) {
      diagnostics(std::string(prefix) + std::to_string(pass.count) +
                  " salience capture(s) from session " + session.sessionId + "\n");
    }
    if (pass.failure) std::rethrow_exception(pass.failure);
    if (pass.stop < tail->messages.size() && stopNow(stopRequested)) throw CaptureInterrupted();
  }
  // A "/remember" run as the session's last turn has no Stop after it that could place it.
  const std::vector<Marker> markers = loadMarkers(session.cwd);
  consumeMarkers(markers, session, /*sessionEnded=*/true, connection, state, prefix, diagnostics,
                 stopRequested);
  if (stopNow(stopRequested)) throw CaptureInterrupted();

  const std::int64_t count = captureSessionMessages(
      session.sessionId, session.transcriptPath, session.cwd, connection, state,
      tail && tailIsWholeTranscript(*tail) ? &tail->messages : nullptr, stopRequested);
  if (count >= 1) {
    diagnostics(std::string(prefix) + std::to_string(count) + " memories captured from session " +
                session.sessionId + "\n");
  }
  return count;
}

void completePendingCaptures(db::Connection& connection, store::WriteState& state,
                             const std::optional<std::string>& justCaptured,
                             std::string_view prefix, const Diagnostics& diagnostics,
                             const std::function<bool()>& stopRequested) {
  std::string setAside;
  const std::vector<PendingCapture> pendingList = loadPendingCaptures(&setAside);
  if (!setAside.empty()) diagnostics(std::string(prefix) + setAside + "\n");
  if (pendingList.empty()) return;
  std::vector<std::string> done;
  for (const PendingCapture& pending : pendingList) {
    if (pending.sessionId == justCaptured) {
      done.push_back(pending.sessionId);
      continue;
    }
    if (stopNow(stopRequested)) break;
    try {
      captureEndedSession({pending.sessionId, pending.transcriptPath, pending.cwd, std::nullopt},
                          connection, state, prefix, diagnostics, stopRequested);
      done.push_back(pending.sessionId);
    } catch (const db::Error& error) {
      if (error.isBusyOrLocked()) break;  // still locked: the others would wait in vain
    } catch (const CaptureInterrupted&) {
      break;
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

}  // namespace nodrel::capture
