// `nodrel capture`: the SessionEnd hook. Reads its payload from standard input.
#include "capture/session_capture.h"
#include "cli/commands.h"
#include "cli/output.h"

namespace nodrel::cli {

int runCapture(Arguments) {
  return capture::runCaptureCommand(capture::readStandardInput(), writeErr);
}

}  // namespace nodrel::cli
