// capture/marker_placement.h: the waiting "/remember" markers of a project directory, written by
// `remember-mark`, and their placement: each becomes a memory of the exchange it was set in and
// a `checkpoints` row. Marker files are read leniently; only those consumed are deleted.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/hook_payload.h"
#include "capture/transcript.h"
#include "db/connection.h"
#include "platform/time.h"
#include "store/write_state.h"

namespace nodrel::capture {

struct Marker {
  std::filesystem::path url;
  std::string cwd;
  std::optional<std::string> note;  // as stored, possibly empty
  std::optional<platform::Instant> createdAt;
  std::optional<std::string> rawCreatedAt;  // as stored

  friend bool operator==(const Marker&, const Marker&) = default;
};

// The markers in the checkpoints directory whose "cwd" is exactly `cwd`, in listing order.
// Only regular "*.json" files holding an object with a text "cwd" count; "created_at" and
// "note" of another type read as absent. Never fails; problems only leave markers out.
std::vector<Marker> loadMarkers(const std::string& cwd);

// "yyyy-MM-dd'T'HH:mm:ss.SSSZ", then "yyyy-MM-dd'T'HH:mm:ss'Z'".
std::optional<platform::Instant> parseMarkerDate(std::string_view text);

// The message that ran the remember command (typed as "/remember …", or an older host's prompt
// naming `remember-mark`): it flags the exchange before it and is none of its own.
bool isRememberCommand(const TranscriptMessage& message);

// A marker that a transcript spanning [earliest, latest], as far as it is known, could hold.
bool mayBePlaced(const Marker& marker, const std::optional<platform::Instant>& earliest,
                 const std::optional<platform::Instant>& latest);

// The last typed message that did not run the remember command, with the assistant texts of
// its turn; empty when there is none.
std::vector<TranscriptMessage> lastExchange(std::span<const TranscriptMessage> messages);
// The exchange in which a marker was set: the last such typed message at or before
// `createdAt`, else `lastExchange`.
std::vector<TranscriptMessage> markerExchange(std::optional<platform::Instant> createdAt,
                                              std::span<const TranscriptMessage> messages);
// "Q: " + [note] user text + "\n\nA: " + the assistant texts as one reply, either half alone,
// or "".
std::string markerMemoryBody(std::span<const TranscriptMessage> window,
                             const std::optional<std::string>& note);

// Consumes each marker that the session's transcript can place; `sessionEnded` places those set
// up to now (the session's last turn may have no line after its marker yet). A failed write
// throws and ends the pass: this marker and the later ones stay for a later run. Stops between
// markers once `stopRequested` says so. Reports prefix + "N checkpoint(s) captured from
// session S". Returns the number consumed.
std::int64_t consumeMarkers(std::span<const Marker> markers, const HookPayload& payload,
                            bool sessionEnded, db::Connection& connection, store::WriteState& state,
                            std::string_view prefix, const Diagnostics& diagnostics,
                            const std::function<bool()>& stopRequested);

}  // namespace nodrel::capture
