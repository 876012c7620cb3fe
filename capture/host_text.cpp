#include "capture/host_text.h"

#include <array>

#include "platform/text.h"

namespace nodrel::capture {
namespace {

// Openings of the user lines that the host writes around a slash command or a local command,
// for a finished background task, and for the output of the user's bash mode.
constexpr std::array<std::string_view, 10> kHostWrapperOpenings = {
    "<command-name>",         "<command-message>",
    "<command-args>",         "<local-command-stdout>",
    "<local-command-stderr>", "<local-command-caveat>",
    "<task-notification>",    "<bash-stdout>",
    "<bash-stderr>",          "[Request interrupted by user"};

// The events whose hooks can answer the host with feedback it writes into the conversation.
constexpr std::array<std::string_view, 11> kHookEvents = {
    "PreToolUse",   "PostToolUse", "PostToolUseFailure", "Notification", "UserPromptSubmit", "Stop",
    "SubagentStop", "PreCompact",  "SessionStart",       "SessionEnd",   "PermissionRequest"};

constexpr std::string_view kReminderOpen = "<system-reminder>";
constexpr std::string_view kReminderClose = "</system-reminder>";

bool isHookEvent(std::string_view event) {
  for (std::string_view known : kHookEvents) {
    if (event == known) return true;
  }
  return false;
}

// "Stop hook feedback:", "PreToolUse:Bash hook feedback:" and the "hook blocking error" form of
// newer hosts: one of the host's event names, perhaps ":" and a tool, then the words.
bool isHookFeedback(std::string_view text) {
  const std::size_t hook = text.find(" hook ");
  if (hook == std::string_view::npos || hook == 0 || hook > 120) return false;
  std::string_view event = text.substr(0, hook);
  if (const std::size_t colon = event.find(':'); colon != std::string_view::npos) {
    const std::string_view tool = event.substr(colon + 1);
    if (tool.empty() || tool.find_first_of(" \t\n") != std::string_view::npos) return false;
    event = event.substr(0, colon);
  }
  if (!isHookEvent(event)) return false;
  const std::string_view rest = text.substr(hook + 6);
  return rest.starts_with("feedback:") || rest.starts_with("blocking error");
}

// Nothing but `<system-reminder>` blocks and the space between them.
bool isOnlyReminders(std::string_view text) {
  bool any = false;
  for (;;) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return any;
    text.remove_prefix(first);
    if (!text.starts_with(kReminderOpen)) return false;
    const std::size_t close = text.find(kReminderClose);
    if (close == std::string_view::npos) return false;
    text.remove_prefix(close + kReminderClose.size());
    any = true;
  }
}

// The text between `<tag>` and `</tag>`, or nothing when the pair is not there.
std::optional<std::string_view> element(std::string_view text, std::string_view tag) {
  const std::string open = "<" + std::string(tag) + ">";
  const std::string close = "</" + std::string(tag) + ">";
  const std::size_t begin = text.find(open);
  if (begin == std::string_view::npos) return std::nullopt;
  const std::size_t start = begin + open.size();
  const std::size_t end = text.find(close, start);
  if (end == std::string_view::npos) return std::nullopt;
  return text.substr(start, end - start);
}

}  // namespace

HostText classifyHostText(std::string_view text) {
  for (std::string_view opening : kHostWrapperOpenings) {
    if (text.starts_with(opening)) return HostText::NewTurn;
  }
  if (isHookFeedback(text) || isOnlyReminders(text)) return HostText::InTurn;
  return HostText::None;
}

std::optional<std::string> slashCommandQuestion(std::string_view text) {
  if (!text.starts_with("<command-name>") && !text.starts_with("<command-message>") &&
      !text.starts_with("<command-args>")) {
    return std::nullopt;
  }
  const auto name = element(text, "command-name");
  if (!name) return std::nullopt;
  std::string question = platform::trimWhitespace(*name);
  if (question.empty()) return std::nullopt;
  if (question.front() != '/') question.insert(question.begin(), '/');
  if (const auto args = element(text, "command-args")) {
    const std::string typed = platform::trimWhitespace(*args);
    if (!typed.empty()) question += " " + typed;
  }
  return question;
}

}  // namespace nodrel::capture
