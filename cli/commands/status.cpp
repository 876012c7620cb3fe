#include "cli/commands.h"
#include "cli/commands/not_built.h"

namespace nodrel::cli {

int runStatus(Arguments) { return notBuilt("status"); }

}  // namespace nodrel::cli
