#include "capture/salience.h"

#include <array>

#include "capture/exchange_assembly.h"
#include "platform/text.h"

namespace nodrel::capture {
namespace {

constexpr std::array<std::string_view, 13> kUserCorrectionPhrases = {
    "no, ",         "that's wrong",     "that is wrong",    "instead of", "actually, ",
    "you're wrong", "you are wrong",    "incorrect,",       "incorrect.", "not quite,",
    "not quite.",   "that's not right", "that is not right"};

constexpr std::array<std::string_view, 16> kUserSaveIntentPhrases = {"always ",
                                                                     "never ",
                                                                     "from now on",
                                                                     "stop doing",
                                                                     "don't ever",
                                                                     "do not ever",
                                                                     "don't do",
                                                                     "do not do",
                                                                     "please always",
                                                                     "please never",
                                                                     "going forward",
                                                                     "in the future,",
                                                                     "remember to",
                                                                     "remember that",
                                                                     "make sure you always",
                                                                     "make sure you never"};

constexpr std::array<std::string_view, 12> kAssistantSelfCorrectionPhrases = {
    "i had it backwards",
    "you're right",
    "you are right",
    "my mistake",
    "i was wrong",
    "i was mistaken",
    "i apologize for the confusion",
    "i apologize, i",
    "that was incorrect",
    "i got that wrong",
    "i stand corrected",
    "good catch"};

constexpr std::array<std::string_view, 9> kAssistantSaveIntentPhrases = {
    "let me save that", "so i don't drift back",   "to avoid this again",
    "i'll note that",   "i'll remember that",      "i'll keep that in mind",
    "i should note",    "worth noting for future", "going to remember"};

}  // namespace

std::string_view kindRawValue(SalienceSignal::Kind kind) {
  switch (kind) {
    case SalienceSignal::Kind::CorrectionUser:
      return "correctionUser";
    case SalienceSignal::Kind::SaveIntentUser:
      return "saveIntentUser";
    case SalienceSignal::Kind::SelfCorrectionAssistant:
      return "selfCorrectionAssistant";
    case SalienceSignal::Kind::SaveIntentAssistant:
      return "saveIntentAssistant";
  }
  return "";
}

std::optional<SalienceSignal::Kind> kindFromRawValue(std::string_view raw) {
  for (auto kind :
       {SalienceSignal::Kind::CorrectionUser, SalienceSignal::Kind::SaveIntentUser,
        SalienceSignal::Kind::SelfCorrectionAssistant, SalienceSignal::Kind::SaveIntentAssistant}) {
    if (kindRawValue(kind) == raw) return kind;
  }
  return std::nullopt;
}

bool containsAnyPhrase(std::string_view text, std::span<const std::string_view> phrases) {
  for (std::string_view phrase : phrases) {
    if (text.find(phrase) != std::string_view::npos) return true;
  }
  return false;
}

std::vector<SalienceSignal> detectSalienceSignals(std::span<const TranscriptMessage> messages) {
  using Kind = SalienceSignal::Kind;
  std::vector<SalienceSignal> signals;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    // What the host wrote in the user's place says nothing about what the user wants.
    if (messages[i].hostWritten) continue;
    const std::string lowered = platform::lowercase(messages[i].text);
    const auto index = static_cast<std::ptrdiff_t>(i);
    if (messages[i].role == TranscriptMessage::Role::User) {
      if (containsAnyPhrase(lowered, kUserCorrectionPhrases)) {
        signals.push_back({Kind::CorrectionUser, index, 8});
      } else if (containsAnyPhrase(lowered, kUserSaveIntentPhrases)) {
        signals.push_back({Kind::SaveIntentUser, index, 6});
      }
    } else {
      if (containsAnyPhrase(lowered, kAssistantSelfCorrectionPhrases)) {
        signals.push_back({Kind::SelfCorrectionAssistant, index, 4});
      } else if (containsAnyPhrase(lowered, kAssistantSaveIntentPhrases)) {
        signals.push_back({Kind::SaveIntentAssistant, index, 3});
      }
    }
  }
  return signals;
}

std::optional<std::string> precedingUserMessage(std::ptrdiff_t index,
                                                std::span<const TranscriptMessage> messages) {
  if (index > static_cast<std::ptrdiff_t>(messages.size())) {
    index = static_cast<std::ptrdiff_t>(messages.size());
  }
  for (std::ptrdiff_t i = index - 1; i >= 0; --i) {
    const auto& message = messages[static_cast<std::size_t>(i)];
    if (message.role == TranscriptMessage::Role::User && !message.hostWritten) return message.text;
  }
  return std::nullopt;
}

std::string exchangeText(std::ptrdiff_t messageIndex, std::span<const TranscriptMessage> messages) {
  if (messageIndex < 0 || messageIndex >= static_cast<std::ptrdiff_t>(messages.size())) {
    return "(empty)";
  }
  return turnExchangeBody(static_cast<std::size_t>(messageIndex), messages);
}

}  // namespace nodrel::capture
