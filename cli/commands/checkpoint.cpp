#include "cli/commands.h"
#include "cli/commands/not_built.h"

namespace nodrel::cli {

int runCheckpoint(Arguments) { return notBuilt("checkpoint"); }

}  // namespace nodrel::cli
