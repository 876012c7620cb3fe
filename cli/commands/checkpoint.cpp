// `nodrel checkpoint`: the Stop hook, after every assistant turn. Reads its payload from standard
// input, stores the exchanges around the transcript's new salient messages (unless capture is
// off), turns the waiting "/remember" markers of the project directory into memories, and
// completes the captures that earlier runs left pending. SIGTERM, SIGINT and SIGHUP end it after
// the write in progress, with the watermark where it stopped.
#include <algorithm>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capture/hook_payload.h"
#include "capture/marker_placement.h"
#include "capture/pending_captures.h"
#include "capture/salience_pass.h"
#include "capture/session_capture.h"
#include "capture/session_watermark.h"
#include "capture/transcript_tail.h"
#include "cli/commands.h"
#include "cli/output.h"
#include "cli/standard_input.h"
#include "db/connection.h"
#include "db/schema.h"
#include "platform/interruption.h"
#include "platform/paths.h"
#include "store/write_state.h"

namespace nodrel::cli {
namespace {

using capture::addPayloadAnswer;
using capture::captureLevelIsOff;
using capture::completePendingCaptures;
using capture::consumeMarkers;
using capture::Diagnostics;
using capture::hasSalientWork;
using capture::HookPayload;
using capture::loadMarkers;
using capture::Marker;
using capture::mayBePlaced;
using capture::PayloadReading;
using capture::PayloadStatus;
using capture::pendingCapturesWaiting;
using capture::preserveQueuedWrites;
using capture::readHookPayload;
using capture::readTranscriptTail;
using capture::runSaliencePass;
using capture::salienceBoundary;
using capture::SaliencePassResult;
using capture::saveWatermark;
using capture::SessionWatermark;
using capture::TranscriptTail;
using capture::watermarkBefore;

constexpr std::string_view kPrefix = "nodrel checkpoint: ";

void widenSpan(std::optional<platform::Instant>& earliest, std::optional<platform::Instant>& latest,
               const std::optional<platform::Instant>& timestamp) {
  if (!timestamp) return;
  if (!earliest || *timestamp < *earliest) earliest = timestamp;
  if (!latest || *timestamp > *latest) latest = timestamp;
}

void saveIfMoved(const HookPayload& payload, const TranscriptTail& tail, std::size_t stop) {
  const SessionWatermark next = watermarkBefore(tail, stop);
  if (next != tail.base) saveWatermark(payload.sessionId, next);
}

int stopHook(std::string_view input, const Diagnostics& diagnostics) {
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

  const platform::InterruptionGuard guard;
  const std::function<bool()> stopRequested = [&guard] { return guard.interrupted(); };

  TranscriptTail tail;
  bool salientWork = false;
  std::optional<platform::Instant> earliest;
  std::optional<platform::Instant> latest;
  if (!captureOff) {
    tail = readTranscriptTail(payload.sessionId, payload.transcriptPath);
    // The host runs this hook before it writes the turn's answer; the payload carries it.
    addPayloadAnswer(tail, payload.lastAssistantMessage);
    salientWork = hasSalientWork(tail, /*sessionEnded=*/false);
    earliest = tail.base.earliest;
    latest = tail.base.latest;
    widenSpan(earliest, latest, tail.earliest);
    widenSpan(earliest, latest, tail.latest);
    for (std::size_t i = tail.firstNew; i < tail.messages.size(); ++i) {
      widenSpan(earliest, latest, tail.messages[i].timestamp);
    }
  }
  // A marker needs the exchange it was set in, which may lie before the watermark: the whole
  // transcript is read, but only when some marker could fall inside it.
  const bool markerWork = std::any_of(markers.begin(), markers.end(), [&](const Marker& marker) {
    return mayBePlaced(marker, earliest, latest);
  });
  const bool pendingWork = !captureOff && pendingCapturesWaiting();
  if (!salientWork && !markerWork && !pendingWork) {
    if (!captureOff) saveIfMoved(payload, tail, salienceBoundary(tail, false));
    return 0;
  }

  // The writes of this run share one queue, spilled before the run ends.
  store::WriteState state;
  try {
    // A hooks-only user may have neither started the server nor run `nodrel-app init`: the
    // file and its tables are made here, as the server makes them, rather than lose the turn.
    platform::NodrelPaths::ensureDirectory(databasePath.parent_path());
    db::Connection connection = db::Connection::open(databasePath, db::hookOpenOptions());
    db::ensureSchema(connection);

    if (!captureOff) {
      const SaliencePassResult pass =
          runSaliencePass(tail, payload, /*sessionEnded=*/false, connection, state, stopRequested);
      saveIfMoved(payload, tail, pass.stop);
      if (pass.count >= 1) {
        diagnostics(std::string(kPrefix) + std::to_string(pass.count) +
                    " salience capture(s) from session " + payload.sessionId + "\n");
      }
    }
    if (markerWork && !guard.interrupted()) {
      consumeMarkers(markers, payload, /*sessionEnded=*/false, connection, state, kPrefix,
                     diagnostics, stopRequested);
    }
    if (!guard.interrupted()) {
      completePendingCaptures(connection, state, std::nullopt, kPrefix, diagnostics, stopRequested);
    }
  } catch (const std::exception& e) {
    diagnostics(std::string(kPrefix) + e.what() + "\n");
  }
  if (guard.interrupted()) {
    diagnostics(std::string(kPrefix) + "stopped by signal " + std::to_string(guard.signalNumber()) +
                "; the next run goes on from where session " + payload.sessionId + " stopped\n");
  }
  preserveQueuedWrites(state.pending);
  return 0;
}

}  // namespace

int runCheckpoint(Arguments) { return stopHook(readStandardInput(), writeErr); }

}  // namespace nodrel::cli
