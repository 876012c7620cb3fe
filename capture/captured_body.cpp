#include "capture/captured_body.h"

#include <algorithm>

#include "platform/text.h"

namespace nodrel::capture {
namespace {

constexpr std::string_view kEllipsis = "\u2026";
constexpr std::string_view kQuestionLabel = "Q: ";
constexpr std::string_view kAnswerSeparator = "\n\nA: ";

std::string withoutNul(std::string_view text) {
  if (text.find('\0') == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\0') out += c;
  }
  return out;
}

std::string cutClean(std::string text, std::size_t characters) {
  if (text.size() <= characters || platform::graphemeCount(text) <= characters) return text;
  if (characters == 0) return {};
  return platform::graphemePrefix(text, characters - 1) + std::string(kEllipsis);
}

}  // namespace

std::string cutText(std::string_view text, std::size_t characters) {
  return cutClean(withoutNul(text), characters);
}

std::string questionAndAnswerBody(std::string_view question, std::string_view answer) {
  // The labels are ASCII without CR, so their byte count is their character count; joining
  // never makes more characters than the parts have.
  const std::size_t room =
      kMaxCapturedBodyCharacters - kQuestionLabel.size() - kAnswerSeparator.size();
  std::string q = withoutNul(question);
  std::string a = withoutNul(answer);
  // A byte count bounds the character count from above and is free.
  const bool mayNotFit = q.size() + a.size() > room;
  const std::size_t qCount = mayNotFit ? platform::graphemeCount(q) : q.size();
  const std::size_t aCount = mayNotFit ? platform::graphemeCount(a) : a.size();
  if (qCount + aCount > room) {
    const std::size_t half = room / 2;
    if (qCount <= half) {
      a = cutClean(std::move(a), room - qCount);
    } else if (aCount <= half) {
      q = cutClean(std::move(q), room - aCount);
    } else {
      q = cutClean(std::move(q), half);
      a = cutClean(std::move(a), room - half);
    }
  }
  std::string body(kQuestionLabel);
  body += q;
  body += kAnswerSeparator;
  body += a;
  return body;
}

std::size_t answerRoom(std::string_view question) {
  const std::size_t room =
      kMaxCapturedBodyCharacters - kQuestionLabel.size() - kAnswerSeparator.size();
  const std::size_t half = room / 2;
  const std::size_t count =
      question.size() <= half ? question.size() : platform::graphemeCount(withoutNul(question));
  return room - std::min(count, half);
}

std::string labelledBody(std::string_view label, std::string_view text) {
  return std::string(label) + cutText(text, kMaxCapturedBodyCharacters - label.size());
}

}  // namespace nodrel::capture
