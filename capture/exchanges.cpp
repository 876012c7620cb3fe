#include "capture/exchanges.h"

#include <algorithm>
#include <array>
#include <set>

#include <unicode/uchar.h>

#include "capture/exchange_assembly.h"
#include "capture/salience.h"
#include "platform/text.h"

namespace nodrel::capture {
namespace {

constexpr std::size_t kMinimumAnswerCharacters = 400;
constexpr std::int64_t kMinimumScore = 1;
constexpr double kMostlyCodeShare = 0.7;

constexpr std::array<std::string_view, 14> kDecisionPhrases = {
    "recommend",      "decision:", "the fix is", "root cause",   "should use",
    "must ",          "always ",   "never ",     "the issue is", "the solution is",
    "the problem is", "i decided", "we decided", "the reason"};

// Tab and the space separators (Unicode category Zs); line breaks are not horizontal.
bool isHorizontalSpace(char32_t c) {
  if (c < 0x80) return c == U' ' || c == U'\t';
  return c == U'\t' || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR;
}

// Decodes the code point at `i` and returns its length; a byte that starts no well-formed
// sequence reads as U+FFFD of length 1.
std::size_t decodeAt(std::string_view text, std::size_t i, char32_t& c) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  char32_t value = 0;
  if (lead < 0x80) {
    c = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
  }
  if (length == 0 || i + length > text.size()) {
    c = U'\uFFFD';
    return 1;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      c = U'\uFFFD';
      return 1;
    }
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  c = value;
  return length;
}

std::string_view trimHorizontal(std::string_view text) {
  std::size_t begin = text.size();
  std::size_t end = 0;
  for (std::size_t i = 0; i < text.size();) {
    char32_t c;
    const std::size_t n = decodeAt(text, i, c);
    if (!isHorizontalSpace(c)) {
      if (begin == text.size()) begin = i;
      end = i + n;
    }
    i += n;
  }
  if (begin >= end) return {};
  return text.substr(begin, end - begin);
}

// Pieces between runs of horizontal space; line breaks do not split.
std::vector<std::string_view> splitHorizontal(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t c;
    const std::size_t n = decodeAt(text, i, c);
    if (isHorizontalSpace(c)) {
      if (i > start) pieces.push_back(text.substr(start, i - start));
      start = i + n;
    }
    i += n;
  }
  if (text.size() > start) pieces.push_back(text.substr(start));
  return pieces;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool isListLine(std::string_view line) {
  if (line.empty()) return false;
  if (startsWith(line, "- ") || startsWith(line, "* ") || startsWith(line, "\u2022 ")) return true;
  const std::string first = platform::graphemePrefix(line, 1);
  const std::u32string points = platform::toCodePoints(first);
  if (points.empty()) return false;
  const auto type = u_charType(static_cast<UChar32>(points[0]));
  if (type != U_DECIMAL_DIGIT_NUMBER && type != U_LETTER_NUMBER && type != U_OTHER_NUMBER) {
    return false;
  }
  const std::string_view rest = line.substr(first.size());
  return startsWith(rest, ". ") || startsWith(rest, ") ");
}

std::string_view trimPathPunctuation(std::string_view piece) {
  constexpr std::string_view kPunctuation = "`,'\".()[]";
  const auto begin = piece.find_first_not_of(kPunctuation);
  if (begin == std::string_view::npos) return {};
  const auto end = piece.find_last_not_of(kPunctuation);
  return piece.substr(begin, end - begin + 1);
}

}  // namespace

bool isMostlyCode(std::string_view text) {
  const std::size_t total = platform::graphemeCount(text);
  if (total < 1) return false;
  bool inside = false;
  std::size_t committed = 0;
  std::size_t block = 0;
  for (std::string_view line : splitLines(text)) {
    if (startsWith(trimHorizontal(line), "```")) {
      if (inside) committed += block;
      inside = !inside;
      block = 0;
    } else if (inside) {
      block += platform::graphemeCount(line) + 1;
    }
  }
  return static_cast<double>(committed) / static_cast<double>(total) > kMostlyCodeShare;
}

std::int64_t structuralScore(std::string_view text) {
  std::int64_t score = 0;
  std::size_t tableLines = 0;
  std::size_t listLines = 0;
  for (std::string_view line : splitLines(text)) {
    const std::string_view trimmed = trimHorizontal(line);
    if (startsWith(trimmed, "|")) ++tableLines;
    if (isListLine(trimmed)) ++listLines;
  }
  if (tableLines > 1) score += 3;
  if (listLines > 2) score += 2;

  std::set<std::string_view> paths;
  for (std::string_view piece : splitHorizontal(text)) {
    const std::string_view trimmed = trimPathPunctuation(piece);
    if (trimmed.find('/') != std::string_view::npos &&
        trimmed.find('.') != std::string_view::npos && !startsWith(trimmed, "http")) {
      paths.insert(piece);
      if (paths.size() > 1) break;
    }
  }
  if (paths.size() > 1) score += 2;

  if (text.find("```") != std::string_view::npos && !isMostlyCode(text)) score += 1;
  if (containsAnyPhrase(platform::lowercase(text), kDecisionPhrases)) score += 2;
  return score;
}

std::vector<CapturedExchange> extractNotableExchanges(std::span<const TranscriptMessage> messages) {
  struct Candidate {
    CapturedExchange exchange;
    std::size_t answerCharacters;
    std::optional<std::size_t> question;  // the turn: one exchange however many answers qualify
  };
  std::vector<Candidate> candidates;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    const TranscriptMessage& message = messages[i];
    if (message.role != TranscriptMessage::Role::Assistant) continue;
    // A byte count below the minimum cannot hold enough characters; skip the costlier count.
    if (message.text.size() < kMinimumAnswerCharacters) continue;
    const std::size_t characters = platform::graphemeCount(message.text);
    if (characters < kMinimumAnswerCharacters) continue;
    const std::int64_t score = structuralScore(message.text);
    if (score < kMinimumScore || isMostlyCode(message.text)) continue;
    const std::optional<std::size_t> question = turnQuestionIndex(i, messages);
    auto same = std::find_if(candidates.begin(), candidates.end(),
                             [&](const Candidate& c) { return c.question == question; });
    if (same != candidates.end()) {
      // The turn's best answer ranks it.
      if (score > same->exchange.structuralScore ||
          (score == same->exchange.structuralScore && characters > same->answerCharacters)) {
        same->exchange.structuralScore = score;
        same->answerCharacters = characters;
      }
      continue;
    }
    // The same body as a salience capture of the turn, so that the two make one memory.
    candidates.push_back({{turnExchangeBody(i, messages), score}, characters, question});
  }
  std::stable_sort(candidates.begin(), candidates.end(), [](const auto& a, const auto& b) {
    if (a.exchange.structuralScore != b.exchange.structuralScore) {
      return a.exchange.structuralScore > b.exchange.structuralScore;
    }
    return a.answerCharacters > b.answerCharacters;
  });
  std::vector<CapturedExchange> result;
  for (std::size_t i = 0; i < candidates.size() && i < kMaxExchangesPerSession; ++i) {
    result.push_back(std::move(candidates[i].exchange));
  }
  return result;
}

}  // namespace nodrel::capture
