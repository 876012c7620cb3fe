#include "capture/transcript_tail.h"

#include <algorithm>

#include "capture/captured_body.h"
#include "capture/exchange_assembly.h"
#include "capture/secret_mask.h"
#include "platform/files.h"
#include "platform/sha256.h"

namespace nodrel::capture {
namespace {

using Role = TranscriptMessage::Role;

void widenSpan(std::optional<platform::Instant>& earliest, std::optional<platform::Instant>& latest,
               const std::optional<platform::Instant>& timestamp) {
  if (!timestamp) return;
  if (!earliest || *timestamp < *earliest) earliest = timestamp;
  if (!latest || *timestamp > *latest) latest = timestamp;
}

std::uint64_t digestStart(std::uint64_t offset) {
  return offset - std::min<std::uint64_t>(offset, kWatermarkDigestBytes);
}

// The bytes read from `start` still hold what the watermark saw before its offset.
bool sameBytesBefore(const SessionWatermark& base, const platform::FileTail& file,
                     std::uint64_t start) {
  if (file.size < base.offset) return false;
  if (base.digest.empty()) return true;  // written before digests were kept
  const std::size_t before = static_cast<std::size_t>(base.offset - start);
  if (file.bytes.size() < before) return false;
  return platform::sha256Hex(std::string_view(file.bytes).substr(0, before)) == base.digest;
}

// Drops the first assistant message of the tail's first turn when it is the answer an earlier
// run already took from the payload.
void dropPayloadAnswerLine(TranscriptTail& tail) {
  if (!tail.base.payloadAnswer) return;
  for (std::size_t i = tail.firstNew; i < tail.messages.size(); ++i) {
    if (opensTurn(tail.messages[i])) return;
    if (tail.messages[i].role == Role::Assistant &&
        platform::sha256Hex(tail.messages[i].text) == *tail.base.payloadAnswer) {
      tail.messages.erase(tail.messages.begin() + static_cast<std::ptrdiff_t>(i));
      tail.lineEnds.erase(tail.lineEnds.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

}  // namespace

TranscriptTail readTranscriptTail(const std::string& sessionId, const std::string& transcriptPath) {
  TranscriptTail tail;
  if (auto stored = loadWatermark(sessionId); stored && stored->transcriptPath == transcriptPath) {
    tail.base = std::move(*stored);
  }
  tail.base.transcriptPath = transcriptPath;
  std::uint64_t start = digestStart(tail.base.offset);
  auto file = platform::readFileFrom(transcriptPath, start);
  if (file && !sameBytesBefore(tail.base, *file, start)) {
    // Shorter than what was read, or rewritten: another file now, read from its start.
    tail.base = SessionWatermark{};
    tail.base.transcriptPath = transcriptPath;
    start = 0;
    file = platform::readFileFrom(transcriptPath, 0);
  }
  tail.end = tail.base.offset;
  tail.readFrom = start;
  if (!file) return tail;  // unreadable: nothing new, and the watermark stays
  const std::size_t skipped = static_cast<std::size_t>(tail.base.offset - start);
  const std::string_view fresh = std::string_view(file->bytes).substr(skipped);
  TranscriptPiece piece = parseTranscriptPiece(fresh);
  if (tail.base.lastQuestion) {
    tail.messages.push_back({Role::User, *tail.base.lastQuestion});
    tail.lineEnds.push_back(tail.base.offset);
  }
  tail.firstNew = tail.messages.size();
  for (std::size_t i = 0; i < piece.messages.size(); ++i) {
    tail.messages.push_back(std::move(piece.messages[i]));
    tail.lineEnds.push_back(tail.base.offset + piece.lineEnds[i]);
  }
  tail.end = tail.base.offset + piece.end;
  tail.earliest = piece.earliest;
  tail.latest = piece.latest;
  tail.turnGoesOn = piece.endsInToolWork;
  dropPayloadAnswerLine(tail);
  tail.bytes = std::move(file->bytes);
  return tail;
}

void addPayloadAnswer(TranscriptTail& tail, const std::optional<std::string>& answer) {
  if (!answer) return;
  // The host ran the hook at the turn's end and said what its answer was.
  tail.turnGoesOn = false;
  std::optional<std::size_t> question;
  for (std::size_t i = tail.messages.size(); i-- > tail.firstNew;) {
    if (opensTurn(tail.messages[i])) {
      question = i;
      break;
    }
  }
  // The answer of a turn whose question an earlier run saw is that run's to place.
  if (!question) return;
  const std::vector<std::string_view> texts = replyTexts(question, tail.messages);
  if (!texts.empty() && texts.back() == *answer) return;
  tail.messages.push_back({Role::Assistant, *answer});
  tail.lineEnds.push_back(tail.end);
  tail.payloadAnswer = answer;
}

std::optional<std::size_t> openQuestionIndex(const TranscriptTail& tail) {
  for (std::size_t i = tail.messages.size(); i-- > tail.firstNew;) {
    if (!opensTurn(tail.messages[i])) continue;
    if (isTypedMessage(tail.messages[i]) &&
        (tail.turnGoesOn || replyTexts(i, tail.messages).empty())) {
      return i;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

SessionWatermark watermarkBefore(const TranscriptTail& tail, std::size_t stop) {
  SessionWatermark next = tail.base;
  const bool whole = stop >= tail.messages.size();
  next.offset = whole ? tail.end : stop == 0 ? tail.base.offset : tail.lineEnds[stop - 1];
  // Cut no shorter than a body could hold it, so the answer's body comes out as it would have.
  // The question of the turn still going on there; none when the host began that turn.
  if (stop > 0) {
    const auto question =
        turnQuestionIndex(std::min(stop, tail.messages.size()) - 1, tail.messages);
    next.lastQuestion = std::nullopt;
    if (question && isTypedMessage(tail.messages[*question])) {
      next.lastQuestion =
          maskSecrets(cutText(tail.messages[*question].text, kMaxCapturedBodyCharacters));
    }
  }
  for (std::size_t i = tail.firstNew; i < stop && i < tail.messages.size(); ++i) {
    widenSpan(next.earliest, next.latest, tail.messages[i].timestamp);
  }
  if (whole) {
    widenSpan(next.earliest, next.latest, tail.earliest);
    widenSpan(next.earliest, next.latest, tail.latest);
  }
  next.payloadAnswer = whole && tail.payloadAnswer
                           ? std::optional<std::string>(platform::sha256Hex(*tail.payloadAnswer))
                           : std::nullopt;
  next.digest.clear();
  const std::uint64_t from = digestStart(next.offset);
  if (from >= tail.readFrom && next.offset - tail.readFrom <= tail.bytes.size()) {
    next.digest = platform::sha256Hex(std::string_view(tail.bytes)
                                          .substr(static_cast<std::size_t>(from - tail.readFrom),
                                                  static_cast<std::size_t>(next.offset - from)));
  }
  return next;
}

}  // namespace nodrel::capture
