// capture/hook_payload.h: the JSON object that the assistant host hands a hook command on
// standard input, and what the hook commands share around it: the capture level, the queued
// writes and the diagnostic sink.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "store/pending_write_queue.h"

namespace nodrel::capture {

struct HookPayload {
  std::string sessionId;
  std::string transcriptPath;
  std::string cwd;  // "" when absent or not a text
  // The Stop event's answer of the turn: the host runs the hook before it has written that
  // answer to the transcript. Nothing when absent, not a text or blank.
  std::optional<std::string> lastAssistantMessage;

  friend bool operator==(const HookPayload&, const HookPayload&) = default;
};

enum class PayloadStatus {
  Ignored,  // empty, not JSON, or not an object: the command ends silently with status 0
  Missing,  // no text session_id or transcript_path: status 1
  Ready,
};

struct PayloadReading {
  PayloadStatus status = PayloadStatus::Ignored;
  HookPayload payload;
};

PayloadReading readHookPayload(std::string_view input);

inline constexpr std::string_view kCaptureLevelKey = "nodrelCaptureLevel";
// True only for the exact text "off"; any other value, or none, captures.
bool captureLevelIsOff();

// Writes refused for capacity wait in the run's pending-write queue and would end with it:
// appends what is still queued to the pending-write file. Never throws.
void preserveQueuedWrites(store::PendingWriteQueue& queue);

// Where a command's diagnostic lines go; each call is one complete line.
using Diagnostics = std::function<void(std::string_view line)>;

}  // namespace nodrel::capture
