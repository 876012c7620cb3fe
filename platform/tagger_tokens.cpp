#include "platform/tagger_tokens.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include "platform/tagger_characters.h"
#include "platform/word_breaker.h"

namespace nodrel::platform::tagging {
void tokenize(std::string_view text, std::size_t base, std::vector<Tagger::Token>& out) {
  icu::BreakIterator* it = threadWordBreaker();
  if (it == nullptr || text.empty()) return;
  UErrorCode status = U_ZERO_ERROR;
  UText ut = UTEXT_INITIALIZER;
  utext_openUTF8(&ut, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_FAILURE(status)) return;
  it->setText(&ut, status);  // the iterator keeps its own shallow clone
  utext_close(&ut);
  if (U_FAILURE(status)) return;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t start = it->first();
  for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
    Tagger::Token token;
    token.begin = static_cast<std::uint32_t>(base + start);
    token.end = static_cast<std::uint32_t>(base + end);
    const int32_t rule = it->getRuleStatus();
    bool letter = false, letterOrDigit = false, punctuation = false, allSpace = true,
         lineBreak = false;
    for (int32_t i = start; i < end && i < length;) {
      UChar32 c;
      U8_NEXT(bytes, i, length, c);
      if (c < 0) c = 0xFFFD;
      const std::uint8_t k = charClass(c);
      if (k & kAlpha) letter = true;
      if (k & (kAlpha | kDigit)) letterOrDigit = true;
      if (k & kPunct) punctuation = true;
      if (!(k & kSpace)) allSpace = false;
      if (isLineSeparator(c)) lineBreak = true;
    }
    if (rule >= UBRK_WORD_NONE_LIMIT && letterOrDigit) {
      token.kind = letter ? kWordKind : kNumberKind;  // parseConfig_v2 is a word
    } else if (allSpace) {
      token.kind = kSpaceKind;
      token.lineBreak = lineBreak;
    } else if (punctuation) {
      token.kind = kPunctuationKind;
    } else {
      token.kind = kOtherKind;
    }
    out.push_back(token);
  }
}

}  // namespace nodrel::platform::tagging
