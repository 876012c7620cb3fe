// platform/tagger_tokens.h: the tagger's first pass, which cuts a text into word, number,
// punctuation, space and other tokens by ICU's word break rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/tagger.h"

namespace nodrel::platform::tagging {

enum Kind : std::uint8_t { kWordKind, kNumberKind, kPunctuationKind, kSpaceKind, kOtherKind };

// Appends the tokens of `text` to `out`, their offsets moved on by `base`; nothing when ICU
// gives no word break iterator.
void tokenize(std::string_view text, std::size_t base, std::vector<Tagger::Token>& out);

}  // namespace nodrel::platform::tagging
