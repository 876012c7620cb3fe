// Which user-line texts the host wrote, and the question a slash command carries.
#include "capture/host_text.h"

#include <gtest/gtest.h>

#include <string>

namespace nodrel::capture {
namespace {

TEST(ClassifyHostText, KnowsTheHostsOwnFormsOnly) {
  struct Case {
    std::string text;
    HostText want;
  };
  const Case cases[] = {
      {"<task-notification>\n<status>completed</status>\n</task-notification>", HostText::NewTurn},
      {"<bash-stdout>ok</bash-stdout><bash-stderr></bash-stderr>", HostText::NewTurn},
      {"<bash-stderr>fatal: not a git repository</bash-stderr>", HostText::NewTurn},
      {"<local-command-stdout>Total cost: $0.42</local-command-stdout>", HostText::NewTurn},
      {"[Request interrupted by user for tool use]", HostText::NewTurn},
      {"Stop hook feedback:\n[lint.sh]: run the linter", HostText::InTurn},
      {"PreToolUse:Bash hook feedback:\nblocked", HostText::InTurn},
      {"SubagentStop hook blocking error from command: x", HostText::InTurn},
      {"<system-reminder>a</system-reminder>\n\n<system-reminder>b</system-reminder>",
       HostText::InTurn},
      // What the user typed, however close to a host form it looks.
      {"Pre-commit hook feedback: it rejects my commit", HostText::None},
      {"Stop hook feedback is noisy, turn it down", HostText::None},
      {"<system-reminder>x</system-reminder> and also fix the tests", HostText::None},
      {"<bash-input>git status</bash-input>", HostText::None},
      {"Please read <task-notification> docs", HostText::None},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(classifyHostText(c.text), c.want);
  }
}

TEST(SlashCommandQuestion, IsTheCommandWithWhatWasTypedAfterIt) {
  struct Case {
    std::string text;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"<command-message>orchestrator is running…</command-message>\n"
       "<command-name>/orchestrator</command-name>\n"
       "<command-args>create TODO app by Next.js</command-args>",
       "/orchestrator create TODO app by Next.js"},
      {"<command-name>/cost</command-name>\n  <command-message>cost</command-message>\n"
       "  <command-args></command-args>",
       "/cost"},
      {"<command-name>clear</command-name>", "/clear"},
      {"<command-name>/x</command-name><command-args>  </command-args>", "/x"},
      {"<command-message>init is running…</command-message>", std::nullopt},
      {"<command-name></command-name>", std::nullopt},
      {"please run <command-name>/x</command-name>", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(slashCommandQuestion(c.text), c.want);
  }
}

}  // namespace
}  // namespace nodrel::capture
