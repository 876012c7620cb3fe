// capture/session_capture.h: the SessionEnd hook's work: turn a finished session's notable
// exchanges into episodic observations, once per session (`captured_sessions` records the
// sessions done).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "capture/claude_cli_service.h"
#include "capture/hook_payload.h"
#include "db/connection.h"

namespace nodrel::capture {

// Captures one session and returns the number of exchanges stored or reinforced. Stores nothing
// when the capture level is "off", the session is recorded as captured, or the transcript gives
// no messages (then no record is written either, so a later run tries again). A write refused
// for capacity costs only its exchange. When a write fails otherwise (a locked database ends the
// loop at once) or the record cannot be written, the session is not recorded and the first
// error is thrown once the other exchanges were tried: a later run captures it again (stored
// bodies are then reinforced, not duplicated).
std::int64_t autoCaptureSession(const std::string& sessionId,
                                const std::filesystem::path& transcriptPath,
                                const std::string& cwd, db::Connection& connection,
                                const ClaudeCLIService& cliService);

// True when `captured_sessions` has a row for the session; false also when the query fails.
bool isSessionCaptured(const std::string& sessionId, db::Connection& connection);

// Records (or replaces) the session's row; a failure is ignored.
void recordCapturedSession(const std::string& sessionId, std::int64_t count,
                           const std::string& extractor, db::Connection& connection);

// Captures the sessions that earlier runs left in the pending list and drops those done from the
// list (`justCaptured`, the session the caller has captured itself, is dropped without another
// try); each capture is reported as prefix + "N memories captured from session S". A locked
// database ends the attempt and leaves the rest listed. Never throws.
void completePendingCaptures(db::Connection& connection,
                             const std::optional<std::string>& justCaptured,
                             std::string_view prefix, const Diagnostics& diagnostics);

// The `capture` command over its standard-input text; a session it cannot capture is listed for
// the next hook run and said so on one line; returns the exit status. Diagnostics
// are the only output.
int runCaptureCommand(std::string_view input, const Diagnostics& diagnostics);

}  // namespace nodrel::capture
