// capture/salience.h: the messages of a transcript worth remembering: the user correcting the
// assistant or stating a standing wish, the assistant admitting a mistake or promising to
// remember. Pure functions of the message list.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/transcript.h"

namespace nodrel::capture {

struct SalienceSignal {
  enum class Kind { CorrectionUser, SaveIntentUser, SelfCorrectionAssistant, SaveIntentAssistant };

  Kind kind = Kind::CorrectionUser;
  std::ptrdiff_t messageIndex = 0;
  int weight = 0;

  friend bool operator==(const SalienceSignal&, const SalienceSignal&) = default;
};

std::string_view kindRawValue(SalienceSignal::Kind kind);
std::optional<SalienceSignal::Kind> kindFromRawValue(std::string_view raw);

// At most one signal per message, in message order.
std::vector<SalienceSignal> detectSalienceSignals(std::span<const TranscriptMessage> messages);

// A plain substring test, phrases in order; the caller lower-cases the text.
bool containsAnyPhrase(std::string_view text, std::span<const std::string_view> phrases);

// The exchange of the turn that holds one message: its typed question with the turn's whole
// reply (see exchange_assembly.h), or "(empty)" for an index outside the list.
std::string exchangeText(std::ptrdiff_t messageIndex, std::span<const TranscriptMessage> messages);

// The text of the last user message before `index`, passing over assistant messages and what the
// host wrote in the user's place.
std::optional<std::string> precedingUserMessage(std::ptrdiff_t index,
                                                std::span<const TranscriptMessage> messages);

}  // namespace nodrel::capture
