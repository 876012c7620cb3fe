#include "cli/commands.h"
#include "cli/commands/not_built.h"

namespace nodrel::cli {

int runCapture(Arguments) { return notBuilt("capture"); }

}  // namespace nodrel::cli
