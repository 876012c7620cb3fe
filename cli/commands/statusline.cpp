#include "cli/commands.h"
#include "cli/commands/not_built.h"

namespace nodrel::cli {

int runStatusline(Arguments) { return notBuilt("statusline"); }

}  // namespace nodrel::cli
