#include "cli/commands.h"
#include "cli/commands/not_built.h"

namespace nodrel::cli {

int runContext(Arguments) { return notBuilt("context"); }

}  // namespace nodrel::cli
