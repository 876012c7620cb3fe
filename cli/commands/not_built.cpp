// Subcommands whose work is not built yet: each says so and fails, rather than pretending.
#include "cli/commands.h"
#include "cli/output.h"

namespace nodrel::cli {
namespace {

int notBuilt(const char* name) {
  writeErr(std::string("nodrel ") + name + ": not implemented yet\n");
  return 1;
}

}  // namespace

int runContext(Arguments) { return notBuilt("context"); }
int runCapture(Arguments) { return notBuilt("capture"); }
int runCheckpoint(Arguments) { return notBuilt("checkpoint"); }
int runRememberMark(Arguments) { return notBuilt("remember-mark"); }
int runStatus(Arguments) { return notBuilt("status"); }
int runEnableHook(Arguments) { return notBuilt("enable-hook"); }
int runDisableHook(Arguments) { return notBuilt("disable-hook"); }
int runSnapshot(Arguments) { return notBuilt("snapshot"); }
int runIngest(Arguments) { return notBuilt("ingest"); }
int runStatusline(Arguments) { return notBuilt("statusline"); }
int runEnableStatusline(Arguments) { return notBuilt("enable-statusline"); }
int runDisableStatusline(Arguments) { return notBuilt("disable-statusline"); }

}  // namespace nodrel::cli
