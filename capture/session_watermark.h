// capture/session_watermark.h: how far the Stop hook has read a session's transcript, so that
// each run scans only what was appended since the last one and an exchange is stored once,
// however many turns follow it. One small JSON file per session in the data directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/time.h"

namespace nodrel::capture {

inline constexpr std::size_t kWatermarkDigestBytes = 4096;

struct SessionWatermark {
  std::string transcriptPath;  // the file the offset belongs to
  std::uint64_t offset = 0;    // bytes of the transcript already scanned
  // The last message the user typed before the offset (cut to what a body can hold): the
  // question of an answer that comes after it.
  std::optional<std::string> lastQuestion;
  // The time span of the messages before the offset; absent when none had a time.
  std::optional<platform::Instant> earliest;
  std::optional<platform::Instant> latest;
  // SHA-256 (hex) of the up to kWatermarkDigestBytes bytes before the offset: a transcript
  // rewritten in place does not match it and is read from its start. Empty for none.
  std::string digest;
  // SHA-256 (hex) of the answer that the last run took from the hook payload before the host
  // wrote it: the transcript line that brings it later is not a new message.
  std::optional<std::string> payloadAnswer;

  friend bool operator==(const SessionWatermark&, const SessionWatermark&) = default;
};

// The folder of the watermark files ("watermarks" in the data directory).
std::filesystem::path watermarkDirectory();

// The session's watermark; nothing when it has none or its file is unreadable or malformed
// (the transcript is then scanned from its start).
std::optional<SessionWatermark> loadWatermark(const std::string& sessionId);

// Replaces the session's watermark. A failure is ignored: the next run scans again from the old
// watermark, which can reinforce an exchange once more but loses nothing. Writing a session's
// first watermark also removes those untouched for 30 days.
void saveWatermark(const std::string& sessionId, const SessionWatermark& watermark);

}  // namespace nodrel::capture
