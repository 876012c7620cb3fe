// capture/session_capture.h: the SessionEnd hook's work: complete what the Stop hook could not
// see (the salience pass after the session's watermark, the markers set in its last turn), then
// turn the finished session's notable exchanges into episodic observations, once per session
// (`captured_sessions` records the sessions done).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "capture/claude_cli_service.h"
#include "capture/hook_payload.h"
#include "db/connection.h"
#include "store/write_state.h"

namespace nodrel::capture {

// A capture stopped by a signal between two writes: what was written stands, the rest waits.
class CaptureInterrupted : public std::runtime_error {
 public:
  CaptureInterrupted() : std::runtime_error("stopped by a signal") {}
};

// Captures one session's notable exchanges and returns the number stored. Stores nothing when
// the capture level is "off", the session is recorded as captured and its transcript was not
// written since (a session resumed under its id is captured again, its record counting both), or
// the transcript gives no messages (then no record is written either, so a later run tries
// again). An exchange this
// session stored already (by the Stop hook, or an earlier try) is not stored again, and a
// forgotten one stays forgotten. A write refused for capacity costs only its exchange. When a write
// fails otherwise (a locked database ends the loop at once) or the record cannot be written, the
// session is not recorded and the first error is thrown once the other exchanges were tried;
// `stopRequested` ends the loop with CaptureInterrupted. Either way a later run captures it again.
std::int64_t autoCaptureSession(const std::string& sessionId,
                                const std::filesystem::path& transcriptPath, const std::string& cwd,
                                db::Connection& connection, store::WriteState& state,
                                const ClaudeCLIService& cliService,
                                const std::function<bool()>& stopRequested = {});

// Everything SessionEnd does for one session: the salience pass over the messages after its
// watermark (an open last question stored as it stands), the markers that fall in it, then
// autoCaptureSession. Each part reports as prefix + its line. Throws as autoCaptureSession does,
// also when a salience write failed, so that the session is kept for a later run.
std::int64_t captureEndedSession(const HookPayload& session, db::Connection& connection,
                                 store::WriteState& state, std::string_view prefix,
                                 const Diagnostics& diagnostics,
                                 const std::function<bool()>& stopRequested);

// Captures the sessions that earlier runs left in the pending list (captureEndedSession) and
// drops those done from the list (`justCaptured`, the session the caller has captured itself,
// is dropped without another try); each capture is reported as prefix + "N memories captured
// from session S". A locked database or `stopRequested` ends the attempt and leaves the rest
// listed. Never throws.
void completePendingCaptures(db::Connection& connection, store::WriteState& state,
                             const std::optional<std::string>& justCaptured,
                             std::string_view prefix, const Diagnostics& diagnostics,
                             const std::function<bool()>& stopRequested = {});

}  // namespace nodrel::capture
