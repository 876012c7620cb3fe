// capture/exchanges.h: the heuristics that pick a finished session's notable exchanges without a
// language model: the assistant's longer, structured answers (tables, lists, file paths, code,
// decision wording), each with the question that led to it. Pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/transcript.h"

namespace nodrel::capture {

struct CapturedExchange {
  std::string body;  // the turn's exchange: "Q: " + question + "\n\nA: " + the turn's reply
  std::int64_t structuralScore = 0;

  friend bool operator==(const CapturedExchange&, const CapturedExchange&) = default;
};

inline constexpr std::size_t kMaxExchangesPerSession = 8;

// The turns holding a long, structured assistant text, one exchange per turn: at most eight,
// highest score first, then longest answer, then transcript order.
std::vector<CapturedExchange> extractNotableExchanges(std::span<const TranscriptMessage> messages);

// 0 to 10: table +3, list +2, file paths +2, code fence +1, decision wording +2.
std::int64_t structuralScore(std::string_view text);

// True when more than 70% of the characters are inside closed code fences.
bool isMostlyCode(std::string_view text);

}  // namespace nodrel::capture
