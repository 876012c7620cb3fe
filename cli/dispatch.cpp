#include "cli/dispatch.h"

#include <algorithm>
#include <exception>
#include <span>
#include <string_view>

#include "cli/commands.h"
#include "cli/output.h"

namespace nodrel::cli {
namespace {

constexpr std::string_view kUsageBody =
    " \u2014 Nodrel knowledge-layer CLI\n"
    "\n"
    "USAGE\n"
    "  nodrel <subcommand> [options]\n"
    "\n"
    "SUBCOMMANDS\n"
    "  context --cwd PATH [--limit N]\n"
    "      Print a session-start context block for the given project directory.\n"
    "      Output contains two sections: (1) ranked project memories, and (2) the\n"
    "      always-on memory index (top-level nodes ordered by expansion cost).\n"
    "      Injected as a system reminder by the Claude Code SessionStart hook.\n"
    "      Default limit: 20.\n"
    "\n"
    "  capture\n"
    "      Read a SessionEnd hook payload from stdin (JSON with session_id,\n"
    "      transcript_path, cwd) and run heuristic memory capture for that session.\n"
    "      Called automatically by the Nodrel-managed SessionEnd hook.\n"
    "\n"
    "  checkpoint\n"
    "      Read a Stop hook payload from stdin (JSON with session_id,\n"
    "      transcript_path, cwd), store the transcript's salient exchanges (unless\n"
    "      nodrelCaptureLevel is \"off\") and turn any pending /remember markers for\n"
    "      this session's project into memories. Called automatically by the\n"
    "      Nodrel-managed Stop hook, each time Claude finishes responding.\n"
    "\n"
    "  remember-mark --cwd PATH --note TEXT\n"
    "      Write a lightweight marker file to the checkpoints staging directory.\n"
    "      Called by the /remember slash command; consumed by `nodrel checkpoint`\n"
    "      when Claude finishes responding (the next Stop hook). Non-interactive \u2014\n"
    "      exits immediately after writing.\n"
    "\n"
    "  status\n"
    "      Print database location, memory counts by tier, snapshot count,\n"
    "      hook installation state, and last consolidation time.\n"
    "\n"
    "  enable-hook\n"
    "      Install Nodrel-managed SessionStart, SessionEnd, and Stop hooks in\n"
    "      ~/.claude/settings.json. Also installs ~/.claude/commands/remember.md.\n"
    "\n"
    "  disable-hook\n"
    "      Remove all Nodrel-managed hooks from ~/.claude/settings.json and\n"
    "      remove the Nodrel-managed remember.md command (if managed).\n"
    "\n"
    "  statusline [--cwd PATH]\n"
    "      Print a one-line Nodrel status indicator for Claude Code's statusLine config.\n"
    "      Reads session JSON from stdin or falls back to --cwd / $PWD.\n"
    "\n"
    "  enable-statusline\n"
    "      Install a Nodrel-managed statusLine entry in ~/.claude/settings.json.\n"
    "\n"
    "  disable-statusline\n"
    "      Remove Nodrel-managed statusLine entries from ~/.claude/settings.json.\n"
    "\n"
    "  snapshot save [--label LABEL]\n"
    "      Save a manual snapshot of the database (nodrel.db in the data directory).\n"
    "\n"
    "  snapshot list\n"
    "      List all recorded snapshots, newest first.\n"
    "\n"
    "  ingest --path PATH\n"
    "      Parse and index source files in the given project directory.\n"
    "      Extracts imports, type declarations, and dependencies.\n"
    "\n"
    "OPTIONS\n"
    "  --help, -h     Show this help text and exit.\n"
    "  --version, -v  Print version and exit.\n";

struct Subcommand {
  std::string_view name;
  int (*run)(Arguments);
  bool takesArguments;  // the rest of the command line is handed on
  // Options whose next argument is their value, so a value spelt "--help" is not a request.
  std::span<const std::string_view> valueOptions = {};
};

constexpr std::string_view kContextOptions[] = {"--cwd", "--limit"};
constexpr std::string_view kRememberMarkOptions[] = {"--cwd", "--note"};
constexpr std::string_view kSnapshotOptions[] = {"--label"};
constexpr std::string_view kIngestOptions[] = {"--path"};
constexpr std::string_view kStatuslineOptions[] = {"--cwd"};

constexpr Subcommand kSubcommands[] = {
    {"context", runContext, true, kContextOptions},
    {"capture", runCapture, false},
    {"checkpoint", runCheckpoint, false},
    // remember-mark picks --cwd and --note out of what follows its name and skips other words.
    {"remember-mark", runRememberMark, true, kRememberMarkOptions},
    {"status", runStatus, false},
    {"enable-hook", runEnableHook, false},
    {"disable-hook", runDisableHook, false},
    {"snapshot", runSnapshot, true, kSnapshotOptions},
    {"ingest", runIngest, true, kIngestOptions},
    {"statusline", runStatusline, true, kStatuslineOptions},
    {"enable-statusline", runEnableStatusline, false},
    {"disable-statusline", runDisableStatusline, false},
};

bool isHelpOption(std::string_view argument) { return argument == "--help" || argument == "-h"; }

// A user who asks a subcommand for help must get help, not its work: `enable-hook --help` would
// otherwise edit their settings, and `capture --help` wait on standard input.
bool asksForHelp(const Subcommand& subcommand, std::span<const std::string> rest) {
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (isHelpOption(rest[i])) return true;
    const auto& options = subcommand.valueOptions;
    if (std::find(options.begin(), options.end(), rest[i]) != options.end()) ++i;
  }
  return false;
}

}  // namespace

const std::string& usageText() {
  static const std::string text = "nodrel " + std::string(kVersion) + std::string(kUsageBody);
  return text;
}

int dispatchSubcommand(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2 || isHelpOption(arguments[1])) {
    writeOut(usageText());
    return 0;
  }
  const std::string& name = arguments[1];
  if (name == "--version" || name == "-v") {
    writeOut("nodrel " + std::string(kVersion) + "\n");
    return 0;
  }
  for (const Subcommand& subcommand : kSubcommands) {
    if (subcommand.name != name) continue;
    const std::span<const std::string> rest(arguments.data() + 2, arguments.size() - 2);
    if (asksForHelp(subcommand, rest)) {
      writeOut(usageText());
      return 0;
    }
    try {
      return subcommand.run(subcommand.takesArguments ? rest : Arguments{});
    } catch (const std::exception& e) {
      // What a subcommand does not report itself ends the run here, as one line and a failed
      // status rather than an abort.
      writeErr("nodrel " + name + ": " + e.what() + "\n");
      return 1;
    }
  }
  writeErr("nodrel: unknown subcommand '" + name + "'\n");
  writeErr("Run 'nodrel --help' for usage.\n");
  return 1;
}

}  // namespace nodrel::cli
