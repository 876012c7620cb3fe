// capture/session_capture.h: the SessionEnd hook's work: turn a finished session's notable
// exchanges into episodic observations, once per session (`captured_sessions` records the
// sessions done).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "capture/claude_cli_service.h"
#include "capture/hook_payload.h"
#include "db/connection.h"

namespace nodrel::capture {

// Captures one session and returns the number of exchanges stored or reinforced. Stores nothing
// when the capture level is "off", the session is recorded as captured, or the transcript gives
// no messages (then no record is written either, so a later run tries again). A failed memory
// write costs only its exchange; when one failed on a database error the session is not
// recorded, so a later run retries it (stored bodies are then reinforced, not duplicated).
std::int64_t autoCaptureSession(const std::string& sessionId,
                                const std::filesystem::path& transcriptPath,
                                const std::string& cwd, db::Connection& connection,
                                const ClaudeCLIService& cliService);

// True when `captured_sessions` has a row for the session; false also when the query fails.
bool isSessionCaptured(const std::string& sessionId, db::Connection& connection);

// Records (or replaces) the session's row; a failure is ignored.
void recordCapturedSession(const std::string& sessionId, std::int64_t count,
                           const std::string& extractor, db::Connection& connection);

// The `capture` command over its standard-input text; returns the exit status. Diagnostics
// are the only output.
int runCaptureCommand(std::string_view input, const Diagnostics& diagnostics);

}  // namespace nodrel::capture
