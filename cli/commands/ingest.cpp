#include "cli/commands.h"
#include "cli/commands/not_built.h"

namespace nodrel::cli {

int runIngest(Arguments) { return notBuilt("ingest"); }

}  // namespace nodrel::cli
