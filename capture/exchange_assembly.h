// capture/exchange_assembly.h: one exchange of a transcript as a memory body: the message the
// user typed and the assistant's reply in that turn, which in the host's transcripts is spread
// over many lines (a preamble, tool calls and their results, then what was done).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/transcript.h"

namespace nodrel::capture {

// A user message that the user typed (not one the host wrote in the user's place).
bool isTypedMessage(const TranscriptMessage& message);

// A message that begins a turn: one the user typed, or a host line that opens a turn.
bool opensTurn(const TranscriptMessage& message);

// The index of the message that began the turn holding the message at `index`: that message
// itself when it begins one, else the last one before it that does; nothing when there is none
// (the transcript's first turn began before what was read).
std::optional<std::size_t> turnQuestionIndex(std::size_t index,
                                             std::span<const TranscriptMessage> messages);

// The assistant texts after index `from` (all of them from the start when `from` is nothing) up
// to the next message that begins a turn, in order; host lines written inside the turn (hook
// feedback, reminders, a command's expansion) are passed over.
std::vector<std::string_view> replyTexts(std::optional<std::size_t> from,
                                         std::span<const TranscriptMessage> messages);

// The texts joined by a blank line within `characters`. When they do not fit, the last texts are
// kept over the first (where an assistant states what it did), "…" standing for those left out;
// a last text too long by itself is cut at a grapheme with "…".
std::string assembleReply(std::span<const std::string_view> texts, std::size_t characters);

// "Q: " + question + "\n\nA: " + the reply assembled beside it, held to the body limit;
// "(no assistant response)" stands for a reply without text.
std::string exchangeBody(std::string_view question, std::span<const std::string_view> texts);

// The exchange of the turn that holds the message at `index`: its typed question (or
// "(session start)" for a turn the host began) with the turn's whole reply.
std::string turnExchangeBody(std::size_t index, std::span<const TranscriptMessage> messages);

}  // namespace nodrel::capture
