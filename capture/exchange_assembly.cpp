#include "capture/exchange_assembly.h"

#include "capture/captured_body.h"
#include "platform/text.h"

namespace nodrel::capture {
namespace {

using Role = TranscriptMessage::Role;

constexpr std::string_view kSeparator = "\n\n";
constexpr std::string_view kLeftOut = "\u2026";

}  // namespace

bool isTypedMessage(const TranscriptMessage& message) {
  return message.role == Role::User && !message.hostWritten;
}

bool opensTurn(const TranscriptMessage& message) {
  return isTypedMessage(message) || (message.hostWritten && message.opensTurn);
}

std::optional<std::size_t> turnQuestionIndex(std::size_t index,
                                             std::span<const TranscriptMessage> messages) {
  if (index >= messages.size())
    index = messages.size();
  else if (opensTurn(messages[index]))
    return index;
  for (std::size_t i = index; i-- > 0;) {
    if (opensTurn(messages[i])) return i;
  }
  return std::nullopt;
}

std::vector<std::string_view> replyTexts(std::optional<std::size_t> from,
                                         std::span<const TranscriptMessage> messages) {
  std::vector<std::string_view> texts;
  for (std::size_t i = from ? *from + 1 : 0; i < messages.size(); ++i) {
    if (opensTurn(messages[i])) break;
    if (messages[i].role == Role::Assistant) texts.push_back(messages[i].text);
  }
  return texts;
}

std::string assembleReply(std::span<const std::string_view> texts, std::size_t characters) {
  if (texts.empty() || characters == 0) return {};
  std::size_t bytes = 0;
  for (std::string_view text : texts) bytes += text.size() + kSeparator.size();
  if (bytes <= characters) {
    // A byte count bounds the character count: everything fits.
    std::string joined;
    for (std::string_view text : texts) {
      if (!joined.empty()) joined += kSeparator;
      joined += text;
    }
    return joined;
  }
  // From the last text back, as many whole texts as fit beside the mark for those left out.
  const std::size_t markCost = 1 + kSeparator.size();  // "…" is one character
  std::size_t used = 0;
  std::size_t first = texts.size();
  while (first > 0) {
    const std::size_t cost =
        platform::graphemeCount(texts[first - 1]) + (first < texts.size() ? kSeparator.size() : 0);
    const std::size_t mark = first - 1 > 0 ? markCost : 0;
    if (used + cost + mark > characters) break;
    used += cost;
    --first;
  }
  if (first == texts.size()) {
    // The last text alone is too long: it is cut, and what came before is left out.
    return cutText(texts.back(), characters);
  }
  std::string joined;
  if (first > 0) {
    joined += kLeftOut;
    joined += kSeparator;
  }
  for (std::size_t i = first; i < texts.size(); ++i) {
    if (i > first) joined += kSeparator;
    joined += texts[i];
  }
  return joined;
}

std::string exchangeBody(std::string_view question, std::span<const std::string_view> texts) {
  if (texts.empty()) return questionAndAnswerBody(question, "(no assistant response)");
  return questionAndAnswerBody(question, assembleReply(texts, answerRoom(question)));
}

std::string turnExchangeBody(std::size_t index, std::span<const TranscriptMessage> messages) {
  const std::optional<std::size_t> question = turnQuestionIndex(index, messages);
  const std::vector<std::string_view> texts = replyTexts(question, messages);
  const bool typed = question && isTypedMessage(messages[*question]);
  return exchangeBody(typed ? std::string_view(messages[*question].text) : "(session start)",
                      texts);
}

}  // namespace nodrel::capture
