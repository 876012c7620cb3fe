// capture/transcript_tail.h: the watermark scan. Each hook run reads a session's transcript on
// from where the last run stopped, so an exchange is stored once however many turns follow and
// the cost follows the new lines, not the transcript's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/session_watermark.h"
#include "capture/transcript.h"
#include "platform/time.h"

namespace nodrel::capture {

// What one run reads: the messages appended since the session's watermark, after the question
// that was open there.
struct TranscriptTail {
  SessionWatermark base;                    // where this read started
  std::vector<TranscriptMessage> messages;  // [the carried question] + the new messages
  std::vector<std::uint64_t> lineEnds;      // file offset past each message's line
  std::size_t firstNew = 0;
  std::uint64_t end = 0;       // file offset the read was taken to
  std::uint64_t readFrom = 0;  // file offset of the first byte of `bytes`
  std::string bytes;           // what was read: the digest's bytes before the watermark, then on
  // The time span of every main-thread line read, tool calls and results included.
  std::optional<platform::Instant> earliest;
  std::optional<platform::Instant> latest;
  // The payload's answer was added as the last message: the host had not written it yet.
  std::optional<std::string> payloadAnswer;
  // The last turn was still at its tool work where the read ended, and no payload said how it
  // ended: its answer is yet to come.
  bool turnGoesOn = false;
};

// Reads the session's transcript on from its watermark. A watermark of another path, one past
// the file's end, or one whose digest does not match the bytes before its offset (the file was
// rewritten in place) reads the file from its start. An unreadable file reads as nothing new.
// The line that brings an answer an earlier run took from the payload is left out.
TranscriptTail readTranscriptTail(const std::string& sessionId, const std::string& transcriptPath);

// Adds the Stop payload's answer to the turn of the last new typed message when the transcript
// does not end that turn with it yet.
void addPayloadAnswer(TranscriptTail& tail, const std::optional<std::string>& answer);

// The index of the last new typed message when no assistant text follows it, or when its turn
// goes on: an open question, which the watermark must not pass while a later run can still see
// its answer.
std::optional<std::size_t> openQuestionIndex(const TranscriptTail& tail);

// The watermark once the tail's messages before index `stop` have been handled.
SessionWatermark watermarkBefore(const TranscriptTail& tail, std::size_t stop);

}  // namespace nodrel::capture
