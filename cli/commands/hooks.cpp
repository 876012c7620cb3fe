#include "cli/commands.h"
#include "cli/commands/not_built.h"

namespace nodrel::cli {

int runEnableHook(Arguments) { return notBuilt("enable-hook"); }
int runDisableHook(Arguments) { return notBuilt("disable-hook"); }
int runEnableStatusline(Arguments) { return notBuilt("enable-statusline"); }
int runDisableStatusline(Arguments) { return notBuilt("disable-statusline"); }

}  // namespace nodrel::cli
