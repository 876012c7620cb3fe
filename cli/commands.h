// cli/commands.h: the subcommands of `nodrel`, one per file in cli/commands/. Each takes the
// arguments after its own name and returns the process's exit status.
#pragma once

#include <span>
#include <string>

namespace nodrel::cli {

using Arguments = std::span<const std::string>;

int runContext(Arguments args);            // context --cwd PATH [--limit N]
int runCapture(Arguments args);            // capture (payload on stdin)
int runCheckpoint(Arguments args);         // checkpoint (payload on stdin)
int runRememberMark(Arguments args);       // remember-mark --cwd PATH --note TEXT
int runStatus(Arguments args);             // status
int runEnableHook(Arguments args);         // enable-hook
int runDisableHook(Arguments args);        // disable-hook
int runSnapshot(Arguments args);           // snapshot save [--label L] | snapshot list
int runIngest(Arguments args);             // ingest --path PATH
int runStatusline(Arguments args);         // statusline [--cwd PATH]
int runEnableStatusline(Arguments args);   // enable-statusline
int runDisableStatusline(Arguments args);  // disable-statusline

}  // namespace nodrel::cli
