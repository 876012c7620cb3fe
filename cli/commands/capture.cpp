// `nodrel capture`: the SessionEnd hook. Reads its payload from standard input and captures the
// session; a session it cannot capture (a failed write, a locked database, SIGTERM, SIGINT or
// SIGHUP) is listed for the next hook run and said so on one line. Diagnostics are the only
// output.
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "capture/hook_payload.h"
#include "capture/pending_captures.h"
#include "capture/session_capture.h"
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

using capture::captureEndedSession;
using capture::completePendingCaptures;
using capture::Diagnostics;
using capture::HookPayload;
using capture::PayloadReading;
using capture::PayloadStatus;
using capture::preserveQueuedWrites;
using capture::readHookPayload;
using capture::updatePendingCaptures;

int sessionEndHook(std::string_view input, const Diagnostics& diagnostics) {
  const PayloadReading reading = readHookPayload(input);
  if (reading.status == PayloadStatus::Ignored) return 0;
  if (reading.status == PayloadStatus::Missing) {
    diagnostics("nodrel capture: missing session_id or transcript_path in stdin payload\n");
    return 1;
  }
  const HookPayload& payload = reading.payload;
  const std::filesystem::path databasePath = platform::NodrelPaths::databaseURL();

  const platform::InterruptionGuard guard;
  const std::function<bool()> stopRequested = [&guard] { return guard.interrupted(); };
  std::optional<db::Connection> connection;
  // The writes of this run share one queue, spilled before the run ends.
  store::WriteState state;
  try {
    // A hooks-only user may have neither started the server nor run `nodrel-app init`: the
    // file and its tables are made here, as the server makes them, rather than lose the session.
    platform::NodrelPaths::ensureDirectory(databasePath.parent_path());
    connection = db::Connection::open(databasePath, db::hookOpenOptions());
    db::ensureSchema(*connection);
    captureEndedSession(payload, *connection, state, "nodrel capture: ", diagnostics,
                        stopRequested);
  } catch (const std::exception& e) {
    // The host runs SessionEnd once: without the pending list the session would be lost.
    const std::string why = guard.interrupted()
                                ? "stopped by signal " + std::to_string(guard.signalNumber())
                                : std::string(e.what());
    std::string line =
        "nodrel capture: session " + payload.sessionId + " not captured (" + why + ")";
    try {
      updatePendingCaptures({{payload.sessionId, payload.transcriptPath, payload.cwd}}, {});
      line += "; the next hook run will capture it";
    } catch (const std::exception& listError) {
      line += std::string("; it could not be kept for a later run: ") + listError.what();
    }
    diagnostics(line + "\n");
    preserveQueuedWrites(state.pending);
    return 0;
  }
  if (!guard.interrupted()) {
    completePendingCaptures(*connection, state, payload.sessionId, "nodrel capture: ", diagnostics,
                            stopRequested);
  }
  preserveQueuedWrites(state.pending);
  return 0;
}

}  // namespace

int runCapture(Arguments) { return sessionEndHook(readStandardInput(), writeErr); }

}  // namespace nodrel::cli
