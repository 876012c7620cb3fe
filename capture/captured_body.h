// capture/captured_body.h: the bodies that the hook commands store, held to the content limit of
// the server's tools. Capture skips the tools' refusal checks (code discussions mention markup),
// so this is what keeps a pasted log or a compaction-sized answer from becoming one memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nodrel::capture {

// Characters (grapheme clusters), as the tools count them.
inline constexpr std::size_t kMaxCapturedBodyCharacters = 5000;

// `text` without NUL characters (SQLite would read the body as ending at the first), cut when
// longer than `characters` to its first characters - 1 followed by "…".
std::string cutText(std::string_view text, std::size_t characters);

// "Q: " + question + "\n\nA: " + answer within the limit: when both do not fit, the shorter keeps
// up to half the room and the other is cut to the rest.
std::string questionAndAnswerBody(std::string_view question, std::string_view answer);

// The characters an answer may keep beside `question` in a question-and-answer body: the room
// left when the question takes its share (up to half) of the limit.
std::size_t answerRoom(std::string_view question);

// `label` + text within the limit, for a body with one half only ("Q: " or "A: ").
std::string labelledBody(std::string_view label, std::string_view text);

}  // namespace nodrel::capture
