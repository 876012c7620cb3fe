// capture/host_text.h: what the assistant host writes on user-role lines in the user's place
// (command wrappers and their output, background-task notices, hook feedback, reminders), and
// the one such wrapper that still carries what the user typed: a slash command with arguments.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nodrel::capture {

enum class HostText {
  None,     // what the user typed
  InTurn,   // written inside a turn the assistant goes on with: hook feedback, reminders
  NewTurn,  // after it the assistant answers the host, not the user's question: a background
            // task's notice, an interruption, a command's or bash mode's output
};

// What the host wrote on a user line, by its text. A slash command's wrapper is NewTurn too;
// `slashCommandQuestion` recovers what was typed there.
HostText classifyHostText(std::string_view text);

// "/name " + the text of `<command-args>` (the command alone when it has none or they are
// blank) for a slash command's wrapper; nothing for any other text.
std::optional<std::string> slashCommandQuestion(std::string_view text);

}  // namespace nodrel::capture
