#include "cli/commands.h"
#include "cli/commands/not_built.h"

namespace nodrel::cli {

int runRememberMark(Arguments) { return notBuilt("remember-mark"); }

}  // namespace nodrel::cli
