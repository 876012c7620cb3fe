// capture/checkpoint.h: the Stop hook's work after every assistant turn: store the exchanges
// around the transcript's salient messages (unless capture is off) and turn the waiting
// "/remember" markers of the project directory into memories. Marker files are written by
// `remember-mark`; this side reads them leniently and deletes only those it consumed.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/hook_payload.h"
#include "capture/transcript.h"
#include "platform/time.h"

namespace nodrel::capture {

namespace CheckpointCommand {

struct Marker {
  std::filesystem::path url;
  std::string cwd;
  std::optional<std::string> note;  // as stored, possibly empty
  std::optional<platform::Instant> createdAt;
  std::optional<std::string> rawCreatedAt;  // as stored

  friend bool operator==(const Marker&, const Marker&) = default;
};

}  // namespace CheckpointCommand

// The markers in the checkpoints directory whose "cwd" is exactly `cwd`, in listing order.
// Only regular "*.json" files holding an object with a text "cwd" count; "created_at" and
// "note" of another type read as absent. Never fails; problems only leave markers out.
std::vector<CheckpointCommand::Marker> loadMarkers(const std::string& cwd);

// "yyyy-MM-dd'T'HH:mm:ss.SSSZ", then "yyyy-MM-dd'T'HH:mm:ss'Z'".
std::optional<platform::Instant> parseMarkerDate(std::string_view text);

// The last user message that did not run the remember command, with the assistant replies
// right after it; empty when there is none.
std::vector<TranscriptMessage> lastExchange(std::span<const TranscriptMessage> messages);
// The exchange in which a marker was set: the last such user message at or before `createdAt`,
// else `lastExchange`.
std::vector<TranscriptMessage> markerExchange(std::optional<platform::Instant> createdAt,
                                              std::span<const TranscriptMessage> messages);
// "Q: " + [note] user texts + "\n\nA: " + assistant texts, either half alone, or "".
std::string markerMemoryBody(std::span<const TranscriptMessage> window,
                             const std::optional<std::string>& note);

// The `checkpoint` command over its standard-input text; returns the exit status.
int runCheckpointCommand(std::string_view input, const Diagnostics& diagnostics);

}  // namespace nodrel::capture
