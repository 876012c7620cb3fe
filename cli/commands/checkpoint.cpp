// `nodrel checkpoint`: the Stop hook. Reads its payload from standard input.
#include "capture/checkpoint.h"
#include "cli/commands.h"
#include "cli/output.h"

namespace nodrel::cli {

int runCheckpoint(Arguments) {
  return capture::runCheckpointCommand(capture::readStandardInput(), writeErr);
}

}  // namespace nodrel::cli
