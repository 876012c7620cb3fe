#include "cli/commands.h"
#include "cli/commands/not_built.h"

namespace nodrel::cli {

int runSnapshot(Arguments) { return notBuilt("snapshot"); }

}  // namespace nodrel::cli
